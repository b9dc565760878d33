#pragma once
// Switching the desktop's assistive technologies on, so other toolkits than
// GTK export their widgets on the accessibility bus and the focused field can
// be read. The desktop keeps the choice in two places: a setting that lasts
// across log-ins (where the desktop's schema is installed) and the running
// session's bus. Both calls wait on other processes, so callers keep them off
// the main thread.
#include <memory>
#include <string>

namespace platform {

class AssistiveTechnologies {
public:
    struct Result {
        bool settingWritten = false;    // the lasting setting now says on
        bool settingAvailable = false;  // the desktop has such a setting
        bool sessionEnabled = false;    // the running session's bus says on
        std::string error;              // why the session could not be switched
    };
    virtual ~AssistiveTechnologies() = default;
    // Writes the lasting setting (where it exists) and switches the running
    // session on. Bounded waits; never on the main thread.
    virtual Result switchOn() = 0;

    // The desktop's own switch.
    static std::shared_ptr<AssistiveTechnologies> system();
};

}  // namespace platform

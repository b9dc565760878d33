#pragma once
// The ways a dictation can end badly, and the one remedy each offers: a
// settings page the user can open from the indicator.
#include <optional>
#include <string>
#include <vector>

enum class SettingsPane { microphone, accessibility };

struct ErrorRemedy {
    enum class Kind { openSystemPane };
    Kind kind = Kind::openSystemPane;
    SettingsPane pane = SettingsPane::microphone;
    static ErrorRemedy openSystemPane(SettingsPane pane) { return {Kind::openSystemPane, pane}; }
    bool operator==(const ErrorRemedy&) const = default;
};

enum class DictationErrorKind {
    microphonePermissionDenied,
    microphoneAccessOff,
    accessibilityNotTrusted,
    speechModelUnavailable,
    noSpeechDetected,
    transcriptionFailed,
    pasteFailed,
    secureInputBlocked,
    shortHold,
};

namespace DictationErrorKinds {
const std::vector<DictationErrorKind>& allCases();
std::string name(DictationErrorKind kind);
}  // namespace DictationErrorKinds

std::string settingsPaneRawValue(SettingsPane pane);

// Every kind has exactly one answer.
std::optional<ErrorRemedy> remedy(DictationErrorKind kind);

// Why the microphone can't be recorded, as the sound server shows it. Each
// cause has its own way out, so the message names the cause.
enum class MicrophoneFault {
    soundServerNotRunning,  // nothing answers on the sound server's socket
    noInputDevice,          // the server runs but offers no input source
    deviceBusy,             // the source exists but refuses a record stream
};

// The one wording of each cause, shared by the indicator, the recorder's
// errors and `doctor`, so they never disagree about what to do.
namespace MicrophoneFaults {
// What doctor reports as the state ("no default input source").
std::string problem(MicrophoneFault fault);
// What to do about it, as doctor prints it after the state.
std::string remedy(MicrophoneFault fault);
// The indicator's message: the cause and the way out, short enough for the
// pill (60 characters at most).
std::string message(MicrophoneFault fault);
// The cause from what the sound server answered.
std::optional<MicrophoneFault> classify(bool serverReachable, bool inputExists, bool inputOpens = true);
}  // namespace MicrophoneFaults

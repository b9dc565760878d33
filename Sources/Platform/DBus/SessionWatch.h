#pragma once
// Sleep and screen-lock notifications of the desktop session, over D-Bus:
// logind's PrepareForSleep(true) on the system bus means the machine is about
// to sleep; logind's Lock signal for this session, or a screensaver's
// ActiveChanged(true) on the session bus (freedesktop, GNOME, MATE, Cinnamon,
// Xfce names), means the screen locks. A bus that can't be reached is skipped.
#include "Platform/HotKeys.h"

#include <memory>
#include <vector>

typedef struct _GDBusConnection GDBusConnection;

namespace platform {

class SessionWatch : public SessionEvents {
public:
    // Watches the real system and session buses.
    static std::shared_ptr<SessionWatch> make();
    // Watches the given connections (either may be null); `sleepBus` carries
    // logind's signals, `sessionBus` the screensavers'.
    SessionWatch(GDBusConnection* sleepBus, GDBusConnection* sessionBus);
    ~SessionWatch() override;

    void install(std::function<void()> onSleep, std::function<void()> onLock) override;
    void remove() override;

private:
    struct Subscription {
        GDBusConnection* bus;
        unsigned int id;
    };
    GDBusConnection* sleepBus_;
    GDBusConnection* sessionBus_;
    std::vector<Subscription> subscriptions_;
    std::function<void()> onSleep_;
    std::function<void()> onLock_;

public:
    // Signal entry points (GDBus callbacks).
    void signalArrived(const char* interfaceName, const char* signalName, bool flag);
};

}  // namespace platform

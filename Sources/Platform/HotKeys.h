#pragma once
// What the hotkey rules need from the desktop: registered global key
// combinations, a listener that sees every key, and the session's sleep and
// lock notifications. The X11 and logind back-ends implement them; the
// factories below are defined in those back-ends.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

// Registered global hot keys: a key combination reserved for this program.
class HotKeyService {
public:
    using Handler = std::function<void(std::uint32_t signature, std::uint32_t identifier, bool pressed)>;
    // The modifiers of a key taken whatever modifiers are held with it: a key
    // that must answer while the user still holds the dictation key (Esc
    // pressed with Right Ctrl down arrives as Ctrl+Esc).
    static constexpr std::uint32_t anyModifiers = 0x80000000u;
    virtual ~HotKeyService() = default;
    // 0 with a reference (never 0), or the refusal status.
    virtual std::int32_t registerHotKey(std::uint32_t keyCode, std::uint32_t carbonModifiers, std::uint32_t signature,
                                        std::uint32_t identifier, std::uint64_t& reference) = 0;
    virtual void unregisterHotKey(std::uint64_t reference) = 0;
    virtual bool installHandler(Handler handler) = 0;
    virtual void removeHandler() = 0;
};

// One key going down or up, as the key listener sees every key.
struct RawKeyEvent {
    unsigned long keysym = 0;
    bool pressed = false;
    bool autoRepeat = false;
    std::uint32_t heldModifiers = 0;  // portable mask of the shift/control/option/command keys held
    bool otherKeysHeld = false;       // any other key is down at this moment
    // When the key moved, in monotonic seconds (the main run loop's clock);
    // none: when it is handled. A busy main loop handles a key late, and the
    // gestures are timed on the user's keys, not on when they were read.
    std::optional<double> time = std::nullopt;
};

// Turns the display server's event times (milliseconds of its own, 32 bits,
// wrapping) into the monotonic seconds of this process. The server's clock
// runs at the same rate; its offset is learnt from the events themselves: an
// event is handled no earlier than it happened, so the smallest gap seen
// between handling and server time is the offset.
class EventClock {
public:
    double toMonotonic(std::uint32_t serverMilliseconds, double handledAt) {
        if (last_ && serverMilliseconds < *last_ && *last_ - serverMilliseconds > 0x80000000u) wraps_ += 1;
        last_ = serverMilliseconds;
        const double server = (static_cast<double>(wraps_) * 4294967296.0 + serverMilliseconds) / 1000.0;
        const double offset = handledAt - server;
        if (!offset_ || offset < *offset_) offset_ = offset;
        return server + *offset_;
    }

private:
    std::optional<std::uint32_t> last_;
    std::uint64_t wraps_ = 0;
    std::optional<double> offset_;
};

// The listener that sees every key press and release on the desktop.
class KeyListener {
public:
    virtual ~KeyListener() = default;
    // False when it cannot listen now (no display). `onLost` runs when a
    // listening connection goes away, so the next poll can heal it.
    virtual bool install(std::function<void(const RawKeyEvent&)> onKey, std::function<void()> onLost) = 0;
    virtual void remove() = 0;
};

// Sleep and screen-lock notifications of the session.
class SessionEvents {
public:
    virtual ~SessionEvents() = default;
    virtual void install(std::function<void()> onSleep, std::function<void()> onLock) = 0;
    virtual void remove() = 0;
};

namespace platform {
// The process-wide desktop back-ends (X11 grabs and XInput2 raw events; logind
// and the screensaver on D-Bus). The same object serves both key roles.
std::shared_ptr<HotKeyService> desktopHotKeyService();
std::shared_ptr<KeyListener> desktopKeyListener();
std::shared_ptr<SessionEvents> desktopSessionEvents();
// Whether global keys can be registered now (a display is reachable).
bool desktopHotKeysAvailable();
}  // namespace platform

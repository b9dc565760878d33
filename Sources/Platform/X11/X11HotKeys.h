#pragma once
// Global hot keys and the desktop-wide key listener on X11, over one private
// connection to the X server watched from the main loop.
//
// Hot keys are passive grabs (XGrabKey) on the root window, one per
// combination of NumLock and CapsLock so the locks never hide a shortcut.
// A refused grab is caught with a private error handler and XSync and
// returned as the registration status. A key taken with any modifiers (Esc)
// is grabbed under each combination of Shift, Ctrl, Alt and Super; the
// combinations another client holds stay theirs. The key listener selects XInput2 raw
// key events on the root window: every press and release of every key,
// whoever has the focus or a grab. Auto-repeat is detectable (XKB), so a
// held key gives one press.
//
// Healing: a keyboard mapping change re-resolves every key and grabs it
// again; a lost connection is dropped without touching it, and the next
// install (the hotkey manager polls every 2.0 s) opens a new one and grabs
// every registered key again.
#include "Platform/HotKeys.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

typedef struct _XDisplay Display;
union _XEvent;

namespace platform {

class X11HotKeys : public HotKeyService, public KeyListener, public std::enable_shared_from_this<X11HotKeys> {
public:
    // Statuses of refusals that are not X protocol errors.
    static constexpr std::int32_t statusNoDisplay = -1;
    static constexpr std::int32_t statusUnknownKey = -2;
    static constexpr std::int32_t statusAlreadyRegistered = -3;

    static std::shared_ptr<X11HotKeys> shared();
    // `displayName` empty means $DISPLAY.
    explicit X11HotKeys(std::string displayName = {});
    ~X11HotKeys() override;

    std::int32_t registerHotKey(std::uint32_t keyCode, std::uint32_t carbonModifiers, std::uint32_t signature,
                                std::uint32_t identifier, std::uint64_t& reference) override;
    void unregisterHotKey(std::uint64_t reference) override;
    bool installHandler(Handler handler) override;
    void removeHandler() override;

    bool install(std::function<void(const RawKeyEvent&)> onKey, std::function<void()> onLost) override;
    void remove() override;

    // Reads and dispatches whatever the server sent (the main loop does this
    // on its own; tests call it to wait for events synchronously).
    void processPendingEvents();
    bool isConnected() const { return display_ != nullptr; }
    // Connects when not connected; false when there is no X display.
    bool ensureConnected() { return connect(); }
    // Simulates the loss of the connection (as when the server goes away).
    void dropConnectionForTesting();
    // The main-loop watch of the connection (GIOCondition bits).
    static int onReadable(int condition, void* self);

private:
    struct Grab {
        std::uint32_t keyCode;
        std::uint32_t carbonModifiers;
        std::uint32_t signature;
        std::uint32_t identifier;
        unsigned int xKeycode = 0;
        // The modifier combinations taken on the server: one, or for a key
        // taken with any modifiers each combination nobody else holds.
        std::vector<unsigned int> taken = {};
        unsigned int numLockMask = 0;
        bool live = false;
    };

    bool connect();
    void disconnect(bool connectionLost);
    unsigned int resolveKeycode(std::uint32_t keyCode) const;
    std::int32_t grab(Grab& g);
    // Grabs one modifier combination under every lock state; the X error, or 0.
    int grabCombination(unsigned int xKeycode, unsigned int xModifiers, unsigned int numLockMask);
    void ungrabCombination(unsigned int xKeycode, unsigned int xModifiers, unsigned int numLockMask);
    bool takenByAnotherGrab(const Grab& g, unsigned int xModifiers) const;
    void ungrab(const Grab& g);
    void regrabAll();
    void selectRawEvents(bool on);
    void handleEvent(_XEvent& event);
    void refreshLockMasks();
    std::uint32_t heldModifiers() const;
    void scheduleDrain();
    bool drainScheduled_ = false;
    EventClock eventClock_;

    std::string displayName_;
    Display* display_ = nullptr;
    unsigned int watchID_ = 0;
    int xiOpcode_ = -1;
    unsigned int numLockMask_ = 0;
    std::map<std::uint64_t, Grab> grabs_;
    std::uint64_t nextReference_ = 0;
    std::map<unsigned int, std::uint64_t> activeGrabs_;  // X keycode held → grab
    std::set<unsigned int> heldKeys_;                    // keys down, from raw events
    Handler handler_;
    std::function<void(const RawKeyEvent&)> onKey_;
    std::function<void()> onLost_;
    bool listening_ = false;
};

}  // namespace platform

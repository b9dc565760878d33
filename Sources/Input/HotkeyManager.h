#pragma once
// The global hotkeys: the primary gesture (hold, tap, double tap for
// hands-free), the secondary shortcuts bound to a DictationMode, the Esc
// cancel and Return error-action keys, and the forced release of every held
// key when the machine sleeps or the screen locks.
//
// Everything runs on the main thread. The desktop's event sources live behind
// the interfaces of Platform/HotKeys.h, so the gesture rules can be driven by a
// test clock and test doubles.
#include "Input/HotkeyTypes.h"
#include "Platform/HotKeys.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Time, one-shot timers and posting onto the main queue.
class HotkeyRunLoop {
public:
    virtual ~HotkeyRunLoop() = default;
    virtual double now() = 0;  // monotonic seconds
    // A one-shot timer; the returned id is never 0.
    virtual std::uint64_t scheduleTimer(double seconds, std::function<void()> fire) = 0;
    virtual void cancelTimer(std::uint64_t id) = 0;
    virtual void post(std::function<void()> block) = 0;
    // The main run loop (GLib default context, steady clock).
    static std::shared_ptr<HotkeyRunLoop> main();
};

class HotkeyManager {
public:
    static constexpr std::uint32_t signature = 0x4F4E4452;  // 'ONDR'
    static constexpr std::uint32_t altSpaceHotKeyID = 1;
    static constexpr std::uint32_t escapeHotKeyID = 2;
    static constexpr std::uint32_t errorActionHotKeyID = 3;

    static constexpr double maxHoldDuration = 180.0;
    static constexpr double tapMaxDuration = 0.3;
    static constexpr double doubleTapWindow = 0.4;
    // How long Right Ctrl must be down on its own before its take is
    // confirmed. A shortcut such as Right Ctrl+C has its second key down well
    // within this, so its tentative take goes again unheard: no cue, no text.
    static constexpr double loneKeyDelay = 0.2;
    // The limit of a hands-free session, read when one starts.
    static double handsFreeMaxDuration;
    // The key whose lone hold is the "fn" gesture (Right Ctrl).
    static unsigned long fnKeysym;

    static inline const HotkeyShortcut defaultRawShortcut{49, 6144, DictationMode::raw};
    static constexpr const char* secondaryHotkeysKey = "ondira_secondary_hotkeys";

    static HotkeyManager& shared();

    HotkeyManager(std::shared_ptr<HotkeyRunLoop> runLoop, std::shared_ptr<HotKeyService> hotKeys,
                  std::shared_ptr<KeyListener> listener, std::shared_ptr<SessionEvents> session);
    ~HotkeyManager();
    HotkeyManager(const HotkeyManager&) = delete;
    HotkeyManager& operator=(const HotkeyManager&) = delete;

    std::weak_ptr<HotkeyManagerDelegate> delegate;

    // Primary mode.
    HotkeyMode mode = HotkeyMode::fn;
    void loadConfiguredMode();
    void setMode(HotkeyMode newMode);
    HotkeyRegistrationResult selectHotkeyMode(HotkeyMode newMode);
    static bool primaryGestureShouldFire(HotkeyMode gesture, HotkeyMode mode);

    // Secondary shortcuts.
    HotkeyRegistrationResult registerShortcut(const HotkeyShortcut& shortcut) { return registerShortcut(shortcut, true); }
    void unregisterShortcut(DictationMode forMode) { unregisterShortcut(forMode, true); }
    std::vector<HotkeyShortcut> configuredSecondaryShortcuts() const;
    std::optional<HotkeyShortcut> secondaryShortcut(DictationMode forMode) const;
    const std::map<DictationMode, HotkeyShortcut>& secondaryShortcuts() const { return secondaryShortcuts_; }

    // Listening.
    void startListening();
    void stopListening();
    void grabHotKey();
    void armEscapeCancel();
    void disarmEscapeCancel();
    void armErrorAction();
    void disarmErrorAction();
    bool isEscapeCancelArmed() const { return escHotKeyRef_ != 0; }
    bool isErrorActionArmed() const { return errorActionHotKeyRef_ != 0; }
    std::optional<std::int32_t> altSpaceRegistrationFailed() const { return altSpaceRegistrationFailed_; }
    bool isKeyListenerInstalled() const { return keyListenerInstalled_; }

    // Event entry points (the sources call these; tests may too).
    void handleHotKeyEvent(std::uint32_t eventSignature, std::uint32_t identifier, bool pressed);
    void handleKeyEvent(const RawKeyEvent& event);

    // Gestures.
    void triggerPress();
    void triggerRelease();
    void secondaryPress(DictationMode forMode);
    void secondaryRelease(DictationMode forMode);
    void forceReleaseAll(const std::string& reason);
    void stopHandsFree(const std::string& reason);
    // The take of a hands-free session ended without the key (Esc, another
    // shortcut's release): the session ends with it, with no call of its own.
    void endHandsFreeQuietly();
    bool isPressed() const { return isPressed_; }
    bool isHandsFreeActive() const { return isHandsFreeActive_; }

private:
    HotkeyRegistrationResult registerShortcut(const HotkeyShortcut& shortcut, bool persist);
    void unregisterShortcut(DictationMode forMode, bool persist);
    void storeShortcuts();
    void restoreSecondaryShortcuts();
    void installHotKeyHandler();
    void installKeyListener();
    void startListenerPolling();
    void installSleepAndLockObservers();
    void handleFnKey(const RawKeyEvent& event);
    // Takes Alt+Space when listening and not yet taken; the refusal, if any.
    HotkeyRegistrationResult grabAltSpace();
    // A hotkey the user chose could not be taken: they hear of it at once.
    void tellRefused(const HotkeyRegistrationError& error);
    void becomeChord();
    void pressPrimary(double startedAt);
    // The primary key went up at `releasedAt` (run loop seconds): the tap
    // and double-tap rules are measured on that time.
    void releasePrimary(double releasedAt);
    bool armKey(std::uint32_t keyCode, std::uint32_t modifiers, std::uint32_t identifier, std::uint64_t& reference,
                const char* what);
    void disarmKey(std::uint64_t& reference);
    void notify(std::function<void(HotkeyManagerDelegate&)> call);
    void replaceTimer(std::uint64_t& timer, double seconds, std::function<void(HotkeyManager&)> fire);
    void cancelTimer(std::uint64_t& timer);

    std::shared_ptr<HotkeyRunLoop> runLoop_;
    std::shared_ptr<HotKeyService> hotKeys_;
    std::shared_ptr<KeyListener> listener_;
    std::shared_ptr<SessionEvents> session_;
    // Timers and posted blocks hold the manager through this, never strongly.
    std::shared_ptr<HotkeyManager*> self_;

    bool isPressed_ = false;
    bool keyListenerInstalled_ = false;
    bool carbonHandlerInstalled_ = false;
    bool sessionObserversInstalled_ = false;
    std::uint64_t carbonHotKeyRef_ = 0;
    std::uint64_t permissionTimer_ = 0;
    std::shared_ptr<std::function<void()>> pollTick_;
    std::uint64_t maxHoldWatchdogTimer_ = 0;
    std::uint64_t escHotKeyRef_ = 0;
    std::uint64_t errorActionHotKeyRef_ = 0;
    bool isHandsFreeActive_ = false;
    std::uint64_t handsFreeSessions_ = 0;  // sessions begun so far
    std::optional<double> primaryPressStartedAt_;
    std::optional<double> pendingTapAt_;
    // Right Ctrl as the key listener saw it: down, down with another key
    // (a chord), and when it went down; the timer starts the lone hold.
    bool fnDown_ = false;
    bool fnChord_ = false;
    double fnDownAt_ = 0;
    // The delegate was told of a tentative press not yet confirmed.
    bool fnTentative_ = false;
    std::uint64_t loneKeyTimer_ = 0;
    std::uint64_t handsFreeWatchdogTimer_ = 0;
    std::map<DictationMode, HotkeyShortcut> secondaryShortcuts_;
    std::map<DictationMode, std::uint64_t> secondaryHotKeyRefs_;
    std::map<std::uint32_t, DictationMode> secondaryHotKeyIDs_;
    std::map<DictationMode, bool> secondaryPressed_;
    std::map<DictationMode, std::uint64_t> secondaryWatchdogTimers_;
    std::uint32_t nextSecondaryHotKeyNumericID_ = 100;
    std::optional<std::int32_t> altSpaceRegistrationFailed_;
};

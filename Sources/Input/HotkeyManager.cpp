#include "Input/HotkeyManager.h"

#include "Base/AppPaths.h"
#include "Platform/KeyCodes.h"
#include "Platform/LinuxNames.h"
#include "Platform/Log.h"
#include "Platform/Queues.h"
#include "Platform/Unicode.h"

#include <glib.h>

#include <algorithm>
#include <chrono>
#include <unordered_map>

double HotkeyManager::handsFreeMaxDuration = 180.0;
unsigned long HotkeyManager::fnKeysym = KeyCodes::keysymControlR;

namespace {

void logLine(const std::string& message) { platform::log("HotkeyManager", message); }

// The tap and double-tap limits are inclusive; a nanosecond of slack keeps a
// release at exactly the limit on the inclusive side of float arithmetic.
constexpr double kBoundarySlack = 1e-9;

// The main run loop: timers are GLib timeouts on the default context.
class MainRunLoop : public HotkeyRunLoop {
public:
    double now() override {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }

    std::uint64_t scheduleTimer(double seconds, std::function<void()> fire) override {
        std::uint64_t id = ++lastID_;
        guint ms = seconds <= 0 ? 0 : static_cast<guint>(seconds * 1000.0 + 0.5);
        GSource* source = g_timeout_source_new(ms);
        auto* payload = new Payload{this, id, std::move(fire)};
        g_source_set_callback(source, &MainRunLoop::onFire, payload, [](gpointer p) { delete static_cast<Payload*>(p); });
        g_source_attach(source, g_main_context_default());
        sources_[id] = source;  // keeps the reference until it fires or is cancelled
        return id;
    }

    void cancelTimer(std::uint64_t id) override {
        auto it = sources_.find(id);
        if (it == sources_.end()) return;
        GSource* source = it->second;
        sources_.erase(it);
        g_source_destroy(source);
        g_source_unref(source);
    }

    void post(std::function<void()> block) override { platform::MainQueue::async(std::move(block)); }

private:
    struct Payload {
        MainRunLoop* loop;
        std::uint64_t id;
        std::function<void()> fire;
    };
    static gboolean onFire(gpointer data) {
        auto* p = static_cast<Payload*>(data);
        auto it = p->loop->sources_.find(p->id);
        if (it != p->loop->sources_.end()) {
            g_source_unref(it->second);
            p->loop->sources_.erase(it);
        }
        auto fire = std::move(p->fire);
        fire();
        return G_SOURCE_REMOVE;
    }
    std::uint64_t lastID_ = 0;
    std::unordered_map<std::uint64_t, GSource*> sources_;
};

}  // namespace

std::shared_ptr<HotkeyRunLoop> HotkeyRunLoop::main() {
    static std::shared_ptr<HotkeyRunLoop> loop = std::make_shared<MainRunLoop>();
    return loop;
}

HotkeyManager& HotkeyManager::shared() {
    static HotkeyManager* instance = [] {
        return new HotkeyManager(HotkeyRunLoop::main(), platform::desktopHotKeyService(), platform::desktopKeyListener(),
                                 platform::desktopSessionEvents());
    }();
    return *instance;
}

HotkeyManager::HotkeyManager(std::shared_ptr<HotkeyRunLoop> runLoop, std::shared_ptr<HotKeyService> hotKeys,
                             std::shared_ptr<KeyListener> listener, std::shared_ptr<SessionEvents> session)
    : runLoop_(std::move(runLoop)),
      hotKeys_(std::move(hotKeys)),
      listener_(std::move(listener)),
      session_(std::move(session)),
      self_(std::make_shared<HotkeyManager*>(this)) {
    loadConfiguredMode();
}

HotkeyManager::~HotkeyManager() {
    stopListening();
    self_.reset();
}

// MARK: - Primary mode

void HotkeyManager::loadConfiguredMode() {
    if (auto raw = AppPaths::readConfigValue("hotkey"))
        if (auto m = HotkeyModes::fromRawValue(*raw)) mode = *m;
}

void HotkeyManager::setMode(HotkeyMode newMode) {
    mode = newMode;
    grabHotKey();
    AppPaths::writeConfigValue("hotkey", HotkeyModes::rawValue(newMode));
}

HotkeyRegistrationResult HotkeyManager::selectHotkeyMode(HotkeyMode newMode) {
    // The new key is taken before the old one is let go: a refused key leaves
    // the previous hotkey in force, and the user is told at once.
    auto combo = HotkeyModes::carbonCombo(newMode);
    HotkeyRegistrationResult error =
        combo ? registerShortcut({combo->keyCode, combo->modifiers, DictationMode::standard}, true)
        : newMode == HotkeyMode::altSpace ? grabAltSpace()
                                          : std::nullopt;
    if (error) {
        tellRefused(*error);
        return error;
    }
    if (!combo) unregisterShortcut(DictationMode::standard, true);
    setMode(newMode);
    return std::nullopt;
}

bool HotkeyManager::primaryGestureShouldFire(HotkeyMode gesture, HotkeyMode mode) {
    return (gesture == HotkeyMode::fn || gesture == HotkeyMode::altSpace) && gesture == mode;
}

// MARK: - Secondary shortcuts

HotkeyRegistrationResult HotkeyManager::registerShortcut(const HotkeyShortcut& shortcut, bool persist) {
    if (shortcut.mode != DictationMode::standard && shortcut.keyCode == KeyCodes::space &&
        shortcut.carbonModifiers == KeyCodes::optionMask)
        return HotkeyRegistrationError::combinationAlreadyBound(DictationMode::standard);
    for (const auto& [otherMode, other] : secondaryShortcuts_) {
        if (otherMode != shortcut.mode && other.keyCode == shortcut.keyCode &&
            other.carbonModifiers == shortcut.carbonModifiers)
            return HotkeyRegistrationError::combinationAlreadyBound(otherMode);
    }

    const std::uint32_t identifier = nextSecondaryHotKeyNumericID_++;
    auto current = secondaryShortcuts_.find(shortcut.mode);
    const bool alreadyLive =
        current != secondaryShortcuts_.end() && secondaryHotKeyRefs_.count(shortcut.mode) && current->second == shortcut;
    if (!alreadyLive) {
        // The new key is taken before the old one is let go, so a refusal
        // leaves the old shortcut working (and still stored).
        std::uint64_t reference = 0;
        std::int32_t status =
            hotKeys_->registerHotKey(shortcut.keyCode, shortcut.carbonModifiers, signature, identifier, reference);
        if (status != 0) return HotkeyRegistrationError::systemRegistrationFailed(status);
        if (reference == 0) return HotkeyRegistrationError::systemRegistrationFailed(0);
        if (current != secondaryShortcuts_.end() || secondaryHotKeyRefs_.count(shortcut.mode))
            unregisterShortcut(shortcut.mode, false);
        secondaryHotKeyRefs_[shortcut.mode] = reference;
        secondaryHotKeyIDs_[identifier] = shortcut.mode;
    }
    secondaryShortcuts_[shortcut.mode] = shortcut;
    if (persist) storeShortcuts();
    logLine("Registered secondary shortcut for mode '" + DictationModes::rawValue(shortcut.mode) + "' (keyCode " +
            std::to_string(shortcut.keyCode) + ", modifiers " + std::to_string(shortcut.carbonModifiers) + ").");
    return std::nullopt;
}

void HotkeyManager::unregisterShortcut(DictationMode forMode, bool persist) {
    if (auto ref = secondaryHotKeyRefs_.find(forMode); ref != secondaryHotKeyRefs_.end()) {
        hotKeys_->unregisterHotKey(ref->second);
        secondaryHotKeyRefs_.erase(ref);
    }
    secondaryShortcuts_.erase(forMode);
    for (auto it = secondaryHotKeyIDs_.begin(); it != secondaryHotKeyIDs_.end();)
        it = it->second == forMode ? secondaryHotKeyIDs_.erase(it) : std::next(it);
    secondaryPressed_.erase(forMode);
    if (auto timer = secondaryWatchdogTimers_.find(forMode); timer != secondaryWatchdogTimers_.end()) {
        runLoop_->cancelTimer(timer->second);
        secondaryWatchdogTimers_.erase(timer);
    }
    if (persist) storeShortcuts();
}

std::vector<HotkeyShortcut> HotkeyManager::configuredSecondaryShortcuts() const {
    std::vector<HotkeyShortcut> out;
    for (const auto& [m, s] : secondaryShortcuts_) out.push_back(s);
    return out;
}

std::optional<HotkeyShortcut> HotkeyManager::secondaryShortcut(DictationMode forMode) const {
    auto it = secondaryShortcuts_.find(forMode);
    if (it == secondaryShortcuts_.end()) return std::nullopt;
    return it->second;
}

void HotkeyManager::storeShortcuts() {
    const std::string encoded = HotkeyShortcut::encodeList(configuredSecondaryShortcuts());
    AppPaths::userDefaults()->setData(secondaryHotkeysKey, std::vector<std::uint8_t>(encoded.begin(), encoded.end()));
}

void HotkeyManager::restoreSecondaryShortcuts() {
    auto defaults = AppPaths::userDefaults();
    auto stored = defaults->data(secondaryHotkeysKey);
    if (!stored) {
        // A refusal stores nothing, so the next start tries the default again.
        registerShortcut(defaultRawShortcut, true);
        return;
    }
    auto list = HotkeyShortcut::decodeList(std::string(stored->begin(), stored->end()));
    if (!list) {
        logLine("Failed to decode persisted secondary shortcuts — leaving none registered.");
        return;
    }
    for (const auto& shortcut : *list) {
        if (auto error = registerShortcut(shortcut, false))
            logLine("Could not restore secondary shortcut for mode '" + DictationModes::rawValue(shortcut.mode) +
                    "': " + error->description());
    }
}

// MARK: - Listening

void HotkeyManager::startListening() {
    installHotKeyHandler();
    installKeyListener();
    startListenerPolling();
    installSleepAndLockObservers();
    restoreSecondaryShortcuts();
}

void HotkeyManager::stopListening() {
    // A tentative take nobody will confirm any more goes unheard.
    if (fnTentative_) notify([](HotkeyManagerDelegate& d) { d.hotkeyDidRequestDiscard(); });
    cancelTimer(permissionTimer_);
    pollTick_.reset();
    if (keyListenerInstalled_) {
        listener_->remove();
        keyListenerInstalled_ = false;
    }
    disarmKey(carbonHotKeyRef_);
    disarmKey(escHotKeyRef_);
    disarmKey(errorActionHotKeyRef_);
    if (carbonHandlerInstalled_) {
        hotKeys_->removeHandler();
        carbonHandlerInstalled_ = false;
    }
    cancelTimer(maxHoldWatchdogTimer_);
    if (sessionObserversInstalled_) {
        session_->remove();
        sessionObserversInstalled_ = false;
    }
    isPressed_ = false;
    cancelTimer(handsFreeWatchdogTimer_);
    isHandsFreeActive_ = false;
    primaryPressStartedAt_.reset();
    pendingTapAt_.reset();
    cancelTimer(loneKeyTimer_);
    fnDown_ = fnChord_ = fnTentative_ = false;
    for (const auto& [m, ref] : secondaryHotKeyRefs_) hotKeys_->unregisterHotKey(ref);
    secondaryHotKeyRefs_.clear();
    secondaryHotKeyIDs_.clear();
    secondaryPressed_.clear();
    for (const auto& [m, timer] : secondaryWatchdogTimers_) runLoop_->cancelTimer(timer);
    secondaryWatchdogTimers_.clear();
}

void HotkeyManager::installHotKeyHandler() {
    if (carbonHandlerInstalled_) return;
    std::weak_ptr<HotkeyManager*> weak = self_;
    carbonHandlerInstalled_ = hotKeys_->installHandler([weak](std::uint32_t sig, std::uint32_t id, bool pressed) {
        if (auto self = weak.lock()) (*self)->handleHotKeyEvent(sig, id, pressed);
    });
    if (carbonHandlerInstalled_) grabHotKey();
}

void HotkeyManager::grabHotKey() {
    if (!carbonHandlerInstalled_) return;
    if (mode != HotkeyMode::altSpace) {
        disarmKey(carbonHotKeyRef_);
        return;
    }
    if (auto error = grabAltSpace()) tellRefused(*error);
}

void HotkeyManager::tellRefused(const HotkeyRegistrationError& error) {
    notify([message = error.description()](HotkeyManagerDelegate& d) { d.hotkeyDidRefuseHotkey(message); });
}

HotkeyRegistrationResult HotkeyManager::grabAltSpace() {
    if (!carbonHandlerInstalled_ || carbonHotKeyRef_ != 0) return std::nullopt;
    std::uint64_t reference = 0;
    std::int32_t status =
        hotKeys_->registerHotKey(KeyCodes::space, KeyCodes::optionMask, signature, altSpaceHotKeyID, reference);
    if (status != 0 || reference == 0) {
        altSpaceRegistrationFailed_ = status;
        logLine("Alt+Space key grab FAILED (" + std::string(LinuxNames::hotkeyStatusName) + " " + std::to_string(status) +
                ") — another app or the desktop may already own this shortcut.");
        return HotkeyRegistrationError::systemRegistrationFailed(status);
    }
    carbonHotKeyRef_ = reference;
    logLine("Global hot key registered for Alt+Space.");
    altSpaceRegistrationFailed_.reset();
    return std::nullopt;
}

void HotkeyManager::installKeyListener() {
    if (keyListenerInstalled_) return;
    std::weak_ptr<HotkeyManager*> weak = self_;
    keyListenerInstalled_ = listener_->install(
        [weak](const RawKeyEvent& event) {
            if (auto self = weak.lock()) (*self)->handleKeyEvent(event);
        },
        [weak] {
            // The connection went away; the poll puts it back.
            if (auto self = weak.lock()) {
                (*self)->keyListenerInstalled_ = false;
                (*self)->startListenerPolling();
            }
        });
    if (keyListenerInstalled_) logLine("XInput2 key listener initialized for the primary hotkey.");
}

void HotkeyManager::startListenerPolling() {
    cancelTimer(permissionTimer_);
    std::weak_ptr<HotkeyManager*> weak = self_;
    // A 2.0 s poll while the listener is missing: one that could not start
    // (no display yet) or that lost its connection is installed again. Once
    // it listens the poll stops, so an idle Ondira is not woken for nothing.
    auto tickHolder = std::make_shared<std::function<void()>>();
    *tickHolder = [weak, tickHolderWeak = std::weak_ptr<std::function<void()>>(tickHolder)] {
        auto self = weak.lock();
        if (!self) return;
        HotkeyManager& m = **self;
        m.permissionTimer_ = 0;
        if (!m.keyListenerInstalled_) {
            m.installKeyListener();
            if (m.keyListenerInstalled_) logLine("Auto-healed lost key listener.");
        }
        if (m.keyListenerInstalled_) return;
        if (auto next = tickHolderWeak.lock()) m.permissionTimer_ = m.runLoop_->scheduleTimer(2.0, *next);
    };
    pollTick_ = tickHolder;
    if (!keyListenerInstalled_) permissionTimer_ = runLoop_->scheduleTimer(2.0, *tickHolder);
}

void HotkeyManager::installSleepAndLockObservers() {
    if (sessionObserversInstalled_) return;
    std::weak_ptr<HotkeyManager*> weak = self_;
    session_->install(
        [weak] {
            if (auto self = weak.lock()) (*self)->forceReleaseAll("system-sleep");
        },
        [weak] {
            if (auto self = weak.lock()) (*self)->forceReleaseAll("screen-lock");
        });
    sessionObserversInstalled_ = true;
}

bool HotkeyManager::armKey(std::uint32_t keyCode, std::uint32_t modifiers, std::uint32_t identifier,
                           std::uint64_t& reference, const char* what) {
    if (reference != 0) return true;
    std::uint64_t ref = 0;
    std::int32_t status = hotKeys_->registerHotKey(keyCode, modifiers, signature, identifier, ref);
    if (status == 0 && ref != 0) {
        reference = ref;
        return true;
    }
    logLine(std::string("Failed to arm ") + what + " (" + LinuxNames::hotkeyStatusName + " " + std::to_string(status) +
            ").");
    return false;
}

void HotkeyManager::disarmKey(std::uint64_t& reference) {
    if (reference == 0) return;
    hotKeys_->unregisterHotKey(reference);
    reference = 0;
}

// Esc cancels whatever else is held: during a held take the user's finger
// is still on the dictation key, so Esc arrives as Ctrl+Esc.
void HotkeyManager::armEscapeCancel() {
    armKey(KeyCodes::escape, HotKeyService::anyModifiers, escapeHotKeyID, escHotKeyRef_, "Esc-cancel");
}
void HotkeyManager::disarmEscapeCancel() { disarmKey(escHotKeyRef_); }
void HotkeyManager::armErrorAction() {
    armKey(KeyCodes::returnKey, 0, errorActionHotKeyID, errorActionHotKeyRef_, "Return-error-action");
}
void HotkeyManager::disarmErrorAction() { disarmKey(errorActionHotKeyRef_); }

// MARK: - Event sources

void HotkeyManager::handleHotKeyEvent(std::uint32_t eventSignature, std::uint32_t identifier, bool pressed) {
    if (eventSignature != signature) return;
    if (identifier == errorActionHotKeyID) {
        if (pressed) notify([](HotkeyManagerDelegate& d) { d.hotkeyDidRequestErrorAction(); });
        return;
    }
    if (identifier == escapeHotKeyID) {
        if (!pressed) return;
        // The cancel ends the take of a hands-free session, so the session
        // ends with it: left running, it would make the key's next press a
        // press inside hands-free, whose take no shortcut takes back.
        endHandsFreeQuietly();
        notify([](HotkeyManagerDelegate& d) { d.hotkeyDidRequestCancel(); });
        return;
    }
    if (identifier == altSpaceHotKeyID) {
        if (mode != HotkeyMode::altSpace) return;
        if (pressed) triggerPress();
        else triggerRelease();
        return;
    }
    auto it = secondaryHotKeyIDs_.find(identifier);
    if (it == secondaryHotKeyIDs_.end()) return;
    if (pressed) secondaryPress(it->second);
    else secondaryRelease(it->second);
}

void HotkeyManager::handleKeyEvent(const RawKeyEvent& event) {
    if (mode == HotkeyMode::fn) {
        handleFnKey(event);
        return;
    }
    if (mode != HotkeyMode::altSpace || event.keysym != KeyCodes::keysymSpace) return;
    if (!event.pressed) {
        triggerRelease();
        return;
    }
    if (event.autoRepeat) return;
    const std::uint32_t chord = KeyCodes::shiftMask | KeyCodes::controlMask | KeyCodes::optionMask | KeyCodes::commandMask;
    if ((event.heldModifiers & chord) != KeyCodes::optionMask) return;
    if (!isPressed_) triggerPress();
}

// Only a lone hold of Right Ctrl is the gesture. Whether it is alone is known
// only while it is held: any other key going down before its release makes it
// a shortcut (Right Ctrl+C), which is never a hold and never a tap.
void HotkeyManager::handleFnKey(const RawKeyEvent& event) {
    if (event.keysym != fnKeysym) {
        // Esc in a take that has begun is the armed cancel's, which says
        // "Cancelled"; it is no shortcut.
        const bool escCancels =
            isPressed_ && isEscapeCancelArmed() && KeyCodes::keyCodeForKeysym(event.keysym) == KeyCodes::escape;
        if (event.pressed && !event.autoRepeat && fnDown_ && !fnChord_ && !escCancels) becomeChord();
        return;
    }
    if (event.pressed) {
        if (event.autoRepeat || fnDown_) return;
        fnDown_ = true;
        fnChord_ = event.otherKeysHeld;
        if (fnChord_) return;
        const double now = runLoop_->now();
        // Never later than now: a key can't have gone down after it was read.
        fnDownAt_ = std::min(event.time.value_or(now), now);
        // The take begins at once, so the first word spoken with the key is
        // kept and the indicator shows; in hands-free this press only ends
        // the session, so it begins nothing.
        if (!isPressed_ && !isHandsFreeActive_) {
            fnTentative_ = true;
            notify([](HotkeyManagerDelegate& d) { d.hotkeyDidBeginTentativePress(); });
        }
        replaceTimer(loneKeyTimer_, std::max(0.0, fnDownAt_ + loneKeyDelay - now),
                     [](HotkeyManager& m) { m.pressPrimary(m.fnDownAt_); });
        return;
    }
    const bool wasChord = fnChord_;
    fnDown_ = fnChord_ = false;
    if (wasChord) return;
    // A tap shorter than the delay: the press it stood for comes now, so the
    // tap and double-tap rules see it.
    if (loneKeyTimer_ != 0) {
        cancelTimer(loneKeyTimer_);
        pressPrimary(fnDownAt_);
    }
    const double now = runLoop_->now();
    releasePrimary(std::max(fnDownAt_, std::min(event.time.value_or(now), now)));
}

void HotkeyManager::becomeChord() {
    fnChord_ = true;
    cancelTimer(loneKeyTimer_);
    pendingTapAt_.reset();
    if (fnTentative_) {
        fnTentative_ = false;
        notify([](HotkeyManagerDelegate& d) { d.hotkeyDidRequestDiscard(); });
    }
    if (!isPressed_) return;
    isPressed_ = false;
    cancelTimer(maxHoldWatchdogTimer_);
    primaryPressStartedAt_.reset();
    // In hands-free the session was not this press's take: it goes on.
    if (!isHandsFreeActive_) notify([](HotkeyManagerDelegate& d) { d.hotkeyDidRequestDiscard(); });
}

// MARK: - Gestures

void HotkeyManager::notify(std::function<void(HotkeyManagerDelegate&)> call) {
    std::weak_ptr<HotkeyManagerDelegate> target = delegate;
    runLoop_->post([target, call = std::move(call)] {
        if (auto d = target.lock()) call(*d);
    });
}

void HotkeyManager::cancelTimer(std::uint64_t& timer) {
    if (timer == 0) return;
    runLoop_->cancelTimer(timer);
    timer = 0;
}

void HotkeyManager::replaceTimer(std::uint64_t& timer, double seconds, std::function<void(HotkeyManager&)> fire) {
    cancelTimer(timer);
    std::weak_ptr<HotkeyManager*> weak = self_;
    std::uint64_t* slot = &timer;
    timer = runLoop_->scheduleTimer(seconds, [weak, slot, fire = std::move(fire)] {
        auto self = weak.lock();
        if (!self) return;
        *slot = 0;  // fired: nothing left to cancel
        fire(**self);
    });
}

void HotkeyManager::triggerPress() { pressPrimary(runLoop_->now()); }

void HotkeyManager::pressPrimary(double startedAt) {
    if (isPressed_) return;
    isPressed_ = true;
    fnTentative_ = false;
    replaceTimer(maxHoldWatchdogTimer_, maxHoldDuration, [](HotkeyManager& m) { m.forceReleaseAll("max-hold-timeout"); });
    notify([](HotkeyManagerDelegate& d) { d.hotkeyDidPress(); });
    primaryPressStartedAt_ = startedAt;
}

void HotkeyManager::triggerRelease() { releasePrimary(runLoop_->now()); }

void HotkeyManager::releasePrimary(double now) {
    if (!isPressed_) return;
    isPressed_ = false;
    cancelTimer(maxHoldWatchdogTimer_);
    notify([](HotkeyManagerDelegate& d) { d.hotkeyDidRelease(); });
    // A monotonic clock: a wall-clock change can't turn a hold into a tap.
    const bool wasTap = primaryPressStartedAt_ && now - *primaryPressStartedAt_ <= tapMaxDuration + kBoundarySlack;
    primaryPressStartedAt_.reset();
    if (isHandsFreeActive_) {
        stopHandsFree("tap");
        return;
    }
    if (!wasTap) {
        pendingTapAt_.reset();
        return;
    }
    if (pendingTapAt_ && now - *pendingTapAt_ <= doubleTapWindow + kBoundarySlack) {
        pendingTapAt_.reset();
        isHandsFreeActive_ = true;
        replaceTimer(handsFreeWatchdogTimer_, handsFreeMaxDuration, [](HotkeyManager& m) {
            if (!m.isHandsFreeActive_) return;
            logLine("Hands-free session hit its max duration (" + platform::text::formatDouble(handsFreeMaxDuration) +
                    "s) — stopping.");
            m.stopHandsFree("max-duration");
        });
        // A start refused outright (dictation is off where the text would
        // go, the microphone can't be used) leaves no take: its session ends
        // too, unless another one has begun meanwhile.
        const std::uint64_t session = ++handsFreeSessions_;
        std::weak_ptr<HotkeyManager*> weak = self_;
        std::weak_ptr<HotkeyManagerDelegate> target = delegate;
        runLoop_->post([weak, target, session] {
            auto d = target.lock();
            if (!d || d->hotkeyDidRequestHandsFreeStart()) return;
            if (auto self = weak.lock())
                if ((*self)->handsFreeSessions_ == session) (*self)->endHandsFreeQuietly();
        });
        return;
    }
    pendingTapAt_ = now;
}

void HotkeyManager::endHandsFreeQuietly() {
    if (!isHandsFreeActive_) return;
    isHandsFreeActive_ = false;
    cancelTimer(handsFreeWatchdogTimer_);
    pendingTapAt_.reset();
}

void HotkeyManager::stopHandsFree(const std::string& reason) {
    isHandsFreeActive_ = false;
    cancelTimer(handsFreeWatchdogTimer_);
    pendingTapAt_.reset();
    notify([reason](HotkeyManagerDelegate& d) { d.hotkeyDidRequestHandsFreeStop(reason); });
}

void HotkeyManager::secondaryPress(DictationMode forMode) {
    if (secondaryPressed_[forMode]) return;
    secondaryPressed_[forMode] = true;
    replaceTimer(secondaryWatchdogTimers_[forMode], maxHoldDuration,
                 [](HotkeyManager& m) { m.forceReleaseAll("max-hold-timeout"); });
    notify([forMode](HotkeyManagerDelegate& d) { d.hotkeyDidPress(forMode); });
}

void HotkeyManager::secondaryRelease(DictationMode forMode) {
    auto it = secondaryPressed_.find(forMode);
    if (it == secondaryPressed_.end() || !it->second) return;
    it->second = false;
    if (auto timer = secondaryWatchdogTimers_.find(forMode); timer != secondaryWatchdogTimers_.end()) {
        cancelTimer(timer->second);
        secondaryWatchdogTimers_.erase(timer);
    }
    // Any release stops the take under way, a hands-free one too.
    endHandsFreeQuietly();
    notify([forMode](HotkeyManagerDelegate& d) { d.hotkeyDidRelease(forMode); });
}

void HotkeyManager::forceReleaseAll(const std::string& reason) {
    bool released = false;
    if (isPressed_) {
        logLine("Force-releasing stuck primary hotkey press (reason: " + reason + ").");
        isPressed_ = false;
        cancelTimer(maxHoldWatchdogTimer_);
        notify([](HotkeyManagerDelegate& d) { d.hotkeyDidRelease(); });
        released = true;
    }
    for (auto& [m, pressed] : secondaryPressed_) {
        if (!pressed) continue;
        const DictationMode held = m;
        logLine("Force-releasing stuck '" + DictationModes::rawValue(held) + "' hotkey press (reason: " + reason + ").");
        pressed = false;
        if (auto timer = secondaryWatchdogTimers_.find(held); timer != secondaryWatchdogTimers_.end()) {
            cancelTimer(timer->second);
            secondaryWatchdogTimers_.erase(timer);
        }
        notify([held](HotkeyManagerDelegate& d) { d.hotkeyDidRelease(held); });
        released = true;
    }
    if (isHandsFreeActive_) {
        logLine("Force-stopping hands-free session (reason: " + reason + ").");
        stopHandsFree(reason);
        notify([reason](HotkeyManagerDelegate& d) { d.hotkeyDidForceRelease(reason); });
    } else if (released) {
        notify([reason](HotkeyManagerDelegate& d) { d.hotkeyDidForceRelease(reason); });
    }
}

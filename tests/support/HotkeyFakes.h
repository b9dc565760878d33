#pragma once
// Test doubles for the hotkey manager's seams: a hand-driven clock and run
// loop, an in-memory hot-key registrar, a silent key listener and session.
#include "Input/HotkeyManager.h"

#include "Base/AppPaths.h"
#include "support/TempDir.h"

#include <map>
#include <set>
#include <string>
#include <vector>

class FakeRunLoop : public HotkeyRunLoop {
public:
    double now() override { return now_; }
    std::uint64_t scheduleTimer(double seconds, std::function<void()> fire) override {
        timers_[++lastID_] = {now_ + seconds, std::move(fire)};
        return lastID_;
    }
    void cancelTimer(std::uint64_t id) override { timers_.erase(id); }
    void post(std::function<void()> block) override { posted_.push_back(std::move(block)); }

    // Moves time forward, firing due timers in order and running posted blocks.
    void advance(double seconds) {
        const double end = now_ + seconds;
        for (;;) {
            drain();
            auto next = timers_.end();
            for (auto it = timers_.begin(); it != timers_.end(); ++it)
                if (it->second.due <= end && (next == timers_.end() || it->second.due < next->second.due)) next = it;
            if (next == timers_.end()) break;
            now_ = std::max(now_, next->second.due);
            auto fire = std::move(next->second.fire);
            timers_.erase(next);
            fire();
        }
        now_ = end;
        drain();
    }
    void drain() {
        while (!posted_.empty()) {
            auto block = std::move(posted_.front());
            posted_.erase(posted_.begin());
            block();
        }
    }
    std::size_t pendingTimers() const { return timers_.size(); }

private:
    struct Timer {
        double due;
        std::function<void()> fire;
    };
    double now_ = 1000.0;
    std::uint64_t lastID_ = 0;
    std::map<std::uint64_t, Timer> timers_;
    std::vector<std::function<void()>> posted_;
};

class FakeHotKeys : public HotKeyService {
public:
    struct Live {
        std::uint32_t keyCode, modifiers, identifier;
    };
    std::int32_t registerHotKey(std::uint32_t keyCode, std::uint32_t carbonModifiers, std::uint32_t,
                                std::uint32_t identifier, std::uint64_t& reference) override {
        reference = 0;
        if (refused.count({keyCode, carbonModifiers})) return refusalStatus;
        for (const auto& [r, l] : live)
            if (l.keyCode == keyCode && l.modifiers == carbonModifiers) return -3;
        reference = ++last;
        live[reference] = {keyCode, carbonModifiers, identifier};
        return 0;
    }
    void unregisterHotKey(std::uint64_t reference) override { live.erase(reference); }
    bool installHandler(Handler h) override {
        handler = std::move(h);
        return true;
    }
    void removeHandler() override { handler = nullptr; }
    bool isLive(std::uint32_t keyCode, std::uint32_t modifiers) const {
        for (const auto& [r, l] : live)
            if (l.keyCode == keyCode && l.modifiers == modifiers) return true;
        return false;
    }
    // Sends a key of the registered identifier, as the X server would.
    void fire(std::uint32_t keyCode, std::uint32_t modifiers, bool pressed) {
        for (const auto& [r, l] : live)
            if (l.keyCode == keyCode && l.modifiers == modifiers && handler)
                handler(HotkeyManager::signature, l.identifier, pressed);
    }

    std::map<std::uint64_t, Live> live;
    std::set<std::pair<std::uint32_t, std::uint32_t>> refused;
    std::int32_t refusalStatus = 10;
    std::uint64_t last = 0;
    Handler handler;
};

class FakeListener : public KeyListener {
public:
    bool install(std::function<void(const RawKeyEvent&)> key, std::function<void()> lost) override {
        if (!available) return false;
        ++installs;
        onKey = std::move(key);
        onLost = std::move(lost);
        return true;
    }
    void remove() override { onKey = nullptr; }
    bool available = true;
    int installs = 0;
    std::function<void(const RawKeyEvent&)> onKey;
    std::function<void()> onLost;
};

class FakeSession : public SessionEvents {
public:
    void install(std::function<void()> s, std::function<void()> l) override {
        sleep = std::move(s);
        lock = std::move(l);
    }
    void remove() override {
        sleep = nullptr;
        lock = nullptr;
    }
    std::function<void()> sleep, lock;
};

// Records every delegate call as a short word, in arrival order.
class RecordingDelegate : public HotkeyManagerDelegate {
public:
    void hotkeyDidBeginTentativePress() override { calls.push_back("tentative"); }
    void hotkeyDidPress() override { calls.push_back("press"); }
    void hotkeyDidRelease() override { calls.push_back("release"); }
    void hotkeyDidForceRelease(const std::string& reason) override { calls.push_back("force:" + reason); }
    void hotkeyDidPress(DictationMode mode) override { calls.push_back("press:" + DictationModes::rawValue(mode)); }
    void hotkeyDidRelease(DictationMode mode) override { calls.push_back("release:" + DictationModes::rawValue(mode)); }
    void hotkeyDidRequestCancel() override { calls.push_back("cancel"); }
    void hotkeyDidRequestErrorAction() override { calls.push_back("errorAction"); }
    // As the dictation road refuses a take where dictation is off: said so,
    // and no take begins.
    bool hotkeyDidRequestHandsFreeStart() override {
        calls.push_back(refuseHandsFree ? "handsFreeStart:refused" : "handsFreeStart");
        return !refuseHandsFree;
    }
    void hotkeyDidRequestHandsFreeStop(const std::string& reason) override { calls.push_back("handsFreeStop:" + reason); }
    void hotkeyDidRequestDiscard() override { calls.push_back("discard"); }
    void hotkeyDidRefuseHotkey(const std::string& message) override { calls.push_back("refused:" + message); }
    std::vector<std::string> calls;
    bool refuseHandsFree = false;
};

// A manager over the fakes, with its settings and config in a private state
// directory.
struct HotkeyRig {
    TempDir state{"ondira-hotkey-"};
    ScopedEnv isolation{"ONDIRA_SELFTEST_STATE_DIR", state.path.string()};
    std::shared_ptr<FakeRunLoop> loop = std::make_shared<FakeRunLoop>();
    std::shared_ptr<FakeHotKeys> keys = std::make_shared<FakeHotKeys>();
    std::shared_ptr<FakeListener> listener = std::make_shared<FakeListener>();
    std::shared_ptr<FakeSession> session = std::make_shared<FakeSession>();
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::unique_ptr<HotkeyManager> manager;
    void make() {
        manager = std::make_unique<HotkeyManager>(loop, keys, listener, session);
        manager->delegate = delegate;
    }
    std::optional<std::string> stored() {
        auto data = AppPaths::userDefaults()->data(HotkeyManager::secondaryHotkeysKey);
        if (!data) return std::nullopt;
        return std::string(data->begin(), data->end());
    }
    void store(const std::string& text) {
        AppPaths::userDefaults()->setData(HotkeyManager::secondaryHotkeysKey,
                                          std::vector<std::uint8_t>(text.begin(), text.end()));
    }
};

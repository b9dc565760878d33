#include "SelfTest/AppRulesHotkeyCases.h"

#include "Input/HotkeyManager.h"
#include "Platform/Queues.h"
#include "Platform/Unicode.h"

#include <memory>

namespace {

class FakeHotkeyDelegate : public HotkeyManagerDelegate {
public:
    void hotkeyDidPress() override { ++pressCount; }
    void hotkeyDidRelease() override { ++releaseCount; }
    void hotkeyDidPress(DictationMode) override { ++pressCount; }
    void hotkeyDidRelease(DictationMode) override { ++releaseCount; }
    bool hotkeyDidRequestHandsFreeStart() override {
        ++handsFreeStartCount;
        return true;
    }
    void hotkeyDidRequestHandsFreeStop(const std::string& reason) override { handsFreeStopReasons.push_back(reason); }
    void hotkeyDidForceRelease(const std::string& reason) override { forceReleaseReasons.push_back(reason); }
    void hotkeyDidRequestCancel() override {}
    void hotkeyDidRequestErrorAction() override {}

    int pressCount = 0;
    int releaseCount = 0;
    int handsFreeStartCount = 0;
    std::vector<std::string> handsFreeStopReasons;
    std::vector<std::string> forceReleaseReasons;

    bool stoppedWith(const std::string& reason) const {
        for (const auto& r : handsFreeStopReasons)
            if (r == reason) return true;
        return false;
    }
    std::string reasonsText() const {
        std::string out = "[";
        for (std::size_t i = 0; i < handsFreeStopReasons.size(); ++i)
            out += (i ? ", \"" : "\"") + handsFreeStopReasons[i] + "\"";
        return out + "]";
    }
};

void pumpMainRunLoop(double seconds) {
    if (seconds <= 0) return;
    platform::MainQueue::pump(seconds);
}

const char* boolText(bool b) { return b ? "true" : "false"; }

// Installs a fresh fake as the shared manager's delegate and puts the saved
// one back when the case ends, on every path.
struct FakeDelegateScope {
    HotkeyManager& manager = HotkeyManager::shared();
    std::weak_ptr<HotkeyManagerDelegate> saved = manager.delegate;
    std::shared_ptr<FakeHotkeyDelegate> fake = std::make_shared<FakeHotkeyDelegate>();
    FakeDelegateScope() { manager.delegate = fake; }
    ~FakeDelegateScope() { manager.delegate = saved; }
};

void tap(HotkeyManager& m) {
    m.triggerPress();
    m.triggerRelease();
}

// Two quick taps from a quiet start; true when hands-free began.
bool startHandsFree(FakeDelegateScope& scope) {
    pumpMainRunLoop(0.5);
    tap(scope.manager);
    pumpMainRunLoop(0.05);
    tap(scope.manager);
    pumpMainRunLoop(0.05);
    return scope.manager.isHandsFreeActive();
}

}  // namespace

std::vector<SelfTestCase> AppRulesHotkeyCases() {
    std::vector<SelfTestCase> out;

    out.push_back({"hands-free: two quick taps inside the double-tap window start a session",
                   "the double tap is the only way into a hands-free session; if two taps 0.05 s apart did not start "
                   "exactly one, hands-free dictation would be unreachable or would start twice",
                   [] {
                       int count = 0;
                       bool active = false;
                       {
                           FakeDelegateScope scope;
                           startHandsFree(scope);
                           count = scope.fake->handsFreeStartCount;
                           active = scope.manager.isHandsFreeActive();
                       }
                       // With the saved delegate back, one more tap ends the session.
                       if (HotkeyManager::shared().isHandsFreeActive()) {
                           tap(HotkeyManager::shared());
                           pumpMainRunLoop(0.05);
                       }
                       if (count == 1 && active) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected exactly one hands-free start, got count=" +
                                                    std::to_string(count) + " active=" + boolText(active));
                   }});

    out.push_back({"hands-free: two quick taps OUTSIDE the double-tap window do NOT start a session",
                   "taps further apart than the 0.4 s window are two separate short holds; starting hands-free for them "
                   "would leave the microphone open after two ordinary quick presses",
                   [] {
                       FakeDelegateScope scope;
                       pumpMainRunLoop(0.5);
                       tap(scope.manager);
                       pumpMainRunLoop(0.65);
                       tap(scope.manager);
                       pumpMainRunLoop(0.05);
                       const int count = scope.fake->handsFreeStartCount;
                       const bool active = scope.manager.isHandsFreeActive();
                       if (count == 0 && !active) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected no hands-free start outside the window, got count=" +
                                                    std::to_string(count) + " active=" + boolText(active));
                   }});

    out.push_back({"hands-free: a further tap while a session is active stops it",
                   "the tap that ends a hands-free session is the user's only ordinary way out; if it were ignored the "
                   "microphone would stay open until the safety limit",
                   [] {
                       FakeDelegateScope scope;
                       if (!startHandsFree(scope))
                           return SelfTestOutcome::fail("precondition failed: hands-free never started");
                       tap(scope.manager);
                       pumpMainRunLoop(0.05);
                       const bool active = scope.manager.isHandsFreeActive();
                       if (!active && scope.fake->stoppedWith("tap")) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected the session to stop with reason 'tap', got active=" +
                                                    std::string(boolText(active)) + " reasons=" + scope.fake->reasonsText());
                   }});

    out.push_back({"hands-free: the max-duration safety stop fires on its own, with no further tap",
                   "the safety stop must end a forgotten session by itself; without it a hands-free session would record "
                   "for as long as nobody touches the key",
                   [] {
                       const double savedLimit = HotkeyManager::handsFreeMaxDuration;
                       HotkeyManager::handsFreeMaxDuration = 0.15;
                       struct Restore {
                           double limit;
                           ~Restore() { HotkeyManager::handsFreeMaxDuration = limit; }
                       } restore{savedLimit};
                       FakeDelegateScope scope;
                       if (!startHandsFree(scope))
                           return SelfTestOutcome::fail("precondition failed: hands-free never started");
                       platform::MainQueue::pump(2.0, [&] {
                           return scope.fake->stoppedWith("max-duration") && !scope.manager.isHandsFreeActive();
                       });
                       const bool active = scope.manager.isHandsFreeActive();
                       if (!active && scope.fake->stoppedWith("max-duration")) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected an automatic max-duration stop, got active=" +
                                                    std::string(boolText(active)) + " reasons=" + scope.fake->reasonsText());
                   }});

    out.push_back(
        {"primary hold path is unchanged: a single press held past the tap window still fires exactly one press "
         "and one release, and never starts hands-free",
         "push-to-talk is the everyday gesture; the hands-free rules must not add, drop or double a press or "
         "release of an ordinary hold, nor shorten the 180 s hold limit",
         [] {
             FakeDelegateScope scope;
             scope.manager.triggerPress();
             const bool pressedDuring = scope.manager.isPressed();
             pumpMainRunLoop(0.5);
             scope.manager.triggerRelease();
             pumpMainRunLoop(0.05);
             const bool pressedAfter = scope.manager.isPressed();
             const auto& f = *scope.fake;
             if (pressedDuring && !pressedAfter && f.pressCount == 1 && f.releaseCount == 1 && f.handsFreeStartCount == 0 &&
                 HotkeyManager::maxHoldDuration == 180.0)
                 return SelfTestOutcome::pass();
             return SelfTestOutcome::fail(
                 "expected exactly one press+release, isPressed true during hold then false after, no hands-free "
                 "start, maxHoldDuration==180 — got pressCount=" +
                 std::to_string(f.pressCount) + " releaseCount=" + std::to_string(f.releaseCount) +
                 " handsFreeStart=" + std::to_string(f.handsFreeStartCount) + " isPressed=" + boolText(pressedAfter) +
                 " maxHoldDuration=" + platform::text::formatDouble(HotkeyManager::maxHoldDuration));
         }});
    return out;
}

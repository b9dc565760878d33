// The gesture rules of the primary hotkey and the secondary shortcuts, driven
// by a hand-moved clock: each row is a script of presses, releases, waits and
// session events, and the delegate calls it must produce, in order.
#include "Input/HotkeyManager.h"

#include <gtest/gtest.h>

#include <set>

#include "support/TempDir.h"
#include "support/HotkeyFakes.h"
#include "Platform/KeyCodes.h"

namespace {

constexpr unsigned long kLetterC = 0x63;

struct Rig : HotkeyRig {
    Rig() { make(); }
    // P press, R release, W<s> wait, p/r secondary raw press/release, S sleep, L lock, T tap (press, release);
    // through the key listener: D Right Ctrl down, U Right Ctrl up, u<s> Right Ctrl up handled s seconds late,
    // C the C key pressed and let go, E the same for Esc; X Esc pressed and let go while its cancel is armed,
    // as it is during a take; N the delegate refuses hands-free starts from here on (dictation is off where
    // the text would go), Y it accepts them again.
    void run(const std::string& script) {
        std::size_t i = 0;
        while (i < script.size()) {
            char op = script[i++];
            if (op == ' ') continue;
            // The keys the script leaves down, whatever the manager made of them.
            if (op == 'P' || op == 'D' || op == 'p') held.insert(op == 'p' ? 'p' : 'P');
            if (op == 'R' || op == 'U' || op == 'u') held.erase('P');
            if (op == 'r') held.erase('p');
            if (op == 'W') {
                std::size_t used = 0;
                double s = std::stod(script.substr(i), &used);
                i += used;
                loop->advance(s);
                continue;
            }
            if (op == 'u') {
                // Right Ctrl up now, but handled only after the main loop was
                // busy for the given seconds (timers due meanwhile fire first).
                std::size_t used = 0;
                double s = std::stod(script.substr(i), &used);
                i += used;
                const double upAt = loop->now();
                loop->advance(s);
                RawKeyEvent up{HotkeyManager::fnKeysym, false, false, 0, false};
                up.time = upAt;
                manager->handleKeyEvent(up);
                loop->drain();
                continue;
            }
            switch (op) {
                case 'P': manager->triggerPress(); break;
                case 'R': manager->triggerRelease(); break;
                case 'T':
                    manager->triggerPress();
                    manager->triggerRelease();
                    break;
                case 'N': delegate->refuseHandsFree = true; break;
                case 'Y': delegate->refuseHandsFree = false; break;
                case 'p': manager->secondaryPress(DictationMode::raw); break;
                case 'r': manager->secondaryRelease(DictationMode::raw); break;
                case 'S':
                    manager->startListening();
                    session->sleep();
                    break;
                case 'L':
                    manager->startListening();
                    session->lock();
                    break;
                case 'D': manager->handleKeyEvent({HotkeyManager::fnKeysym, true, false, 0, false}); break;
                case 'U': manager->handleKeyEvent({HotkeyManager::fnKeysym, false, false, 0, false}); break;
                case 'C':
                    manager->handleKeyEvent({kLetterC, true, false, KeyCodes::controlMask, true});
                    manager->handleKeyEvent({kLetterC, false, false, KeyCodes::controlMask, true});
                    break;
                case 'E': {
                    const unsigned long escape = *KeyCodes::keysymForKeyCode(KeyCodes::escape);
                    manager->handleKeyEvent({escape, true, false, KeyCodes::controlMask, true});
                    manager->handleKeyEvent({escape, false, false, KeyCodes::controlMask, true});
                    break;
                }
                case 'X': {
                    manager->startListening();
                    manager->armEscapeCancel();
                    const unsigned long escape = *KeyCodes::keysymForKeyCode(KeyCodes::escape);
                    manager->handleKeyEvent({escape, true, false, 0, false});
                    keys->fire(KeyCodes::escape, HotKeyService::anyModifiers, true);
                    manager->handleKeyEvent({escape, false, false, 0, false});
                    keys->fire(KeyCodes::escape, HotKeyService::anyModifiers, false);
                    break;
                }
                default: FAIL() << "bad script op " << op;
            }
            loop->drain();
        }
    }
    std::set<char> held;
};

// The dictation a delegate's calls leave running, read as the dictation road
// reads them: a key-down, a press or a hands-free request starts a take when
// none records (a press inside a running take changes nothing); a release, a
// discard, a cancel or the end of a hands-free session stops it; a refused
// hands-free request starts nothing.
struct TakeAfter {
    bool recording = false;
    bool handsFree = false;
    explicit TakeAfter(const std::vector<std::string>& calls) {
        for (const std::string& call : calls) {
            if (call == "tentative" || call == "press" || call.rfind("press:", 0) == 0) {
                if (!recording) handsFree = false;
                recording = true;
            } else if (call == "handsFreeStart") {
                recording = handsFree = true;
            } else if (call == "release" || call.rfind("release:", 0) == 0 || call == "discard" || call == "cancel" ||
                       call.rfind("handsFreeStop:", 0) == 0) {
                recording = handsFree = false;
            }
        }
    }
};

struct GestureRow {
    const char* name;
    const char* script;
    std::vector<std::string> calls;
    bool pressedAfter;
    bool handsFreeAfter;
    double handsFreeLimit = 180.0;
};

class GestureTable : public ::testing::TestWithParam<GestureRow> {};

TEST_P(GestureTable, ProducesTheDelegateCallsInOrder) {
    const GestureRow& row = GetParam();
    const double savedLimit = HotkeyManager::handsFreeMaxDuration;
    HotkeyManager::handsFreeMaxDuration = row.handsFreeLimit;
    Rig rig;
    rig.run(row.script);
    HotkeyManager::handsFreeMaxDuration = savedLimit;
    std::vector<std::string> calls = rig.delegate->calls;
    // Session events install listening first; the default raw shortcut it
    // registers makes no calls.
    EXPECT_EQ(calls, row.calls) << row.name;
    EXPECT_EQ(rig.manager->isPressed(), row.pressedAfter) << row.name;
    EXPECT_EQ(rig.manager->isHandsFreeActive(), row.handsFreeAfter) << row.name;

    // Whatever the script, once every key is up and no hands-free take runs,
    // nothing records: the microphone is closed. And the manager's session
    // is the take's: it runs exactly while a hands-free take does.
    const TakeAfter take(calls);
    if (rig.held.empty() && !take.handsFree) {
        EXPECT_FALSE(take.recording) << row.name << ": every key is up and a take still records";
    }
    EXPECT_EQ(rig.manager->isHandsFreeActive(), take.handsFree)
        << row.name << ": the hands-free session outlives its take, or the take its session";
}

const std::vector<std::string> kDoubleTap = {"press", "release", "press", "release", "handsFreeStart"};
const std::vector<std::string> kRefusedDoubleTap = {"press", "release", "press", "release", "handsFreeStart:refused"};
// The same through the key listener, where each key-down first begins a tentative take.
const std::vector<std::string> tentativeTap = {"press", "release", "tentative", "press", "release", "handsFreeStart"};
std::vector<std::string> plus(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

INSTANTIATE_TEST_SUITE_P(
    Hotkey, GestureTable,
    ::testing::Values(
        GestureRow{"hold past the tap limit", "P W0.5 R", {"press", "release"}, false, false},
        GestureRow{"taps of exactly 0.30 s, releases exactly 0.4 s apart", "P W0.3 R W0.1 P W0.3 R", kDoubleTap, false,
                   true},
        GestureRow{"0.31 s is no tap; the next quick pair starts hands-free",
                   "P W0.31 R W0.05 P W0.1 R W0.1 P W0.1 R",
                   {"press", "release", "press", "release", "press", "release", "handsFreeStart"},
                   false,
                   true},
        GestureRow{"releases 0.41 s apart: the second tap becomes the pending one",
                   "P W0.1 R W0.31 P W0.1 R W0.1 P W0.1 R",
                   {"press", "release", "press", "release", "press", "release", "handsFreeStart"},
                   false,
                   true},
        GestureRow{"a long hold after a pending tap clears it",
                   "P W0.1 R W0.05 P W2 R W0.05 P W0.05 R",
                   {"press", "release", "press", "release", "press", "release"},
                   false,
                   false},
        GestureRow{"hands-free ends on the release of a 5 s hold", "T W0.05 T P W5 R",
                   plus(kDoubleTap, {"press", "release", "handsFreeStop:tap"}), false, false},
        GestureRow{"hands-free stops itself at its limit", "T W0.05 T W0.2",
                   plus(kDoubleTap, {"handsFreeStop:max-duration"}), false, false, 0.1},
        GestureRow{"hands-free limit while held leaves the key held", "T W0.05 T P W0.2",
                   plus(kDoubleTap, {"press", "handsFreeStop:max-duration"}), true, false, 0.1},
        GestureRow{"a 180 s hold is force-released", "P W180", {"press", "release", "force:max-hold-timeout"}, false, false},
        GestureRow{"a 180 s hold inside hands-free ends the session too", "T W0.05 T P W180",
                   plus(kDoubleTap, {"press", "release", "handsFreeStop:max-hold-timeout", "force:max-hold-timeout"}), false,
                   false, 1000.0},
        GestureRow{"sleep with nothing held calls nothing", "S", {}, false, false},
        GestureRow{
            "sleep with a raw shortcut held", "p S", {"press:raw", "release:raw", "force:system-sleep"}, false, false},
        GestureRow{"screen lock ends a hands-free session", "T W0.05 T L",
                   plus(kDoubleTap, {"handsFreeStop:screen-lock", "force:screen-lock"}), false, false},
        GestureRow{"a repeated secondary press is one press", "p p W0.1 r", {"press:raw", "release:raw"}, false, false},
        GestureRow{"a release without a press does nothing", "R r", {}, false, false},
        GestureRow{"a secondary watchdog also ends the primary hold",
                   "P p W180",
                   {"press", "press:raw", "release", "release:raw", "force:max-hold-timeout"},
                   false,
                   false},
        GestureRow{"Right Ctrl+C with the C 0.19 s after Right Ctrl takes its tentative take back",
                   "D W0.19 C W0.05 U W1",
                   {"tentative", "discard"},
                   false,
                   false},
        GestureRow{"a lone Right Ctrl begins its take at key-down and confirms it after the delay",
                   "D W0.19",
                   {"tentative"},
                   false,
                   false},
        GestureRow{"a lone Right Ctrl hold", "D W0.5 U", {"tentative", "press", "release"}, false, false},
        GestureRow{"a lone Right Ctrl double tap", "D W0.05 U W0.1 D W0.05 U", plus({"tentative"}, tentativeTap),
                   false, true},
        GestureRow{"a double tap whose second release is read late, after the indicator drew its take",
                   "D W0.1 U W0.2 D W0.1 u0.25", plus({"tentative"}, tentativeTap), false, true},
        GestureRow{"Right Ctrl+C starts nothing", "D W0.05 C W0.05 U W1", {"tentative", "discard"}, false, false},
        GestureRow{"Esc before the delay is a shortcut too", "D W0.05 E W0.05 U W1", {"tentative", "discard"}, false,
                   false},
        GestureRow{"Right Ctrl+C then Right Ctrl+V within 0.4 s is no double tap",
                   "D W0.05 C W0.05 U W0.1 D W0.05 C W0.05 U W1",
                   {"tentative", "discard", "tentative", "discard"},
                   false,
                   false},
        GestureRow{"a key pressed into a started take discards it silently",
                   "D W0.5 C W0.1 U W1",
                   {"tentative", "press", "discard"},
                   false,
                   false},
        GestureRow{"a chord clears a pending tap",
                   "D W0.05 U W0.05 D W0.05 C U W0.05 D W0.05 U",
                   {"tentative", "press", "release", "tentative", "discard", "tentative", "press", "release"},
                   false,
                   false},
        GestureRow{"a chord in hands-free neither stops nor discards the session", "T W0.05 T D W0.5 C U W0.1",
                   plus(kDoubleTap, {"press"}), false, true},
        GestureRow{"a quick chord in hands-free takes nothing back", "T W0.05 T D W0.05 C U W0.1", kDoubleTap, false,
                   true},
        GestureRow{"Esc ends a hands-free take and its session, so a later Right Ctrl+C takes its take back",
                   "D W0.05 U W0.1 D W0.05 U W2 X W3 D W0.5 C U W1",
                   plus(plus({"tentative"}, tentativeTap), {"cancel", "tentative", "press", "discard"}),
                   false,
                   false},
        GestureRow{"another shortcut's release ends a hands-free take and its session",
                   "T W0.05 T p W0.5 r W1 D W0.5 C U W1",
                   plus(kDoubleTap, {"press:raw", "release:raw", "tentative", "press", "discard"}),
                   false,
                   false},
        GestureRow{"a hands-free start refused outright ends its session", "N T W0.05 T W1", kRefusedDoubleTap, false,
                   false},
        GestureRow{"after a refused hands-free start the next double tap starts a session, not ends one",
                   "N T W0.05 T W1 Y T W0.05 T", plus(kRefusedDoubleTap, kDoubleTap), false, true},
        GestureRow{"after a refused hands-free start Right Ctrl begins a take of its own",
                   "N D W0.05 U W0.1 D W0.05 U W1 Y D W0.5 U",
                   {"tentative", "press", "release", "tentative", "press", "release", "handsFreeStart:refused",
                    "tentative", "press", "release"},
                   false,
                   false}));

TEST(HotkeyGestures, StopListeningEndsHandsFreeSilentlyAndLeavesNoTimer) {
    Rig rig;
    rig.manager->startListening();
    rig.run("T W0.05 T P");
    rig.delegate->calls.clear();
    rig.manager->stopListening();
    rig.loop->advance(400);
    EXPECT_TRUE(rig.delegate->calls.empty());
    EXPECT_FALSE(rig.manager->isHandsFreeActive());
    EXPECT_FALSE(rig.manager->isPressed());
    EXPECT_EQ(rig.loop->pendingTimers(), 0u);
}

TEST(HotkeyGestures, StopListeningTakesAnUnconfirmedTakeBack) {
    Rig rig;
    rig.manager->startListening();
    rig.run("D W0.1");
    rig.manager->stopListening();
    rig.loop->advance(1);
    EXPECT_EQ(rig.delegate->calls, (std::vector<std::string>{"tentative", "discard"}));
}

TEST(HotkeyGestures, EscInAHeldTakeIsItsCancelNotAShortcut) {
    Rig rig;
    rig.manager->startListening();
    rig.run("D W0.5");
    rig.manager->armEscapeCancel();
    const unsigned long escape = *KeyCodes::keysymForKeyCode(KeyCodes::escape);
    rig.manager->handleKeyEvent({escape, true, false, KeyCodes::controlMask, true});
    rig.keys->fire(KeyCodes::escape, HotKeyService::anyModifiers, true);
    rig.run("U");
    EXPECT_EQ(rig.delegate->calls, (std::vector<std::string>{"tentative", "press", "cancel", "release"}));
}

// A refusal answered only after its session has ended and another has
// begun (the key events all came before the main loop ran the calls) ends
// nothing of the later session, whose take the delegate began.
TEST(HotkeyGestures, ALateRefusalLeavesTheLaterSessionRunning) {
    struct RefusesTheFirst : RecordingDelegate {
        bool hotkeyDidRequestHandsFreeStart() override {
            refuseHandsFree = starts++ == 0;
            return RecordingDelegate::hotkeyDidRequestHandsFreeStart();
        }
        int starts = 0;
    };
    Rig rig;
    rig.delegate = std::make_shared<RefusesTheFirst>();
    rig.manager->delegate = rig.delegate;
    for (int tap = 0; tap < 5; ++tap) {
        rig.manager->triggerPress();
        rig.manager->triggerRelease();
    }
    ASSERT_TRUE(rig.manager->isHandsFreeActive());
    rig.loop->drain();
    EXPECT_EQ(rig.delegate->calls, plus(plus(kRefusedDoubleTap, {"press", "release", "handsFreeStop:tap"}), kDoubleTap));
    EXPECT_TRUE(rig.manager->isHandsFreeActive()) << "the late refusal ended the session that has its take";
}

TEST(HotkeyGestures, DelegateGoneMeansCallsAreDropped) {
    Rig rig;
    // The witness outlives the manager's (weak) hold on it, so what reaches
    // it after its owner let go can still be read.
    RecordingDelegate witness;
    rig.delegate = std::shared_ptr<RecordingDelegate>(&witness, [](RecordingDelegate*) {});
    rig.manager->delegate = rig.delegate;
    rig.manager->triggerPress();
    rig.loop->drain();
    ASSERT_EQ(witness.calls, std::vector<std::string>{"press"}) << "a live delegate hears the press";
    rig.manager->triggerRelease();  // posted while the delegate is still there
    rig.delegate.reset();
    rig.loop->drain();
    EXPECT_EQ(witness.calls, std::vector<std::string>{"press"})
        << "a call posted before the delegate went must not reach it";
}

}  // namespace

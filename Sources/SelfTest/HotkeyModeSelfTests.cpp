#include "Base/DictationErrorKind.h"
#include "App/DictationLifecycle.h"
#include "Input/HotkeyManager.h"
#include "Platform/HotKeys.h"
#include "SelfTest/HotkeyModeIndicatorPageCases.h"
#include "SelfTest/SelfTest.h"
#include "UI/IndicatorMode.h"

#include <algorithm>
#include <set>

namespace HotkeyModeSelfTests {

namespace {
using Lifecycle = DictationLifecycle;
using Outcome = DictationLifecycles::CancelOutcome;

const char* boolText(bool b) { return b ? "true" : "false"; }

// Registering a global hot key needs an X display; without one (a shell with
// no desktop) the cases that register skip rather than blame the product.
std::optional<SelfTestOutcome> needsDisplay() {
    if (platform::desktopHotKeysAvailable()) return std::nullopt;
    return SelfTestOutcome::skip("no X display to register global hot keys on");
}

std::string listText(const std::vector<HotkeyShortcut>& list) {
    std::string out = "[";
    for (std::size_t i = 0; i < list.size(); ++i) out += (i ? ", " : "") + list[i].description();
    return out + "]";
}

bool isBoundTo(const HotkeyRegistrationResult& r, DictationMode mode) {
    return r && *r == HotkeyRegistrationError::combinationAlreadyBound(mode);
}

// A case whose subject is fixed at build time; it keeps the fact registered.
SelfTestCase fixedCase(std::string name, std::string teeth, std::function<bool()> holds) {
    return {std::move(name), std::move(teeth), [holds = std::move(holds)] {
                return holds() ? SelfTestOutcome::pass() : SelfTestOutcome::fail("the fixed mapping changed");
            }};
}

SelfTestCase armCase(std::string name, std::string teeth, void (HotkeyManager::*arm)(), void (HotkeyManager::*disarm)(),
                     bool (HotkeyManager::*armed)() const) {
    return {std::move(name), std::move(teeth), [=] {
                if (auto skip = needsDisplay()) return *skip;
                HotkeyManager& m = HotkeyManager::shared();
                (m.*disarm)();
                const bool before = (m.*armed)();
                (m.*arm)();
                const bool during = (m.*armed)();
                (m.*disarm)();
                const bool after = (m.*armed)();
                if (!before && during && !after) return SelfTestOutcome::pass();
                return SelfTestOutcome::fail(std::string("expected disarmed -> armed -> disarmed, got ") + boolText(before) +
                                             ", " + boolText(during) + ", " + boolText(after));
            }};
}
}  // namespace

std::vector<SelfTestCase> cases() {
    std::vector<SelfTestCase> out;
    const HotkeyShortcut shortcutA{96, 768, DictationMode::raw};
    const HotkeyShortcut shortcutB{97, 4608, DictationMode::standard};

    out.push_back({"two shortcuts, two different modes, can coexist",
                   "secondary shortcuts are kept per mode; if registering one mode's shortcut evicted the other mode's, "
                   "a user with both a raw and a standard key would silently lose one of them",
                   [=] {
                       if (auto skip = needsDisplay()) return *skip;
                       HotkeyManager& m = HotkeyManager::shared();
                       auto cleanup = [&] {
                           m.unregisterShortcut(DictationMode::raw);
                           m.unregisterShortcut(DictationMode::standard);
                       };
                       if (m.registerShortcut(shortcutA)) {
                           cleanup();
                           return SelfTestOutcome::fail("registering shortcut A (.raw) failed");
                       }
                       if (m.registerShortcut(shortcutB)) {
                           cleanup();
                           return SelfTestOutcome::fail("registering shortcut B (.standard) failed");
                       }
                       auto list = m.configuredSecondaryShortcuts();
                       cleanup();
                       bool both = std::find(list.begin(), list.end(), shortcutA) != list.end() &&
                                   std::find(list.begin(), list.end(), shortcutB) != list.end();
                       if (both) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected both shortcuts to remain registered, got " + listText(list));
                   }});

    out.push_back(
        {"the same key combination cannot be registered to two modes",
         "the conflict scan must compare a new combination against every other mode's shortcut; without it one "
         "key press would start two dictations in two different modes at once",
         [] {
             if (auto skip = needsDisplay()) return *skip;
             HotkeyManager& m = HotkeyManager::shared();
             if (m.registerShortcut({98, 6400, DictationMode::raw}))
                 return SelfTestOutcome::fail("setup: registering the first shortcut should have succeeded");
             auto second = m.registerShortcut({98, 6400, DictationMode::standard});
             m.unregisterShortcut(DictationMode::raw);
             if (!second) {
                 m.unregisterShortcut(DictationMode::standard);
                 return SelfTestOutcome::fail(
                     "expected the identical combo bound to a second mode to be REJECTED, but it succeeded");
             }
             if (!isBoundTo(second, DictationMode::raw))
                 return SelfTestOutcome::fail("expected .combinationAlreadyBound(to: .raw), got " + second->description());
             if (second->description().empty())
                 return SelfTestOutcome::fail("the error must carry a human-readable reason, got an empty description");
             return SelfTestOutcome::pass();
         }});

    out.push_back(
        {"a secondary shortcut cannot silently take over the primary hotkey's exact combo",
         "the primary Alt+Space combination belongs to the standard mode; a raw shortcut on it would fire both "
         "the primary gesture and the raw dictation from one key press",
         [] {
             HotkeyManager& m = HotkeyManager::shared();
             auto result = m.registerShortcut({49, 2048, DictationMode::raw});
             if (!result) {
                 m.unregisterShortcut(DictationMode::raw);
                 return SelfTestOutcome::fail(
                     "expected \u2325Space to be rejected as already bound to .standard (the primary), but it registered");
             }
             if (!isBoundTo(result, DictationMode::standard))
                 return SelfTestOutcome::fail("expected .combinationAlreadyBound(to: .standard), got " +
                                              result->description());
             return SelfTestOutcome::pass();
         }});

    out.push_back({"the primary hotkey's default is unchanged from today's value",
                   "a silent change of the default primary mode (fn) or of the default raw combination's Space key would "
                   "change every user's activation key after an update without a word",
                   [] {
                       HotkeyManager& m = HotkeyManager::shared();
                       if (m.mode == HotkeyMode::fn && HotkeyManager::defaultRawShortcut.keyCode == 49)
                           return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail(
                           "primary mode=" + HotkeyModes::rawValue(m.mode) +
                           " (want fn), defaultRawShortcut=" + HotkeyManager::defaultRawShortcut.description());
                   }});

    out.push_back({"a system-level registration refusal reports a specific, non-generic reason",
                   "when the X server refuses a shortcut the message must name its status code; a generic message would "
                   "look exactly like a conflict with the user's own shortcut and hide the real cause",
                   [] {
                       const std::string refused = HotkeyRegistrationError::systemRegistrationFailed(-9868).description();
                       const std::string bound =
                           HotkeyRegistrationError::combinationAlreadyBound(DictationMode::raw).description();
                       if (refused.find("-9868") != std::string::npos && refused != bound) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected a specific reason naming OSStatus -9868, got: " + refused);
                   }});

    out.push_back(
        fixedCase("four new preset HotkeyMode cases carry grabbed key combinations; Fn/altSpace still carry none",
                  "the presets must register through their key combinations while Fn and Alt+Space stay gestures of the key "
                  "listener; a combo on Fn would register a meaningless key, a missing one would leave a preset dead",
                  [] {
                      using C = HotkeyModes::Combo;
                      return HotkeyModes::carbonCombo(HotkeyMode::f13) == C{105, 0} &&
                             HotkeyModes::carbonCombo(HotkeyMode::f14) == C{107, 0} &&
                             HotkeyModes::carbonCombo(HotkeyMode::controlCommandSpace) == C{49, 4352} &&
                             HotkeyModes::carbonCombo(HotkeyMode::controlShiftSpace) == C{49, 4608} &&
                             !HotkeyModes::carbonCombo(HotkeyMode::fn) && !HotkeyModes::carbonCombo(HotkeyMode::altSpace);
                  }));

    out.push_back(
        {"selecting a preset mode registers it as a .standard-mode secondary shortcut via the existing "
         "conflict-checked path",
         "presets must go through the conflict-scanned secondary-shortcut registration bound to the standard "
         "mode; a side road would skip the conflict scan and leave the preset key unregistered",
         [] {
             if (auto skip = needsDisplay()) return *skip;
             HotkeyManager& m = HotkeyManager::shared();
             auto result = m.selectHotkeyMode(HotkeyMode::f14);
             auto installed = m.secondaryShortcut(DictationMode::standard);
             const HotkeyMode modeNow = m.mode;
             m.unregisterShortcut(DictationMode::standard);
             m.setMode(HotkeyMode::fn);
             if (result) return SelfTestOutcome::fail("selectHotkeyMode(.f14) should have succeeded from a clean state");
             if (!installed)
                 return SelfTestOutcome::fail(
                     "expected a .standard secondary shortcut to be registered after selecting .f14");
             if (installed->keyCode == 107 && installed->carbonModifiers == 0 && modeNow == HotkeyMode::f14)
                 return SelfTestOutcome::pass();
             return SelfTestOutcome::fail("installed=" + installed->description() +
                                          " mode=" + HotkeyModes::rawValue(modeNow));
         }});

    out.push_back(
        {"selecting a preset whose combo is already claimed by another mode's shortcut is refused, not silently "
         "dropped",
         "a refused preset must report the conflict and leave the active mode alone; otherwise the menu would "
         "show F13 selected while F13 still starts raw dictations",
         [] {
             if (auto skip = needsDisplay()) return *skip;
             HotkeyManager& m = HotkeyManager::shared();
             if (m.registerShortcut({105, 0, DictationMode::raw}))
                 return SelfTestOutcome::fail("setup: registering the colliding .raw shortcut should have succeeded");
             const HotkeyMode before = m.mode;
             auto result = m.selectHotkeyMode(HotkeyMode::f13);
             const HotkeyMode after = m.mode;
             m.unregisterShortcut(DictationMode::raw);
             if (!result) {
                 m.unregisterShortcut(DictationMode::standard);
                 m.setMode(before);
                 return SelfTestOutcome::fail("expected .f13 to be refused as already bound to .raw, but it registered");
             }
             if (!isBoundTo(result, DictationMode::raw))
                 return SelfTestOutcome::fail("expected .combinationAlreadyBound(to: .raw), got " + result->description());
             if (after != before)
                 return SelfTestOutcome::fail("a refused selection must not change the active mode, was " +
                                              HotkeyModes::rawValue(before) + " now " + HotkeyModes::rawValue(after));
             return SelfTestOutcome::pass();
         }});

    out.push_back(
        {"switching from a preset back to Fn clears the stale .standard registration — no leak",
         "leaving a preset for the Fn gesture must remove the preset's registration; a leaked one keeps the "
         "old key taken from every other application and still starting dictations",
         [] {
             if (auto skip = needsDisplay()) return *skip;
             HotkeyManager& m = HotkeyManager::shared();
             auto first = m.selectHotkeyMode(HotkeyMode::controlShiftSpace);
             if (first) {
                 m.setMode(HotkeyMode::fn);
                 return SelfTestOutcome::fail("setup: selecting .controlShiftSpace should have succeeded");
             }
             if (!m.secondaryShortcut(DictationMode::standard)) {
                 m.setMode(HotkeyMode::fn);
                 return SelfTestOutcome::fail(
                     "setup: expected a .standard registration to exist right after selecting the preset");
             }
             m.selectHotkeyMode(HotkeyMode::fn);
             const bool leaked = m.secondaryShortcut(DictationMode::standard).has_value();
             m.setMode(HotkeyMode::fn);
             if (leaked)
                 return SelfTestOutcome::fail(
                     "expected the .standard registration to be cleared after switching to .fn, but it is still present");
             return SelfTestOutcome::pass();
         }});

    out.push_back(
        {"altSpaceRegistrationFailed exists and starts nil (self-test never installs the live Alt+Space grab "
         "registration)",
         "the field that surfaces a refused Alt+Space registration must exist and rest at nil; a value here "
         "would make the menu warn about a failure that never happened",
         [] {
             auto status = HotkeyManager::shared().altSpaceRegistrationFailed();
             if (!status) return SelfTestOutcome::pass();
             return SelfTestOutcome::fail("expected nil since grabHotKey() is never invoked in the self-test process, got " +
                                          std::to_string(*status));
         }});

    out.push_back(
        fixedCase("cancel ends in idle from every in-flight state (before audio arrives, mid-capture, mid-transcription)",
                  "cancel must return every in-flight state to idle; a state left capturing or transcribing "
                  "after Esc would block the next press from starting a new dictation",
                  [] {
                      return DictationLifecycles::cancelled(Lifecycle::capturing).first == Lifecycle::idle &&
                             DictationLifecycles::cancelled(Lifecycle::transcribing).first == Lifecycle::idle;
                  }));
    out.push_back(fixedCase(
        "cancel discards audio / drops the transcript — never transcribes, never a plain no-op while in flight",
        "Esc while capturing must discard the audio and Esc while transcribing must drop the "
        "transcript; anything else would insert text the user just tried to cancel",
        [] {
            return DictationLifecycles::cancelled(Lifecycle::capturing).second == Outcome::cancelledDiscardAudio &&
                   DictationLifecycles::cancelled(Lifecycle::transcribing).second == Outcome::cancelledDropTranscript;
        }));
    out.push_back(fixedCase("cancel after injection is a guaranteed no-op — injected text is never clawed back",
                            "text already inserted into another application must never be taken back by a late Esc; "
                            "a cancel there would have nothing sound to undo and could damage the user's document",
                            [] { return DictationLifecycles::cancelled(Lifecycle::injected).second == Outcome::noOp; }));
    out.push_back(fixedCase("cancel while idle is a no-op",
                            "Esc with no dictation in flight must do nothing at all; treating it as a cancel would show "
                            "a false message and play the error cue for a key the user pressed for another application",
                            [] { return DictationLifecycles::cancelled(Lifecycle::idle).second == Outcome::noOp; }));

    out.push_back(armCase("Esc-cancel is armed only between arm/disarm calls — never left registered",
                          "Esc is taken from every application while armed; left registered after a dictation it would "
                          "swallow the user's Esc key everywhere on the desktop until the next restart",
                          &HotkeyManager::armEscapeCancel, &HotkeyManager::disarmEscapeCancel,
                          &HotkeyManager::isEscapeCancelArmed));

    auto page = HotkeyModeIndicatorPageCases();
    out.push_back(fixedCase("IndicatorMode.recording carries a real DictationMode, not a stringly-typed flag",
                            "the indicator must carry a typed dictation mode so the raw badge follows the real mode; a "
                            "loose flag could drift from the mode the dictation actually runs in",
                            [] { return IndicatorMode::recording(0.5f, DictationMode::raw).mode == DictationMode::raw; }));
    for (std::size_t i = 0; i < 2 && i < page.size(); ++i) out.push_back(page[i]);

    out.push_back(fixedCase("each recoverable error kind maps to exactly one, specific remedy",
                            "recoverable errors must open exactly the right settings page; a wrong page would send the "
                            "user looking for a microphone switch among the accessibility settings",
                            [] {
                                return remedy(DictationErrorKind::microphonePermissionDenied) ==
                                           ErrorRemedy::openSystemPane(SettingsPane::microphone) &&
                                       remedy(DictationErrorKind::microphoneAccessOff) ==
                                           ErrorRemedy::openSystemPane(SettingsPane::microphone) &&
                                       remedy(DictationErrorKind::accessibilityNotTrusted) ==
                                           ErrorRemedy::openSystemPane(SettingsPane::accessibility);
                            }));
    const std::vector<DictationErrorKind> recoverable = {DictationErrorKind::microphonePermissionDenied,
                                                         DictationErrorKind::microphoneAccessOff,
                                                         DictationErrorKind::accessibilityNotTrusted};
    const std::vector<DictationErrorKind> nonRecoverable = {
        DictationErrorKind::speechModelUnavailable, DictationErrorKind::noSpeechDetected,
        DictationErrorKind::transcriptionFailed,    DictationErrorKind::pasteFailed,
        DictationErrorKind::secureInputBlocked,     DictationErrorKind::shortHold};
    out.push_back(fixedCase("a non-recoverable error maps to NO remedy and would show no affordance",
                            "errors no settings page can fix must offer no action; a clickable pill that opens an "
                            "unrelated page would teach the user that the remedy button is noise",
                            [nonRecoverable] {
                                return std::all_of(nonRecoverable.begin(), nonRecoverable.end(),
                                                   [](DictationErrorKind k) { return !remedy(k); });
                            }));
    out.push_back({"the remedy mapping is exhaustive over every DictationErrorKind that exists today",
                   "every error kind must be sorted into recoverable or not; a new kind left out of both lists would "
                   "have an unreviewed remedy that nobody checked against its message",
                   [recoverable, nonRecoverable] {
                       std::set<DictationErrorKind> listed(recoverable.begin(), recoverable.end());
                       listed.insert(nonRecoverable.begin(), nonRecoverable.end());
                       const auto& all = DictationErrorKinds::allCases();
                       std::set<DictationErrorKind> every(all.begin(), all.end());
                       if (listed == every) return SelfTestOutcome::pass();
                       auto setText = [](const std::set<DictationErrorKind>& s, const std::set<DictationErrorKind>& minus) {
                           std::string out = "[";
                           bool first = true;
                           for (auto k : s)
                               if (!minus.count(k)) {
                                   out += (first ? "" : ", ") + DictationErrorKinds::name(k);
                                   first = false;
                               }
                           return out + "]";
                       };
                       return SelfTestOutcome::fail("coverage mismatch — missing: " + setText(every, listed) +
                                                    ", unexpected: " + setText(listed, every));
                   }});
    out.push_back(fixedCase(
        "IndicatorMode.error carries its remedy opaquely (or nil) — a plain message still defaults to no affordance",
        "a plain error message must default to no remedy; a default remedy would make every error "
        "pill clickable and open a settings page that has nothing to do with the message",
        [] { return !IndicatorMode::error("message").remedy; }));

    out.push_back(armCase("Return-error-action is armed only between arm/disarm calls — never left registered",
                          "Return is taken from every application while armed; left registered it would swallow the "
                          "user's Return key in every text field on the desktop",
                          &HotkeyManager::armErrorAction, &HotkeyManager::disarmErrorAction,
                          &HotkeyManager::isErrorActionArmed));

    out.push_back(fixedCase("primaryGestureShouldFire only fires the gesture the user actually selected",
                            "only the selected primary gesture may start a dictation; otherwise holding Right Ctrl would "
                            "start dictations for a user who chose Alt+Space, and the other way round",
                            [] {
                                return HotkeyManager::primaryGestureShouldFire(HotkeyMode::fn, HotkeyMode::fn) &&
                                       HotkeyManager::primaryGestureShouldFire(HotkeyMode::altSpace, HotkeyMode::altSpace) &&
                                       !HotkeyManager::primaryGestureShouldFire(HotkeyMode::fn, HotkeyMode::altSpace) &&
                                       !HotkeyManager::primaryGestureShouldFire(HotkeyMode::altSpace, HotkeyMode::fn);
                            }));
    out.push_back(fixedCase(
        "primaryGestureShouldFire never fires for a Gap A9 preset gesture (that path is secondaryShortcuts', not this one)",
        "presets are registered shortcuts and must never count as primary gestures; if they did, one "
        "F13 press would start two dictations, one from each road",
        [] {
            for (HotkeyMode gesture :
                 {HotkeyMode::f13, HotkeyMode::f14, HotkeyMode::controlCommandSpace, HotkeyMode::controlShiftSpace})
                for (HotkeyMode mode : HotkeyModes::allCases())
                    if (HotkeyManager::primaryGestureShouldFire(gesture, mode)) return false;
            return true;
        }));
    return out;
}

}  // namespace HotkeyModeSelfTests

ONDIRA_SELFTEST_SUITE("HotkeyMode", HotkeyModeSelfTests::cases);

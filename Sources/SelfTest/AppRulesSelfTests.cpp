#include "App/AppActivation.h"
#include "App/DictationLifecycle.h"
#include "Base/AppPaths.h"
#include "Platform/LinuxNames.h"
#include "SelfTest/AppRulesHotkeyCases.h"
#include "SelfTest/HubBridgeCases.h"
#include "SelfTest/SelfTest.h"
#include "SelfTest/SourceScan.h"
#include "Platform/Unicode.h"
#include "Text/AppRules.h"
#include "Update/UpdateChecker.h"

#include <algorithm>
#include <set>

namespace AppRulesSelfTests {

namespace {

AppRule rule(const std::string& id, const std::string& name, bool polish, bool caps, bool dictionary, bool never) {
    return AppRule{id, name, polish, caps, dictionary, never, std::nullopt};
}

void clearStore() { AppPaths::userDefaults()->removePersistentDomain(AppPaths::selfTestSuiteName); }

// Rules compared as sets: the order of a stored list carries no meaning.
bool sameSet(std::vector<AppRule> a, std::vector<AppRule> b) {
    auto less = [](const AppRule& x, const AppRule& y) { return describe(x) < describe(y); };
    std::sort(a.begin(), a.end(), less);
    std::sort(b.begin(), b.end(), less);
    return a == b;
}

std::optional<AppRule> find(const std::vector<AppRule>& rules, const std::string& id) {
    for (const auto& r : rules)
        if (r.bundleID == id) return r;
    return std::nullopt;
}

// The published privacy page of the checkout with every run of white space
// made one blank, so a promise broken across lines still reads as one. A
// missing checkout or page is the skip the page cases report.
struct PrivacyPage {
    std::optional<std::string> text;
    std::optional<SelfTestOutcome> skip;
};
PrivacyPage readPrivacyPage() {
    if (!SelfTestSupport::repoRoot()) return {std::nullopt, SelfTestOutcome::skip("repo root not resolvable from this build")};
    const auto raw = SelfTestSupport::readRepoFile("Resources/privacy-policy.html");
    if (!raw) return {std::nullopt, SelfTestOutcome::skip("privacy-policy.html not reachable from this build")};
    std::string text;
    for (const auto& piece : platform::text::splitWords(*raw)) text += (text.empty() ? "" : " ") + piece;
    return {text, std::nullopt};
}

}  // namespace

std::vector<SelfTestCase> cases() {
    const std::string terminalID = LinuxNames::systemTerminalID;
    std::vector<SelfTestCase> out;
    out.push_back({"per-app dictation rules: suite registered and reachable",
                   "if this suite stopped being registered the whole area would silently lose coverage", [] {
                       // Registered: the registry holds a builder under this name (not a "not built"
                       // stand-in). Reachable: the stored rules resolve through the real rules code, and an
                       // application nobody configured gets the global default.
                       const auto missing = SelfTestRegistry::missingSuites();
                       if (std::find(missing.begin(), missing.end(), "AppRules") != missing.end())
                           return SelfTestOutcome::fail("the registry has no builder for the AppRules suite");
                       const auto rules = AppRules::effectiveRules(AppPaths::userDefaults());
                       const AppRule resolved = AppRules::resolve(std::string("com.test.nobody-configured-this"), rules);
                       if (resolved != AppRules::globalDefault())
                           return SelfTestOutcome::fail("an unconfigured application resolved to " + describe(resolved) +
                                                        ", not the global default");
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"activation policy is .accessory (menu-bar-only, no dock icon)",
                   "a regular policy would give Ondira a taskbar and launcher entry of its own and a window at start, "
                   "against the promise of a tray application with no main window",
                   [] {
                       if (AppActivation::policy == ActivationPolicy::accessory) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("AppActivation::policy is not the accessory (tray) policy");
                   }});
    // The menu-bar application road of the process entry is where the policy is applied.
    out.push_back({"activation policy constant is what main actually calls",
                   "a literal policy written at the call would leave the constant's case green while the program did "
                   "the opposite",
                   [] {
                       const std::string file = "Sources/App/AppMain.cpp";
                       if (!SelfTestSupport::repoRoot())
                           return SelfTestOutcome::skip("repo root not resolvable from this build");
                       const auto source = SelfTestSupport::readRepoFile(file);
                       if (!source) return SelfTestOutcome::skip(file + " not reachable from this build");
                       const std::string code = SourceScan::withoutComments(*source);
                       if (!SourceScan::contains(code, "app.setActivationPolicy(AppActivation::policy)"))
                           return SelfTestOutcome::fail("main does not call setActivationPolicy(AppActivation.policy)");
                       if (SourceScan::contains(code, "app.setActivationPolicy(ActivationPolicy::regular)"))
                           return SelfTestOutcome::fail("main still sets .regular somewhere");
                       return SelfTestOutcome::pass();
                   }});
    out.push_back(
        {"privacy policy discloses the automatic update check",
         "the page must not promise that the update check never runs on its own while a setting makes it do so",
         [] {
             const PrivacyPage page = readPrivacyPage();
             if (!page.text) return *page.skip;
             if (SourceScan::contains(*page.text, "is not run automatically and is not run on launch"))
                 return SelfTestOutcome::fail(
                     "privacy-policy.html still claims the update check is never automatic, but "
                     "UpdateChecker.checkAutomaticallyIfDue exists and HubWindow exposes a switch for it");
             if (!SourceScan::contains(*page.text, "Check for updates automatically"))
                 return SelfTestOutcome::fail(
                     "privacy-policy.html does not name the automatic-update setting; \"That is the complete list\" is "
                     "false without it");
             if (!SourceScan::contains(*page.text, "If you leave automatic update checks off"))
                 return SelfTestOutcome::fail(
                     "privacy-policy.html's \"complete list\" closer is unconditional; it must except the automatic "
                     "check");
             return SelfTestOutcome::pass();
         }});
    out.push_back({"privacy policy's \"at most once a day\" matches UpdateChecker's interval",
                   "the page must state the once-a-day cap that the checker's interval enforces",
                   [] {
                       const PrivacyPage page = readPrivacyPage();
                       if (!page.text) return *page.skip;
                       static_assert(UpdateChecker::automaticCheckInterval == 86400.0,
                                     "the page promises at most one automatic check a day");
                       if (!SourceScan::contains(*page.text, "at most once a day"))
                           return SelfTestOutcome::fail("privacy-policy.html should state the once-a-day cap");
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"exact bundle-id match resolves to that app's rule",
                   "resolution must match application ids exactly; a fuzzy or prefix match would hand one "
                   "application's rule to another",
                   [] {
                       const AppRule alpha = rule("com.test.alpha", "Alpha", false, false, false, false);
                       const AppRule beta = rule("com.test.beta", "Beta", true, true, true, false);
                       const AppRule got = AppRules::resolve(std::string("com.test.alpha"), {alpha, beta});
                       if (got == alpha) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("resolve(com.test.alpha): expected " + describe(alpha) + ", got " +
                                                    describe(got));
                   }});
    out.push_back({"unknown app falls back to the global default rule, not the first/last configured rule",
                   "falling back to some configured rule instead of the global one would, for example, refuse "
                   "dictation everywhere because one password manager is configured",
                   [] {
                       const AppRule alpha = rule("com.test.alpha", "Alpha", false, false, false, true);
                       const AppRule got = AppRules::resolve(std::string("com.unknown.app"), {alpha});
                       if (got == AppRules::globalDefault()) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("resolve(unknown): expected " + describe(AppRules::globalDefault()) +
                                                    ", got " + describe(got));
                   }});
    out.push_back({"nil bundle id (frontmost app unreadable) also falls back to global default, never crashes",
                   "an absent application id (no focused window could be read) must resolve to the global rule "
                   "rather than crash or pick a configured rule",
                   [] {
                       const AppRule got = AppRules::resolve(std::nullopt, AppRules::builtInDefaults());
                       if (got == AppRules::globalDefault()) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("resolve(nil): expected " + describe(AppRules::globalDefault()) +
                                                    ", got " + describe(got));
                   }});
    out.push_back(
        {"never-dictate rule: shouldAllowDictation is false — this is the exact predicate startRecording() "
         "checks before opening the mic",
         "the never-dictate flag must block the microphone; ignoring it would record while a password "
         "manager is in front",
         [] {
             const AppRule vault = rule("com.test.vault", "Vault", true, true, true, true);
             if (!AppRules::shouldAllowDictation(std::string("com.test.vault"), {vault})) return SelfTestOutcome::pass();
             return SelfTestOutcome::fail("expected dictation to be blocked for a neverDictate rule, got allowed=true");
         }});
    out.push_back({"non-never-dictate rule (and the global default): shouldAllowDictation is true",
                   "unconfigured applications and rules without never-dictate must stay allowed; inverting the "
                   "predicate would block dictation everywhere",
                   [] {
                       const AppRule mail = rule("com.test.mail", "Mail", true, true, true, false);
                       const bool m = AppRules::shouldAllowDictation(std::string("com.test.mail"), {mail});
                       const bool u = AppRules::shouldAllowDictation(std::string("com.other.app"), {mail});
                       if (m && u) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail(std::string("expected both to allow dictation, got mail=") +
                                                    (m ? "true" : "false") + " unknown=" + (u ? "true" : "false"));
                   }});
    out.push_back({"persistence round-trips: persist then load returns the exact same rules",
                   "the saved rules must survive a restart; an encoder or decoder that drops or renames a field would "
                   "change them on the way back",
                   [] {
                       clearStore();
                       const std::vector<AppRule> rules = {rule("com.test.gamma", "Gamma", false, true, false, false),
                                                           rule("com.test.delta", "Delta", true, false, true, true)};
                       AppRules::persist(rules, AppPaths::userDefaults());
                       auto loaded = AppRules::loadStoredOverrides(AppPaths::userDefaults());
                       clearStore();
                       if (sameSet(rules, loaded)) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("round-tripped rules: expected " + describe(rules) + ", got " +
                                                    describe(loaded));
                   }});
    out.push_back({"malformed stored blob degrades to the shipped defaults, not a crash or an empty (unprotected) rule set",
                   "a corrupted store must fall back to the shipped protective rules rather than crash or come back "
                   "empty, which would let password managers record",
                   [] {
                       clearStore();
                       AppPaths::userDefaults()->setData(AppRules::defaultsKey, {0x00, 0xFF, 0x13, 0x37, 0xDE, 0xAD});
                       auto loaded = AppRules::loadStoredOverrides(AppPaths::userDefaults());
                       clearStore();
                       if (sameSet(loaded, AppRules::builtInDefaults())) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("malformed-blob fallback: expected " +
                                                    describe(AppRules::builtInDefaults()) + ", got " + describe(loaded));
                   }});
    out.push_back({"shipped defaults are present with no stored overrides at all (missing key, not just empty array)",
                   "with nothing stored the shipped rules (raw terminal, never-dictate password managers) must still "
                   "be in force",
                   [terminalID] {
                       clearStore();
                       auto rules = AppRules::effectiveRules(AppPaths::userDefaults());
                       clearStore();
                       auto terminal = find(rules, terminalID);
                       const bool anyNever =
                           std::any_of(rules.begin(), rules.end(), [](const AppRule& r) { return r.neverDictate; });
                       if (terminal && !terminal->polishEnabled && anyNever) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail(
                           "expected shipped defaults to include a raw Terminal rule and at least "
                           "one never-dictate rule, got " +
                           describe(rules));
                   }});
    out.push_back({"a shipped default is overridable: a persisted rule for the same bundle id wins over the built-in",
                   "user overrides must replace the shipped rule of their own application; a merge that let the "
                   "built-in win would ignore the user's choice",
                   [terminalID] {
                       clearStore();
                       const AppRule override = rule(terminalID, "Terminal", true, true, true, false);
                       AppRules::persist({override}, AppPaths::userDefaults());
                       auto found = find(AppRules::effectiveRules(AppPaths::userDefaults()), terminalID);
                       clearStore();
                       if (found && *found == override) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("overridden Terminal rule: expected " + describe(override) + ", got " +
                                                    describe(found));
                   }});
    out.push_back(
        {"an override for one app does not remove shipped defaults for OTHER apps (additive, not "
         "replace-the-whole-set)",
         "a merge that replaced the whole shipped set with the stored overrides would drop the password "
         "managers' never-dictate rules as soon as the user configured one unrelated application",
         [] {
             std::set<std::string> shipped, effective;
             for (const auto& r : AppRules::builtInDefaults())
                 if (r.neverDictate) shipped.insert(r.bundleID);
             clearStore();
             AppRules::persist({rule(LinuxNames::chatAppID, "Slack", true, false, false, false)}, AppPaths::userDefaults());
             auto rules = AppRules::effectiveRules(AppPaths::userDefaults());
             clearStore();
             for (const auto& r : rules)
                 if (r.neverDictate) effective.insert(r.bundleID);
             if (!shipped.empty() && std::includes(effective.begin(), effective.end(), shipped.begin(), shipped.end()))
                 return SelfTestOutcome::pass();
             return SelfTestOutcome::fail(
                 "expected pre-existing never-dictate defaults to survive an unrelated "
                 "override, got " +
                 describe(rules));
         }});
    // The hands-free gesture cases follow the rule cases.
    for (auto& c : AppRulesHotkeyCases()) out.push_back(std::move(c));
    // Both gestures must enter the one capturing phase for Esc to treat them
    // alike: the delegate's two entry points start the same dictation, and
    // that phase cancels by discarding the audio.
    out.push_back(
        {"Esc-cancel treats a hands-free session identically to a held one, because DictationLifecycle is gesture-agnostic",
         "a hands-free capture tracked through some other state would let Esc cancel a held capture but do "
         "nothing for a hands-free one",
         [] {
             // A held capture and a hands-free one are the same phase, so Esc
             // meets the same outcome; this is settled when the program is built.
             const auto held = DictationLifecycles::cancelled(DictationLifecycle::capturing);
             const auto handsFree = DictationLifecycles::cancelled(DictationLifecycle::capturing);
             if (held != handsFree || held.second != DictationLifecycles::CancelOutcome::cancelledDiscardAudio)
                 return SelfTestOutcome::fail("Esc during a capture no longer discards the audio");
             // With the sources beside the build, also see that both gestures
             // start that same dictation.
             if (!SelfTestSupport::repoRoot()) return SelfTestOutcome::pass();
             const auto source = SelfTestSupport::readRepoFile("Sources/App/DictationController.cpp");
             if (!source)
                 return SelfTestOutcome::fail("Sources/App/DictationController.cpp is missing from the source tree");
             const std::string start = "override { d_.startDictation(DictationMode::standard);";
             const bool heldStart = source->find("void hotkeyDidPress() " + start + " }") != std::string::npos;
             // The hands-free start then answers whether its take began.
             const bool handsFreeStart = source->find("bool hotkeyDidRequestHandsFreeStart() override {\n        "
                                                      "d_.startDictation(DictationMode::standard);") != std::string::npos;
             if (!heldStart || !handsFreeStart)
                 return SelfTestOutcome::fail(
                     std::string("a held press and a hands-free start no longer begin the same dictation (held=") +
                     (heldStart ? "true" : "false") + " handsFree=" + (handsFreeStart ? "true" : "false") + ")");
             return SelfTestOutcome::pass();
         }});
    // The hub bridge cases close the suite.
    for (auto& c : AppRulesBridgeCases()) out.push_back(std::move(c));
    return out;
}

}  // namespace AppRulesSelfTests

ONDIRA_SELFTEST_SUITE("AppRules", AppRulesSelfTests::cases);

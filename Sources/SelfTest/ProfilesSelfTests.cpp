#include "Base/AppPaths.h"
#include "Platform/LinuxNames.h"
#include "SelfTest/SelfTest.h"
#include "Text/AppRules.h"

#include <algorithm>

namespace ProfilesSelfTests {

namespace {

using Store = std::shared_ptr<platform::SettingsStore>;

// Clears the isolated settings suite and opens a store on it.
Store freshIsolatedStore() {
    AppPaths::userDefaults()->removePersistentDomain(AppPaths::selfTestSuiteName);
    return AppPaths::settingsSuite(AppPaths::selfTestSuiteName);
}

Profile profile(const std::string& id, const std::string& name) {
    return Profile{id, name, ProcessingMode::balanced, true, true, true};
}

std::string switches(const AppRule& r) {
    auto b = [](bool v) { return v ? std::string("true") : std::string("false"); };
    return b(r.polishEnabled) + "/" + b(r.autoCapitalizeEnabled) + "/" + b(r.dictionaryEnabled);
}

const std::string kHostileName = "<script>alert(1)</script>\"&";

}  // namespace

std::vector<SelfTestCase> cases() {
    std::vector<SelfTestCase> out;
    out.push_back({"old_shape_app_rules_blob_still_decodes",
                   "Would FAIL if adding the optional profile binding made rules stored under ondira_app_rules by "
                   "earlier versions (without a profileID key) fail to decode, dropping the user's rules",
                   [] {
                       Store store = freshIsolatedStore();
                       if (!store) return SelfTestOutcome::fail("could not open isolated suite");
                       const std::string blob =
                           std::string("[\n") + "  {\"bundleID\": \"" + LinuxNames::systemTerminalID +
                           "\", \"displayName\": \"Terminal\", "
                           "\"polishEnabled\": false, \"autoCapitalizeEnabled\": false, \"dictionaryEnabled\": false, "
                           "\"neverDictate\": false},\n"
                           "  {\"bundleID\": \"" +
                           LinuxNames::chatAppID +
                           "\", \"displayName\": \"Slack\", "
                           "\"polishEnabled\": true, \"autoCapitalizeEnabled\": false, \"dictionaryEnabled\": false, "
                           "\"neverDictate\": false}\n]";
                       store->setData(AppRules::defaultsKey, std::vector<std::uint8_t>(blob.begin(), blob.end()));
                       auto rules = AppRules::loadStoredOverrides(store);
                       if (rules.size() != 2)
                           return SelfTestOutcome::fail("expected 2 decoded rules, got " + std::to_string(rules.size()));
                       auto it = std::find_if(rules.begin(), rules.end(),
                                              [](const AppRule& r) { return r.bundleID == LinuxNames::systemTerminalID; });
                       if (it == rules.end()) return SelfTestOutcome::fail("Terminal rule missing after decode");
                       if (it->polishEnabled || it->autoCapitalizeEnabled || it->dictionaryEnabled || it->neverDictate)
                           return SelfTestOutcome::fail("old-shape fields corrupted on decode");
                       if (it->profileID)
                           return SelfTestOutcome::fail("expected nil profileID on old-shape row, got Optional(\"" +
                                                        *it->profileID + "\")");
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"builtin_profiles_shipped",
                   "Would FAIL if the shipped profiles were dropped or renamed, or if the Code profile stopped being "
                   "fast with every clean-up switch off, so code editors would get prose clean-up",
                   [] {
                       auto profiles = Profiles::builtInDefaults();
                       if (profiles.size() < 3)
                           return SelfTestOutcome::fail("expected at least 3 built-in profiles, got " +
                                                        std::to_string(profiles.size()));
                       std::vector<std::string> ids;
                       for (const auto& p : profiles) ids.push_back(p.id);
                       auto has = [&](const char* id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); };
                       if (!has("email") || !has("code") || !has("slack")) {
                           std::string list = "[";
                           for (std::size_t i = 0; i < ids.size(); ++i) list += (i ? ", \"" : "\"") + ids[i] + "\"";
                           return SelfTestOutcome::fail("expected email/code/slack built-ins, got ids: " + list + "]");
                       }
                       for (const auto& p : profiles) {
                           if (p.id != "code") continue;
                           if (p.mode != ProcessingMode::fast || p.polishEnabled || p.autoCapitalizeEnabled ||
                               p.dictionaryEnabled)
                               return SelfTestOutcome::fail("Code profile settings drifted: " + describe(p));
                           return SelfTestOutcome::pass();
                       }
                       return SelfTestOutcome::fail("code profile missing");
                   }});
    out.push_back({"empty_or_whitespace_name_rejected",
                   "Would FAIL if normalisation stopped trimming spaces and tabs, letting an empty or blank name be "
                   "created as a profile that the user cannot see or tell apart",
                   [] {
                       if (Profiles::normalizedName(""))
                           return SelfTestOutcome::fail("empty string should normalize to nil");
                       if (Profiles::normalizedName("   \t  "))
                           return SelfTestOutcome::fail("whitespace-only should normalize to nil");
                       if (Profiles::create("   ", ProcessingMode::balanced, true, true, true, {}))
                           return SelfTestOutcome::fail("create() should refuse a whitespace-only name");
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"duplicate_profile_name_rejected",
                   "Would FAIL if duplicate detection compared names exactly instead of ignoring case and surrounding "
                   "white space, or if a profile's own name counted as a duplicate of itself",
                   [] {
                       const std::vector<Profile> list = {profile("meetings", "Meetings")};
                       if (!Profiles::isDuplicateName("Meetings", std::nullopt, list))
                           return SelfTestOutcome::fail("exact-case duplicate not detected");
                       if (!Profiles::isDuplicateName("  MEETINGS  ", std::nullopt, list))
                           return SelfTestOutcome::fail("case/whitespace-insensitive duplicate not detected");
                       if (Profiles::create("Meetings", ProcessingMode::balanced, true, true, true, list))
                           return SelfTestOutcome::fail("create() should refuse a duplicate name");
                       if (Profiles::isDuplicateName("Meetings", std::string("meetings"), list))
                           return SelfTestOutcome::fail(
                               "a profile's own current name must not count as a duplicate of itself");
                       return SelfTestOutcome::pass();
                   }});
    out.push_back(
        {"deleting_active_profile_falls_back_safely",
         "Would FAIL if deleting the active profile left the active id pointing at the deleted profile or "
         "at nothing, instead of falling back to the none profile",
         [] {
             const std::vector<Profile> list = {profile("meetings", "Meetings"), profile("email", "Email")};
             auto [remaining, active] = Profiles::remove("meetings", list, "meetings");
             if (active == "meetings") return SelfTestOutcome::fail("activeID still points at the deleted profile");
             if (active != Profiles::noneProfileID)
                 return SelfTestOutcome::fail("expected fallback to noneProfileID, got " + active);
             if (Profiles::resolveActive(active, remaining) != Profiles::noneProfile())
                 return SelfTestOutcome::fail("resolveActive did not fall back to noneProfile");
             if (std::any_of(remaining.begin(), remaining.end(), [](const Profile& p) { return p.id == "meetings"; }))
                 return SelfTestOutcome::fail("deleted profile still present in list");
             auto second = Profiles::remove("email", list, "meetings");
             if (second.second != "meetings")
                 return SelfTestOutcome::fail("deleting an inactive profile must not disturb activeID");
             return SelfTestOutcome::pass();
         }});
    out.push_back({"stale_profile_binding_resolves_to_default",
                   "Would FAIL if a rule bound to a profile that no longer exists failed to resolve or lost its own "
                   "switches instead of degrading to them",
                   [] {
                       const AppRule stale{
                           "org.example.gone", "Gone App", true, true, true, false, std::string("deleted-profile-id")};
                       const AppRule got = AppRules::resolve(stale.bundleID, {stale}, Profiles::builtInDefaults());
                       if (!(got.polishEnabled && got.autoCapitalizeEnabled && got.dictionaryEnabled))
                           return SelfTestOutcome::fail("expected fallback to default (true/true/true) booleans, got " +
                                                        switches(got));
                       if (got.bundleID != stale.bundleID)
                           return SelfTestOutcome::fail(
                               "AppRules.resolve did not degrade a stale profile binding to defaults: " + describe(got));
                       return SelfTestOutcome::pass();
                   }});
    out.push_back(
        {"profile_name_with_html_and_quotes_round_trips",
         "Would FAIL if names were escaped, trimmed of markup or otherwise mangled on the way through JSON "
         "persistence, so the hub would show a different name than the user typed",
         [] {
             Store store = freshIsolatedStore();
             if (!store) return SelfTestOutcome::fail("could not open isolated suite");
             auto name = Profiles::normalizedName(kHostileName);
             auto created = name ? Profiles::create(*name, ProcessingMode::fast, true, true, true, {}) : std::nullopt;
             if (!created)
                 return SelfTestOutcome::fail("create() unexpectedly refused a name containing HTML/quote characters");
             Profiles::persist({*created}, store);
             for (const auto& p : Profiles::loadStoredProfiles(store)) {
                 if (p.id != created->id) continue;
                 if (p.name == kHostileName) return SelfTestOutcome::pass();
                 return SelfTestOutcome::fail("name corrupted on round-trip: expected " + kHostileName + ", got " + p.name);
             }
             return SelfTestOutcome::fail("profile missing after reload");
         }});
    out.push_back(
        {"profile_binding_changes_effective_app_rule",
         "Would FAIL if resolution ignored a rule's bound profile, so binding a code editor to the Code "
         "profile would leave prose clean-up running in it",
         [] {
             const AppRule bound{LinuxNames::codeEditorID, "VS Code", true, true, true, false, std::string("code")};
             const AppRule got = AppRules::resolve(bound.bundleID, {bound}, Profiles::builtInDefaults());
             for (const auto& p : Profiles::builtInDefaults()) {
                 if (p.id != "code") continue;
                 if (got.polishEnabled == p.polishEnabled && got.autoCapitalizeEnabled == p.autoCapitalizeEnabled &&
                     got.dictionaryEnabled == p.dictionaryEnabled)
                     return SelfTestOutcome::pass();
             }
             return SelfTestOutcome::fail("resolved AppRule did not pick up bound Code profile's settings: " +
                                          describe(got));
         }});
    out.push_back({"unbound_rule_resolve_unaffected_by_profiles_param",
                   "Would FAIL if passing profiles to resolution changed a rule that is bound to none, so adding the "
                   "profile feature would alter every existing rule",
                   [] {
                       const AppRule unbound{
                           LinuxNames::systemTerminalID, "Terminal", false, false, false, false, std::nullopt};
                       const AppRule two = AppRules::resolve(unbound.bundleID, {unbound});
                       const AppRule three = AppRules::resolve(unbound.bundleID, {unbound}, {});
                       if (two == unbound && three == unbound) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("unbound rule resolution changed: two-arg=" + describe(two) +
                                                    " three-arg=" + describe(three));
                   }});
    out.push_back({"effective_profiles_merge_is_additive",
                   "Would FAIL if stored profiles replaced the whole shipped list instead of merging by id, so one "
                   "edited profile would wipe out the other built-ins",
                   [] {
                       Store store = freshIsolatedStore();
                       if (!store) return SelfTestOutcome::fail("could not open isolated suite");
                       Profiles::persist({profile("email", "Work Email")}, store);
                       auto profiles = Profiles::effectiveProfiles(store);
                       auto find = [&](const char* id) {
                           return std::find_if(profiles.begin(), profiles.end(),
                                               [&](const Profile& p) { return p.id == id; });
                       };
                       if (find("email") == profiles.end() || find("email")->name != "Work Email")
                           return SelfTestOutcome::fail("stored override for email did not win");
                       if (find("code") == profiles.end() || find("slack") == profiles.end())
                           return SelfTestOutcome::fail("other built-ins were wiped out by a single stored override");
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"rename_validates_like_create",
                   "Would FAIL if rename skipped the validation create applies, accepting a blank name or one that "
                   "collides with another profile, or refused renaming a profile to its own name",
                   [] {
                       const std::vector<Profile> list = {profile("a", "Alpha"), profile("b", "Beta")};
                       if (Profiles::rename("a", "  ", list))
                           return SelfTestOutcome::fail("rename should reject a blank name");
                       if (Profiles::rename("a", "Beta", list))
                           return SelfTestOutcome::fail("rename should reject a name colliding with another profile");
                       auto renamed = Profiles::rename("a", "Alpha Prime", list);
                       if (!renamed) return SelfTestOutcome::fail("valid rename unexpectedly rejected");
                       auto it =
                           std::find_if(renamed->begin(), renamed->end(), [](const Profile& p) { return p.id == "a"; });
                       if (it == renamed->end() || it->name != "Alpha Prime")
                           return SelfTestOutcome::fail("rename did not apply");
                       if (!Profiles::rename("a", "Alpha", list))
                           return SelfTestOutcome::fail("renaming a profile to its own current name must be allowed");
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"corrupted_profiles_blob_degrades_to_builtins",
                   "Would FAIL if a corrupted ondira_profiles value made loading fail or come back empty instead of "
                   "degrading to the shipped profiles",
                   [] {
                       Store store = freshIsolatedStore();
                       if (!store) return SelfTestOutcome::fail("could not open isolated suite");
                       const std::string blob = "not valid json at all {{{";
                       store->setData(Profiles::defaultsKey, std::vector<std::uint8_t>(blob.begin(), blob.end()));
                       if (!Profiles::loadStoredProfiles(store).empty()) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected degrade-to-builtins, got empty list");
                   }});
    return out;
}

}  // namespace ProfilesSelfTests

ONDIRA_SELFTEST_SUITE("Profiles", ProfilesSelfTests::cases);

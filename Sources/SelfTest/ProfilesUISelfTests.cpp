// The hub's profiles panel: profile rows, the three profile message parsers
// and the profile binding carried by the rule parser and the rule rows.
#include <string>

#include <nlohmann/json.hpp>

#include "SelfTest/SelfTest.h"
#include "UI/BridgePayload.h"

namespace ProfilesUISelfTests {

namespace {

using json = nlohmann::json;

SelfTestOutcome pass() { return SelfTestOutcome::pass(); }
SelfTestOutcome fail(const std::string& m) { return SelfTestOutcome::fail(m); }

const json* rowWith(const json& rows, const std::string& id) {
    for (const auto& r : rows)
        if (r["id"] == id) return &r;
    return nullptr;
}

}  // namespace

std::vector<SelfTestCase> cases() {
    using namespace BridgePayload;
    std::vector<SelfTestCase> out;
    out.push_back(
        {"profile_rows_shape_and_builtin_flag",
         "no row may drop one of the seven keys, and a shipped built-in id must be marked isBuiltIn true", [] {
             auto profiles = Profiles::builtInDefaults();
             profiles.push_back(Profile{"custom-1", "Custom", ProcessingMode::fast, false, false, false});
             const json rows = profileRows(profiles);
             if (rows.size() != profiles.size())
                 return fail("expected " + std::to_string(profiles.size()) + " rows, got " + std::to_string(rows.size()));
             const json* code = rowWith(rows, "code");
             if (!code) return fail("code row missing");
             for (const char* key :
                  {"id", "name", "mode", "polishEnabled", "autoCapitalizeEnabled", "dictionaryEnabled", "isBuiltIn"})
                 if (!code->contains(key)) return fail(std::string("code row missing key: ") + key);
             if ((*code)["isBuiltIn"] != true) return fail("expected code (a shipped built-in) to have isBuiltIn:true");
             if ((*code)["mode"] != "fast") return fail("expected mode raw value 'fast', got " + (*code)["mode"].dump());
             const json* custom = rowWith(rows, "custom-1");
             if (!custom) return fail("custom row missing");
             if ((*custom)["isBuiltIn"] != false) return fail("expected a non-shipped id to have isBuiltIn:false");
             return pass();
         }});
    out.push_back(
        {"parse_profile_create_happy_path",
         "a well-formed create body must decode with each of its five fields in the right place", [] {
             auto p = parseProfileCreate(
                 R"({"name":"Meetings","mode":"polish","polishEnabled":true,"autoCapitalizeEnabled":false,"dictionaryEnabled":true})");
             if (!p) return fail("well-formed payload failed to parse");
             const ProfileDraft expected{"Meetings", ProcessingMode::polish, true, false, true};
             if (!(*p == expected)) return fail("parsed fields do not match input: " + describe(*p));
             return pass();
         }});
    out.push_back(
        {"parse_profile_create_unknown_mode_falls_back_to_balanced",
         "an unrecognised or missing mode must degrade to balanced instead of failing", [] {
             auto x = parseProfileCreate(
                 R"({"name":"X","mode":"turbo","polishEnabled":true,"autoCapitalizeEnabled":true,"dictionaryEnabled":true})");
             if (!x) return fail("unrecognized mode should not fail the whole parse");
             if (x->mode != ProcessingMode::balanced)
                 return fail(std::string("expected fallback to .balanced, got .") + ProcessingModes::rawValue(x->mode));
             auto y = parseProfileCreate(
                 R"({"name":"Y","polishEnabled":true,"autoCapitalizeEnabled":true,"dictionaryEnabled":true})");
             if (!y) return fail("missing mode key should not fail the whole parse");
             if (y->mode != ProcessingMode::balanced)
                 return fail(std::string("expected fallback to .balanced when mode key absent, got .") +
                             ProcessingModes::rawValue(y->mode));
             return pass();
         }});
    out.push_back({"parse_profile_create_malformed_json_returns_nil",
                   "malformed JSON or a missing required boolean must give no result, never a crash", [] {
                       if (parseProfileCreate("not json {{{")) return fail("garbage input should not parse");
                       if (parseProfileCreate(R"({"name":"X","mode":"fast"})"))
                           return fail("missing required boolean fields should fail to parse");
                       return pass();
                   }});
    out.push_back({"parse_profile_rename_happy_path_and_malformed",
                   "rename must map id and name correctly and refuse a body without an id", [] {
                       auto r = parseProfileRename(R"({"id":"abc123","name":"New Name"})");
                       if (!r) return fail("well-formed rename payload failed to parse");
                       if (r->id != "abc123" || r->name != "New Name")
                           return fail("parsed fields do not match: (id: " + r->id + ", name: " + r->name + ")");
                       if (parseProfileRename(R"({"name":"New Name"})"))
                           return fail("payload missing 'id' should not parse");
                       if (parseProfileRename(R"({"id":"","name":"New Name"})")) return fail("empty 'id' should not parse");
                       return pass();
                   }});
    out.push_back({"parse_profile_delete_happy_path_and_malformed",
                   "delete must extract the id and refuse an empty or missing one", [] {
                       auto d = parseProfileDelete(R"({"id":"abc123"})");
                       if (!d) return fail("well-formed delete payload failed to parse");
                       if (*d != "abc123") return fail("expected id 'abc123', got " + *d);
                       if (parseProfileDelete(R"({"id":""})")) return fail("empty id should not parse");
                       if (parseProfileDelete("{}")) return fail("missing id key should not parse");
                       return pass();
                   }});
    out.push_back(
        {"rule_set_profile_id_round_trips",
         "the rule parser must read profileID and the rows must emit it, or the per-app binding breaks end to end", [] {
             auto rule = parseRuleSet(
                 R"({"bundleID":"com.visualstudio.code","displayName":"VS Code","polishEnabled":true,"autoCapitalizeEnabled":true,"dictionaryEnabled":true,"neverDictate":false,"profileID":"code"})");
             if (!rule) return fail("well-formed rules_set: payload with profileID failed to parse");
             if (rule->profileID != "code")
                 return fail("expected profileID 'code', got " + (rule->profileID ? *rule->profileID : std::string("nil")));
             const json rows = ruleRows({*rule});
             if (rows.empty()) return fail("ruleRows produced no rows");
             if (rows[0]["profileID"] != "code")
                 return fail("ruleRows did not echo back profileID 'code': " + rows[0]["profileID"].dump());
             return pass();
         }});
    out.push_back(
        {"rule_set_missing_profile_id_is_backward_compatible",
         "the rule parser must not require profileID: every body from a page that predates profile binding "
         "would otherwise be rejected",
         [] {
             auto rule = parseRuleSet(
                 R"({"bundleID":"com.apple.Terminal","displayName":"Terminal","polishEnabled":false,"autoCapitalizeEnabled":false,"dictionaryEnabled":false,"neverDictate":false})");
             if (!rule) return fail("old-shape rules_set: payload (no profileID key) failed to parse");
             if (rule->profileID) return fail("expected nil profileID for old-shape payload, got " + *rule->profileID);
             const json rows = ruleRows({*rule});
             if (rows.empty()) return fail("ruleRows produced no rows");
             if (!rows[0].contains("profileID") || !rows[0]["profileID"].is_null())
                 return fail("expected NSNull for an unbound rule's profileID in ruleRows output, got " +
                             rows[0].value("profileID", json("nil")).dump());
             return pass();
         }});
    out.push_back(
        {"rule_set_blank_profile_id_treated_as_unbound",
         "a blank profileID must become unbound instead of binding the rule to an empty text", [] {
             auto rule = parseRuleSet(
                 R"({"bundleID":"com.example.app","displayName":"App","polishEnabled":true,"autoCapitalizeEnabled":true,"dictionaryEnabled":true,"neverDictate":false,"profileID":"   "})");
             if (!rule) return fail("payload with whitespace-only profileID failed to parse");
             if (rule->profileID)
                 return fail("expected whitespace-only profileID to normalize to nil, got '" + *rule->profileID + "'");
             return pass();
         }});
    return out;
}

}  // namespace ProfilesUISelfTests

ONDIRA_SELFTEST_SUITE("ProfilesUI", ProfilesUISelfTests::cases);

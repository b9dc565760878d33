#include "SelfTest/HubBridgeCases.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>

#include <nlohmann/json.hpp>

#include "Base/AppPaths.h"
#include "Platform/LinuxNames.h"
#include "Platform/UUID.h"
#include "Text/AppRules.h"
#include "Text/Snippets.h"
#include "UI/BridgePayload.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

SelfTestOutcome pass() { return SelfTestOutcome::pass(); }
SelfTestOutcome fail(const std::string& m) { return SelfTestOutcome::fail(m); }

std::string optionalText(const std::optional<std::string>& v) { return v ? "Optional(\"" + *v + "\")" : "nil"; }

// A row value as the messages print it: Optional(<json>) or nil when absent.
std::string lookedUp(const json& row, const char* key) {
    auto it = row.find(key);
    return it == row.end() ? "nil" : "Optional(" + it->dump() + ")";
}

const json* rowWith(const json& rows, const char* key, const std::string& value) {
    for (const auto& r : rows)
        if (r.contains(key) && r[key].is_string() && r[key] == value) return &r;
    return nullptr;
}

void clearRulesStore() { AppPaths::userDefaults()->removePersistentDomain(AppPaths::selfTestSuiteName); }

std::optional<AppRule> find(const std::vector<AppRule>& rules, const std::string& id) {
    for (const auto& r : rules)
        if (r.bundleID == id) return r;
    return std::nullopt;
}

std::string idList(const std::vector<std::string>& ids) {
    std::string out = "[";
    for (std::size_t i = 0; i < ids.size(); ++i) out += (i ? "," : "") + ids[i];
    return out + "]";
}

}  // namespace

std::vector<SelfTestCase> StagingHubCases() {
    using namespace BridgePayload;
    std::vector<SelfTestCase> out;
    const std::string garbage = "not json {{{";
    out.push_back({"parse_staging_edit_happy_path_and_malformed",
                   "it would fail if the edit parser stopped reading the real id and text, accepted an id that is not "
                   "a UUID, or returned a value for malformed JSON or a missing field",
                   [garbage] {
                       const std::string u = platform::newUUID();
                       auto parsed = parseStagingEdit("{\"id\":\"" + u + "\",\"text\":\"fixed text\"}");
                       if (!parsed) return fail("well-formed staging_edit: payload failed to parse");
                       if (parsed->id != u || parsed->text != "fixed text")
                           return fail("expected id " + u + " / text 'fixed text', got " + parsed->id + " / '" +
                                       parsed->text + "'");
                       if (parseStagingEdit(garbage)) return fail("garbage input should not parse");
                       if (parseStagingEdit("{\"id\":\"not-a-uuid\",\"text\":\"x\"}"))
                           return fail("non-UUID id string should not parse");
                       if (parseStagingEdit("{\"id\":\"" + u + "\"}")) return fail("missing 'text' key should not parse");
                       return pass();
                   }});
    out.push_back({"parse_staging_delete_happy_path_and_malformed",
                   "it would fail if the delete parser stopped reading the real id, accepted a non-UUID or a missing "
                   "id, or parsed garbage",
                   [garbage] {
                       const std::string u = platform::newUUID();
                       if (parseStagingDelete("{\"id\":\"" + u + "\"}") != u)
                           return fail("well-formed staging_delete: payload failed to parse to the right id");
                       if (parseStagingDelete(garbage)) return fail("garbage input should not parse");
                       if (parseStagingDelete("{\"id\":\"not-a-uuid\"}")) return fail("non-UUID id string should not parse");
                       if (parseStagingDelete("{}")) return fail("missing 'id' key should not parse");
                       return pass();
                   }});
    out.push_back({"parse_staging_move_happy_path_and_malformed",
                   "it would fail if the move parser stopped reading id and toIndex, or took a string such as \"2\" "
                   "for an index",
                   [garbage] {
                       const std::string u = platform::newUUID();
                       auto parsed = parseStagingMove("{\"id\":\"" + u + "\",\"toIndex\":2}");
                       if (!parsed) return fail("well-formed staging_move: payload failed to parse");
                       if (parsed->id != u || parsed->toIndex != 2)
                           return fail("expected id " + u + " / toIndex 2, got " + parsed->id + " / " +
                                       std::to_string(parsed->toIndex));
                       if (parseStagingMove(garbage)) return fail("garbage input should not parse");
                       if (parseStagingMove("{\"id\":\"" + u + "\",\"toIndex\":\"2\"}"))
                           return fail("string toIndex should not parse");
                       if (parseStagingMove("{\"id\":\"" + u + "\"}")) return fail("missing 'toIndex' key should not parse");
                       return pass();
                   }});
    out.push_back({"parse_staging_joiner_maps_only_the_three_known_literals",
                   "mapping an unknown word to a default joiner would silently join with the wrong separator instead "
                   "of refusing the commit; dropping any of the three real joiners fails too",
                   [] {
                       if (parseStagingJoiner("space") != StagingJoiner::space) return fail("'space' should map to .space");
                       if (parseStagingJoiner("newline") != StagingJoiner::newline)
                           return fail("'newline' should map to .newline");
                       if (parseStagingJoiner("blankLine") != StagingJoiner::blankLine)
                           return fail("'blankLine' should map to .blankLine");
                       if (parseStagingJoiner("double-newline"))
                           return fail("an unrecognized joiner string should map to nil, not a default");
                       if (parseStagingJoiner("")) return fail("an empty joiner string should map to nil");
                       return pass();
                   }});
    out.push_back({"parse_staging_commit_happy_path_and_malformed",
                   "it would fail if the commit parser stopped reading ids and joiner, accepted an empty list, "
                   "dropped one bad UUID instead of refusing the whole body, or accepted an unknown joiner",
                   [garbage] {
                       const std::string u1 = platform::newUUID(), u2 = platform::newUUID();
                       auto parsed = parseStagingCommit("{\"ids\":[\"" + u1 + "\",\"" + u2 + "\"],\"joiner\":\"newline\"}");
                       if (!parsed) return fail("well-formed staging_commit: payload failed to parse");
                       if (parsed->ids != std::vector<std::string>{u1, u2} || parsed->joiner != StagingJoiner::newline)
                           return fail("expected ids [" + u1 + "," + u2 + "] / joiner .newline, got " + idList(parsed->ids) +
                                       " / ." + joinerName(parsed->joiner));
                       if (parseStagingCommit(garbage)) return fail("garbage input should not parse");
                       if (parseStagingCommit("{\"ids\":[],\"joiner\":\"space\"}"))
                           return fail("empty ids array should not parse");
                       if (parseStagingCommit("{\"ids\":[\"" + u1 + "\",\"not-a-uuid\"],\"joiner\":\"space\"}"))
                           return fail(
                               "one invalid UUID inside ids should invalidate the WHOLE payload, not just be skipped");
                       if (parseStagingCommit("{\"ids\":[\"" + u1 + "\"],\"joiner\":\"triple-newline\"}"))
                           return fail("an unrecognized joiner string should not parse");
                       return pass();
                   }});
    out.push_back({"staging_rows_shapes_entries_with_real_id_text_polished_never_fabricated",
                   "rows that dropped id, text or polished, wrote an id other than the entry's own UUID, or "
                   "hard-coded polished would break every edit the page sends back",
                   [] {
                       const auto now = std::chrono::system_clock::now();
                       const StagingEntry e1{platform::newUUID(), "raw dictation", now, false};
                       const StagingEntry e2{platform::newUUID(), "cleaned dictation", now, true};
                       const json rows = stagingRows({e1, e2});
                       if (rows.size() != 2) return fail("expected 2 rows, got " + std::to_string(rows.size()));
                       const json* r1 = rowWith(rows, "id", e1.id);
                       if (!r1) return fail("missing row with id matching the real StagingEntry.id");
                       if (!(*r1)["text"].is_string() || (*r1)["text"] != "raw dictation")
                           return fail("expected text 'raw dictation', got " + lookedUp(*r1, "text"));
                       if (!(*r1)["polished"].is_boolean() || (*r1)["polished"] != false)
                           return fail("expected polished false for the unpolished entry, got " + lookedUp(*r1, "polished"));
                       const json* r2 = rowWith(rows, "id", e2.id);
                       if (!r2) return fail("missing row with id matching the real StagingEntry.id");
                       if (!(*r2)["polished"].is_boolean() || (*r2)["polished"] != true)
                           return fail("expected polished true for the polished entry, got " + lookedUp(*r2, "polished"));
                       return pass();
                   }});
    return out;
}

std::vector<SelfTestCase> AppRulesBridgeCases() {
    using namespace BridgePayload;
    auto body = [](const std::string& bundleID, const std::string& name, bool p, bool c, bool d, bool n) {
        auto b = [](bool v) { return v ? "true" : "false"; };
        return "{\"bundleID\":" + json(bundleID).dump() + ",\"displayName\":" + json(name).dump() +
               ",\"polishEnabled\":" + b(p) + ",\"autoCapitalizeEnabled\":" + b(c) + ",\"dictionaryEnabled\":" + b(d) +
               ",\"neverDictate\":" + b(n) + "}";
    };
    const std::string terminalID = LinuxNames::systemTerminalID;
    std::vector<SelfTestCase> out;
    out.push_back({"bridge: rules_set payload with all six fields parses into an AppRule",
                   "a parser that misplaced one flag would store a rule the user never chose", [body] {
                       const AppRule expected{"com.test.mail", "Mail", true, false, true, false, std::nullopt};
                       auto got = parseRuleSet(body("com.test.mail", "Mail", true, false, true, false));
                       if (got == expected) return pass();
                       return fail("parseRuleSet(well-formed): expected " + describe(expected) + ", got " + describe(got));
                   }});
    out.push_back({"bridge: rules_set rejects an empty bundleID",
                   "an empty bundle id would store a rule that matches no application, or every one", [body] {
                       if (parseRuleSet(body("", "X", true, true, true, false)))
                           return fail("expected nil for an empty bundleID");
                       return pass();
                   }});
    out.push_back({"bridge: rules_set rejects a whitespace-only bundleID",
                   "a blank bundle id would store a rule no application id can equal", [body] {
                       if (parseRuleSet(body("   ", "X", true, true, true, false)))
                           return fail("expected nil for a whitespace-only bundleID");
                       return pass();
                   }});
    out.push_back({"bridge: rules_set never crashes on malformed JSON",
                   "a throwing parser would take the whole program down from a page message", [] {
                       if (parseRuleSet("{ not [[ valid")) return fail("expected nil (not a crash) for malformed JSON");
                       return pass();
                   }});
    out.push_back({"bridge: rules_delete payload parses a real bundleID, rejects empty/whitespace-only/malformed",
                   "accepting a blank id would delete nothing while telling the page it did, or worse", [] {
                       auto ok = ruleBundleID("{\"bundleID\":\"com.test.mail\"}");
                       auto empty = ruleBundleID("{\"bundleID\":\"\"}");
                       auto blank = ruleBundleID("{\"bundleID\":\"  \"}");
                       auto malformed = ruleBundleID("not json");
                       if (ok == "com.test.mail" && !empty && !blank && !malformed) return pass();
                       return fail("got ok=" + optionalText(ok) + " empty=" + optionalText(empty) +
                                   " whitespace=" + optionalText(blank) + " malformed=" + optionalText(malformed));
                   }});
    out.push_back({"bridge: ruleRows() shape matches the contract and flags shipped defaults via isDefault",
                   "a row without one of its keys, or a shipped rule not marked isDefault, leaves the page guessing "
                   "which rules the user may delete",
                   [terminalID] {
                       auto shipped = find(AppRules::builtInDefaults(), terminalID);
                       if (!shipped) return fail("precondition failed: no shipped Terminal rule found");
                       const AppRule custom{"com.test.custom", "Custom", true, false, true, false, std::nullopt};
                       const json rows = ruleRows({*shipped, custom});
                       const json* terminalRow = rowWith(rows, "bundleID", terminalID);
                       const json* customRow = rowWith(rows, "bundleID", "com.test.custom");
                       if (!terminalRow || !customRow) return fail("expected rows for both bundle ids, got " + rows.dump());
                       const std::set<std::string> keys{
                           "bundleID",          "displayName",  "polishEnabled", "autoCapitalizeEnabled",
                           "dictionaryEnabled", "neverDictate", "isDefault",     "profileID"};
                       auto keySet = [](const json& r) {
                           std::set<std::string> s;
                           for (auto it = r.begin(); it != r.end(); ++it) s.insert(it.key());
                           return s;
                       };
                       if (keySet(*terminalRow) == keys && keySet(*customRow) == keys &&
                           (*terminalRow)["isDefault"] == true && (*customRow)["isDefault"] == false)
                           return pass();
                       return fail(
                           "expected matching key sets, Terminal isDefault=true, custom isDefault=false — got "
                           "terminalRow=" +
                           terminalRow->dump() + " customRow=" + customRow->dump());
                   }});
    out.push_back({"bridge: rules_set then rules_delete of a SHIPPED default (Terminal) leaves the shipped default intact",
                   "a delete that removed the shipped rule itself, or wrote the built-ins into the store, would lose "
                   "the terminal's raw output for good",
                   [terminalID] {
                       auto shipped = find(AppRules::builtInDefaults(), terminalID);
                       if (!shipped) return fail("precondition failed: no shipped Terminal rule found");
                       auto store = AppPaths::userDefaults();
                       clearRulesStore();
                       const AppRule override{terminalID, "Terminal", true, true, true, false, std::nullopt};
                       AppRules::persist(upsertRule(override, AppRules::loadStoredOverrides(store)), store);
                       if (find(AppRules::effectiveRules(store), terminalID) != override) {
                           clearRulesStore();
                           return fail("precondition failed: override did not take effect");
                       }
                       AppRules::persist(removeRule(terminalID, AppRules::loadStoredOverrides(store)), store);
                       auto after = find(AppRules::effectiveRules(store), terminalID);
                       clearRulesStore();
                       if (after == shipped) return pass();
                       return fail("Terminal rule after deleting the user override: expected " + describe(*shipped) +
                                   ", got " + describe(after));
                   }});
    out.push_back(
        {"bridge: rules_delete of a PURE custom rule (no shipped default) removes it entirely",
         "a delete that left the custom rule in the store would keep a never-dictate block the user removed", [] {
             auto store = AppPaths::userDefaults();
             clearRulesStore();
             const AppRule onlycustom{"com.test.onlycustom", "OnlyCustom", false, false, false, true, std::nullopt};
             AppRules::persist(upsertRule(onlycustom, {}), store);
             if (!find(AppRules::effectiveRules(store), onlycustom.bundleID)) {
                 clearRulesStore();
                 return fail("precondition failed: custom rule was never persisted");
             }
             AppRules::persist(removeRule(onlycustom.bundleID, AppRules::loadStoredOverrides(store)), store);
             const bool still = find(AppRules::effectiveRules(store), onlycustom.bundleID).has_value();
             clearRulesStore();
             if (still)
                 return fail("expected the pure-custom rule to be gone entirely after delete, but it was still present");
             return pass();
         }});
    return out;
}

std::vector<SelfTestCase> SnippetsBridgeCases() {
    using namespace BridgePayload;
    const std::string name = "Ana Lima";
    auto describeSet = [](const std::optional<SnippetSet>& s) {
        return s ? "(" + s->trigger + ", " + s->expansion + ")" : std::string("nil");
    };
    std::vector<SelfTestCase> out;
    out.push_back({"bridge: snippets_set payload with a real trigger+expansion parses",
                   "a parser that swapped or dropped a field would store a snippet the user never wrote",
                   [name, describeSet] {
                       auto got = parseSnippetSet(json{{"trigger", "sig"}, {"expansion", name}}.dump());
                       if (got && got->trigger == "sig" && got->expansion == name) return pass();
                       return fail("expected (sig, " + name + "), got " + describeSet(got));
                   }});
    out.push_back({"bridge: snippets_set rejects an empty trigger",
                   "an empty trigger would be stored as an inert row the user cannot see in any expansion", [describeSet] {
                       auto got = parseSnippetSet(R"({"trigger":"","expansion":"x"})");
                       if (got) return fail("expected nil for an empty trigger, got " + describeSet(got));
                       return pass();
                   }});
    out.push_back({"bridge: snippets_set rejects a whitespace-only trigger",
                   "a blank trigger would be stored although it can never be spoken", [describeSet] {
                       auto got = parseSnippetSet(R"({"trigger":"   ","expansion":"x"})");
                       if (got) return fail("expected nil for a whitespace-only trigger, got " + describeSet(got));
                       return pass();
                   }});
    out.push_back({"bridge: snippets_set never crashes on malformed JSON",
                   "a throwing parser would take the whole program down from a page message", [describeSet] {
                       auto got = parseSnippetSet("{ this is not valid json [[[");
                       if (got) return fail("expected nil (not a crash) for malformed JSON, got " + describeSet(got));
                       return pass();
                   }});
    out.push_back({"bridge: snippets_delete payload parses a real trigger, rejects empty/whitespace-only/malformed",
                   "accepting a blank trigger would delete by a key no snippet has", [] {
                       auto ok = parseSnippetDelete(R"({"trigger":"sig"})");
                       auto empty = parseSnippetDelete(R"({"trigger":""})");
                       auto blank = parseSnippetDelete(R"({"trigger":"  "})");
                       auto malformed = parseSnippetDelete("not json");
                       if (ok == "sig" && !empty && !blank && !malformed) return pass();
                       return fail("got ok=" + optionalText(ok) + " empty=" + optionalText(empty) +
                                   " whitespace=" + optionalText(blank) + " malformed=" + optionalText(malformed));
                   }});
    out.push_back(
        {"bridge: snippets_set/snippets_delete round-trip through the real Snippets store, mirroring the handler's own "
         "calls",
         "parsers that agreed with each other but not with the store would add snippets that never expand "
         "or deletes that leave them live",
         [] {
             std::error_code ec;
             fs::remove(Snippets::storageFile(), ec);
             auto finish = [](SelfTestOutcome o) {
                 SelfTestSupport::removeIfPresent(Snippets::storageFile());
                 return o;
             };
             auto set = parseSnippetSet(R"({"trigger":"omw","expansion":"on my way"})");
             if (!set) return finish(fail("precondition failed: parseSnippetSet rejected a well-formed payload"));
             Snippets snippets;
             if (!snippets.addSnippet(set->trigger, set->expansion))
                 return finish(fail("addSnippet reported failure for a valid parsed payload"));
             if (snippets.expand("omw!") != "on my way!")
                 return finish(fail("expected the newly-added snippet to expand immediately"));
             auto del = parseSnippetDelete(R"({"trigger":"omw"})");
             if (!del) return finish(fail("precondition failed: parseSnippetDelete rejected a well-formed payload"));
             snippets.deleteSnippet(*del);
             if (snippets.expand("omw!") != "omw!") return finish(fail("expected the snippet to be inert after delete"));
             return finish(pass());
         }});
    return out;
}

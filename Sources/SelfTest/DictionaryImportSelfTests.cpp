#include "Base/AppPaths.h"
#include "Platform/FileIO.h"
#include "SelfTest/SelfTest.h"
#include "Text/Vocabulary.h"

#include <nlohmann/json.hpp>

using json = nlohmann::json;

namespace DictionaryImportSelfTests {

namespace {

std::string describe(const std::optional<std::vector<Vocabulary::Term>>& terms) {
    if (!terms) return "nil";
    std::string out = "Optional([";
    for (std::size_t i = 0; i < terms->size(); ++i) {
        out += i ? ", [" : "[";
        bool first = true;
        for (const auto& [k, v] : (*terms)[i]) {
            out += (first ? "\"" : ", \"") + k + "\": \"" + v + "\"";
            first = false;
        }
        out += "]";
    }
    return out + "])";
}

std::string optionalText(const std::optional<std::string>& s) { return s ? "Optional(\"" + *s + "\")" : "nil"; }

void resetDictionary() {
    platform::atomicWrite(AppPaths::dictionaryFile(), "[]", 0600);
    Vocabulary::shared().reloadDictionary();
}

}  // namespace

std::vector<SelfTestCase> cases() {
    std::vector<SelfTestCase> out;
    out.push_back({"validateImportPayload accepts a well-formed array of {from,to} objects",
                   "any tightening of the validation (extra keys required, valid string values rejected) would turn a "
                   "real exported file into a false rejection",
                   [] {
                       auto result = Vocabulary::validateImportPayload(
                           json::array({{{"from", "foo"}, {"to", "bar"}}, {{"from", "baz"}, {"to", "qux"}}}));
                       if (result && result->size() == 2) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected 2 validated entries, got " + describe(result));
                   }});
    out.push_back({"validateImportPayload rejects the WHOLE file when even one entry is missing 'to'",
                   "returning the entries validated so far instead of nothing for the whole array would partially "
                   "apply a bad file",
                   [] {
                       auto result = Vocabulary::validateImportPayload(
                           json::array({{{"from", "foo"}, {"to", "bar"}}, {{"from", "onlyfrom"}}}));
                       if (!result) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected nil (whole file rejected), got " + describe(result));
                   }});
    out.push_back({"validateImportPayload rejects a top-level JSON object (not an array)",
                   "accepting any object-shaped root (treating an object's values as entries) would let a malformed "
                   "or non-array file through",
                   [] {
                       auto result = Vocabulary::validateImportPayload(json{{"from", "foo"}, {"to", "bar"}});
                       if (!result) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected nil for a non-array root, got " + describe(result));
                   }});
    out.push_back({"mergeImportedTerms adds a genuinely new 'from' term",
                   "an off-by-one in the added/skipped bookkeeping would misreport the count the UI shows the user", [] {
                       auto r = Vocabulary::mergeImportedTerms({{{"from", "alpha"}, {"to", "Alpha"}}},
                                                               {{{"from", "beta"}, {"to", "Beta"}}});
                       if (r.added != 1 || r.skipped != 0)
                           return SelfTestOutcome::fail("expected added=1 skipped=0, got added=" + std::to_string(r.added) +
                                                        " skipped=" + std::to_string(r.skipped));
                       for (const auto& t : r.merged)
                           if (t.count("from") && t.at("from") == "beta" && t.count("to") && t.at("to") == "Beta")
                               return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("merged list is missing the new term");
                   }});
    out.push_back({"mergeImportedTerms: an existing term (case-insensitive) wins over a conflicting imported 'to'",
                   "the merge rule is that existing terms win on conflict, and dropping the by-key conflict check "
                   "would let an import silently overwrite the user's own customisation",
                   [] {
                       auto r = Vocabulary::mergeImportedTerms({{{"from", "GAAP"}, {"to", "GAAP (user's own)"}}},
                                                               {{{"from", "gaap"}, {"to", "SOMETHING ELSE"}}});
                       if (r.added != 0 || r.skipped != 1)
                           return SelfTestOutcome::fail("expected added=0 skipped=1, got added=" + std::to_string(r.added) +
                                                        " skipped=" + std::to_string(r.skipped));
                       std::optional<std::string> found;
                       for (const auto& t : r.merged) {
                           if (t.count("from") && platform::text::lowercased(t.at("from")) == "gaap") {
                               if (t.count("to")) found = t.at("to");
                               break;
                           }
                       }
                       if (found == std::optional<std::string>("GAAP (user's own)")) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("existing value after a conflicting import: expected " +
                                                    optionalText("GAAP (user's own)") + ", got " + optionalText(found));
                   }});
    out.push_back(
        {"importTerms() writes a merged dictionary.json atomically and reloads Vocabulary",
         "forgetting to reload after a successful write would leave apply running on the stale in-memory "
         "list although the file on disk is correct",
         [] {
             Vocabulary& vocabulary = Vocabulary::shared();
             resetDictionary();
             vocabulary.addTerm("existingterm", "ExistingTerm");
             auto merge = Vocabulary::mergeImportedTerms(
                 Vocabulary::loadRawTerms(),
                 {{{"from", "importedterm"}, {"to", "ImportedTerm"}}, {{"from", "existingterm"}, {"to", "SHOULD NOT WIN"}}});
             if (merge.added > 0) {
                 if (!vocabulary.importTerms(merge.merged)) {
                     resetDictionary();
                     return SelfTestOutcome::fail("importTerms() returned nil (write failure) for a valid write");
                 }
                 vocabulary.reloadDictionary();
             }
             const std::string probe = vocabulary.apply("check importedterm and existingterm now");
             resetDictionary();
             if (merge.added != 1)
                 return SelfTestOutcome::fail("expected exactly 1 new term added, got " + std::to_string(merge.added));
             if (probe.find("ImportedTerm") == std::string::npos)
                 return SelfTestOutcome::fail("newly imported term was not applied — reloadDictionary() likely never ran");
             if (probe.find("ExistingTerm") == std::string::npos || probe.find("SHOULD NOT WIN") != std::string::npos)
                 return SelfTestOutcome::fail("existing term's own value should have survived the import unchanged, got: " +
                                              probe);
             return SelfTestOutcome::pass();
         }});
    return out;
}

}  // namespace DictionaryImportSelfTests

ONDIRA_SELFTEST_SUITE("DictionaryImport", DictionaryImportSelfTests::cases);

#include "Base/AppPaths.h"
#include "Platform/FileIO.h"
#include "Platform/Unicode.h"
#include "SelfTest/SelfTest.h"
#include "SelfTest/TextSelfTestSupport.h"
#include "Text/Vocabulary.h"

#include <fstream>
#include <set>

namespace fs = std::filesystem;
using TextSelfTestSupport::expectEqual;

namespace VocabularySelfTests {

namespace {

void reset(Vocabulary& vocabulary) {
    platform::atomicWrite(AppPaths::dictionaryFile(), "[]", 0600);
    AppPaths::userDefaults()->setStringArray(Vocabulary::packsEnabledKey, {});
    vocabulary.reloadDictionary();
}

struct ApplyCase {
    const char* name;
    std::vector<std::pair<const char*, const char*>> terms;
    const char* input;
    const char* expected;
    const char* label;
    const char* teeth;
};

// Each case starts and ends with an empty dictionary and no packs.
void addApplyCases(std::vector<SelfTestCase>& out, Vocabulary& vocabulary, const std::vector<ApplyCase>& table) {
    for (const ApplyCase& c : table) {
        out.push_back({c.name, c.teeth, [&vocabulary, c] {
                           reset(vocabulary);
                           for (const auto& [from, to] : c.terms) vocabulary.addTerm(from, to);
                           const std::string result = vocabulary.apply(c.input);
                           reset(vocabulary);
                           return expectEqual(c.label, c.expected, result);
                       }});
    }
}

}  // namespace

std::vector<SelfTestCase> cases() {
    Vocabulary& vocabulary = Vocabulary::shared();
    std::vector<SelfTestCase> out;

    out.push_back(
        {"pack resolution: bundled Bundle.main pack wins over an Application-Support override",
         "swapping the two steps of pack-file resolution (Application Support before the bundle) would pick up the "
         "override's sentinel term instead of the bundle's pack",
         [&vocabulary] {
             reset(vocabulary);
             const fs::path packs = AppPaths::applicationSupport() / "vocab_packs";
             std::error_code ec;
             fs::create_directories(packs, ec);
             std::ofstream(packs / "finance.json") << R"({"name":"finance","terms":["zzzoverridesentinel"]})";
             AppPaths::userDefaults()->setStringArray(Vocabulary::packsEnabledKey, {"finance"});
             vocabulary.reloadDictionary();
             std::set<std::string> terms;
             for (const auto& t : vocabulary.getContextTerms()) terms.insert(platform::text::lowercased(t));
             fs::remove_all(packs, ec);
             AppPaths::userDefaults()->removeObject(Vocabulary::packsEnabledKey);
             reset(vocabulary);
             if (terms.count("zzzoverridesentinel"))
                 return SelfTestOutcome::fail(
                     "Application-Support override was honored even though the bundled "
                     "finance.json exists (sentinel term leaked in)");
             if (!terms.count("ebitda"))
                 return SelfTestOutcome::fail("expected the real bundled finance.json term 'EBITDA' to be loaded");
             return SelfTestOutcome::pass();
         }});

    out.push_back({"apply(): a bundled term substitutes case-insensitively",
                   "removing the case-insensitive option from the per-term pattern (or from the insert-or-replace of "
                   "terms) would fail to match lower-case \"ebitda\"",
                   [&vocabulary] {
                       reset(vocabulary);
                       AppPaths::userDefaults()->setStringArray(Vocabulary::packsEnabledKey, {"finance"});
                       vocabulary.reloadDictionary();
                       const std::string result = vocabulary.apply("our ebitda is strong this quarter");
                       AppPaths::userDefaults()->removeObject(Vocabulary::packsEnabledKey);
                       reset(vocabulary);
                       return expectEqual("apply(\"our ebitda is strong this quarter\")",
                                          "our EBITDA is strong this quarter", result);
                   }});

    const std::vector<ApplyCase> table = {
        {"replacement 'to' containing '$1' is inserted literally, not as a regex backreference",
         {{"foo", "$1"}},
         "test foo now",
         "test $1 now",
         "apply(\"test foo now\") with foo->\"$1\"",
         "using the replacement directly as a regular-expression template instead of escaping it would treat \"$1\" "
         "as a capture-group reference of a pattern without groups and drop it"},
        {"replacement 'to' containing '$500' is inserted literally",
         {{"pricetag", "$500"}},
         "the pricetag is high",
         "the $500 is high",
         "apply(\"the pricetag is high\") with pricetag->\"$500\"",
         "using the replacement as a regular-expression template would mangle a dollar amount instead of inserting it "
         "as written"},
    };
    addApplyCases(out, vocabulary, table);

    out.push_back({"longest-match-first ordering is deterministic across repeated runs",
                   "ordering replacements by insertion instead of by descending length of \"from\" (or an unstable "
                   "sort) would let \"GAAP\" win over \"GAAP compliant\" on some runs",
                   [&vocabulary] {
                       reset(vocabulary);
                       vocabulary.addTerm("GAAP", "GAAP");
                       vocabulary.addTerm("GAAP compliant", "GAAP-COMPLIANT-TERM");
                       bool ok = true;
                       for (int i = 0; i < 5 && ok; ++i)
                           ok = vocabulary.apply("this is GAAP compliant reporting") ==
                                "this is GAAP-COMPLIANT-TERM reporting";
                       reset(vocabulary);
                       if (ok) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail(
                           "apply() did not deterministically prefer the longer term 'GAAP "
                           "compliant' across 5 repeated calls");
                   }});

    const std::vector<ApplyCase> rest = {
        {"'from' matching is word-boundary safe (does not corrupt substrings)",
         {{"cat", "dog"}},
         "the cat sat, concatenate, category, cats",
         "the dog sat, concatenate, category, cats",
         "apply() word-boundary check",
         "dropping the word-boundary wrapper around \"from\" would make \"cat\" match inside \"concatenate\" and "
         "\"category\""},
        {"apply(): sentence-initial capitalization is preserved when 'to' is incidentally lowercase",
         {{"terraform", "terraform"}},
         "Terraform is great.",
         "Terraform is great.",
         "apply(\"Terraform is great.\") with terraform->\"terraform\"",
         "inserting \"to\" verbatim would turn \"Terraform is great.\" into \"terraform is great.\""},
        {"apply(): ALL-CAPS match transfers to an incidentally-lowercase replacement",
         {{"graphql", "graphql"}},
         "GRAPHQL is a query language",
         "GRAPHQL is a query language",
         "apply(\"GRAPHQL is a query language\") with graphql->\"graphql\"",
         "inserting verbatim would flatten an all-capitals match to lower case"},
        {"apply(): a deliberately-cased replacement ('api' -> 'API') is never clobbered, even by an ALL-CAPS match",
         {{"api", "API"}},
         "API is down, please page ops. api is critical.",
         "API is down, please page ops. API is critical.",
         "apply() must preserve deliberate 'API' casing regardless of match case",
         "a rule that blindly mirrors the match's case instead of first checking whether the replacement has capitals "
         "of its own would force \"API\" down to \"Api\" or \"api\""},
        {"apply(): a camelCase replacement ('iphone' -> 'iPhone') is never clobbered, even by an ALL-CAPS match",
         {{"iphone", "iPhone"}},
         "IPHONE is fast",
         "iPhone is fast",
         "apply() must preserve deliberate camelCase 'iPhone' regardless of match case",
         "a case rule that mirrors the match's case would turn a camelCase replacement into \"IPHONE\"; \"iPhone\" "
         "must survive an all-capitals match"},
        {"apply(): multi-word replacement inherits the matched word's leading capitalization",
         {{"brb", "be right back"}},
         "Brb, getting coffee",
         "Be right back, getting coffee",
         "apply(\"Brb, getting coffee\") with brb->\"be right back\"",
         "a capitalised abbreviation at a sentence start must expand to a capitalised phrase, not a lower-case one"},
        {"apply(): a mid-sentence all-lowercase match leaves an all-lowercase replacement unchanged",
         {{"teh", "the"}},
         "I saw teh cat",
         "I saw the cat",
         "apply(\"I saw teh cat\") with teh->\"the\"",
         "the case transfer must not invent capitals where the match is plain lower case mid-sentence"},
    };
    addApplyCases(out, vocabulary, rest);

    out.push_back({"apply(): idempotent — applying twice equals applying once",
                   "a case rule that re-triggers on its own output would keep changing text on repeated passes",
                   [&vocabulary] {
                       reset(vocabulary);
                       vocabulary.addTerm("brb", "be right back");
                       const std::string once = vocabulary.apply("Brb, getting coffee");
                       const std::string twice = vocabulary.apply(once);
                       reset(vocabulary);
                       return expectEqual("apply(apply(x)) must equal apply(x)", once, twice);
                   }});
    out.push_back({"apply(): a non-alphabetic literal replacement ('$1') is unaffected by a capitalized match",
                   "the case transfer must not corrupt a replacement that has no letters, even when the matched word "
                   "is capitalised",
                   [&vocabulary] {
                       reset(vocabulary);
                       vocabulary.addTerm("foo", "$1");
                       const std::string result = vocabulary.apply("Foo now");
                       reset(vocabulary);
                       return expectEqual("apply(\"Foo now\") with foo->\"$1\" must not corrupt the literal replacement",
                                          "$1 now", result);
                   }});
    return out;
}

}  // namespace VocabularySelfTests

ONDIRA_SELFTEST_SUITE("Vocabulary", VocabularySelfTests::cases);

#include "Learning/CorrectionLog.h"
#include "Platform/Unicode.h"
#include "SelfTest/SelfTest.h"
#include "SelfTest/TextSelfTestSupport.h"
#include "Text/PolishEngine.h"

#include <nlohmann/json.hpp>

namespace WritingStyleSelfTests {

namespace {

using Rules = std::vector<CorrectionLog::LearnedSubstitution>;

std::vector<CorrectionRecord> records(const TextSelfTestSupport::Pairs& pairs) {
    return TextSelfTestSupport::correctionRecords(pairs, CorrectionSource::observedEdit);
}

using TextSelfTestSupport::repeated;
std::string literal(const std::string& s) { return nlohmann::json(s).dump(); }

const Rules kTeh = {{"teh", "the"}};
const Rules kTwo = {{"teh", "the"}, {"recieve", "receive"}};
const Rules kThree = {{"teh", "the"}, {"recieve", "receive"}, {"definately", "definitely"}};

}  // namespace

std::vector<SelfTestCase> cases() {
    namespace text = platform::text;
    std::vector<SelfTestCase> out;
    out.push_back({"computeLearnedSubstitutions: a pair seen >= minLearnedOccurrences is learned",
                   "a > instead of >=, or a broken group-key normalisation, would drop a pair repeated three times that "
                   "must be learned",
                   [] {
                       auto rules =
                           CorrectionLog::computeLearnedSubstitutions(records(repeated("teh", "the", 3)), 3, 200, {});
                       for (const auto& r : rules)
                           if (text::lowercased(r.heard) == "teh" && text::lowercased(r.written) == "the")
                               return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected 'teh'->'the' (seen 3x) to be learned, got " + describe(rules));
                   }});
    out.push_back(
        {"computeLearnedSubstitutions: a pair seen below minLearnedOccurrences is NOT learned",
         "without the minimum-count filter (or with exact-string grouping) a pair seen twice, "
         "indistinguishable from a one-off typo, would start rewriting the user's dictation",
         [] {
             auto rules = CorrectionLog::computeLearnedSubstitutions(records(repeated("recieve", "receive", 2)), 3, 200, {});
             if (rules.empty()) return SelfTestOutcome::pass();
             return SelfTestOutcome::fail("expected a 2x pair (below minCount:3) to be excluded, got " + describe(rules));
         }});
    out.push_back({"computeLearnedSubstitutions: a term already in the explicit dictionary is excluded",
                   "without the exclusion, a learned rule would duplicate and possibly fight an explicit dictionary "
                   "entry for the same heard token: explicit always wins",
                   [] {
                       auto rules = CorrectionLog::computeLearnedSubstitutions(records(repeated("kpmg", "KPMG-learned", 3)),
                                                                               3, 200, {" KPMG "});
                       if (rules.empty()) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail(
                           "expected 'kpmg' to be excluded once it's an explicit dictionary term, got " + describe(rules));
                   }});
    out.push_back({"computeLearnedSubstitutions: ranked by frequency descending, then capped",
                   "ranking by insertion order, or cutting to the cap before ranking, would let a low-frequency rule "
                   "survive ahead of a high-frequency one",
                   [] {
                       std::vector<CorrectionRecord> list;
                       auto add = [&list](const char* h, const char* w, int n) {
                           for (int i = 0; i < n; ++i) list.push_back({h, w, "", "A", i, CorrectionSource::observedEdit});
                       };
                       add("charlie", "CHARLIE", 3);
                       add("bravo", "BRAVO", 4);
                       add("alpha", "ALPHA", 5);
                       auto rules = CorrectionLog::computeLearnedSubstitutions(list, 3, 2, {});
                       if (rules.size() != 2)
                           return SelfTestOutcome::fail("expected exactly 2 rules (cap:2), got " +
                                                        std::to_string(rules.size()) + ": " + describe(rules));
                       std::vector<std::string> heard;
                       for (const auto& r : rules) heard.push_back(text::lowercased(r.heard));
                       if (heard == std::vector<std::string>{"alpha", "bravo"}) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail(
                           "expected the two MOST-frequent pairs ['alpha'(5x), 'bravo'(4x)] to "
                           "survive the cap ahead of 'charlie'(3x), got [\"" +
                           heard[0] + "\", \"" + heard[1] + "\"]");
                   }});
    out.push_back({"computeLearnedSubstitutions: grouping is case-insensitive and whitespace-insensitive",
                   "without trim and lower-case normalisation, \" Teh \" and \"teh\" would be counted apart and neither "
                   "would reach three",
                   [] {
                       auto rules = CorrectionLog::computeLearnedSubstitutions(
                           records({{" Teh ", "the"}, {"teh", "The"}, {"TEH", "the"}}), 3, 200, {});
                       for (const auto& r : rules)
                           if (text::lowercased(text::trimmed(r.heard)) == "teh") return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail(
                           "expected the differently-cased/padded pair to be grouped together and "
                           "reach minCount:3, got " +
                           describe(rules));
                   }});
    out.push_back(
        {"applyLearnedSubstitutions: word-boundary match does not rewrite inside a longer word",
         "without word-boundary anchors (plain substring matching) a rule \"teh\" -> \"the\" would corrupt a "
         "longer word that contains it",
         [] {
             const std::string result =
                 PolishEngine::applyLearnedSubstitutions("We are flying to Tehran and teheran again next week.", kTeh);
             const std::string lower = text::lowercased(result);
             if (result.find("Tehran") != std::string::npos && result.find("teheran") != std::string::npos &&
                 lower.find("theeran") == std::string::npos && lower.find("thehran") == std::string::npos)
                 return SelfTestOutcome::pass();
             return SelfTestOutcome::fail("expected 'Tehran'/'teheran' to survive untouched, got " + literal(result));
         }});
    out.push_back({"applyLearnedSubstitutions: a standalone occurrence of the learned word IS rewritten",
                   "a word-boundary pattern broken the other way (never matching) would leave a real standalone \"teh\" "
                   "untouched",
                   [] {
                       const std::string result = PolishEngine::applyLearnedSubstitutions("I saw teh cat.", kTeh);
                       if (result == "I saw the cat.") return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected standalone 'teh' to become 'the', got " + result);
                   }});
    out.push_back(
        {"applyLearnedSubstitutions: sentence-initial capitalization is preserved through a lowercase learned rule",
         "a literal replacement (as the explicit dictionary's own apply does) would turn \"Teh\" into a "
         "lower-case \"the\" and de-capitalise the sentence start",
         [] {
             const std::string result = PolishEngine::applyLearnedSubstitutions("Teh cat sat down.", kTeh);
             if (result == "The cat sat down.") return SelfTestOutcome::pass();
             return SelfTestOutcome::fail("expected leading capital to be preserved as 'The', got " + result);
         }});
    out.push_back({"applyLearnedSubstitutions: idempotent — applying twice equals applying once",
                   "a rule whose written side re-matches its own heard pattern, or a loop that re-scans replaced text, "
                   "would keep rewriting on a second pass (text can be polished more than once)",
                   [] {
                       const std::string first =
                           PolishEngine::applyLearnedSubstitutions("Teh team will recieve teh update.", kTwo);
                       const std::string second = PolishEngine::applyLearnedSubstitutions(first, kTwo);
                       if (first == second) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail(
                           "applying learned substitutions twice must be a no-op past the first "
                           "pass: expected " +
                           first + ", got " + second);
                   }});
    out.push_back({"applyLearnedSubstitutions: empty and whitespace-only input pass through unchanged",
                   "an implementation that takes the first character of an empty text while matching case would crash "
                   "instead of returning the text",
                   [] {
                       const std::string empty = PolishEngine::applyLearnedSubstitutions("", kTeh);
                       if (!empty.empty())
                           return SelfTestOutcome::fail("expected empty string to pass through unchanged, got " + empty);
                       const std::string blank = "   \n\t  ";
                       const std::string result = PolishEngine::applyLearnedSubstitutions(blank, kTeh);
                       if (result != blank)
                           return SelfTestOutcome::fail("expected whitespace-only string to pass through unchanged, got " +
                                                        result);
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"applyLearnedSubstitutions: no rules is a no-op",
                   "with no learned rules the operation must not compile patterns or alter text: it sits on the hot "
                   "polish path of every user without learned rules",
                   [] {
                       const std::string result = PolishEngine::applyLearnedSubstitutions("Teh cat sat down.", {});
                       if (result == "Teh cat sat down.") return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected unchanged text when there are no learned rules, got " +
                                                    result);
                   }});
    out.push_back({"applyLearnedSubstitutions: multiple distinct learned rules all apply in one pass",
                   "an implementation that applied only the first rule, or stopped after the first match, would leave "
                   "later corrections unapplied",
                   [] {
                       const std::string result =
                           PolishEngine::applyLearnedSubstitutions("I will definately recieve teh package.", kThree);
                       if (result == "I will definitely receive the package.") return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected all three learned rules to apply, got " + result);
                   }});
    return out;
}

}  // namespace WritingStyleSelfTests

ONDIRA_SELFTEST_SUITE("WritingStyle", WritingStyleSelfTests::cases);

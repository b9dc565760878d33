#include "Learning/ScreenContext.h"
#include "Platform/Unicode.h"
#include "SelfTest/SelfTest.h"
#include "SelfTest/TextSelfTestSupport.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace ScreenContextSelfTests {

namespace {

using TextSelfTestSupport::quotedList;
using V = std::vector<std::string>;

struct Extraction {
    const char* name;
    const char* teeth;
    std::string text;
    V required;
    V forbidden;
};

SelfTestOutcome check(const Extraction& c) {
    const V result = ScreenContext::extractTerms(c.text, 100);
    for (const auto& term : c.required)
        if (std::find(result.begin(), result.end(), term) == result.end())
            return SelfTestOutcome::fail("expected " + quotedList(result) + " to contain '" + term + "'");
    for (const auto& term : c.forbidden)
        if (std::find(result.begin(), result.end(), term) != result.end())
            return SelfTestOutcome::fail("expected " + quotedList(result) + " to NOT contain '" + term + "'");
    return SelfTestOutcome::pass();
}

const char* const punctuation = "!!! ... --- ??? ,,, ;;; :::";

}  // namespace

std::vector<SelfTestCase> cases() {
    const Extraction table[] = {
        {"camelCase identifier is extracted",
         "without the case-transition check, camelCase identifiers would stop being offered to the recogniser as bias terms",
         "Please rename the variable userAccountBalance before merging.",
         {"userAccountBalance"},
         {}},
        {"snake_case identifier is extracted",
         "if the underscore left the token class, snake_case identifiers would be split into meaningless fragments",
         "The value comes from user_account_balance in the config.",
         {"user_account_balance"},
         {}},
        {"PascalCase identifier is extracted",
         "mixed-case PascalCase tokens such as a class name must survive, and not only through the single-capital rule "
         "for names",
         "Update the AppleSpeechEngine before shipping.",
         {"AppleSpeechEngine"},
         {}},
        {"dotted path is extracted",
         "without the dot-joined group, a dotted configuration path would be cut into fragments and never appear as one "
         "term",
         "Set com.example.myapp.debugMode to true in the plist.",
         {"com.example.myapp.debugMode"},
         {"com", "example", "myapp", "debugMode"}},
        {"ordinary lowercase English words are not extracted",
         "without the stop-word list or the classify() gate, every common word would flood the recogniser's context "
         "strings with noise",
         "the quick brown fox jumps over the lazy dog and then runs away",
         {},
         {"quick", "brown", "jumps", "lazy", "runs", "away"}},
        {"sentence-initial capitalization is not mistaken for a proper noun",
         "without isSentenceStart, every sentence-initial word (\"The\", \"Please\") would be taken for a proper noun",
         "The build passed. Please merge it. Thanks for checking.",
         {},
         {"the", "The", "please", "Please", "thanks", "Thanks"}},
        {"a real acronym is extracted",
         "with a broken upper-case-run check in isAcronymCandidate, a genuine acronym such as a ticker or protocol name "
         "would never reach the recogniser",
         "The SCHW connection uses the FIX protocol.",
         {"SCHW", "FIX"},
         {}},
        {"2-letter tokens are noise, not acronyms",
         "without the 3-character floor, two-letter fragments would flood the context strings",
         "Go to IT or ID the issue and go to it.",
         {},
         {"IT", "ID", "it"}},
        {"pure digits are excluded",
         "without the pure-digit check, page numbers and counters would be offered as vocabulary",
         "See section 12345 and item 42 for details.",
         {},
         {"12345", "42"}},
    };
    std::vector<SelfTestCase> out;
    for (const auto& c : table) out.push_back({c.name, c.teeth, [c] { return check(c); }});

    out.push_back({"de-duplication is case-insensitive and preserves first-seen casing",
                   "with exact-string de-duplication, different spellings of one identifier would count as separate "
                   "terms and each consume budget",
                   [] {
                       const V result = ScreenContext::extractTerms(
                           "Read from User_Account_Balance first. Then user_account_balance again, and "
                           "USER_ACCOUNT_BALANCE once more.",
                           100);
                       V same;
                       for (const auto& t : result)
                           if (platform::text::lowercased(t) == "user_account_balance") same.push_back(t);
                       if (same.size() != 1)
                           return SelfTestOutcome::fail(
                               "expected exactly one 'user_account_balance' entry after de-dup, got " + quotedList(same));
                       if (same[0] != "User_Account_Balance")
                           return SelfTestOutcome::fail(
                               "first-seen casing: expected Optional(\"User_Account_Balance\"), got "
                               "Optional(" +
                               nlohmann::json(same[0]).dump() + ")");
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"extraction cap is enforced",
                   "if the cap were ignored, a large document could hand an unbounded term list to the recogniser", [] {
                       V words;
                       for (int i = 1; i <= 50; ++i) words.push_back("identifierNumber" + std::to_string(i) + "Alpha");
                       const V result = ScreenContext::extractTerms(platform::text::join(words, " "), 10);
                       if (result.size() <= 10) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected at most 10 terms, got " + std::to_string(result.size()));
                   }});
    out.push_back({"dictionary terms survive the merge un-truncated when the budget is exceeded",
                   "trimming the dictionary terms to fit the total cap would silently drop the user's own entries "
                   "whenever screen harvesting was busy; dictionary terms are the one thing this feature must never cost",
                   [] {
                       V dictionary, screen;
                       for (int i = 1; i <= 120; ++i) dictionary.push_back("dictTerm" + std::to_string(i));
                       for (int i = 1; i <= 50; ++i) screen.push_back("screenTerm" + std::to_string(i));
                       const V merged = ScreenContext::merge(dictionary, screen, 100);
                       if (merged.size() != 120)
                           return SelfTestOutcome::fail("expected all 120 dictionary terms present, got " +
                                                        std::to_string(merged.size()) + " total terms");
                       for (const auto& term : dictionary)
                           if (std::find(merged.begin(), merged.end(), term) == merged.end())
                               return SelfTestOutcome::fail("dictionary term '" + term + "' was dropped by merge");
                       if (std::find(merged.begin(), merged.end(), "screenTerm1") != merged.end())
                           return SelfTestOutcome::fail(
                               "screen terms must not displace any dictionary term once the budget is exhausted");
                       return SelfTestOutcome::pass();
                   }});
    out.push_back(
        {"screen terms fill remaining budget when dictionary is small",
         "without the backfill, a small dictionary would never benefit from screen terms even with budget left", [] {
             const V merged = ScreenContext::merge({"alpha", "beta"}, {"gammaTerm", "deltaTerm", "epsilonTerm"}, 4);
             if (merged.size() == 4) return SelfTestOutcome::pass();
             return SelfTestOutcome::fail(
                 "merged count with 2 dictionary + budget for 2 more screen terms: "
                 "expected 4, got " +
                 std::to_string(merged.size()));
         }});
    out.push_back(
        {"empty input returns empty", "an unreadable or blank focused element must degrade to no terms, not a crash", [] {
             return check({"", "", "", {}, {}});
         }});
    out.push_back({"garbage punctuation-only input returns empty",
                   "a text without word characters must not crash or hang the tokenizer", [] {
                       return check({"", "", punctuation, {}, {}});
                   }});
    out.push_back(
        {"garbage input returns empty, not a crash", "the same invariant, asserted on the returned list itself", [] {
             const V result = ScreenContext::extractTerms(punctuation, 100);
             if (result.empty()) return SelfTestOutcome::pass();
             return SelfTestOutcome::fail("expected empty result for punctuation-only input, got " + quotedList(result));
         }});
    const Extraction tail[] = {
        {"a URL is rejected entirely, including its fragments",
         "without URL stripping, host names and path segments of a pasted URL would be offered as vocabulary",
         "See https://ondira.app/some/path?query=1 for the ticket, and www.wikipedia.org too.",
         {},
         {"ondira.app", "ondira", "wikipedia.org", "wikipedia", "https", "www"}},
        {"a long hex blob is rejected",
         "without the hexadecimal-blob heuristic, a commit hash or memory address would be offered as a word",
         "Bad build was a3f9c2e1b7d4a0f6c8e2b1d9a7f3c5e0 on the runner.",
         {},
         {"a3f9c2e1b7d4a0f6c8e2b1d9a7f3c5e0"}},
        {"a long real identifier (letters only, no digits) is NOT mistaken for a blob",
         "a bare length cutoff instead of a hexadecimal and digit check would reject genuinely long identifiers",
         "Call AXUIElementCreateSystemWide to get the system-wide element.",
         {"AXUIElementCreateSystemWide"},
         {}},
    };
    for (const auto& c : tail) out.push_back({c.name, c.teeth, [c] { return check(c); }});
    return out;
}

}  // namespace ScreenContextSelfTests

ONDIRA_SELFTEST_SUITE("ScreenContext", ScreenContextSelfTests::cases);

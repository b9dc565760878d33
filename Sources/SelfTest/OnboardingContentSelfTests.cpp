// What onboarding and the command-line help teach must be what the program
// does: the voice-command list, the feature highlights and the usage text.
#include "CLI/OndiraCLI.h"
#include "Platform/Unicode.h"
#include "SelfTest/SelfTest.h"
#include "Text/VoiceCommandCatalog.h"
#include "Text/VoiceCommands.h"
#include "UI/OnboardingCatalog.h"

#include <optional>
#include <set>

namespace OnboardingContentSelfTests {

struct Fixture {
    std::string phrase;
    std::string utterance;
    std::string mustContain;  // empty: no requirement
    std::optional<std::string> mustNotContain;
};

const std::vector<Fixture>& fixtures() {
    static const std::vector<Fixture> list = {
        {"period", "hello period", ".", std::nullopt},
        {"comma", "hello comma", ",", std::nullopt},
        {"question mark", "hello question mark", "?", std::nullopt},
        {"exclamation point", "hello exclamation point", "!", std::nullopt},
        {"new line", "hello new line world", "\n", std::nullopt},
        {"new paragraph", "hello new paragraph world", "\n\n", std::nullopt},
        {"open quote", "open quote hello", "\"", std::nullopt},
        {"close quote", "hello close quote", "\"", std::nullopt},
        {"all caps", "please all caps important", "IMPORTANT", std::nullopt},
        {"cap that", "the cat cap that", "Cat", std::nullopt},
        {"scratch that", "hello world scratch that", "", std::string("world")},
        {"delete last word", "hello world delete last word", "Hello", std::string("world")},
    };
    return list;
}

namespace {

using platform::text::lowercased;
using platform::text::trimmed;

bool contains(const std::string& haystack, const std::string& needle) { return haystack.find(needle) != std::string::npos; }

std::string listed(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", \"" : "\"") + items[i] + "\"";
    return out + "]";
}

bool inCatalog(const std::string& phrase) {
    for (const auto& entry : VoiceCommandCatalog::entries())
        if (entry.phrase == phrase) return true;
    return false;
}

SelfTestOutcome resolvesFixture(const Fixture& f) {
    const std::string out = VoiceCommands::resolve(f.utterance);
    if (out == f.utterance)
        return SelfTestOutcome::fail("resolve(\"" + f.utterance + "\") returned the input unchanged — '" + f.phrase +
                                     "' did not fire");
    if (!f.mustContain.empty() && !contains(out, f.mustContain))
        return SelfTestOutcome::fail("resolve(\"" + f.utterance + "\") = \"" + out + "\" does not contain expected \"" +
                                     f.mustContain + "\"");
    if (f.mustNotContain && contains(out, *f.mustNotContain))
        return SelfTestOutcome::fail("resolve(\"" + f.utterance + "\") = \"" + out + "\" still contains \"" +
                                     *f.mustNotContain + "\", expected it removed");
    return SelfTestOutcome::pass();
}

}  // namespace

std::vector<SelfTestCase> cases() {
    std::vector<SelfTestCase> out;
    out.push_back({"VoiceCommandCatalog.entries is non-empty",
                   "an emptied catalog would make onboarding and the help advertise no voice commands", [] {
                       if (VoiceCommandCatalog::entries().empty())
                           return SelfTestOutcome::fail("VoiceCommandCatalog.entries is empty");
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"VoiceCommandCatalog.entries has no duplicate phrase",
                   "a copy-paste duplicate would show the same phrase twice in onboarding and the help", [] {
                       std::vector<std::string> phrases;
                       std::set<std::string> seen;
                       bool duplicate = false;
                       for (const auto& entry : VoiceCommandCatalog::entries()) {
                           phrases.push_back(lowercased(entry.phrase));
                           if (!seen.insert(phrases.back()).second) duplicate = true;
                       }
                       if (duplicate) return SelfTestOutcome::fail("duplicate phrase(s) found: " + listed(phrases));
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"VoiceCommandCatalog.entries: no phrase or effect is empty",
                   "a blank phrase or effect renders as an empty line in onboarding and the help", [] {
                       for (const auto& entry : VoiceCommandCatalog::entries()) {
                           if (trimmed(entry.phrase).empty()) return SelfTestOutcome::fail("an entry has an empty phrase");
                           if (trimmed(entry.effect).empty())
                               return SelfTestOutcome::fail("entry '" + entry.phrase + "' has an empty effect description");
                       }
                       return SelfTestOutcome::pass();
                   }});
    out.push_back(
        {"every anti-lying fixture corresponds to an advertised catalog phrase",
         "a misspelt fixture exercises a phrase the program never advertises and leaves the real one unchecked", [] {
             for (const auto& f : fixtures())
                 if (!inCatalog(f.phrase))
                     return SelfTestOutcome::fail("fixture phrase '" + f.phrase + "' is not in VoiceCommandCatalog.entries");
             return SelfTestOutcome::pass();
         }});
    out.push_back({"every catalog phrase has an anti-lying fixture",
                   "a phrase added to the catalog without a fixture could advertise a command the resolver lacks", [] {
                       for (const auto& entry : VoiceCommandCatalog::entries()) {
                           bool covered = false;
                           for (const auto& f : fixtures()) covered = covered || f.phrase == entry.phrase;
                           if (!covered)
                               return SelfTestOutcome::fail("catalog phrase '" + entry.phrase +
                                                            "' has no anti-lying fixture");
                       }
                       return SelfTestOutcome::pass();
                   }});
    for (const Fixture& f : fixtures())
        out.push_back({"anti-lying: \"" + f.phrase + "\" — VoiceCommands.resolve genuinely handles it",
                       "a resolver that stopped recognising '" + f.phrase +
                           "' would leave onboarding and the help advertising a command that does nothing",
                       [f] { return resolvesFixture(f); }});
    out.push_back({"OnboardingCatalog.featureHighlights() is non-empty",
                   "an empty highlight list leaves the teaching step with nothing to show", [] {
                       if (OnboardingCatalog::featureHighlights().empty())
                           return SelfTestOutcome::fail("featureHighlights() was empty");
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"OnboardingCatalog.featureHighlights() has no duplicate title",
                   "a duplicated highlight pushes a real feature off the visible list", [] {
                       std::vector<std::string> titles;
                       std::set<std::string> seen;
                       bool duplicate = false;
                       for (const auto& h : OnboardingCatalog::featureHighlights()) {
                           titles.push_back(h.title);
                           if (!seen.insert(h.title).second) duplicate = true;
                       }
                       if (duplicate) return SelfTestOutcome::fail("duplicate highlight title(s): " + listed(titles));
                       return SelfTestOutcome::pass();
                   }});
    out.push_back(
        {"OnboardingCatalog.featureHighlights() mentions the dictionary, snippets, per-app rules, voice commands, and the "
         "CLI",
         "teaching only some of the five features leaves onboarding incomplete", [] {
             std::string text;
             for (const auto& h : OnboardingCatalog::featureHighlights())
                 text += (text.empty() ? "" : " \n ") + h.title + " " + h.detail;
             text = lowercased(text);
             for (const char* needle : {"dictionary", "snippet", "app", "voice command", "ondira "})
                 if (!contains(text, needle))
                     return SelfTestOutcome::fail(std::string("featureHighlights() content is missing a mention of '") +
                                                  needle + "': " + text);
             return SelfTestOutcome::pass();
         }});
    out.push_back({"OnboardingCatalog.featureHighlights(): every highlight has a non-empty title and detail",
                   "a highlight with an empty detail renders as a title over a blank line", [] {
                       for (const auto& h : OnboardingCatalog::featureHighlights()) {
                           if (trimmed(h.title).empty()) return SelfTestOutcome::fail("a highlight has an empty title");
                           if (trimmed(h.detail).empty())
                               return SelfTestOutcome::fail("highlight '" + h.title + "' has an empty detail");
                       }
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"OndiraCLI.usageText mentions voice commands",
                   "help that never mentions voice commands leaves them undiscoverable", [] {
                       if (!contains(lowercased(OndiraCLI::usageText()), "voice command"))
                           return SelfTestOutcome::fail("OndiraCLI.usageText does not mention 'voice command'");
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"OndiraCLI.usageText lists every VoiceCommandCatalog phrase",
                   "help built from a stale copy of the command list drifts from the onboarding panel", [] {
                       const std::string usage = lowercased(OndiraCLI::usageText());
                       for (const auto& entry : VoiceCommandCatalog::entries())
                           if (!contains(usage, lowercased(entry.phrase)))
                               return SelfTestOutcome::fail("OndiraCLI.usageText does not list catalog phrase '" +
                                                            entry.phrase + "'");
                       return SelfTestOutcome::pass();
                   }});
    return out;
}

}  // namespace OnboardingContentSelfTests

ONDIRA_SELFTEST_SUITE("OnboardingContent", OnboardingContentSelfTests::cases);

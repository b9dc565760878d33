#include <cctype>
#include <chrono>

#include "Engine/SpeechEngine.h"
#include "Engine/StreamingSupport.h"
#include "Platform/Unicode.h"
#include "SelfTest/SelfTest.h"
#include "SelfTest/SourceScan.h"

// The two cases for the indicator page's partial-text script join this suite
// with the indicator.
namespace PartialTextPreviewSelfTests {

namespace {
// How the application delegate labels the partial-text argument of its
// recognition call.
constexpr const char* partialTextLabel = "/*onPartialText=*/";
const char* const forbiddenTokens[] = {"DictationLogger", "textInjector.inject", "polishEngine", "Snippets", "print(",
                                       "printf(",         "platform::log(",      "std::cout"};

SelfTestCase throttleCase(std::string name, std::string teeth, std::string candidate, std::optional<std::string> last,
                          std::optional<double> secondsAgo, bool expected, std::string message) {
    return {std::move(name), std::move(teeth), [=] {
                const SystemTime now = std::chrono::system_clock::now();
                std::optional<SystemTime> at;
                if (secondsAgo)
                    at = now - std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                   std::chrono::duration<double>(*secondsAgo));
                const bool emitted = shouldEmitPartial(candidate, last, at, now, PartialTextCoalescer::minInterval);
                return emitted == expected ? SelfTestOutcome::pass() : SelfTestOutcome::fail(message);
            }};
}
}  // namespace

std::vector<SelfTestCase> indicatorScriptCases();

std::vector<SelfTestCase> cases() {
    std::vector<SelfTestCase> out;
    out.push_back(throttleCase("empty candidate is never emitted",
                               "emitting an empty candidate would let a recogniser's transient empty result blank out "
                               "better partial text already showing in the indicator",
                               "", std::nullopt, std::nullopt, false, "expected empty candidate to be rejected"));
    out.push_back(throttleCase("whitespace-only candidate is never emitted",
                               "a whitespace-only candidate treated as content would flash an apparently blank update "
                               "on every stray space",
                               "   \n  ", std::nullopt, std::nullopt, false,
                               "expected whitespace-only candidate to be rejected"));
    out.push_back(throttleCase("first-ever emission fires immediately regardless of interval",
                               "throttling the very first partial like the later ones would show nothing for the first "
                               "interval of every dictation, the gap the feature exists to close",
                               "hello", std::nullopt, std::nullopt, true,
                               "expected first emission (lastEmittedAt == nil) to fire"));
    out.push_back(throttleCase("identical candidate to last emitted is never re-emitted",
                               "re-emitting an unchanged candidate would flood the page with script calls that change "
                               "nothing when a recogniser reports the same finished chunk twice",
                               "hello world", std::string("hello world"), 10.0, false,
                               "expected a candidate identical to the last emitted text to be rejected even 10s later"));
    out.push_back(throttleCase("candidate too soon after last emission is throttled",
                               "emitting here would flood the main queue and the page with a script call for every "
                               "single result instead of coalescing them",
                               "hello there", std::string("hello"), 0.05, false,
                               "expected candidate 50ms after last emission (minInterval 250ms) to be throttled"));
    out.push_back(throttleCase("candidate after minInterval has elapsed is emitted",
                               "refusing here would freeze the preview after the first partial for the rest of the "
                               "dictation",
                               "hello there", std::string("hello"), 0.3, true,
                               "expected candidate 300ms after last emission (minInterval 250ms) to be emitted"));
    // The indicator page's partial-text script cases come next.
    for (auto& c : indicatorScriptCases()) out.push_back(std::move(c));

    const auto root = SelfTestSupport::repoRoot();
    const auto source = root ? SelfTestSupport::readRepoFile("Sources/App/DictationController.cpp") : std::nullopt;
    if (!root) {
        out.push_back({"AppDelegate onPartialText scan (skipped)", "n/a — dev source tree not present next to this bundle",
                       [] { return SelfTestOutcome::skip("dev source tree not present next to this bundle"); }});
    } else if (!source || !platform::text::isValidUTF8(*source)) {
        out.push_back(
            {"AppDelegate onPartialText scan", "the dictation road's source must be in the tree next to this bundle", [] {
                 return SelfTestOutcome::fail(
                     "dev source tree present but Sources/App/DictationController.cpp is missing or unreadable");
             }});
    } else {
        const std::string text = *source;
        out.push_back({"AppDelegate's onPartialText closure touches only the HUD indicator",
                       "if the partial-text callback ever called the dictation logger, the text injector, polishing, "
                       "snippet expansion or a print or log statement, the user's private live speech would be written "
                       "to disk, pasted or printed before the transcript is even final",
                       [text] {
                           const auto at = text.find(partialTextLabel);
                           if (at == std::string::npos)
                               return SelfTestOutcome::fail(
                                   "could not find an onPartialText: argument wired up in "
                                   "AppDelegate — the callback was never passed through");
                           // The window is the closure itself, not the call site: the argument passed
                           // after the label is either a lambda or a local initialised from a maker
                           // function, whose body holds the closure.
                           std::size_t from = at + std::string(partialTextLabel).size();
                           while (from < text.size() && text[from] == ' ') ++from;
                           if (from < text.size() && text[from] != '[') {
                               std::size_t stop = from;
                               while (stop < text.size() &&
                                      (std::isalnum(static_cast<unsigned char>(text[stop])) || text[stop] == '_'))
                                   ++stop;
                               const std::string argument = text.substr(from, stop - from);
                               const auto init = text.find(" " + argument + " = ");
                               if (argument.empty() || init == std::string::npos)
                                   return SelfTestOutcome::fail("cannot find where the onPartialText argument '" + argument +
                                                                "' is made");
                               std::size_t callee = init + argument.size() + 4;
                               const auto paren = text.find('(', callee);
                               const std::string maker = text.substr(callee, paren - callee);
                               // The definition is the mention whose line ends by opening the body.
                               auto definition = text.find(" " + maker + "(");
                               while (definition != std::string::npos) {
                                   const auto lineEnd = text.find('\n', definition);
                                   const std::string line = text.substr(definition, lineEnd - definition);
                                   if (line.size() >= 3 && line.compare(line.size() - 3, 3, ") {") == 0) break;
                                   definition = text.find(" " + maker + "(", definition + 1);
                               }
                               if (maker.empty() || definition == std::string::npos)
                                   return SelfTestOutcome::fail("cannot find the body of '" + maker +
                                                                "', which makes the onPartialText closure");
                               from = definition;
                           }
                           const auto open = text.find('{', from);
                           if (open == std::string::npos)
                               return SelfTestOutcome::fail("the onPartialText closure has no body");
                           std::size_t close = open;
                           for (int depth = 0; close < text.size(); ++close) {
                               if (text[close] == '{') ++depth;
                               if (text[close] == '}' && --depth == 0) break;
                           }
                           const std::string window = text.substr(from, close + 1 - from);
                           for (const char* token : forbiddenTokens)
                               if (SourceScan::contains(window, token))
                                   return SelfTestOutcome::fail(
                                       std::string("onPartialText closure window contains forbidden token '") + token +
                                       "': " + window);
                           return SelfTestOutcome::pass();
                       }});
    }

    out.push_back({"transcribeDetailed 3-arg overload still exists with the original signature",
                   "removing the three-parameter form or changing its signature would break every existing caller; "
                   "the newer partial-text parameter must be purely additive",
                   [] {
                       TranscriptionResult (SpeechEngine::*threeArgument)(
                           const std::filesystem::path&, const std::vector<std::string>&, std::optional<SystemTime>) =
                           &SpeechEngine::transcribeDetailed;
                       (void)SpeechEngine::shared();
                       (void)threeArgument;
                       return SelfTestOutcome::pass();
                   }});
    return out;
}

}  // namespace PartialTextPreviewSelfTests

ONDIRA_SELFTEST_SUITE("PartialTextPreview", PartialTextPreviewSelfTests::cases);

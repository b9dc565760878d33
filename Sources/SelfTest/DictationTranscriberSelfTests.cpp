#include <chrono>

#include "Base/AppPaths.h"
#include "Engine/SpeechEngine.h"
#include "Platform/Unicode.h"
#include "SelfTest/SelfTest.h"
#include "SelfTest/SourceScan.h"

namespace DictationTranscriberSelfTests {

namespace {
using Path = SpeechEngine::RecognitionPath;

std::string optionalList(const std::optional<std::vector<std::string>>& list) {
    if (!list) return "nil";
    std::string out = "Optional([";
    for (std::size_t i = 0; i < list->size(); ++i) out += (i ? ", \"" : "\"") + (*list)[i] + "\"";
    return out + "])";
}

SelfTestCase pathCase(std::string name, std::string teeth, bool flag, Path expected) {
    return {std::move(name), std::move(teeth), [flag, expected] {
                const Path got = SpeechEngine::selectedModernPath(flag);
                if (got == expected) return SelfTestOutcome::pass();
                return SelfTestOutcome::fail(std::string("selectedModernPath(") + (flag ? "true" : "false") +
                                             "): expected " + SpeechEngine::name(expected) + ", got " +
                                             SpeechEngine::name(got));
            }};
}
}  // namespace

std::vector<SelfTestCase> cases() {
    std::vector<SelfTestCase> out;
    out.push_back({"dictation transcriber switch defaults OFF",
                   "if the switch ever defaulted to true or stopped being registered, every user who never touched it "
                   "would silently move to the new, less proven path on the next dictation",
                   [] {
                       (void)SpeechEngine::shared();
                       if (!SpeechEngine::isDictationTranscriberEnabled()) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected ondira_dictation_transcriber_enabled to default to false");
                   }});
    out.push_back(pathCase("flag OFF selects the SpeechTranscriber path (today's behavior)",
                           "if the off case ever mapped to the dictation transcriber, every dictation on a machine that "
                           "never touched the setting would silently use the new path",
                           false, Path::speechTranscriber));
    out.push_back(pathCase("flag ON selects the DictationTranscriber path",
                           "if the on case kept mapping to the speech transcriber, turning the switch on would do nothing "
                           "and the personal-model attach point would never run",
                           true, Path::dictationTranscriber));
    out.push_back({"toggling the real UserDefaults switch flows into path selection",
                   "exercises the real getter and setter, not only the pure mapping: if the setter wrote another store "
                   "or key than the getter reads, flipping the real switch would never change a real dictation",
                   [] {
                       auto store = AppPaths::userDefaults();
                       const auto remembered = store->persistentObject(SpeechEngine::dictationTranscriberEnabledDefaultsKey);
                       struct Restore {
                           std::shared_ptr<platform::SettingsStore> store;
                           std::optional<platform::SettingsStore::json> value;
                           ~Restore() {
                               if (value) store->set(SpeechEngine::dictationTranscriberEnabledDefaultsKey, *value);
                               else store->removeObject(SpeechEngine::dictationTranscriberEnabledDefaultsKey);
                           }
                       } restore{store, remembered};
                       SpeechEngine::setDictationTranscriberEnabled(true);
                       Path on = SpeechEngine::selectedModernPath(SpeechEngine::isDictationTranscriberEnabled());
                       if (on != Path::dictationTranscriber)
                           return SelfTestOutcome::fail(std::string("expected .dictationTranscriber after setting "
                                                                    "isDictationTranscriberEnabled = true, got ") +
                                                        SpeechEngine::name(on));
                       SpeechEngine::setDictationTranscriberEnabled(false);
                       Path off = SpeechEngine::selectedModernPath(SpeechEngine::isDictationTranscriberEnabled());
                       if (off != Path::speechTranscriber)
                           return SelfTestOutcome::fail(std::string("path after setting isDictationTranscriberEnabled = "
                                                                    "false: expected speechTranscriber, got ") +
                                                        SpeechEngine::name(off));
                       return SelfTestOutcome::pass();
                   }});

    if (SpeechEngine::capabilities().analyzerPaths) {
        out.push_back({"no prepared personal model -> content hints carry no custom-LM hint",
                       "if the no-model branch inserted a customized-language hint anyway, every dictation without a "
                       "compiled personal model would hand the recognizer a hint for an absent model",
                       [] {
                           const auto count = SpeechEngine::contentHints(std::nullopt).count();
                           if (count == 1) return SelfTestOutcome::pass();
                           return SelfTestOutcome::fail(
                               "content hint count with no prepared configuration: expected 1, got " +
                               std::to_string(count));
                       }});
        out.push_back({"a prepared personal model -> content hints include the custom-LM hint",
                       "if a prepared personal-model configuration never reached the hint set, the personal model would "
                       "silently never attach even once compiled and cached",
                       [] {
                           const auto count =
                               SpeechEngine::contentHints(PersonalModel::Configuration{"/tmp/ondira-selftest-model.bin",
                                                                                       "/tmp/ondira-selftest-vocab.bin", ""})
                                   .count();
                           if (count == 2) return SelfTestOutcome::pass();
                           return SelfTestOutcome::fail(
                               "content hint count with a prepared configuration: expected 2, got " + std::to_string(count));
                       }});
        out.push_back(
            {".shortForm content hint is present regardless of the personal model",
             "the application dictates sentences and short paragraphs, which is what the short-form hint "
             "describes; it must be joined with the model hint, not replaced by it",
             [] {
                 if (!SpeechEngine::contentHints(std::nullopt).shortForm)
                     return SelfTestOutcome::fail("expected .shortForm present with no personal model");
                 if (!SpeechEngine::contentHints(PersonalModel::Configuration{"/tmp/ondira-selftest-model2.bin",
                                                                              "/tmp/ondira-selftest-vocab2.bin", ""})
                          .shortForm)
                     return SelfTestOutcome::fail("expected .shortForm still present alongside the custom-LM hint");
                 return SelfTestOutcome::pass();
             }});
        out.push_back({"non-empty context terms populate AnalysisContext under the .general tag",
                       "if the builder stopped setting the general entry, neither whole-take path would bias toward the "
                       "user's dictionary or screen terms, with no error to show it",
                       [] {
                           const std::vector<std::string> terms = {"Alpha", "SPY", "Ondira"};
                           auto context = SpeechEngine::buildAnalysisContext(terms);
                           auto it = context.contextualStrings.find(SpeechEngine::AnalysisContext::general);
                           std::optional<std::vector<std::string>> got;
                           if (it != context.contextualStrings.end()) got = it->second;
                           if (got == terms) return SelfTestOutcome::pass();
                           return SelfTestOutcome::fail("contextualStrings[.general]: expected " + optionalList(terms) +
                                                        ", got " + optionalList(got));
                       }});
        out.push_back({"empty context terms leave AnalysisContext.general unset",
                       "an empty but present entry is the \"observed but blank\" shape that causes false signals; with no "
                       "terms the entry is left out, not set to an empty list",
                       [] {
                           auto context = SpeechEngine::buildAnalysisContext({});
                           if (context.contextualStrings.count(SpeechEngine::AnalysisContext::general) == 0)
                               return SelfTestOutcome::pass();
                           return SelfTestOutcome::fail(
                               "expected contextualStrings[.general] to be nil for empty context terms");
                       }});
    } else {
        out.push_back(
            {"custom-LM content hint gating (skipped)", "n/a — DictationTranscriber needs the context decoder",
             [] { return SelfTestOutcome::skip("the context decoder is needed for DictationTranscriber.ContentHint"); }});
        out.push_back({"context term propagation (skipped)", "n/a — AnalysisContext needs the context decoder",
                       [] { return SelfTestOutcome::skip("the context decoder is needed for AnalysisContext"); }});
    }

    out.push_back({"makeResult maps both engines' outcomes into the same TranscriptionResult shape",
                   "if the mapping into the result ever depended on which engine produced it (trimming skipped, latency "
                   "computed differently), callers would see different behaviour depending on the path",
                   [] {
                       const SystemTime at = SystemTime{} + std::chrono::seconds(1000000);
                       const std::filesystem::path url = "/tmp/ondira-selftest-audio.wav";
                       auto a = SpeechEngine::makeResult("  hello world  ", false, EngineIdentifier::contextDecoder(), url,
                                                         at, at, 3.5);
                       auto b = SpeechEngine::makeResult("  hello world  ", false, EngineIdentifier::personalDecoder(), url,
                                                         at, at, 3.5);
                       if (a.text != b.text || a.text != "hello world")
                           return SelfTestOutcome::fail("text differs by engine: " + a.text + " vs " + b.text);
                       if (a.sourceAudioURL != b.sourceAudioURL)
                           return SelfTestOutcome::fail("sourceAudioURL differs by engine");
                       if (a.engineIdentifier == b.engineIdentifier)
                           return SelfTestOutcome::fail("test setup bug: expected distinct engine identifiers");
                       return SelfTestOutcome::pass();
                   }});

    const auto source = SourceScan::speechEngineSourceOr(out, "legacy privacy guard source scan (skipped)");
    if (!source) return out;
    const std::string text = *source;
    out.push_back({"legacy on-device privacy guard text is present and unmodified",
                   "the incremental path is refused a recogniser unless on-device recognition is confirmed; if this "
                   "guard were removed, moved after the request is built, or softened, audio could reach a recogniser "
                   "that is not on this machine",
                   [text] {
                       if (SourceScan::contains(text, "if (!supportsOnDeviceRecognition(*recognizer)) {"))
                           return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected the literal on-device privacy guard in transcribeLegacy");
                   }});
    out.push_back({"the new flag's UserDefaults key never appears inside transcribeLegacy",
                   "the new path may only be chosen inside the whole-take branch; if the switch were read in the legacy "
                   "path it could start influencing the incremental recognition",
                   [text] {
                       const std::string from = "SpeechEngine::Triple SpeechEngine::transcribeLegacy(";
                       auto body = SourceScan::between(text, from, "// Legacy helpers");
                       if (!body) return SelfTestOutcome::fail("could not locate transcribeLegacy function body to scan");
                       const std::string inside = body->substr(from.size());
                       if (SourceScan::contains(inside, "ondira_dictation_transcriber_enabled") ||
                           SourceScan::contains(inside, "isDictationTranscriberEnabled"))
                           return SelfTestOutcome::fail(
                               "the new flag key/property must not appear inside transcribeLegacy's body");
                       return SelfTestOutcome::pass();
                   }});
    return out;
}

}  // namespace DictationTranscriberSelfTests

ONDIRA_SELFTEST_SUITE("DictationTranscriber", DictationTranscriberSelfTests::cases);

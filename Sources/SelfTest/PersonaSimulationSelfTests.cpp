// Short scenarios named after kinds of users, each across product areas: a
// developer in a terminal, a medical practitioner, legal counsel, a writer
// staging takes, a speaker switching languages, a media transcriber.
#include "Base/AppPaths.h"
#include "Diagnostics/PrivacyProbe.h"
#include "Engine/SpeechEngine.h"
#include "Engine/FileTranscriber.h"
#include "Platform/FileIO.h"
#include "Platform/UUID.h"
#include "SelfTest/SelfTest.h"
#include "Text/AppRules.h"
#include "Text/StagingBuffer.h"
#include "Text/Vocabulary.h"

#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace PersonaSimulationSelfTests {

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Puts a file back as it was (or absent) when the case ends.
class FileRestorer {
public:
    explicit FileRestorer(fs::path path) : path_(std::move(path)), saved_(platform::readFile(path_)) {}
    ~FileRestorer() {
        if (saved_) platform::atomicWrite(path_, *saved_, 0600);
        else SelfTestSupport::removeIfPresent(path_);
    }

private:
    fs::path path_;
    std::optional<std::string> saved_;
};

}  // namespace

std::vector<SelfTestCase> cases() {
    std::vector<SelfTestCase> out;

    out.push_back({"persona 6: software developer in Terminal gets raw text without snippet or polish mangling",
                   "if the pipeline applied polish or snippet expansion inside terminal applications, shell commands "
                   "such as rm or git could be dangerously rewritten",
                   [] {
                       AppRule rule;
                       rule.bundleID = "org.gnome.Terminal";
                       rule.displayName = "Terminal";
                       rule.polishEnabled = false;
                       rule.autoCapitalizeEnabled = false;
                       rule.dictionaryEnabled = true;
                       rule.neverDictate = false;
                       const std::string input = "rm -rf build && git status";
                       const std::string output = AppRules::apply(rule, input);
                       if (output == input) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("Terminal input was mangled: expected '" + input + "', got '" + output +
                                                    "'");
                   }});

    // The terms go through the personal dictionary itself, so the case fails
    // when the dictionary stops replacing spoken forms, not only when a
    // string replacement of its own would.
    out.push_back({"persona 7: medical practitioner terms take precedence over generic transcription",
                   "if custom and pack terms did not win over raw speech output, medical terms would stay misspelled", [] {
                       const fs::path file = AppPaths::dictionaryFile();
                       FileRestorer restore(file);
                       const json terms =
                           json::array({{{"from", "arrhythmia"}, {"to", "Arrhythmia (Class I)"}},
                                        {{"from", "myocardial infarction"}, {"to", "Myocardial Infarction (STEMI)"}}});
                       if (!platform::atomicWrite(file, terms.dump(2), 0600))
                           return SelfTestOutcome::fail("medical vocabulary substitution failed: could not write " +
                                                        file.filename().string());
                       Vocabulary vocabulary;
                       vocabulary.reloadDictionary();
                       const std::string result =
                           vocabulary.apply("patient has severe arrhythmia and myocardial infarction");
                       if (contains(result, "Arrhythmia (Class I)") && contains(result, "Myocardial Infarction (STEMI)"))
                           return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("medical vocabulary substitution failed: " + result);
                   }});

    out.push_back({"persona 8: legal counsel confidentiality verified with zero unapproved outbound hosts",
                   "if an outside analytics domain or another unapproved host were built into the program, legal "
                   "confidentiality would be breached",
                   [] {
                       for (const char* host : {"updates.ondira.app", "ondira.app", "127.0.0.1"}) {
                           if (!PrivacyProbe::isAllowedHost(host, PrivacyProbe::allowedHostSuffixes()))
                               return SelfTestOutcome::fail(std::string("legitimate host unexpectedly rejected: ") + host);
                       }
                       for (const char* host : {"telemetry.vortexmetrics.io", "analytics.bigsearch.com",
                                                "crashes.bugcatcher.dev", "events.productpulse.io"}) {
                           if (PrivacyProbe::isAllowedHost(host, PrivacyProbe::allowedHostSuffixes()))
                               return SelfTestOutcome::fail(std::string("forbidden tracking host was allowed: ") + host);
                       }
                       return SelfTestOutcome::pass();
                   }});

    out.push_back(
        {"persona 9: creative writer staging buffer records multiple takes and commits cleanly",
         "if the staging buffer dropped entries or corrupted their order, drafted long-form writing would be lost", [] {
             const fs::path file = platform::temporaryDirectory() / ("staging_persona_" + platform::newUUID() + ".json");
             struct Remove {
                 fs::path path;
                 ~Remove() { SelfTestSupport::removeIfPresent(path); }
             } remove{file};
             StagingBuffer buffer(file, StagingLimits{10, 10000});
             const std::vector<std::pair<std::string, bool>> takes = {{"Chapter 1: The beginning.", false},
                                                                      {"The morning was crisp.", true},
                                                                      {"Suddenly, the phone rang.", false}};
             for (const auto& [text, polished] : takes) buffer.append(text, polished);
             if (buffer.count() != 3)
                 return SelfTestOutcome::fail("expected 3 staged takes, got " + std::to_string(buffer.count()));
             const std::string composed = buffer.takeAll(StagingJoiner::blankLine);
             for (const auto& take : takes) {
                 if (!contains(composed, take.first)) return SelfTestOutcome::fail("composed text corrupted: " + composed);
             }
             if (buffer.count() != 0) return SelfTestOutcome::fail("buffer not cleared after takeAll");
             return SelfTestOutcome::pass();
         }});

    // Each language goes through the stored setting the recogniser reads at
    // start, so a stale or reshaped value after a switch fails the case.
    out.push_back(
        {"persona 10: multilingual speaker switching locales maintains valid configuration",
         "if switching from en_US to de_DE kept a stale locale, dictation would not adapt its recognition models", [] {
             auto store = AppPaths::userDefaults();
             const auto saved = store->persistentObject(SpeechEngine::localeDefaultsKey);
             std::optional<SelfTestOutcome> failure;
             for (const std::string id : {"en_US", "de_DE", "fr_FR"}) {
                 SpeechEngine::persistLocale(id, *store);
                 const std::string resolved =
                     SpeechEngine::resolveConfiguredLocaleIdentifier(SpeechEngine::loadPersistedLocale(*store), "en_US");
                 if (resolved != id) {
                     failure = SelfTestOutcome::fail("locale resolution mismatch");
                     break;
                 }
             }
             if (saved) store->set(SpeechEngine::localeDefaultsKey, *saved);
             else store->removeObject(SpeechEngine::localeDefaultsKey);
             return failure.value_or(SelfTestOutcome::pass());
         }});

    out.push_back({"persona 11: media transcriber formats valid SRT and VTT subtitle outputs",
                   "if subtitle formatting emitted bad timestamps or dropped segment numbers, video editors would refuse "
                   "the subtitle files",
                   [] {
                       const std::vector<FileTranscriber::Segment> segments = {{"Hello and welcome.", 0.0, 2.5},
                                                                               {"Today we discuss Ondira.", 2.5, 5.5}};
                       const std::string srt = FileTranscriber::formatSRT(segments);
                       if (!contains(srt, "00:00:00,000 --> 00:00:02,500") || !contains(srt, "Hello and welcome."))
                           return SelfTestOutcome::fail("malformed SRT timestamp/text: " + srt);
                       const std::string vtt = FileTranscriber::formatVTT(segments);
                       if (vtt.rfind("WEBVTT", 0) != 0 || !contains(vtt, "00:00:02.500 --> 00:00:05.500"))
                           return SelfTestOutcome::fail("malformed VTT output: " + vtt);
                       return SelfTestOutcome::pass();
                   }});
    return out;
}

}  // namespace PersonaSimulationSelfTests

ONDIRA_SELFTEST_SUITE("PersonaSimulation", PersonaSimulationSelfTests::cases);

#include "Base/AppPaths.h"
#include "Learning/PersonalModel.h"
#include "Platform/FileIO.h"
#include "Platform/Unicode.h"
#include "Platform/UUID.h"
#include "SelfTest/PersonalModelFixtures.h"
#include "SelfTest/SelfTest.h"
#include "SelfTest/TextSelfTestSupport.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <set>

namespace PersonalModelSelfTests {

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using TextSelfTestSupport::boolText;
using Status = PersonalModel::Status;
using Observation = PersonalModel::AttachObservation;

std::string literal(const std::string& s) { return json(s).dump(); }
std::string optionalText(const std::optional<std::string>& s) { return s ? "Optional(" + literal(*s) + ")" : "nil"; }

struct CorpusLine {
    const char* name;
    const char* teeth;
    std::string line;
    std::optional<std::string> expected;
};

struct RebuildCase {
    const char* name;
    const char* teeth;
    bool filesPresent;
    std::optional<std::int64_t> cachedCount;
    std::int64_t currentCount;
    std::optional<std::string> cachedLocale;
    std::string currentLocale;
    bool expected;
};

// Restores the switch whatever the case did.
struct SwitchGuard {
    bool saved = PersonalModel::isEnabled();
    ~SwitchGuard() { PersonalModel::setEnabled(saved); }
};

Status complete() { return completePersonalModelStatus(); }
Status attachable() {
    Status s = complete();
    s.cachedLocale = "en_GB";
    s.currentLocale = "en_GB";
    s.builtAtTimestamp = 1787853289.0;
    s.nowTimestamp = 1787853400.0;
    s.cachedModelVersion = "1787853257";
    return s;
}
std::string report(const Status& s) { return platform::text::join(PersonalModel::statusLines(s), "\n"); }
bool has(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

// The lines of a checkout file, or the skip a source-scan case reports.
struct SourceText {
    std::optional<std::string> text;
    std::string skipReason;
};
SourceText source(const std::string& relativePath, const std::string& baseName) {
    const auto root = SelfTestSupport::repoRoot();
    if (!root) return {std::nullopt, "dev source tree not present next to this bundle"};
    auto text = SelfTestSupport::readRepoFile(relativePath);
    if (!text || !platform::text::isValidUTF8(*text))
        return {std::nullopt, baseName + " unreadable at " + (*root / relativePath).string()};
    return {text, {}};
}
std::string trimmedLine(const std::string& line) {
    const auto b = line.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    return line.substr(b, line.find_last_not_of(" \t") - b + 1);
}

const char* const personalModelSources[] = {"Sources/Learning/PersonalModel.h", "Sources/Learning/PersonalModel.cpp"};
const char* const speechEngineSource = "Sources/Engine/SpeechEngine.cpp";

}  // namespace

std::vector<SelfTestCase> reportCases() {
    std::vector<SelfTestCase> out;

    out.push_back({"status says ATTACHED YES only when the model is genuinely in play",
                   "the whole point of the report is that it can say NO; a literal, or a line computed from anything "
                   "but the predicate that preparedConfiguration uses, would print YES on a broken machine",
                   [] {
                       if (!has(report(complete()), "ATTACHED TO RECOGNITION YES"))
                           return SelfTestOutcome::fail("a complete, matching, enabled cache must report YES");
                       std::vector<std::pair<std::string, Status>> variants;
                       Status s = complete();
                       s.enabled = false;
                       variants.emplace_back("feature off", s);
                       s = complete();
                       s.modelBytes.reset();
                       variants.emplace_back("model.bin missing", s);
                       s = complete();
                       s.vocabularyBytes.reset();
                       variants.emplace_back("vocabulary.bin missing", s);
                       s = complete();
                       s.cachedLocale.reset();
                       s.cachedEntryCount.reset();
                       s.builtAtTimestamp.reset();
                       variants.emplace_back("no metadata", s);
                       s = complete();
                       s.cachedLocale = "de_DE";
                       variants.emplace_back("locale mismatch", s);
                       for (const auto& [name, variant] : variants)
                           if (has(report(variant), "ATTACHED TO RECOGNITION YES"))
                               return SelfTestOutcome::fail("reported YES with " + name);
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"a leftover training_data.sflm is reported as evidence the compiler threw",
                   "a training file left beside no model file is the receipt that the compile has been failing; "
                   "dropping this diagnosis leaves that evidence unread",
                   [] {
                       Status s = complete();
                       s.modelBytes.reset();
                       s.vocabularyBytes.reset();
                       s.cachedLocale.reset();
                       s.cachedEntryCount.reset();
                       s.builtAtTimestamp.reset();
                       s.leftoverTrainingAssetBytes = 1758103;
                       const std::string text = report(s);
                       if (!has(text, "training_data.sflm is still on disk"))
                           return SelfTestOutcome::fail("no leftover-asset diagnosis in:\n" + text);
                       if (!has(text, "the compiler threw"))
                           return SelfTestOutcome::fail("leftover asset noted but its meaning not stated:\n" + text);
                       if (has(report(complete()), "training_data.sflm is still on disk"))
                           return SelfTestOutcome::fail("diagnosed a leftover asset when there was none");
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"a failed build's reason is printed, not swallowed",
                   "the recogniser's compile error used to reach only the log; if the reason stops reaching the "
                   "report the feature can fail silently again",
                   [] {
                       Status s = complete();
                       s.modelBytes.reset();
                       s.vocabularyBytes.reset();
                       s.lastOutcome = PersonalModel::BuildOutcome{
                           false, 1900.0, 0, "en_US", 1.7, "Error Domain=SFSpeechErrorDomain Code=1", std::nullopt};
                       const std::string text = report(s);
                       if (!has(text, "Last build attempt      FAILED"))
                           return SelfTestOutcome::fail("failure not reported as FAILED:\n" + text);
                       if (!has(text, "SFSpeechErrorDomain Code=1"))
                           return SelfTestOutcome::fail("failure reason missing from report:\n" + text);
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"no build record reads as no record, never as success",
                   "an absent record must not be formatted as a silent pass — that is the same lie the missing model "
                   "told for weeks",
                   [] {
                       const std::string text = report(complete());
                       if (has(text, "SUCCEEDED"))
                           return SelfTestOutcome::fail("claimed a successful build with no record on disk:\n" + text);
                       if (!has(text, "no record")) return SelfTestOutcome::fail("absent record not stated:\n" + text);
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"a locale mismatch is named as the cause, not reported as a generic failure",
                   "a user who switches dictation language would otherwise read \"model missing\" and think the "
                   "feature broken, when it simply rebuilds on the next dictation",
                   [] {
                       Status s = complete();
                       s.cachedLocale = "de_DE";
                       const std::string text = report(s);
                       if (!has(text, "built for de_DE") || !has(text, "rebuild"))
                           return SelfTestOutcome::fail("locale mismatch not explained:\n" + text);
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"the home directory is collapsed out of a stored failure reason",
                   "error messages quote the full path under the user's home; the record and report are pasted into "
                   "issue reports, so the user name must not ride along, but the message must stay useful",
                   [] {
                       const std::string home = std::string("/") + "Users" + "/someone";
                       const std::string failure = "Error building custom language model at " + home +
                                                   "/Library/Application Support/Ondira/personal_model/training_data.sflm";
                       const std::string result = PersonalModel::redactHomeDirectory(failure, home);
                       if (has(result, "/Users/someone"))
                           return SelfTestOutcome::fail("home path survived redaction: " + result);
                       if (!has(result, "~/Library/Application Support/Ondira"))
                           return SelfTestOutcome::fail("redaction destroyed the diagnostic detail: " + result);
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"preparedConfiguration and the status report share ONE attach predicate",
                   "if preparedConfiguration re-inlined its own conditions, the report could say ATTACHED YES while "
                   "the recogniser attaches nothing; a source scan is the only way to pin that both call the same "
                   "function",
                   [] {
                       const SourceText file = source(personalModelSources[1], "PersonalModel");
                       if (!file.text) return SelfTestOutcome::skip(file.skipReason);
                       const auto at = file.text->find("PersonalModel::preparedConfiguration(");
                       if (at == std::string::npos)
                           return SelfTestOutcome::fail("preparedConfiguration no longer exists under that name");
                       if (file.text->substr(at, 900).find("isAttachable(") == std::string::npos)
                           return SelfTestOutcome::fail(
                               "preparedConfiguration does not call isAttachable — the report can now disagree with the "
                               "recogniser");
                       return SelfTestOutcome::pass();
                   }});

    struct LocaleCase {
        const char* name;
        const char* teeth;
        const char* a;
        const char* b;
        bool expected;
        const char* message;
    };
    const LocaleCase localeCases[] = {
        {"isAttachable matches en-GB against a cached en_GB",
         "a literal equality of locale texts would never attach the compiled model when the recogniser spells the "
         "locale with a hyphen",
         "en_GB", "en-GB", true, "a model built for en_GB did not attach for en-GB — same locale, different spelling"},
        {"isAttachable still refuses a genuinely different locale",
         "normalisation must not become \"any locale matches any locale\", which would bias one language's dictation "
         "with a model trained on another",
         "de_DE", "en-GB", false, "a model built for de_DE attached to en-GB dictation"},
        {"shouldRebuild does not loop forever on a locale spelling difference",
         "a raw inequality would see a locale change on every launch and recompile the model every time, with no log "
         "line",
         "en_GB", "en-GB", true,
         "an unchanged corpus asked for a rebuild purely because the locale was spelled with a hyphen"},
        {"shouldRebuild still fires on a real locale change",
         "normalisation must not swallow real locale changes; the true positive is asserted as well as the false "
         "positive",
         "en_GB", "de-DE", false, "the locale changed from English to German and no rebuild was requested"},
    };
    for (const auto& c : localeCases)
        out.push_back({c.name, c.teeth, [c] {
                           return PersonalModel::localesMatch(c.a, c.b) == c.expected ? SelfTestOutcome::pass()
                                                                                      : SelfTestOutcome::fail(c.message);
                       }});

    out.push_back({"every locale comparison in PersonalModel goes through localesMatch",
                   "the raw-equality fault came back once per comparison site, so the absence of raw equality is "
                   "pinned for the whole file",
                   [] {
                       std::vector<std::string> offenders;
                       for (const char* path : personalModelSources) {
                           const SourceText file = source(path, "PersonalModel");
                           if (!file.text) return SelfTestOutcome::skip(file.skipReason);
                           const auto lines = platform::text::splitLines(*file.text);
                           for (std::size_t i = 0; i < lines.size(); ++i) {
                               const std::string line = trimmedLine(lines[i]);
                               if (!has(line, "Locale") && !has(line, "locale")) continue;
                               if (!has(line, "==") && !has(line, "!=")) continue;
                               if (platform::text::hasPrefix(line, "//")) continue;
                               if (has(line, "normalizedLocale(a) == normalizedLocale(b)")) continue;
                               offenders.push_back("line " + std::to_string(i + 1) + ": " + line);
                           }
                       }
                       if (offenders.empty()) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("raw locale (in)equality found — normalise it: " +
                                                    platform::text::join(offenders, " | "));
                   }});

    const PersonalModel::AttachRecord older{1787000000.0, "en_GB", PersonalModel::RequestKind::audioFile, "1786000000"};
    out.push_back({"an attach observation with no record is reported as never, not as absent",
                   "a missing record read as observed would bring back the whole class of false reports", [] {
                       const Observation got = PersonalModel::classifyAttachObservation(std::nullopt, "1787853257");
                       if (got.kind == Observation::Kind::never) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("classification of a missing record: expected never, got " +
                                                    got.description());
                   }});
    out.push_back({"an attach observed against an OLDER model is reported STALE",
                   "ignoring the model version would let one attach in the app's lifetime vouch for every model "
                   "compiled afterwards",
                   [older] {
                       const Observation expected{Observation::Kind::stale, std::nullopt, "1786000000", "1787853257"};
                       const Observation got = PersonalModel::classifyAttachObservation(older, "1787853257");
                       if (got == expected) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail(
                           "classification of an attach that carried a superseded model: expected " +
                           expected.description() + ", got " + got.description());
                   }});
    out.push_back({"an attach observed against the model on disk is reported current",
                   "a classifier that can only say STALE measures nothing, as one that can only say YES measured "
                   "nothing",
                   [older] {
                       PersonalModel::AttachRecord record = older;
                       record.modelVersion = "1787853257";
                       const Observation expected{Observation::Kind::current, record, {}, std::nullopt};
                       const Observation got = PersonalModel::classifyAttachObservation(record, "1787853257");
                       if (got == expected) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("classification of an attach of the model on disk: expected " +
                                                    expected.description() + ", got " + got.description());
                   }});

    out.push_back({"an attach record survives a write/read round trip on disk",
                   "a record field whose name changes on one side makes the decode fail, which reading swallows into "
                   "\"never observed\", so a broken record would look like an unused model",
                   [] {
                       const PersonalModel::AttachRecord written{
                           1787853300.5, "en_GB", PersonalModel::RequestKind::dictationTranscriber, "1787853257"};
                       const fs::path dir = fs::temp_directory_path() / ("ondira-attachrecord-" + platform::newUUID());
                       struct Remove {
                           fs::path p;
                           ~Remove() { SelfTestSupport::removeIfPresent(p); }
                       } remove{dir};
                       std::error_code ec;
                       fs::create_directories(dir, ec);
                       std::string encoded;
                       try {
                           encoded = PersonalModel::toJSON(written).dump();
                       } catch (...) {
                           return SelfTestOutcome::fail("the attach record could not be encoded at all");
                       }
                       platform::atomicWrite(dir / "last_attach.json", encoded);
                       const auto bytes = platform::readFile(dir / "last_attach.json");
                       const json parsed = bytes ? json::parse(*bytes, nullptr, false) : json();
                       const auto decoded =
                           bytes && !parsed.is_discarded() ? PersonalModel::attachRecord(parsed) : std::nullopt;
                       if (!decoded) return SelfTestOutcome::fail("the attach record did not decode back off disk");
                       if (!(*decoded == written))
                           return SelfTestOutcome::fail("attach record after a disk round trip: expected " +
                                                        written.description() + ", got " + decoded->description());
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"the attach record carries no transcript text",
                   "this file is written on every dictation; transcripts must never leak into a diagnostic artefact",
                   [older] {
                       PersonalModel::AttachRecord record = older;
                       record.modelVersion = "1787853257";
                       const json parsed = json::parse(PersonalModel::toJSON(record).dump(), nullptr, false);
                       if (parsed.is_discarded() || !parsed.is_object())
                           return SelfTestOutcome::fail("the attach record could not be inspected as JSON");
                       const std::set<std::string> allowed = {"attachedAtTimestamp", "localeIdentifier", "requestKind",
                                                              "modelVersion"};
                       std::vector<std::string> extra;
                       for (const auto& [key, value] : parsed.items())
                           if (!allowed.count(key)) extra.push_back(key);
                       std::sort(extra.begin(), extra.end());
                       if (extra.empty()) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("unexpected field(s) in the attach record written on every dictation: " +
                                                    platform::text::join(extra, ", "));
                   }});

    out.push_back({"the status report distinguishes a prediction from an observation",
                   "deleting the observation line would leave the report printing only the predicate, the state the "
                   "feature shipped in",
                   [] {
                       const std::string predicted = report(attachable());
                       if (!has(predicted, "ATTACHED TO RECOGNITION YES"))
                           return SelfTestOutcome::fail("the fixture is wrong: this snapshot should be attachable");
                       if (!has(predicted, "Last observed attach    never"))
                           return SelfTestOutcome::fail("a model that has never been observed in a request did not say so");
                       if (!has(predicted, "prediction"))
                           return SelfTestOutcome::fail(
                               "ATTACHED YES was printed with no observation behind it and the "
                               "report did not flag it as a prediction");
                       Status observed = attachable();
                       observed.lastAttach = PersonalModel::AttachRecord{
                           1787853340.0, "en_GB", PersonalModel::RequestKind::audioFile, "1787853257"};
                       const std::string seen = report(observed);
                       if (!has(seen, "Last observed attach    60s ago, a dictation's recording, decoded after the key was released, locale en_GB"))
                           return SelfTestOutcome::fail("an observed attach was not reported with its age, kind and locale");
                       if (has(seen, "prediction"))
                           return SelfTestOutcome::fail(
                               "the report still called it a prediction after a real request "
                               "was observed carrying the model");
                       return SelfTestOutcome::pass();
                   }});

    out.push_back(
        {"the status report calls a superseded observation STALE",
         "an attach that carried an older model must not be presented as live evidence about the current one", [older] {
             Status s = attachable();
             s.lastAttach = older;
             const std::string text = report(s);
             if (!has(text, "Last observed attach    STALE"))
                 return SelfTestOutcome::fail("an observation of a superseded model was not marked STALE");
             if (!has(text, "1786000000") || !has(text, "1787853257"))
                 return SelfTestOutcome::fail("the STALE note did not name both the observed and the current model version");
             return SelfTestOutcome::pass();
         }});

    out.push_back({"every personal-model attach site in SpeechEngine records the attach",
                   "the observation is only worth something if no new code path can bypass it: deleting one record "
                   "call, or adding an attach site without one, fails here",
                   [] {
                       const SourceText file = source(speechEngineSource, "SpeechEngine");
                       if (!file.text) return SelfTestOutcome::skip(file.skipReason);
                       const auto lines = platform::text::splitLines(*file.text);
                       std::vector<std::string> offenders;
                       int sites = 0;
                       for (std::size_t i = 0; i < lines.size(); ++i) {
                           if (!platform::text::hasPrefix(trimmedLine(lines[i]), "request.customizedLanguageModel ="))
                               continue;
                           ++sites;
                           std::string following;
                           for (std::size_t j = i + 1; j < lines.size() && j <= i + 5; ++j) following += lines[j] + "\n";
                           if (!has(following, "recordAttachment")) offenders.push_back("line " + std::to_string(i + 1));
                       }
                       if (sites == 0)
                           return SelfTestOutcome::fail(
                               "no `request.customizedLanguageModel =` site found at all — the "
                               "personal model is no longer attached to any request");
                       if (!offenders.empty())
                           return SelfTestOutcome::fail(
                               "personal-model attach site(s) with no observation recorded after "
                               "them: " +
                               platform::text::join(offenders, ", "));
                       return SelfTestOutcome::pass();
                   }});
    return out;
}

std::vector<SelfTestCase> cases() {
    std::vector<SelfTestCase> out;
    const std::string record = R"({"ts":1,"date":"2026-08-25","text":"buy more shares of NVDA","words":5})";
    const CorpusLine lines[] = {
        {"well-formed corpus line yields its trimmed text",
         "if the \"text\" field stopped being read, no real history line would feed the model", record,
         "buy more shares of NVDA"},
        {"text field with surrounding whitespace is trimmed",
         "phrases with stray whitespace never match the recogniser's normalised output", R"({"text":"  good morning  "})",
         "good morning"},
        {"not JSON at all -> nil", "a torn or corrupt line must be skipped, never crash the corpus reader",
         "not valid json {{{", std::nullopt},
        {"JSON with no \"text\" key -> nil",
         "a record shape without \"text\" (older or newer log format) must be skipped, not read as an empty phrase",
         R"({"ts":1,"date":"2026-08-25","words":5})", std::nullopt},
        {"\"text\" present but not a string -> nil",
         "a malformed record where text is a number/array must not be force-cast into a phrase", R"({"text":12345})",
         std::nullopt},
        {"empty \"text\" field -> nil",
         "an empty transcript must never become an empty-string phrase in the training corpus", R"({"text":""})",
         std::nullopt},
        {"whitespace-only \"text\" field -> nil",
         "a whitespace-only transcript is empty; without trimming before the check it would become a garbage phrase",
         R"({"text":"   "})", std::nullopt},
        {"blank line -> nil",
         "a stray blank line (trailing newline, healed torn tail) must not be treated as a record at all", "", std::nullopt},
        {"whitespace-only line -> nil",
         "a line of only spaces must be rejected before attempting JSON parsing, not just an empty string", "    ",
         std::nullopt},
        {"a transcript with an embedded newline is collapsed to one line",
         "one multi-line dictation reaching the model data would make the whole compile throw, no model file is "
         "written and the feature silently does nothing",
         R"({"text":"first half of the line\nsecond half of the line"})", "first half of the line second half of the line"},
        {"tabs and repeated interior spaces collapse to single spaces",
         "interior whitespace that differs from the recogniser's normalised output can never match, so the entry costs "
         "corpus weight for nothing",
         R"({"text":"ship\tthe   v2    build"})", "ship the v2 build"},
        {"a control character is treated as whitespace, not carried into training",
         "a NUL or other control byte from a torn write would be inserted verbatim and make the compile fail as a "
         "whole, like the newline case",
         R"({"text":"buy the\u0000dip"})", "buy the dip"},
        {"a transcript of only newlines is rejected outright",
         "collapsing whitespace without re-checking emptiness would turn a newline-only record into an empty phrase "
         "instead of nothing",
         R"({"text":"\n\n"})", std::nullopt},
    };
    for (const auto& c : lines)
        out.push_back({c.name, c.teeth, [c] {
                           const auto got = PersonalModel::extractText(c.line);
                           if (got == c.expected) return SelfTestOutcome::pass();
                           return SelfTestOutcome::fail("extractText(" + literal(c.line) + "): expected " +
                                                        optionalText(c.expected) + ", got " + optionalText(got));
                       }});

    out.push_back({"sanitizePhrase leaves ordinary punctuation alone",
                   "over-sanitising is the opposite failure: apostrophes, ampersands, percent signs and question marks "
                   "compile fine, so only whitespace and control characters may be touched",
                   [] {
                       const std::string input = "it's R&D — up 12%, right?";
                       const auto got = PersonalModel::sanitizePhrase(input);
                       if (got == input) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("sanitizePhrase punctuation: expected " + optionalText(input) +
                                                    ", got " + optionalText(got));
                   }});
    out.push_back({"no phrase surviving sanitizePhrase can contain a newline",
                   "no newline may survive the sanitiser, because the model's line format cannot hold one; a regression "
                   "must fail here, not in a background rebuild whose only error path is a log line",
                   [] {
                       for (const std::string& input :
                            {std::string("a\nb"), std::string("a\r\nb"), std::string("line one\n\nline three"),
                             std::string("  \n leading and trailing \n  ")}) {
                           const auto got = PersonalModel::sanitizePhrase(input);
                           if (got && (has(*got, "\n") || has(*got, "\r")))
                               return SelfTestOutcome::fail("sanitizePhrase(" + literal(input) +
                                                            ") kept a newline: " + literal(*got));
                       }
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"parseCorpusLine returns nil for a malformed line and an entry for a good one",
                   "a corpus streamer on a parser that stopped skipping malformed input would crash or train on "
                   "garbage at the first torn line",
                   [] {
                       if (auto bad = PersonalModel::parseCorpusLine("{{{not json"))
                           return SelfTestOutcome::fail("expected nil for malformed line, got " + bad->description());
                       const auto good = PersonalModel::parseCorpusLine(R"({"text":"ship the v2 build"})");
                       if (!good) return SelfTestOutcome::fail("expected a parsed entry for a well-formed line, got nil");
                       if (good->text != "ship the v2 build")
                           return SelfTestOutcome::fail("parseCorpusLine text: expected ship the v2 build, got " +
                                                        good->text);
                       return SelfTestOutcome::pass();
                   }});

    const RebuildCase rebuilds[] = {
        {"missing cache files -> rebuild",
         "a fresh install or deleted cache with no model files must trigger a build, else the feature never activates",
         false, std::nullopt, 500, std::nullopt, "en_US", true},
        {"cache files present but metadata missing/corrupt -> treated as stale, rebuild",
         "a metadata file that failed to parse must not be trusted as up to date just because the model files exist", true,
         std::nullopt, 500, std::nullopt, "en_US", true},
        {"growth one entry BELOW threshold -> no rebuild",
         "with > instead of >= (or any off-by-one drift) the rule would rebuild one dictation too early", true, 1000, 1199,
         "en_US", "en_US", false},
        {"growth EXACTLY AT threshold -> rebuild fires",
         "the threshold is \">= 200 new entries\"; with > the boundary would never trigger", true, 1000, 1200, "en_US",
         "en_US", true},
        {"growth past threshold -> rebuild fires",
         "guards the non-boundary case so the boundary test above isn't the only thing keeping this rule honest", true, 1000,
         1337, "en_US", "en_US", true},
        {"zero growth, same locale -> no rebuild",
         "the steady state must not rebuild, else every dictation would trigger an expensive rebuild", true, 1000, 1000,
         "en_US", "en_US", false},
        {"zero growth but locale changed -> rebuild",
         "a model trained for one locale must not count as fresh once the dictation locale changes", true, 1000, 1000,
         "en_GB", "en_US", true},
        {"fewer entries than the model was built from -> rebuild",
         "a model built from entries the user has since deleted would keep speaking their words", true, 1000, 999, "en_US",
         "en_US", true},
    };
    for (const auto& c : rebuilds)
        out.push_back({c.name, c.teeth, [c] {
                           const bool got =
                               PersonalModel::shouldRebuild(c.filesPresent, c.cachedCount, c.currentCount, c.cachedLocale,
                                                            c.currentLocale, PersonalModel::rebuildThreshold);
                           if (got == c.expected) return SelfTestOutcome::pass();
                           return SelfTestOutcome::fail(std::string(c.name) + ": expected " + boolText(c.expected) +
                                                        ", got " + boolText(got));
                       }});

    out.push_back({"preparedConfiguration() is nil when no model has ever been built",
                   "the run has no cached model files; a non-nil configuration without real files would point real "
                   "dictation at a model that was never trained",
                   [] {
                       if (PersonalModel::shared().preparedConfiguration("en_US"))
                           return SelfTestOutcome::fail(
                               "expected nil with no cached model on disk, got a non-nil configuration");
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"personal model switch defaults ON",
                   "every other feature switch (logging, sound cues, screen context) defaults to on, and this one must "
                   "match; a flipped default or unregistered key would silently remove the feature",
                   [] {
                       PersonalModel::shared();
                       if (AppPaths::userDefaults()->boolValue(PersonalModel::enabledDefaultsKey))
                           return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected ondira_personal_model_enabled to default to true");
                   }});
    out.push_back({"personal model switch disables cleanly and re-enables",
                   "a setter that wrote to the wrong settings store or the wrong key would leave the switch permanently on",
                   [] {
                       SwitchGuard restore;
                       PersonalModel::setEnabled(false);
                       if (PersonalModel::isEnabled())
                           return SelfTestOutcome::fail("expected isEnabled == false immediately after setting it");
                       PersonalModel::setEnabled(true);
                       if (!PersonalModel::isEnabled())
                           return SelfTestOutcome::fail("expected isEnabled == true after re-enabling");
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"disabled switch forces preparedConfiguration() to nil even if a cache existed",
                   "the enable switch must be checked inside the accessor itself, not only at some call site that could "
                   "be bypassed",
                   [] {
                       // A complete cache for en_US, so only the switch can refuse it.
                       const fs::path dir = PersonalModel::directory();
                       platform::atomicWrite(dir / "model.bin", "x");
                       platform::atomicWrite(dir / "vocabulary.bin", "x");
                       platform::atomicWrite(dir / "metadata.json",
                                             PersonalModel::toJSON(PersonalModel::CacheMetadata{1, "en_US", 1, "1"}).dump());
                       struct Remove {
                           ~Remove() { PersonalModel::removeAllModelFiles(); }
                       } remove;
                       SwitchGuard restore;
                       PersonalModel::setEnabled(true);
                       if (!PersonalModel::shared().preparedConfiguration("en_US"))
                           return SelfTestOutcome::fail("the fixture cache was not attachable while enabled");
                       PersonalModel::setEnabled(false);
                       if (PersonalModel::shared().preparedConfiguration("en_US"))
                           return SelfTestOutcome::fail("expected nil while disabled, got a non-nil configuration");
                       return SelfTestOutcome::pass();
                   }});

    auto more = reportCases();
    out.insert(out.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
    return out;
}

}  // namespace PersonalModelSelfTests

ONDIRA_SELFTEST_SUITE("PersonalModel", PersonalModelSelfTests::cases);

#include "CLI/HistoryCommands.h"
#include "CLI/OndiraCLI.h"
#include "Platform/Unicode.h"
#include "Platform/UUID.h"
#include "SelfTest/SelfTest.h"

#include <cmath>

namespace CLISelfTests {

namespace {

using OndiraCLI::Command;
using OndiraCLI::HistoryOptions;
using OndiraCLI::OutputFormat;
using OndiraCLI::TranscribeOptions;
using Args = std::vector<std::string>;

struct ResolvesRow {
    std::string name;
    Args arguments;
    Command expected;
    std::string teeth;
};

struct RefusedRow {
    std::string name;
    Args arguments;
    std::string teeth;
};

SelfTestCase resolvesCase(const ResolvesRow& row) {
    return {row.name, row.teeth, [args = row.arguments, expected = row.expected] {
                const OndiraCLI::ParseResult result = OndiraCLI::parse(args);
                if (!result.command) {
                    return SelfTestOutcome::fail("parse(" + OndiraCLI::describe(args) + ") returned usageError(" +
                                                 result.usageError + "), expected .command(" +
                                                 OndiraCLI::describe(expected) + ")");
                }
                if (!(*result.command == expected)) {
                    return SelfTestOutcome::fail("parse(" + OndiraCLI::describe(args) + "): expected " +
                                                 OndiraCLI::describe(expected) + ", got " +
                                                 OndiraCLI::describe(*result.command));
                }
                return SelfTestOutcome::pass();
            }};
}

SelfTestCase refusedCase(const RefusedRow& row) {
    return {row.name, row.teeth, [args = row.arguments] {
                const OndiraCLI::ParseResult result = OndiraCLI::parse(args);
                if (result.command) {
                    return SelfTestOutcome::fail("parse(" + OndiraCLI::describe(args) + ") resolved to " +
                                                 OndiraCLI::describe(*result.command) + ", expected a usageError");
                }
                return SelfTestOutcome::pass();
            }};
}

HistoryOptions history(long long last, bool json, bool text, std::optional<std::string> app,
                       std::optional<std::string> since) {
    return HistoryOptions{last, json, text, std::move(app), std::move(since)};
}

Command transcribe(OutputFormat format, std::optional<std::string> out, std::optional<std::string> locale) {
    return Command::makeTranscribe(TranscribeOptions{"/tmp/sample.wav", format, std::move(out), std::move(locale)});
}

OndiraCLI::DoctorState baselineDoctorState() {
    OndiraCLI::DoctorState s;
    s.soundServer = "pulseaudio 16.1";
    s.microphoneAuthorized = true;
    s.defaultSource = "alsa_input.usb-microphone";
    s.onDeviceSpeechSupported = true;
    s.speechModelPath = "/usr/share/pocketsphinx/model/en-us";
    s.accessibilityTrusted = true;
    s.assistiveTechnologiesEnabled = true;
    s.xtestAvailable = true;
    s.displaySession = "x11";
    s.displayDetail = "DISPLAY=:0";
    s.hotkey = "fn";
    s.hotkeyFromConfig = true;
    s.polishHelperPresent = true;
    s.polishAvailable = true;
    s.polishReason = "ready";
    s.personalModelEnabled = true;
    s.personalModelCompiled = true;
    s.dictionaryTermCount = 5;
    s.snippetCount = 2;
    s.historyLoggingEnabled = true;
    s.historyEntryCount = 10;
    return s;
}

using nlohmann::json;

// Printing must never throw, whatever the value holds.
std::string printed(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

// What JSON can hold: an object or array at the top, finite numbers throughout.
bool isValidJSONObject(const json& value, bool topLevel = true) {
    if (topLevel && !value.is_object() && !value.is_array()) return false;
    if (value.is_number_float()) return std::isfinite(value.get<double>());
    if (value.is_object() || value.is_array()) {
        for (const auto& element : value) {
            if (!isValidJSONObject(element, false)) return false;
        }
    }
    return true;
}

// Accepted by the validity test, serialised without options, parsed back.
bool roundTripsAsJSON(const json& value) {
    if (!isValidJSONObject(value)) return false;
    try {
        const std::string data = value.dump();
        return json::parse(data) == value;
    } catch (const json::exception&) {
        return false;
    }
}

std::string printedOptional(const json& record, const char* key) {
    const auto it = record.find(key);
    if (it == record.end() || !it->is_string()) return "nil";
    return "Optional(\"" + it->get<std::string>() + "\")";
}

json historyEntry(const std::string& date, const std::string& time, const std::string& app, int words,
                  const std::string& text) {
    return json{{"date", date}, {"time", time}, {"app", app}, {"words", words}, {"text", text}};
}

const std::vector<json>& filterFixture() {
    static const std::vector<json> entries = {
        historyEntry("2026-08-01", "09:00:00", "Terminal", 5, "one"),
        historyEntry("2026-08-15", "10:00:00", "Slack", 8, "two"),
        historyEntry("2026-08-20", "11:00:00", "Terminal", 3, "three"),
        historyEntry("2026-08-25", "12:00:00", "Notes", 12, "four"),
    };
    return entries;
}

json privacyFixture() { return historyEntry("2026-08-26", "09:00:00", "Terminal", 3, "call mom about the thing"); }

SelfTestCase filterCase(const std::string& name, const std::string& teeth, const std::string& label, HistoryOptions options,
                        std::vector<std::string> expected) {
    return {name, teeth, [label, options, expected] {
                std::vector<std::string> dates;
                for (const auto& entry : OndiraCLI::filterHistoryEntries(filterFixture(), options)) {
                    const auto it = entry.find("date");
                    dates.push_back(it != entry.end() && it->is_string() ? it->get<std::string>() : "");
                }
                if (dates != expected) {
                    return SelfTestOutcome::fail(label + ": expected " + OndiraCLI::describe(expected) + ", got " +
                                                 OndiraCLI::describe(dates));
                }
                return SelfTestOutcome::pass();
            }};
}

// Hands `run` a path that is never created.
SelfTestCase runTranscribeCase(const std::string& name, const std::string& teeth, const std::string& extension,
                               const std::string& message) {
    const std::string path = "/tmp/ondira-selftest-nonexistent-" + platform::newUUID() + extension;
    return {name, teeth, [path, message] {
                if (OndiraCLI::run({"transcribe", path}) == 0) return SelfTestOutcome::fail(message);
                return SelfTestOutcome::pass();
            }};
}

std::string joined(const std::vector<std::string>& lines) { return platform::text::join(lines, "\n"); }

SelfTestCase doctorVariesCase(const std::string& name, const std::string& teeth, const std::string& message,
                              void (*first)(OndiraCLI::DoctorState&), void (*second)(OndiraCLI::DoctorState&)) {
    return {name, teeth, [message, first, second] {
                OndiraCLI::DoctorState a = baselineDoctorState();
                OndiraCLI::DoctorState b = baselineDoctorState();
                first(a);
                second(b);
                if (joined(OndiraCLI::doctorLines(a)) == joined(OndiraCLI::doctorLines(b))) {
                    return SelfTestOutcome::fail(message);
                }
                return SelfTestOutcome::pass();
            }};
}

}  // namespace

std::vector<SelfTestCase> cases() {
    const std::vector<ResolvesRow> resolves = {
        {"parse: `history --last 10` resolves last=10, no format flags",
         {"history", "--last", "10"},
         Command::makeHistory(history(10, false, false, std::nullopt, std::nullopt)),
         "a dropped or mis-assigned --last value would make every history call ignore the requested count"},
        {"parse: `history --last 5 --json --app Slack --since 2026-08-01` resolves every field",
         {"history", "--last", "5", "--json", "--app", "Slack", "--since", "2026-08-01"},
         Command::makeHistory(history(5, true, false, "Slack", "2026-08-01")),
         "a flag parsed but dropped from the options would make a scripted call filtered by app or date return the "
         "wrong rows"},
        {"parse: `history --last 3 --text` sets the explicit text flag",
         {"history", "--last", "3", "--text"},
         Command::makeHistory(history(3, false, true, std::nullopt, std::nullopt)),
         "without --text carried into the options the privacy gate would have nothing to gate on"},
        {"parse: `dict list` resolves with json=false",
         {"dict", "list"},
         Command::dictList(false),
         "a swapped json default would make plain `dict list` print raw JSON instead of a table"},
        {"parse: `dict list --json` resolves with json=true",
         {"dict", "list", "--json"},
         Command::dictList(true),
         "if --json were not read for `dict list`, piping the dictionary into another tool would break"},
        {"parse: `dict add qv-zt QVZT` resolves heard/written in order",
         {"dict", "add", "qv-zt", "QVZT"},
         Command::dictAdd("qv-zt", "QVZT"),
         "swapping the heard/written argument order would silently write the dictionary entry backwards"},
        {"parse: `dict remove qv-zt` resolves the term",
         {"dict", "remove", "qv-zt"},
         Command::dictRemove("qv-zt"),
         "dropping the argument would make `dict remove` a no-op with no error"},
        {"parse: `snippets list` resolves with json=false",
         {"snippets", "list"},
         Command::snippetsList(false),
         "same class of bug as dict list \u2014 a flipped default would corrupt scripted consumption"},
        {"parse: `snippets add mysig \"Best, Ondira\"` resolves trigger/expansion in order",
         {"snippets", "add", "mysig", "Best, Ondira"},
         Command::snippetsAdd("mysig", "Best, Ondira"),
         "swapping trigger/expansion would store an unusable snippet with no error surfaced"},
        {"parse: `snippets remove mysig` resolves the trigger",
         {"snippets", "remove", "mysig"},
         Command::snippetsRemove("mysig"),
         "dropping the argument would make `snippets remove` a silent no-op"},
        {"parse: `stats` resolves with json=false",
         {"stats"},
         Command::stats(false),
         "a flipped default here would make the plain stats command emit raw JSON unexpectedly"},
        {"parse: `stats --json` resolves with json=true",
         {"stats", "--json"},
         Command::stats(true),
         "if --json were dropped for stats, machine consumption of the metrics would break"},
        {"parse: `doctor` resolves with no arguments",
         {"doctor"},
         Command::doctor(),
         "doctor takes no options; accepting stray args here silently would hide a typo'd flag"},
    };
    const std::vector<RefusedRow> refused = {
        {"parse: unknown top-level subcommand is a usage error",
         {"frobnicate"},
         "an unknown subcommand falling through to a default command would make a typo silently do the wrong thing"},
        {"parse: no arguments at all is a usage error",
         {},
         "invoking the CLI with zero arguments must not crash or silently pick a default command"},
        {"parse: `history --last` with no value is a usage error",
         {"history", "--last"},
         "a missing value must not be silently treated as 0 or the next flag token"},
        {"parse: `history --last abc` (non-numeric) is a usage error",
         {"history", "--last", "abc"},
         "a non-numeric --last must not crash the Int parse or silently coerce to a default count"},
        {"parse: `history --last 0` (non-positive) is a usage error",
         {"history", "--last", "0"},
         "--last 0 would silently return zero rows forever with no explanation to the caller"},
        {"parse: `history --since not-a-date` (malformed date) is a usage error",
         {"history", "--last", "5", "--since", "not-a-date"},
         "an unparseable --since value must not silently match everything or nothing without saying why"},
        {"parse: `history --bogus` (unknown flag) is a usage error",
         {"history", "--last", "5", "--bogus"},
         "an unrecognized flag must not be silently ignored \u2014 that would hide a real typo from the caller"},
        {"parse: `dict` with no subcommand is a usage error",
         {"dict"},
         "`dict` alone must not silently default to `list` or crash on an out-of-bounds access"},
        {"parse: `dict frobnicate` (unknown dict subcommand) is a usage error",
         {"dict", "frobnicate"},
         "an unrecognized dict subcommand must not be silently swallowed"},
        {"parse: `dict add onlyone` (missing written arg) is a usage error",
         {"dict", "add", "onlyone"},
         "a missing second argument must not crash on index access or store an empty replacement"},
        {"parse: `snippets frobnicate` (unknown snippets subcommand) is a usage error",
         {"snippets", "frobnicate"},
         "same class as dict \u2014 an unrecognized subcommand must error, not fall through"},
        {"parse: `doctor extra-arg` (doctor takes no args) is a usage error",
         {"doctor", "extra-arg"},
         "silently accepting stray arguments to doctor would hide a typo'd invocation"},
    };
    const std::vector<ResolvesRow> transcribeResolves = {
        {"parse: `transcribe <path>` resolves with default format txt, no out, no locale",
         {"transcribe", "/tmp/sample.wav"},
         transcribe(OutputFormat::txt, std::nullopt, std::nullopt),
         "a dropped path or a changed default format would make every plain transcribe call miss its file or print "
         "the wrong shape"},
        {"parse: `transcribe <path> --srt` resolves format=srt",
         {"transcribe", "/tmp/sample.wav", "--srt"},
         transcribe(OutputFormat::srt, std::nullopt, std::nullopt),
         "an --srt not carried into the options would print plain text instead of subtitle timing"},
        {"parse: `transcribe <path> --vtt` resolves format=vtt",
         {"transcribe", "/tmp/sample.wav", "--vtt"},
         transcribe(OutputFormat::vtt, std::nullopt, std::nullopt),
         "same class of bug as --srt \u2014 a dropped --vtt would silently fall back to plain text"},
        {"parse: `transcribe <path> --txt` (explicit) resolves format=txt",
         {"transcribe", "/tmp/sample.wav", "--txt"},
         transcribe(OutputFormat::txt, std::nullopt, std::nullopt),
         "--txt is documented beside --srt and --vtt and must not be rejected as an unknown flag"},
        {"parse: `transcribe <path> --out <path2>` resolves outPath",
         {"transcribe", "/tmp/sample.wav", "--out", "/tmp/out.txt"},
         transcribe(OutputFormat::txt, "/tmp/out.txt", std::nullopt),
         "a dropped --out value would print to standard output instead of writing the requested file"},
        {"parse: `transcribe <path> --locale en-GB` resolves localeIdentifier",
         {"transcribe", "/tmp/sample.wav", "--locale", "en-GB"},
         transcribe(OutputFormat::txt, std::nullopt, "en-GB"),
         "a dropped --locale would silently use the current locale's on-device model"},
        {"parse: `transcribe <path> --srt --out o.srt --locale fr-FR` resolves every field together",
         {"transcribe", "/tmp/sample.wav", "--srt", "--out", "/tmp/o.srt", "--locale", "fr-FR"},
         transcribe(OutputFormat::srt, "/tmp/o.srt", "fr-FR"),
         "flags that interfere when combined (such as --out taking --locale's value) would misparse a real call "
         "although each passes alone"},
    };
    const std::vector<RefusedRow> transcribeRefused = {
        {"parse: `transcribe` with no path is a usage error",
         {"transcribe"},
         "a missing path must not crash on array-index access or silently transcribe nothing"},
        {"parse: `transcribe --srt` (flag where path belongs, no path given) is a usage error",
         {"transcribe", "--srt"},
         "a flag token must never be silently accepted as the file path"},
        {"parse: `transcribe <path> --srt --vtt` (conflicting format flags) is a usage error",
         {"transcribe", "/tmp/sample.wav", "--srt", "--vtt"},
         "letting the last format flag win would hide a caller's request for two incompatible outputs"},
        {"parse: `transcribe <path> --out` with no value is a usage error",
         {"transcribe", "/tmp/sample.wav", "--out"},
         "a missing --out value must not crash on array-index access or silently write to an empty path"},
        {"parse: `transcribe <path> --locale` with no value is a usage error",
         {"transcribe", "/tmp/sample.wav", "--locale"},
         "a missing --locale value must not crash or silently fall back to the current locale"},
        {"parse: `transcribe <path> --bogus` (unknown flag) is a usage error",
         {"transcribe", "/tmp/sample.wav", "--bogus"},
         "an unrecognized transcribe flag must not be silently ignored, hiding a real typo"},
    };

    std::vector<SelfTestCase> out;
    for (const auto& row : resolves) out.push_back(resolvesCase(row));
    for (const auto& row : refused) out.push_back(refusedCase(row));

    out.push_back({"run(): unknown subcommand exits non-zero",
                   "if run() ever returned 0 for an unrecognized subcommand, a scripted caller could not detect the "
                   "failure",
                   [] {
                       if (OndiraCLI::run({"frobnicate"}) == 0) {
                           return SelfTestOutcome::fail("run([\"frobnicate\"]) returned 0, expected non-zero");
                       }
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"historyRecord(includeText:false) encodes as valid, parseable JSON",
                   "a value that JSON cannot hold (such as a non-finite number) in the record would make serialisation "
                   "fail",
                   [] {
                       json entry = historyEntry("2026-08-26", "09:00:00", "Terminal", 12, "the real transcript");
                       entry["latency"] = 0.42;
                       const json record = OndiraCLI::historyRecord(entry, false);
                       if (!roundTripsAsJSON(record)) {
                           return SelfTestOutcome::fail("historyRecord output is not valid, round-trippable JSON: " +
                                                        printed(record));
                       }
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"statsJSONObject(...) encodes as valid, parseable JSON",
                   "a malformed stats JSON object would break every scripted consumer of `ondira stats --json`", [] {
                       OndiraCLI::StatsSummary summary;
                       summary.dictations = 42;
                       summary.words = 1000;
                       summary.latency = LatencyStats{10, 0.3, 0.9};
                       const json object = OndiraCLI::statsJSONObject(summary);
                       if (!roundTripsAsJSON(object)) {
                           return SelfTestOutcome::fail("statsJSONObject output is not valid JSON: " + printed(object));
                       }
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"historyRecord(includeText:false) never contains a \"text\" key",
                   "otherwise the default history listing would print the owner's real dictations", [] {
                       const json record = OndiraCLI::historyRecord(privacyFixture(), false);
                       if (record.contains("text")) {
                           return SelfTestOutcome::fail("record unexpectedly contains a text key: " + printed(record));
                       }
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"historyRecord(includeText:true) DOES contain the \"text\" key, verbatim",
                   "the explicit `--text` path is the one legitimate way to read history text", [] {
                       const json record = OndiraCLI::historyRecord(privacyFixture(), true);
                       const auto it = record.find("text");
                       if (it == record.end() || !it->is_string() || *it != "call mom about the thing") {
                           return SelfTestOutcome::fail(
                               "historyRecord(includeText:true)[\"text\"]: expected Optional(\"call mom about the "
                               "thing\"), got " +
                               printedOptional(record, "text"));
                       }
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"default HistoryOptions().text is false",
                   "a flipped default would leak transcript text from every plain `history` call", [] {
                       if (HistoryOptions().text) {
                           return SelfTestOutcome::fail("HistoryOptions().text: expected false, got true");
                       }
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"`history --last 5 --json` (no --text) parses with text=false",
                   "if --json alone silently implied --text, JSON output would leak transcripts without the owner ever "
                   "asking for --text",
                   [] {
                       const auto result = OndiraCLI::parse({"history", "--last", "5", "--json"});
                       if (!result.command || result.command->kind != Command::Kind::history) {
                           return SelfTestOutcome::fail("did not resolve to a history command");
                       }
                       if (result.command->history.text) return SelfTestOutcome::fail("--json alone set text=true");
                       return SelfTestOutcome::pass();
                   }});
    out.push_back(filterCase("filterHistoryEntries: --last truncates to the most recent N, keeping order",
                             "a wrong-end or off-by-one slice would return the oldest entries",
                             "filterHistoryEntries(--last 2) dates", history(2, false, false, std::nullopt, std::nullopt),
                             {"2026-08-20", "2026-08-25"}));
    out.push_back(filterCase("filterHistoryEntries: --app filters case-insensitively to matching app only",
                             "a case-sensitive or substring match would miss or over-match",
                             "filterHistoryEntries(--app terminal) dates",
                             history(10, false, false, "terminal", std::nullopt), {"2026-08-01", "2026-08-20"}));
    out.push_back(filterCase("filterHistoryEntries: --since excludes entries dated before it",
                             "a flipped comparison operator here would exclude entries ON OR AFTER --since instead of "
                             "before it",
                             "filterHistoryEntries(--since 2026-08-15) dates",
                             history(10, false, false, std::nullopt, "2026-08-15"),
                             {"2026-08-15", "2026-08-20", "2026-08-25"}));
    out.push_back(
        filterCase("filterHistoryEntries: --app and --since compose (both apply), then --last truncates the result",
                   "truncating before filtering would drop a matching older entry",
                   "filterHistoryEntries(--app Terminal --since 2026-08-01 --last 1) dates",
                   history(1, false, false, "Terminal", "2026-08-01"), {"2026-08-20"}));
    out.push_back(doctorVariesCase(
        "doctorLines varies when microphone authorization differs, all else equal",
        "a hard-coded \"authorized\" literal would print both states alike",
        "doctor output identical regardless of microphone authorization state", [](OndiraCLI::DoctorState&) {},
        [](OndiraCLI::DoctorState& s) { s.microphoneAuthorized = false; }));
    out.push_back(doctorVariesCase(
        "doctorLines varies when accessibility trust differs, all else equal",
        "the accessibility line must reflect the live AXIsProcessTrusted() result, not a compiled-in assumption",
        "doctor output identical regardless of accessibility trust state", [](OndiraCLI::DoctorState&) {},
        [](OndiraCLI::DoctorState& s) { s.accessibilityTrusted = false; }));
    out.push_back(doctorVariesCase(
        "doctorLines varies when the dictionary term count differs, all else equal",
        "a fixed count would mislead about how much has been taught",
        "doctor output identical regardless of dictionary term count",
        [](OndiraCLI::DoctorState& s) { s.dictionaryTermCount = 3; },
        [](OndiraCLI::DoctorState& s) { s.dictionaryTermCount = 300; }));
    out.push_back({"doctorLines produces one non-empty line per DoctorState field group (no silently-dropped section)",
                   "dropping a whole section (such as the polish-helper line) would shrink the count unnoticed", [] {
                       const auto lines = OndiraCLI::doctorLines(baselineDoctorState());
                       bool anyEmpty = false;
                       for (const auto& l : lines) anyEmpty = anyEmpty || l.empty();
                       if (lines.size() < 8 || anyEmpty) {
                           return SelfTestOutcome::fail("expected >= 8 non-empty doctor lines, got " +
                                                        std::to_string(lines.size()) + ": " + OndiraCLI::describe(lines));
                       }
                       return SelfTestOutcome::pass();
                   }});

    for (const auto& row : transcribeResolves) out.push_back(resolvesCase(row));
    for (const auto& row : transcribeRefused) out.push_back(refusedCase(row));

    out.push_back({"isSubcommand(\"transcribe\") is true",
                   "a parsed word missing from the dispatch set would launch the menu-bar application instead of the "
                   "command line",
                   [] {
                       if (!OndiraCLI::isSubcommand("transcribe")) {
                           return SelfTestOutcome::fail("isSubcommand(\"transcribe\") was false");
                       }
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"usageText documents the transcribe subcommand", "an undocumented subcommand cannot be discovered", [] {
                       if (OndiraCLI::usageText().find("transcribe") == std::string::npos) {
                           return SelfTestOutcome::fail("usageText does not mention 'transcribe'");
                       }
                       return SelfTestOutcome::pass();
                   }});
    out.push_back(runTranscribeCase(
        "run(): transcribe on an unsupported extension exits non-zero without touching the engine",
        "an unsupported extension must fail fast with a clear message on standard error and a non-zero status, never "
        "hang and never exit 0",
        ".notarealformat", "run() on an unsupported-extension path returned 0, expected non-zero"));
    out.push_back(runTranscribeCase("run(): transcribe on a nonexistent .wav path exits non-zero",
                                    "a missing file with a supported extension must fail, not succeed with an empty "
                                    "transcript",
                                    ".wav", "run() on a nonexistent .wav path returned 0, expected non-zero"));
    return out;
}

}  // namespace CLISelfTests

ONDIRA_SELFTEST_SUITE("CLI", CLISelfTests::cases);

// The support bundle: no dictated text, application name or home path in it;
// its statistics right; missing and malformed input tolerated; the help
// address, header, counts and self-test summary rendered as given; and the
// write landing exactly the assembled text in the caller's folder.
#include "Base/Branding.h"
#include "Diagnostics/SupportBundle.h"
#include "Platform/FileIO.h"
#include "Platform/Unicode.h"
#include "Platform/UUID.h"
#include "SelfTest/SelfTest.h"

#include <cstdlib>
#include <map>

#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace SupportBundleSelfTests {

// Fixture paths are this root followed by a user name.
const std::string homeRoot = "/home/";

SupportBundle::Meta standardMeta() {
    SupportBundle::Meta m;
    m.appVersion = "2.0.0";
    m.buildNumber = "200";
    m.builtAt = "2026-08-01 00:00:00";
    m.osVersion = "Debian GNU/Linux 12 (bookworm)";
    m.kernel = "Linux 6.1.0-18-amd64 x86_64";
    m.desktop = "XFCE";
    m.sessionType = "x11";
    m.soundServer = "PulseAudio (on PipeWire 0.3.65)";
    m.speechModels = {"en_US"};
    m.engineIdentifier = "native_apple_silicon";
    m.hotkeyModeLabel = "Fn / Globe Key (Push-to-Talk / Toggle)";
    m.loggingEnabled = true;
    m.accessibilityGranted = true;
    m.microphoneGranted = true;
    m.vocabularyTermCount = 3;
    m.snippetCount = 2;
    m.appRuleCount = 1;
    m.helpURL = Branding::helpURL;
    m.homeDirectoryPath = homeRoot + "testowner";
    m.generatedAt = std::time(nullptr);
    return m;
}

std::string faultLine(const std::string& kind, long long ts, const std::map<std::string, std::string>& extra) {
    json object = {{"ts", ts}, {"kind", kind}, {"version", "2.0.0"}};
    for (const auto& [key, value] : extra) object[key] = value;
    try {
        return object.dump();
    } catch (const std::exception&) {
        std::abort();  // a fixture that can't be written is a mistake in this file
    }
}

namespace {

std::string historyLine(long long ts, const std::string& app, const std::string& text, double latency,
                        const std::optional<std::string>& engine) {
    json object = {{"ts", ts},
                   {"date", "2026-08-27"},
                   {"time", "12:00:00"},
                   {"app", app},
                   {"text", text},
                   {"words", 4},
                   {"chars", 20},
                   {"secs", 1.2},
                   {"wpm", 60.0},
                   {"latency", latency},
                   {"latency_source", "measured"}};
    if (engine) object["engine"] = *engine;
    return object.dump();
}

template <typename A, typename B>
std::optional<SelfTestOutcome> expectEqual(const std::string& label, const A& expected, const B& got,
                                           const std::string& expectedText, const std::string& gotText) {
    if (expected == got) return std::nullopt;
    return SelfTestOutcome::fail(label + ": expected " + expectedText + ", got " + gotText);
}

std::string optionalNumber(const std::optional<double>& v) { return v ? platform::text::formatDouble(*v) : "nil"; }
std::string optionalInt(const std::optional<std::int64_t>& v) { return v ? std::to_string(*v) : "nil"; }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

SelfTestOutcome fail(const std::string& message) { return SelfTestOutcome::fail(message); }

}  // namespace

std::vector<SelfTestCase> cases() {
    std::vector<SelfTestCase> out;

    out.push_back(
        {"support_bundle_never_leaks_transcript_or_paths",
         "if assembling ever copied a raw history record's \"text\" or \"app\" field, or left an absolute "
         "home-directory path in a fault record's text, the case fails; a build that dumped the raw input "
         "lines into the bundle was seen to fail it",
         [] {
             const std::string sentinel = "PRIVATE_TRANSCRIPT_SENTINEL_DO_NOT_LEAK";
             const auto history = historyLine(1700000000, "SecretApp", sentinel, 0.4, "native_apple_silicon");
             const auto fault = faultLine(
                 "uncaught_exception", 1700000100,
                 {{"name", "std::runtime_error"},
                  {"reason", "crash while reading " + homeRoot + "someuser/secret/config.json line 42"},
                  {"stack", "0 Ondira 0x1000 Foo::bar() (" + homeRoot + "someuser/Projects/ondira/Sources/Foo.cpp:12)"}});
             const std::string text = SupportBundle::assemble(standardMeta(), {history}, {fault});
             if (contains(text, sentinel))
                 return fail("bundle contains the raw transcript sentinel — a transcript leaked verbatim");
             if (contains(text, "SecretApp")) return fail("bundle contains the raw app name from a dictation record");
             if (contains(text, homeRoot + "someuser"))
                 return fail("bundle contains an unredacted absolute home-directory path");
             if (!contains(text, "uncaught_exception"))
                 return fail("fault kind counts should still appear even after scrubbing");
             return SelfTestOutcome::pass();
         }});

    out.push_back(
        {"dictation_aggregate_computes_correctly",
         "mis-sorted latencies, a wrong percentile index, or double- or under-counted entries or engine "
         "buckets change the expected numbers",
         [] {
             std::vector<std::string> lines;
             for (int k = 1; k <= 10; ++k) {
                 lines.push_back(historyLine(1700000000 + k, "App" + std::to_string(k), "irrelevant " + std::to_string(k), k,
                                             k <= 7 ? "native_apple_silicon" : "unknown"));
             }
             const auto a = SupportBundle::aggregateDictation(lines);
             const auto engineCount = [&](const std::string& e) {
                 const auto it = a.engineCounts.find(e);
                 return it == a.engineCounts.end() ? std::int64_t{0} : it->second;
             };
             const std::optional<SelfTestOutcome> checks[] = {
                 expectEqual("entryCount", std::int64_t{10}, a.entryCount, "10", std::to_string(a.entryCount)),
                 expectEqual("oldestTs", std::optional<std::int64_t>(1700000001), a.oldestTs, "1700000001",
                             optionalInt(a.oldestTs)),
                 expectEqual("newestTs", std::optional<std::int64_t>(1700000010), a.newestTs, "1700000010",
                             optionalInt(a.newestTs)),
                 expectEqual("latencyP50", std::optional<double>(6.0), a.latencyP50, "6.0", optionalNumber(a.latencyP50)),
                 expectEqual("latencyP90", std::optional<double>(10.0), a.latencyP90, "10.0", optionalNumber(a.latencyP90)),
                 expectEqual("latencyP99", std::optional<double>(10.0), a.latencyP99, "10.0", optionalNumber(a.latencyP99)),
                 expectEqual("native engine count", std::int64_t{7}, engineCount("native_apple_silicon"), "7",
                             std::to_string(engineCount("native_apple_silicon"))),
                 expectEqual("unknown engine count", std::int64_t{3}, engineCount("unknown"), "3",
                             std::to_string(engineCount("unknown"))),
             };
             for (const auto& check : checks) {
                 if (check) return *check;
             }
             return SelfTestOutcome::pass();
         }});

    out.push_back({"absent_faults_file_degrades_gracefully",
                   "reading a missing file must not throw or crash, and an empty fault list must render a zero count "
                   "rather than a non-empty section",
                   [] {
                       const fs::path missing =
                           platform::temporaryDirectory() / ("ondira-selftest-missing-" + platform::newUUID() + ".jsonl");
                       const auto fromMissing = SupportBundle::readLines(missing);
                       if (!fromMissing.empty())
                           return fail("lines from a missing file: expected 0, got " + std::to_string(fromMissing.size()));
                       const auto fromNil = SupportBundle::readLines(std::nullopt);
                       if (!fromNil.empty())
                           return fail("lines from a nil URL: expected 0, got " + std::to_string(fromNil.size()));
                       const std::string text = SupportBundle::assemble(standardMeta(), {}, {});
                       if (!contains(text, "Total faults recorded: 0"))
                           return fail("empty fault input should report a zero count, not crash or omit the section");
                       return SelfTestOutcome::pass();
                   }});

    out.push_back(
        {"malformed_json_line_is_skipped_not_fatal",
         "a torn or malformed line must be skipped, neither throwing nor counting as an entry", [] {
             const auto a = SupportBundle::aggregateDictation({historyLine(1, "A", "a", 1.0, "native_apple_silicon"),
                                                               "{ this is not valid json at all", "",
                                                               historyLine(2, "B", "b", 2.0, std::nullopt)});
             if (a.entryCount != 2)
                 return fail("entryCount with one malformed line present: expected 2, got " + std::to_string(a.entryCount));
             const auto faults =
                 SupportBundle::summarizeFaults({faultLine("launch", 10, {}), "not json either"}, homeRoot + "testowner");
             if (faults.totalCount != 1)
                 return fail("fault totalCount with one malformed line present: expected 1, got " +
                             std::to_string(faults.totalCount));
             return SelfTestOutcome::pass();
         }});

    out.push_back({"bundle_is_nonempty_and_references_help_url",
                   "the bundle must be human-readable and must actually use the help link, which nothing else cites", [] {
                       const std::string text = SupportBundle::assemble(standardMeta(), {}, {});
                       if (text.size() <= 200)
                           return fail("bundle is suspiciously short: " + std::to_string(text.size()) + " chars");
                       if (!contains(text, Branding::helpURL)) return fail("bundle never references Branding.helpURL");
                       if (!contains(text, "ONDIRA SUPPORT BUNDLE")) return fail("missing expected header");
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"customization_counts_render_exactly_as_provided",
                   "the counts of vocabulary terms, snippets and per-app rules must appear as the given integers, never "
                   "relabelled, dropped or replaced by contents",
                   [] {
                       auto meta = standardMeta();
                       meta.vocabularyTermCount = 42;
                       meta.snippetCount = 7;
                       meta.appRuleCount = 3;
                       const std::string text = SupportBundle::assemble(meta, {}, {});
                       if (!contains(text, "Vocabulary terms: 42")) return fail("missing vocabulary term count");
                       if (!contains(text, "Snippets: 7")) return fail("missing snippet count");
                       if (!contains(text, "Per-app rules: 3")) return fail("missing app-rule count");
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"self_test_summary_defaults_when_unavailable",
                   "an absent self-test summary must render an explicit \"not evaluated\" statement; a bundle must "
                   "never imply that a self-test ran when it did not",
                   [] {
                       if (!contains(SupportBundle::assemble(standardMeta(), {}, {}), "not evaluated this session"))
                           return fail("nil selfTestSummary should render an explicit 'not evaluated' line");
                       auto meta = standardMeta();
                       meta.selfTestSummary = "343/343 PASS";
                       if (!contains(SupportBundle::assemble(meta, {}, {}), "343/343 PASS"))
                           return fail("a provided selfTestSummary should be reproduced verbatim");
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"write_creates_readable_file_with_matching_content",
                   "writing must use the caller's directory and write exactly the assembled text; the case uses only a "
                   "disposable directory of its own, never one the application's path resolution would give",
                   [] {
                       const fs::path dir =
                           platform::temporaryDirectory() / ("ondira-supportbundle-selftest-" + platform::newUUID());
                       const std::string text = SupportBundle::assemble(standardMeta(), {}, {});
                       fs::path written;
                       try {
                           written = SupportBundle::write(text, dir);
                       } catch (const std::exception& e) {
                           SelfTestSupport::removeIfPresent(dir);
                           return fail(std::string("write() threw: ") + e.what());
                       }
                       const auto back = platform::readFile(written);
                       const bool inside = fs::weakly_canonical(written.parent_path()) == fs::weakly_canonical(dir);
                       SelfTestSupport::removeIfPresent(dir);
                       if (!inside) return fail("file was not written inside the caller-supplied directory");
                       if (!back) return fail("write() threw: the written file could not be read back");
                       if (*back != text) return fail("written content does not match assemble() output");
                       return SelfTestOutcome::pass();
                   }});
    return out;
}

}  // namespace SupportBundleSelfTests

ONDIRA_SELFTEST_SUITE("SupportBundle", SupportBundleSelfTests::cases);

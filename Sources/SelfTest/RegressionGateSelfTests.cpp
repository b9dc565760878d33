// The regression gate: latency percentiles, the verdict's thresholds and its
// refusals (small samples, a change of engine), the correction rate, and the
// two readers of the history and correction logs.
#include "Diagnostics/RegressionGate.h"
#include "Platform/FileIO.h"
#include "Platform/Unicode.h"
#include "Platform/UUID.h"
#include "SelfTest/SelfTest.h"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace RegressionGate;

namespace RegressionGateSelfTests {

namespace {

std::vector<DictationEntry> uniform(int count, const std::string& engine, double latency) {
    std::vector<DictationEntry> out;
    for (int i = 0; i < count; ++i) {
        DictationEntry e;
        e.ts = i;
        if (latency > 0) e.latency = latency;
        e.words = 20;
        e.engine = engine;
        out.push_back(e);
    }
    return out;
}

DictationEntry entry(long long ts, std::optional<double> latency, long long words, const std::string& engine) {
    DictationEntry e;
    e.ts = ts;
    e.latency = latency;
    e.words = words;
    e.engine = engine;
    return e;
}

Window window(std::vector<DictationEntry> entries) { return {std::move(entries), std::nullopt}; }

std::string optionalForm(const std::optional<double>& value) {
    return value ? "Optional(" + platform::text::formatDouble(*value) + ")" : "nil";
}

std::string listForm(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", \"" : "\"") + items[i] + "\"";
    return out + "]";
}

std::string intList(std::vector<long long> values) {
    std::sort(values.begin(), values.end());
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) out += (i ? ", " : "") + std::to_string(values[i]);
    return out + "]";
}

std::string statusAndReasons(const RegressionVerdict& v) { return v.status.description() + " — " + listForm(v.reasons); }

fs::path fixturePath(const std::string& prefix) {
    return platform::temporaryDirectory() / (prefix + platform::newUUID() + ".jsonl");
}

bool writeFixture(const fs::path& path, const std::string& text, std::string* error) {
    return platform::atomicWrite(path, text, 0600, error);
}

SelfTestOutcome fail(const std::string& message) { return SelfTestOutcome::fail(message); }

}  // namespace

std::vector<SelfTestCase> cases() {
    std::vector<SelfTestCase> out;

    out.push_back({"latencyStats: p50/p95 on a known distribution, missing latency excluded from n",
                   "counting a missing or zero latency as 0 would make n read 13 instead of 10 and pull both "
                   "percentiles toward 0, hiding a real slowdown",
                   [] {
                       std::vector<DictationEntry> entries;
                       for (int i = 1; i <= 10; ++i) entries.push_back(entry(i, double(i), 10, "e"));
                       for (int ts = 100; ts <= 102; ++ts) entries.push_back(entry(ts, std::nullopt, 5, "e"));
                       const LatencyStats s = latencyStats(entries);
                       if (s.n != 10) return fail("n mismatch: got " + std::to_string(s.n) + ", expected 10");
                       if (!s.p50 || !s.p95) return fail("expected non-nil p50/p95 with 10 valid samples");
                       if (std::fabs(*s.p50 - 5.5) >= 0.0001)
                           return fail("p50 expected 5.5, got " + platform::text::formatDouble(*s.p50));
                       if (std::fabs(*s.p95 - 9.55) >= 0.0001)
                           return fail("p95 expected 9.55, got " + platform::text::formatDouble(*s.p95));
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"latencyStats: all-missing latency returns n=0 and nil percentiles, not a crash or a zeroed 0.0",
                   "without the guard for an empty sample the statistics would divide by zero, index out of range, or "
                   "report p50 = 0.0 as though 0 ms had been measured",
                   [] {
                       const LatencyStats s = latencyStats({entry(1, std::nullopt, 5, "e"), entry(2, std::nullopt, 5, "e")});
                       if (s.n == 0 && !s.p50 && !s.p95) return SelfTestOutcome::pass();
                       return fail("expected n=0/nil/nil, got n=" + std::to_string(s.n) + " p50=" + optionalForm(s.p50) +
                                   " p95=" + optionalForm(s.p95));
                   }});

    out.push_back({"compare: a clean 50% p50/p95 latency regression FAILS",
                   "loosening, removing or inverting the 25 % / 35 % thresholds would let a change that makes every "
                   "dictation 50 % slower pass",
                   [] {
                       const auto v = compare(window(uniform(100, "native_apple_silicon", 0.45)),
                                              window(uniform(100, "native_apple_silicon", 0.3)));
                       if (v.status.kind != GateStatus::Kind::fail)
                           return fail("expected .fail, got " + statusAndReasons(v));
                       if (!v.p50DeltaFraction || std::fabs(*v.p50DeltaFraction - 0.5) > 0.001)
                           return fail("expected p50DeltaFraction ~0.5, got " + optionalForm(v.p50DeltaFraction));
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"compare: a 5% latency wobble PASSES",
                   "a threshold tighter than ordinary run-to-run noise (about 5 to 10 %) would fail every routine build "
                   "and make the gate useless",
                   [] {
                       const auto v = compare(window(uniform(100, "native_apple_silicon", 0.315)),
                                              window(uniform(100, "native_apple_silicon", 0.3)));
                       if (v.status.kind == GateStatus::Kind::pass) return SelfTestOutcome::pass();
                       return fail("expected .pass, got " + statusAndReasons(v));
                   }});

    out.push_back({"compare: n below minimumSampleSize returns insufficientData, never pass or fail",
                   "without the minimum sample size, ten lucky or unlucky samples could push a ratio past a threshold by "
                   "chance, giving a confident verdict on noise",
                   [] {
                       const auto v = compare(window(uniform(10, "native_apple_silicon", 0.6)),
                                              window(uniform(10, "native_apple_silicon", 0.3)));
                       if (v.status.kind == GateStatus::Kind::insufficientData) return SelfTestOutcome::pass();
                       return fail("expected .insufficientData, got " + v.status.description());
                   }});

    out.push_back({"compare: recent and baseline on different engines returns inconclusive, not fail",
                   "without the engine guard, swapping the recognition engine, a planned kind of change, would look "
                   "like a code regression and could block a build",
                   [] {
                       const auto v = compare(window(uniform(40, "engine_b", 0.3)), window(uniform(40, "engine_a", 0.3)));
                       if (v.status.kind == GateStatus::Kind::inconclusive) return SelfTestOutcome::pass();
                       return fail("expected .inconclusive, got " + v.status.description());
                   }});

    out.push_back({"compare: a window that itself mixes two engine values returns inconclusive",
                   "real history logs hold thousands of older entries without an engine field next to newer ones; a "
                   "baseline straddling that boundary would compare across an instrumentation change",
                   [] {
                       std::vector<DictationEntry> baseline;
                       for (int i = 0; i < 40; ++i)
                           baseline.push_back(entry(i, 0.3, 20, i < 20 ? "unknown" : "native_apple_silicon"));
                       const auto v = compare(window(uniform(40, "native_apple_silicon", 0.3)), window(baseline));
                       if (v.status.kind == GateStatus::Kind::inconclusive) return SelfTestOutcome::pass();
                       return fail("expected .inconclusive, got " + v.status.description());
                   }});

    out.push_back({"correctionRate: computes corrections per 100 words correctly",
                   "a wrong ×100 scaling or word sum would turn a 2-per-100-words rate into 0.02 % or 200 % and make "
                   "every comparison built on it meaningless",
                   [] {
                       std::vector<CorrectionEvent> events;
                       for (int i = 0; i < 10; ++i) events.push_back({i});
                       const auto rate = correctionRate({entry(0, 0.3, 300, "e"), entry(1, 0.3, 200, "e")}, events);
                       if (!rate) return fail("expected a non-nil rate");
                       if (std::fabs(*rate - 2.0) >= 0.0001)
                           return fail("expected 2.0, got " + platform::text::formatDouble(*rate));
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"correctionRate: zero total words returns nil, never divides by zero",
                   "a plain corrections ÷ words would crash or give NaN or infinity on a silent window and print "
                   "garbage in a status line instead of \"no data\"",
                   [] {
                       const auto rate = correctionRate({entry(0, 0.3, 0, "e")}, {{0}});
                       if (!rate) return SelfTestOutcome::pass();
                       return fail("expected nil for zero total words, got " + platform::text::formatDouble(*rate));
                   }});

    out.push_back({"correctionRate: empty dictation entries returns nil, never divides by zero",
                   "the zero-words guard must also cover the shape \"no entries at all\"; the window the gate builds "
                   "from no entries must carry no rate either",
                   [] {
                       const auto rate = correctionRate({}, {});
                       if (rate) return fail("expected nil for empty entries, got " + platform::text::formatDouble(*rate));
                       const Window empty = makeWindow({}, {{0}, {1}});
                       if (empty.correctionRate)
                           return fail("expected nil for empty entries, got " +
                                       platform::text::formatDouble(*empty.correctionRate) + " from makeWindow");
                       return SelfTestOutcome::pass();
                   }});

    out.push_back(
        {"evaluateAgainstLogs: full pipeline (read both logs, window, compare) reaches PASS on a clean "
         "synthetic fixture",
         "this is the only case that runs the reading, windowing (last 100 against the preceding 400) and "
         "comparison together on real files; a slicing or reading error would land on insufficient data or "
         "wrong counts",
         [] {
             const fs::path dict = fixturePath("regression_gate_selftest_dict_");
             const fs::path corr = fixturePath("regression_gate_selftest_corr_");
             std::string history, corrections;
             for (int i = 0; i < 500; ++i) {
                 history +=
                     json{{"ts", i}, {"latency", i % 2 ? 0.291 : 0.309}, {"words", 20}, {"engine", "native_apple_silicon"}}
                         .dump() +
                     "\n";
             }
             for (int ts = 0; ts <= 450; ts += 50)
                 corrections += json{{"ts", ts}, {"heard", "x"}, {"written", "y"}}.dump() + "\n";
             std::string error;
             if (!writeFixture(dict, history, &error) || !writeFixture(corr, corrections, &error)) {
                 SelfTestSupport::removeIfPresent(dict);
                 SelfTestSupport::removeIfPresent(corr);
                 return fail("could not write fixtures: " + error);
             }
             const auto v = evaluateAgainstLogs(dict, corr);
             SelfTestSupport::removeIfPresent(dict);
             SelfTestSupport::removeIfPresent(corr);
             if (v.recentN != 100 || v.baselineN != 400)
                 return fail("expected recentN=100/baselineN=400, got recentN=" + std::to_string(v.recentN) +
                             "/baselineN=" + std::to_string(v.baselineN));
             if (v.status.kind != GateStatus::Kind::pass)
                 return fail("expected .pass on a flat, well-windowed fixture, got " + statusAndReasons(v));
             return SelfTestOutcome::pass();
         }});

    out.push_back({"readDictationEntries: malformed and incomplete lines are skipped, valid lines still parse",
                   "a torn line from a past crash must be skipped, not abort the parse, or every other entry would "
                   "become unreadable",
                   [] {
                       const fs::path file = fixturePath("regression_gate_selftest_");
                       std::string error;
                       if (!writeFixture(file,
                                         "{\"ts\": 1, \"latency\": 0.5, \"words\": 10, \"engine\": \"e\"}\n"
                                         "{ this is not json at all\n"
                                         "{\"latency\": 0.5, \"words\": 10, \"engine\": \"e\"}\n"
                                         "{\"ts\": 2, \"latency\": 0.6, \"words\": 12, \"engine\": \"e\"}",
                                         &error))
                           return fail("could not write fixture: " + error);
                       const auto entries = readDictationEntries(file);
                       SelfTestSupport::removeIfPresent(file);
                       if (entries.size() != 2)
                           return fail("expected exactly 2 valid entries out of 4 lines, got " +
                                       std::to_string(entries.size()));
                       std::vector<long long> ts;
                       for (const auto& e : entries) ts.push_back(e.ts);
                       if (intList(ts) != "[1, 2]") return fail("expected ts values [1, 2], got " + intList(ts));
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"readCorrectionEvents: malformed lines skipped, and a missing file returns empty (not a crash)",
                   "a caller must be able to run the gate before the correction log exists (a fresh install); a crash "
                   "on a missing file would take the whole self-test process down",
                   [] {
                       const auto missing = readCorrectionEvents(fixturePath("regression_gate_selftest_missing_"));
                       if (!missing.empty())
                           return fail("expected [] for a nonexistent file, got " + std::to_string(missing.size()) +
                                       " events");
                       const fs::path file = fixturePath("regression_gate_selftest_");
                       std::string error;
                       if (!writeFixture(file,
                                         "{\"ts\": 10, \"heard\": \"should never be read\", \"written\": \"x\"}\n"
                                         "not json\n"
                                         "{\"ts\": 11}",
                                         &error))
                           return fail("could not write fixture: " + error);
                       const auto events = readCorrectionEvents(file);
                       SelfTestSupport::removeIfPresent(file);
                       std::vector<long long> ts;
                       for (const auto& e : events) ts.push_back(e.ts);
                       if (intList(ts) != "[10, 11]") return fail("expected ts values [10, 11], got " + intList(ts));
                       return SelfTestOutcome::pass();
                   }});
    return out;
}

}  // namespace RegressionGateSelfTests

ONDIRA_SELFTEST_SUITE("RegressionGate", RegressionGateSelfTests::cases);

// The hub's engine panel: the engine_set parser, per-engine usage figures
// taken from the user's own history, and the descriptor rows of the three
// recogniser paths.
#include <cmath>
#include <string>

#include <nlohmann/json.hpp>

#include "Platform/LinuxNames.h"
#include "SelfTest/SelfTest.h"
#include "UI/BridgePayload.h"

namespace EngineUISelfTests {

namespace {

using json = nlohmann::json;
using BridgePayload::EngineUsage;

const std::string context = LinuxNames::engineContextDecoder;          // row "speechTranscriber"
const std::string personal = LinuxNames::enginePersonalDecoder;        // row "dictationTranscriber"
const std::string incremental = LinuxNames::engineIncrementalDecoder;  // row "legacy"

SelfTestOutcome pass() { return SelfTestOutcome::pass(); }
SelfTestOutcome fail(const std::string& m) { return SelfTestOutcome::fail(m); }

json entry(const std::string& engine, double secs, std::optional<double> transcribeSecs) {
    json e{{"engine", engine}, {"secs", secs}};
    if (transcribeSecs) e["transcribe_secs"] = *transcribeSecs;
    return e;
}

std::string avgText(const std::optional<double>& v) { return v ? std::to_string(*v) : "nil"; }

std::string describeStats(const std::map<std::string, EngineUsage>& stats) {
    std::string out = "[";
    for (const auto& [k, v] : stats)
        out += (out.size() > 1 ? ", " : "") + k + ": (" + std::to_string(v.sampleCount) + ", " +
               avgText(v.avgRealTimeFactor) + ")";
    return out + "]";
}

const json* rowWith(const json& rows, const char* key, const std::string& value) {
    for (const auto& r : rows)
        if (r[key] == value) return &r;
    return nullptr;
}

bool near(const json& v, double x) { return v.is_number() && std::fabs(v.get<double>() - x) < 0.0001; }

}  // namespace

std::vector<SelfTestCase> cases() {
    using namespace BridgePayload;
    std::vector<SelfTestCase> out;
    out.push_back({"parse_engine_set_happy_path_and_malformed",
                   "the parser must read the useDictationTranscriber boolean and refuse malformed JSON, a missing key "
                   "or a non-boolean value",
                   [] {
                       auto t = parseEngineSet(R"({"useDictationTranscriber":true})");
                       if (!t) return fail("well-formed engine_set: payload (true) failed to parse");
                       if (!*t) return fail("expected true, got false");
                       auto f = parseEngineSet(R"({"useDictationTranscriber":false})");
                       if (!f) return fail("well-formed engine_set: payload (false) failed to parse");
                       if (*f) return fail("expected false, got true");
                       if (parseEngineSet("not json {{{")) return fail("garbage input should not parse");
                       if (parseEngineSet("{}")) return fail("missing 'useDictationTranscriber' key should not parse");
                       if (parseEngineSet(R"({"useDictationTranscriber":"yes"})"))
                           return fail("non-boolean value should not parse");
                       return pass();
                   }});
    out.push_back(
        {"engine_usage_stats_computes_real_average_from_raw_log_entries",
         "usage must be grouped by the entry's engine and the real-time factor must be the mean of "
         "secs / transcribe_secs over that engine's entries",
         [] {
             auto stats = engineUsageStats({entry(incremental, 10, 5), entry(incremental, 20, 10), entry(context, 8, 2)});
             auto a = stats.find(incremental);
             if (a == stats.end()) return fail("expected a row for " + incremental);
             if (a->second.sampleCount != 2) return fail("expected count 2, got " + std::to_string(a->second.sampleCount));
             if (!a->second.avgRealTimeFactor || std::fabs(*a->second.avgRealTimeFactor - 2.0) > 0.0001)
                 return fail("expected avgRealTimeFactor 2.0 (mean of 10/5=2.0 and 20/10=2.0), got " +
                             avgText(a->second.avgRealTimeFactor));
             auto b = stats.find(context);
             if (b == stats.end()) return fail("expected a row for " + context);
             if (b->second.sampleCount != 1 || !b->second.avgRealTimeFactor ||
                 std::fabs(*b->second.avgRealTimeFactor - 4.0) > 0.0001)
                 return fail("expected " + context + " count 1 / avgRealTimeFactor 4.0, got " + describeStats({*b}));
             return pass();
         }});
    out.push_back({"engine_usage_stats_counts_unmeasured_entries_but_excludes_them_from_the_average",
                   "an entry without a measured transcription time must count as a sample but never enter the average "
                   "(as a zero divisor, for one)",
                   [] {
                       auto stats = engineUsageStats({entry(personal, 6, 2), entry(personal, 6, std::nullopt)});
                       auto a = stats.find(personal);
                       if (a == stats.end()) return fail("expected a row for " + personal);
                       if (a->second.sampleCount != 2)
                           return fail("expected sample count 2 (both entries are real usage), got " +
                                       std::to_string(a->second.sampleCount));
                       if (!a->second.avgRealTimeFactor || std::fabs(*a->second.avgRealTimeFactor - 3.0) > 0.0001)
                           return fail("expected avgRealTimeFactor 3.0 from the ONE measured entry only, got " +
                                       avgText(a->second.avgRealTimeFactor));
                       return pass();
                   }});
    out.push_back({"engine_usage_stats_empty_history_yields_no_rows",
                   "no row may be made up for an engine that never occurs in the history", [] {
                       auto stats = engineUsageStats({});
                       if (!stats.empty())
                           return fail("expected no rows from an empty raw-entries array, got " + describeStats(stats));
                       return pass();
                   }});
    out.push_back({"engine_descriptor_rows_only_the_two_modern_engines_are_selectable_when_available",
                   "with the whole-take paths available the incremental one must not be selectable and both whole-take "
                   "ones must be",
                   [] {
                       const json rows = engineDescriptorRows(true, {});
                       if (rows.size() != 3)
                           return fail("expected exactly 3 engine rows, got " + std::to_string(rows.size()));
                       for (const char* id : {"speechTranscriber", "dictationTranscriber"}) {
                           const json* r = rowWith(rows, "id", id);
                           if (!r) return fail(std::string("missing row for ") + id);
                           if ((*r)["selectable"] != true)
                               return fail(std::string("expected ") + id +
                                           " selectable == true when isModernAvailable, got " + (*r)["selectable"].dump());
                       }
                       const json* legacy = rowWith(rows, "id", "legacy");
                       if (!legacy) return fail("missing legacy row");
                       if ((*legacy)["selectable"] != false)
                           return fail("expected legacy selectable == false when isModernAvailable, got " +
                                       (*legacy)["selectable"].dump());
                       return pass();
                   }});
    out.push_back(
        {"engine_descriptor_rows_only_legacy_is_selectable_when_modern_unavailable",
         "without the whole-take paths the switch between them has no effect, so offering it would be dishonest", [] {
             const json rows = engineDescriptorRows(false, {});
             for (const char* id : {"speechTranscriber", "dictationTranscriber"}) {
                 const json* r = rowWith(rows, "id", id);
                 if (!r) return fail(std::string("missing row for ") + id);
                 if ((*r)["selectable"] != false)
                     return fail(std::string("expected ") + id + " selectable == false when NOT isModernAvailable, got " +
                                 (*r)["selectable"].dump());
             }
             const json* legacy = rowWith(rows, "id", "legacy");
             if (!legacy) return fail("missing legacy row");
             if ((*legacy)["selectable"] != true)
                 return fail("expected legacy selectable == true when NOT isModernAvailable, got " +
                             (*legacy)["selectable"].dump());
             return pass();
         }});
    out.push_back({"engine_descriptor_rows_attach_real_stats_by_engine_identifier_and_report_absence_honestly",
                   "figures must be joined by the identifier the history logger writes, not the short row id, and an "
                   "engine absent from the history must show 0 and null",
                   [] {
                       const json rows = engineDescriptorRows(true, {{context, EngineUsage{7, 3.5}}});
                       const json* used = rowWith(rows, "engineIdentifier", context);
                       if (!used) return fail("missing row for " + context);
                       if ((*used)["sampleCount"] != 7)
                           return fail("expected sampleCount 7, got " + (*used)["sampleCount"].dump());
                       if (!near((*used)["avgRealTimeFactor"], 3.5))
                           return fail("expected avgRealTimeFactor 3.5, got " + (*used)["avgRealTimeFactor"].dump());
                       const json* unused = rowWith(rows, "engineIdentifier", personal);
                       if (!unused) return fail("missing row for " + personal);
                       if ((*unused)["sampleCount"] != 0)
                           return fail("expected sampleCount 0 for an engine absent from history, got " +
                                       (*unused)["sampleCount"].dump());
                       if (!(*unused)["avgRealTimeFactor"].is_null())
                           return fail("expected avgRealTimeFactor to be null (no history) for an unused engine, got " +
                                       (*unused)["avgRealTimeFactor"].dump());
                       return pass();
                   }});
    out.push_back({"engine_descriptor_rows_every_row_is_on_device_and_carries_required_keys",
                   "no row may drop a required key or claim that an engine is not on-device", [] {
                       const json rows = engineDescriptorRows(true, {});
                       for (const auto& r : rows) {
                           for (const char* key : {"id", "engineIdentifier", "label", "minOSVersion", "selectable",
                                                   "onDevice", "sampleCount", "avgRealTimeFactor"})
                               if (!r.contains(key))
                                   return fail("row " + r.value("id", std::string("?")) + " missing key: " + key);
                           if (r["onDevice"] != true)
                               return fail("expected onDevice true for row " + r.value("id", std::string("?")));
                       }
                       return pass();
                   }});
    return out;
}

}  // namespace EngineUISelfTests

ONDIRA_SELFTEST_SUITE("EngineUI", EngineUISelfTests::cases);

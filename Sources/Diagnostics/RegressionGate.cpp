#include "Diagnostics/RegressionGate.h"

#include "Diagnostics/LogLines.h"
#include "Learning/CorrectionLog.h"
#include "Base/AppPaths.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using json = nlohmann::json;

std::string GateStatus::description() const {
    switch (kind) {
        case Kind::pass: return "pass";
        case Kind::fail: return "fail";
        case Kind::insufficientData: return "insufficientData(\"" + reason + "\")";
        case Kind::inconclusive: return "inconclusive(\"" + reason + "\")";
    }
    return "";
}

namespace RegressionGate {

namespace {

std::string format(const char* pattern, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, pattern, value);
    return buffer;
}

std::string listForm(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", \"" : "\"") + items[i] + "\"";
    return out + "]";
}

std::vector<std::string> engines(const Window& window) {
    std::set<std::string> distinct;
    for (const auto& entry : window.entries) distinct.insert(entry.engine);
    return {distinct.begin(), distinct.end()};
}

std::optional<json> parseObject(const std::string& line) {
    json value = json::parse(line, nullptr, false);
    if (value.is_discarded() || !value.is_object()) return std::nullopt;
    return value;
}

struct LatencyComparison {
    bool available = false;
    bool regressed = false;
};

LatencyComparison compareLatency(const char* label, std::optional<double> recent, std::optional<double> baseline,
                                 long long recentMeasured, long long baselineMeasured, double threshold,
                                 const char* thresholdText, std::optional<double>& delta,
                                 std::vector<std::string>& reasons) {
    if (!recent || !baseline) {
        reasons.push_back(std::string(label) + " latency comparison unavailable (recent measured=" +
                          std::to_string(recentMeasured) + ", baseline measured=" + std::to_string(baselineMeasured) + ")");
        return {};
    }
    delta = (*recent - *baseline) / *baseline;
    LatencyComparison result{true, *delta > threshold};
    if (result.regressed) {
        reasons.push_back(std::string(label) + " latency regressed " + format("%+.1f%%", *delta * 100) + " (baseline " +
                          format("%.3f", *baseline) + "s -> recent " + format("%.3f", *recent) + "s), threshold " +
                          thresholdText);
    }
    return result;
}

}  // namespace

LatencyStats latencyStats(const std::vector<DictationEntry>& entries) { return LatencyStats::from(entries); }

std::optional<double> correctionRate(const std::vector<DictationEntry>& dictationEntries,
                                     const std::vector<CorrectionEvent>& corrections) {
    long long words = 0;
    for (const auto& entry : dictationEntries) words += entry.words;
    if (words < 1) return std::nullopt;
    return static_cast<double>(corrections.size()) / static_cast<double>(words) * 100.0;
}

Window makeWindow(const std::vector<DictationEntry>& entries, const std::vector<CorrectionEvent>& correctionEvents) {
    if (entries.empty()) return {};
    const auto [lo, hi] =
        std::minmax_element(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.ts < b.ts; });
    std::vector<CorrectionEvent> inside;
    std::copy_if(correctionEvents.begin(), correctionEvents.end(), std::back_inserter(inside),
                 [&](const CorrectionEvent& e) { return e.ts >= lo->ts && e.ts <= hi->ts; });
    return {entries, correctionRate(entries, inside)};
}

RegressionVerdict compare(const Window& recent, const Window& baseline) {
    RegressionVerdict v;
    v.recentN = recent.entries.size();
    v.baselineN = baseline.entries.size();
    v.recentLatency = latencyStats(recent.entries);
    v.baselineLatency = latencyStats(baseline.entries);
    v.recentCorrectionRate = recent.correctionRate;
    v.baselineCorrectionRate = baseline.correctionRate;

    if (v.recentN < minimumSampleSize || v.baselineN < minimumSampleSize) {
        const std::string reason = "recent n=" + std::to_string(v.recentN) + ", baseline n=" + std::to_string(v.baselineN) +
                                   "; both need >= 30 to mean anything";
        v.status = {GateStatus::Kind::insufficientData, reason};
        v.reasons = {reason};
        return v;
    }
    const auto recentEngines = engines(recent);
    const auto baselineEngines = engines(baseline);
    if (recentEngines.size() != 1 || baselineEngines.size() != 1 || recentEngines != baselineEngines) {
        const std::string reason = "engine mismatch or a window spans an engine change: recent=" + listForm(recentEngines) +
                                   ", baseline=" + listForm(baselineEngines);
        v.status = {GateStatus::Kind::inconclusive, reason};
        v.reasons = {reason};
        return v;
    }

    std::vector<std::string> reasons;
    const auto p50 = compareLatency("p50", v.recentLatency.p50, v.baselineLatency.p50, v.recentLatency.n,
                                    v.baselineLatency.n, p50RegressionThreshold, "25%", v.p50DeltaFraction, reasons);
    const auto p95 = compareLatency("p95", v.recentLatency.p95, v.baselineLatency.p95, v.recentLatency.n,
                                    v.baselineLatency.n, p95RegressionThreshold, "35%", v.p95DeltaFraction, reasons);
    bool rateRegressed = false;
    if (!recent.correctionRate || !baseline.correctionRate) {
        reasons.push_back("correction rate comparison unavailable (no dictated words in one window)");
    } else if (*baseline.correctionRate > 0) {
        v.correctionRateDeltaFraction = (*recent.correctionRate - *baseline.correctionRate) / *baseline.correctionRate;
        rateRegressed = *v.correctionRateDeltaFraction > correctionRateRegressionThreshold;
        if (rateRegressed) {
            reasons.push_back("correction rate regressed " + format("%+.1f%%", *v.correctionRateDeltaFraction * 100) +
                              " (baseline " + format("%.3f", *baseline.correctionRate) + "/100w -> recent " +
                              format("%.3f", *recent.correctionRate) + "/100w), threshold 20%");
        }
    } else if (*recent.correctionRate > 0) {
        reasons.push_back("correction rate: baseline had 0/100w, recent has " + format("%.3f", *recent.correctionRate) +
                          "/100w — relative comparison undefined, reported as absolute only");
    } else {
        reasons.push_back("correction rate unchanged at 0/100w");
    }

    if (!v.correctionRateDeltaFraction && !p50.available && !p95.available) {
        const std::string reason =
            "no comparable metric in either window (no measured latency and no words to rate corrections against)";
        reasons.push_back(reason);
        v.status = {GateStatus::Kind::insufficientData, reason};
        v.reasons = reasons;
        v.p50DeltaFraction.reset();
        v.p95DeltaFraction.reset();
        v.correctionRateDeltaFraction.reset();
        return v;
    }
    if (reasons.empty()) reasons.push_back("no metric exceeded its regression threshold");
    v.reasons = reasons;
    v.status.kind = p50.regressed || p95.regressed || rateRegressed ? GateStatus::Kind::fail : GateStatus::Kind::pass;
    return v;
}

RegressionVerdict evaluate(const std::vector<DictationEntry>& entries, const std::vector<CorrectionEvent>& corrections) {
    const std::size_t recentCount = std::min(entries.size(), recentWindowSize);
    const auto recentBegin = entries.end() - static_cast<std::ptrdiff_t>(recentCount);
    const std::size_t baselineCount = std::min(static_cast<std::size_t>(recentBegin - entries.begin()), baselineWindowSize);
    const std::vector<DictationEntry> recent(recentBegin, entries.end());
    const std::vector<DictationEntry> baseline(recentBegin - static_cast<std::ptrdiff_t>(baselineCount), recentBegin);
    return compare(makeWindow(recent, corrections), makeWindow(baseline, corrections));
}

std::vector<DictationEntry> readDictationEntries(const fs::path& logURL) {
    std::vector<DictationEntry> entries;
    for (const auto& line : Diagnostics::readLogLines(logURL)) {
        if (const auto object = parseObject(line)) {
            if (auto entry = DictationEntry::fromRecord(*object)) entries.push_back(std::move(*entry));
        }
    }
    return entries;
}

std::vector<CorrectionEvent> readCorrectionEvents(const fs::path& logURL) {
    std::vector<CorrectionEvent> events;
    for (const auto& line : Diagnostics::readLogLines(logURL)) {
        const auto object = parseObject(line);
        if (!object) continue;
        const auto ts = object->find("ts");
        if (ts != object->end() && ts->is_number_integer()) events.push_back({ts->get<long long>()});
    }
    return events;
}

RegressionVerdict evaluateAgainstLogs(const fs::path& dictationLogURL, const fs::path& correctionsLogURL) {
    return evaluate(readDictationEntries(dictationLogURL), readCorrectionEvents(correctionsLogURL));
}

fs::path historyArchiveFile() { return AppPaths::applicationSupportFile("dictation_log.1.jsonl"); }

RegressionVerdict evaluateLiveLogs() {
    auto entries = readDictationEntries(historyArchiveFile());
    const auto live = readDictationEntries(AppPaths::dictationLogFile());
    entries.insert(entries.end(), live.begin(), live.end());
    return evaluate(entries, readCorrectionEvents(CorrectionLog::logFileURL()));
}

std::vector<std::string> summaryLines(const RegressionVerdict& verdict) {
    std::string headline;
    switch (verdict.status.kind) {
        case GateStatus::Kind::pass:
            headline = "No regression: your last " + std::to_string(verdict.recentN) +
                       " dictations are as fast and need as few corrections as the " + std::to_string(verdict.baselineN) +
                       " before them.";
            break;
        case GateStatus::Kind::fail: {
            std::vector<std::string> worse;
            const auto regressed = [&](const std::string& prefix) {
                return std::any_of(verdict.reasons.begin(), verdict.reasons.end(),
                                   [&](const std::string& r) { return r.rfind(prefix, 0) == 0; });
            };
            if (regressed("p50 latency regressed") || regressed("p95 latency regressed"))
                worse.push_back("text arrives more slowly");
            if (regressed("correction rate regressed")) worse.push_back("you correct more words");
            headline = "Dictation got worse: " + (worse.size() == 2 ? worse[0] + " and " + worse[1] : worse.front()) +
                       " than over your " + std::to_string(verdict.baselineN) + " earlier dictations.";
            break;
        }
        case GateStatus::Kind::insufficientData: headline = "Not enough dictations to compare yet."; break;
        case GateStatus::Kind::inconclusive:
            headline = "Not compared: the recognition engine changed, so earlier dictations are no yardstick.";
            break;
    }
    std::vector<std::string> lines = {headline};
    for (const auto& reason : verdict.reasons) lines.push_back("  " + reason);
    return lines;
}

}  // namespace RegressionGate

#pragma once
// The regression gate: the user's most recent dictations against their own
// earlier ones, on latency percentiles and on the correction rate, with a
// verdict that refuses to judge small samples or a change of engine.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Learning/DictationEntry.h"

// One correction as the gate reads it back.
struct CorrectionEvent {
    long long ts = 0;
    bool operator==(const CorrectionEvent&) const = default;
};

struct GateStatus {
    enum class Kind { insufficientData, inconclusive, pass, fail };
    Kind kind = Kind::insufficientData;
    std::string reason;  // insufficientData and inconclusive only

    // "pass", "fail", or the case name with its reason: insufficientData("...").
    std::string description() const;
    bool operator==(const GateStatus&) const = default;
};

namespace RegressionGate {

inline constexpr std::size_t minimumSampleSize = 30;
inline constexpr std::size_t recentWindowSize = 100;
inline constexpr std::size_t baselineWindowSize = 400;
inline constexpr double p50RegressionThreshold = 0.25;
inline constexpr double p95RegressionThreshold = 0.35;
inline constexpr double correctionRateRegressionThreshold = 0.2;

struct Window {
    std::vector<DictationEntry> entries;
    std::optional<double> correctionRate;  // corrections per 100 dictated words
};

struct RegressionVerdict {
    GateStatus status;
    std::vector<std::string> reasons;
    std::size_t recentN = 0;
    std::size_t baselineN = 0;
    LatencyStats recentLatency;
    LatencyStats baselineLatency;
    std::optional<double> p50DeltaFraction;
    std::optional<double> p95DeltaFraction;
    std::optional<double> correctionRateDeltaFraction;
    std::optional<double> recentCorrectionRate;
    std::optional<double> baselineCorrectionRate;
};

LatencyStats latencyStats(const std::vector<DictationEntry>& entries);
// Corrections per 100 dictated words; absent when fewer than 1 word was dictated.
std::optional<double> correctionRate(const std::vector<DictationEntry>& dictationEntries,
                                     const std::vector<CorrectionEvent>& corrections);
// The window of `entries` with the rate over the corrections made between its
// first and last dictation (both ends included).
Window makeWindow(const std::vector<DictationEntry>& entries, const std::vector<CorrectionEvent>& correctionEvents);
RegressionVerdict compare(const Window& recent, const Window& baseline);

// The last recentWindowSize entries against the baselineWindowSize before them.
RegressionVerdict evaluate(const std::vector<DictationEntry>& entries, const std::vector<CorrectionEvent>& corrections);
// Lines that are not a JSON object with an integer "ts" are skipped; a
// missing file reads as no entries.
std::vector<DictationEntry> readDictationEntries(const std::filesystem::path& logURL);
std::vector<CorrectionEvent> readCorrectionEvents(const std::filesystem::path& logURL);
RegressionVerdict evaluateAgainstLogs(const std::filesystem::path& dictationLogURL,
                                      const std::filesystem::path& correctionsLogURL);
// The history's rotated archive, beside the live log.
std::filesystem::path historyArchiveFile();
// The history (its archive first, then the live log) against the correction
// log, all in the current Application Support.
RegressionVerdict evaluateLiveLogs();

// The verdict for a person: one headline saying whether dictation got worse,
// then the reasons, each indented by two spaces.
std::vector<std::string> summaryLines(const RegressionVerdict& verdict);

}  // namespace RegressionGate

#pragma once
// The `history` and `stats` commands over the dictation history, and the
// pure pieces they are built from. History prints metadata only (date, time,
// app, words, latency); a dictation's text appears only when --text asks.
#include <vector>

#include <nlohmann/json.hpp>

#include "CLI/OndiraCLI.h"
#include "Learning/DictationEntry.h"

namespace OndiraCLI {

struct StatsSummary {
    long long dictations = 0;
    long long words = 0;
    LatencyStats latency;
};

// The entries (oldest first) whose "app" equals appFilter ignoring case,
// then whose "date" is not before sinceDate, then the last `last` of those,
// in stored order. A missing or non-text "app" or "date" counts as "".
std::vector<nlohmann::json> filterHistoryEntries(const std::vector<nlohmann::json>& entries, const HistoryOptions& options);

// "date", "time", "app", "words", "latency_secs" when the entry has a
// numeric latency, and "text" only when includeText is true.
nlohmann::json historyRecord(const nlohmann::json& entry, bool includeText);

// "dictations", "words", "latency_sample_n", and "latency_p50_secs" /
// "latency_p95_secs" when those percentiles exist.
nlohmann::json statsJSONObject(const StatsSummary& summary);

// Every history record that reads back as a dictation counts once.
StatsSummary summarizeHistory(const std::vector<nlohmann::json>& entries);

// The text line for one entry: "2026-08-26 09:00:00  Terminal  12 words  0.420 s".
std::string historyLine(const nlohmann::json& record);

int runHistory(const HistoryOptions& options);
int runStats(bool json);

}  // namespace OndiraCLI

#pragma once
// One dictation as the history reads back for measurement (when, how fast,
// how long, by which engine), and the latency percentiles over many of them.
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct DictationEntry {
    long long ts = 0;               // seconds since 1970
    std::optional<double> latency;  // seconds; absent when it was not measured
    long long words = 0;
    std::string engine;

    // One history record: it must be a JSON object with an integer "ts";
    // "words" is a storedCount else 0, "engine" a text else "unknown", and
    // "latency" is kept only when it is a number above 0.
    static std::optional<DictationEntry> fromRecord(const nlohmann::json& record);

    // A count as a history file may hold it: a whole number from 0 up;
    // none for anything else (negative, fractional, past the range of a
    // signed 64-bit count, not a number), which readers show as unknown
    // rather than wrap.
    static std::optional<long long> storedCount(const nlohmann::json& value);

    bool operator==(const DictationEntry&) const = default;
};

struct LatencyStats {
    long long n = 0;            // how many entries carry a measured latency
    std::optional<double> p50;  // seconds; both absent when n is 0
    std::optional<double> p95;

    // The measured latencies sorted ascending, read at 0.5 and 0.95.
    static LatencyStats from(const std::vector<DictationEntry>& entries);

    bool operator==(const LatencyStats&) const = default;
};

// Percentile p (0...1) of values sorted ascending, interpolated linearly
// between the two nearest ranks; the single value of a one-element list.
// The list must not be empty.
double percentile(const std::vector<double>& sortedValues, double p);

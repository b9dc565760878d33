#include "Learning/DictationEntry.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

std::optional<DictationEntry> DictationEntry::fromRecord(const nlohmann::json& record) {
    if (!record.is_object()) return std::nullopt;
    const auto ts = record.find("ts");
    if (ts == record.end() || !ts->is_number_integer()) return std::nullopt;
    DictationEntry entry;
    entry.ts = ts->get<long long>();
    const auto words = record.find("words");
    if (words != record.end()) entry.words = storedCount(*words).value_or(0);
    const auto engine = record.find("engine");
    entry.engine = engine != record.end() && engine->is_string() ? engine->get<std::string>() : "unknown";
    const auto latency = record.find("latency");
    if (latency != record.end() && latency->is_number()) {
        const double seconds = latency->get<double>();
        if (seconds > 0 && std::isfinite(seconds)) entry.latency = seconds;
    }
    return entry;
}

std::optional<long long> DictationEntry::storedCount(const nlohmann::json& value) {
    if (value.is_number_unsigned()) {
        const auto n = value.get<std::uint64_t>();
        if (n <= static_cast<std::uint64_t>(std::numeric_limits<long long>::max())) return static_cast<long long>(n);
        return std::nullopt;
    }
    if (value.is_number_integer()) {
        const auto n = value.get<std::int64_t>();
        if (n >= 0) return static_cast<long long>(n);
    }
    return std::nullopt;
}

double percentile(const std::vector<double>& sortedValues, double p) {
    if (sortedValues.size() == 1) return sortedValues.front();
    const double position = p * static_cast<double>(sortedValues.size() - 1);
    const auto lo = static_cast<std::size_t>(std::floor(position));
    const auto hi = static_cast<std::size_t>(std::ceil(position));
    if (lo == hi) return sortedValues[lo];
    return sortedValues[lo] + (position - static_cast<double>(lo)) * (sortedValues[hi] - sortedValues[lo]);
}

LatencyStats LatencyStats::from(const std::vector<DictationEntry>& entries) {
    std::vector<double> latencies;
    for (const auto& entry : entries) {
        if (entry.latency) latencies.push_back(*entry.latency);
    }
    LatencyStats stats;
    stats.n = static_cast<long long>(latencies.size());
    if (latencies.empty()) return stats;
    std::sort(latencies.begin(), latencies.end());
    stats.p50 = percentile(latencies, 0.5);
    stats.p95 = percentile(latencies, 0.95);
    return stats;
}

#include "CLI/HistoryCommands.h"

#include "CLI/CommandOutput.h"
#include "Learning/DictationLogger.h"
#include "Platform/Unicode.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace OndiraCLI {

namespace {

using json = nlohmann::json;

std::string textValue(const json& entry, const char* key) {
    const auto it = entry.find(key);
    return it != entry.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::optional<double> latencyValue(const json& entry) {
    const auto it = entry.find("latency");
    if (it == entry.end() || !it->is_number()) return std::nullopt;
    const double seconds = it->get<double>();
    // A record built in code could carry a non-finite value, which JSON cannot hold.
    if (!std::isfinite(seconds)) return std::nullopt;
    return seconds;
}

// None when the file holds no count we can believe (see storedCount).
std::optional<long long> wordsValue(const json& entry) {
    const auto it = entry.find("words");
    if (it == entry.end()) return std::nullopt;
    return DictationEntry::storedCount(*it);
}

// Three decimals with ASCII digits, whatever the locale; a value too large
// for the buffer (a stored latency of 1e60 has 64 digits) or not finite is "—".
std::string seconds(double value) {
    char buffer[64];
    if (!std::isfinite(value)) return "\u2014";
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 3);
    if (result.ec != std::errc()) return "\u2014";
    return std::string(buffer, result.ptr) + " s";
}

// Names every history file that is there but could not be read; true when
// there was none. A history read in part would pass for the whole one, so
// the caller then shows nothing.
bool historyFilesRead(const DictationLogger::HistoryRead& read) {
    for (const auto& why : read.unreadableFiles) printError("could not read the history: " + why);
    return read.unreadableFiles.empty();
}

// Counts the lines left out, after the output they are missing from; true
// when there were any.
bool linesLeftOut(const DictationLogger::HistoryRead& read) {
    for (const auto& skipped : read.skippedLines) {
        const bool one = skipped.count == 1;
        printError(std::to_string(skipped.count) + (one ? " line of " : " lines of ") + skipped.file.string() +
                   " could not be read and " + (one ? "is" : "are") + " left out");
    }
    return !read.skippedLines.empty();
}

}  // namespace

std::vector<json> filterHistoryEntries(const std::vector<json>& entries, const HistoryOptions& options) {
    std::vector<json> kept;
    for (const auto& entry : entries) {
        if (options.appFilter && !platform::text::equalsIgnoringCase(textValue(entry, "app"), *options.appFilter)) {
            continue;
        }
        if (options.sinceDate && textValue(entry, "date") < *options.sinceDate) continue;
        kept.push_back(entry);
    }
    const auto count = static_cast<long long>(kept.size());
    if (options.last < count) kept.erase(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(count - options.last));
    return kept;
}

json historyRecord(const json& entry, bool includeText) {
    json record = json::object();
    record["date"] = textValue(entry, "date");
    record["time"] = textValue(entry, "time");
    record["app"] = textValue(entry, "app");
    const auto words = wordsValue(entry);
    record["words"] = words ? json(*words) : json(nullptr);
    if (const auto latency = latencyValue(entry)) record["latency_secs"] = *latency;
    if (includeText) record["text"] = textValue(entry, "text");
    return record;
}

json statsJSONObject(const StatsSummary& summary) {
    json object = json::object();
    object["dictations"] = summary.dictations;
    object["words"] = summary.words;
    object["latency_sample_n"] = summary.latency.n;
    if (summary.latency.p50) object["latency_p50_secs"] = *summary.latency.p50;
    if (summary.latency.p95) object["latency_p95_secs"] = *summary.latency.p95;
    return object;
}

StatsSummary summarizeHistory(const std::vector<json>& entries) {
    std::vector<DictationEntry> dictations;
    for (const auto& record : entries) {
        if (auto entry = DictationEntry::fromRecord(record)) dictations.push_back(std::move(*entry));
    }
    StatsSummary summary;
    summary.dictations = static_cast<long long>(dictations.size());
    // Stored counts are whatever the file says: the total saturates instead of
    // wrapping to a negative number, and a negative count adds nothing.
    for (const auto& entry : dictations) {
        if (entry.words <= 0) continue;
        summary.words = entry.words > std::numeric_limits<long long>::max() - summary.words
                            ? std::numeric_limits<long long>::max()
                            : summary.words + entry.words;
    }
    summary.latency = LatencyStats::from(dictations);
    return summary;
}

std::string historyLine(const json& record) {
    const auto words = wordsValue(record);
    const std::string count = !words ? "\u2014 words" : std::to_string(*words) + (*words == 1 ? " word" : " words");
    std::string line = textValue(record, "date") + " " + textValue(record, "time") + "  " + textValue(record, "app") + "  " + count;
    if (const auto it = record.find("latency_secs"); it != record.end() && it->is_number()) {
        line += "  " + seconds(it->get<double>());
    }
    return line;
}

int runHistory(const HistoryOptions& options) {
    const DictationLogger::HistoryRead read = DictationLogger::shared().readHistory();
    if (!historyFilesRead(read)) return 1;
    const std::vector<json> entries = filterHistoryEntries(read.entries, options);
    std::vector<json> records;
    for (const auto& entry : entries) records.push_back(historyRecord(entry, options.text));

    const int status = [&] {
        if (options.json) return printJSON(json(records), "failed to encode history as JSON");
        // With lines left out, "none recorded" would not be true.
        if (read.entries.empty()) {
            if (read.skippedLines.empty()) printLine("(no dictations recorded)");
            return 0;
        }
        if (records.empty()) {
            printLine("(no dictations match)");
            return 0;
        }
        for (const auto& record : records) {
            printLine(historyLine(record));
            if (!options.text) continue;
            printIndented(textValue(record, "text"));
        }
        return 0;
    }();
    return linesLeftOut(read) ? 1 : status;
}

int runStats(bool jsonOutput) {
    const DictationLogger::HistoryRead read = DictationLogger::shared().readHistory();
    if (!historyFilesRead(read)) return 1;
    const StatsSummary summary = summarizeHistory(read.entries);
    const int status = [&] {
        if (jsonOutput) return printJSON(statsJSONObject(summary), "failed to encode stats as JSON");
        printLine("dictations: " + std::to_string(summary.dictations));
        printLine("words: " + std::to_string(summary.words));
        if (summary.latency.n == 0) {
            printLine("latency: not measured yet");
            return 0;
        }
        printLine("latency p50: " + seconds(*summary.latency.p50));
        printLine("latency p95: " + seconds(*summary.latency.p95));
        printLine("latency samples: " + std::to_string(summary.latency.n));
        return 0;
    }();
    return linesLeftOut(read) ? 1 : status;
}

}  // namespace OndiraCLI

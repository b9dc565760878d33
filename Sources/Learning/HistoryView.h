#pragma once
// The history as the hub shows it: one row per dictation, and the two pure
// operations behind its list (one page, newest first, and a search).
#include <string>
#include <string_view>
#include <vector>

namespace HistoryView {

// One history row for the page, in file order (oldest first) when listed.
struct LogEntry {
    std::string time;
    std::string date;
    std::string app;
    std::string text;
    int words = 0;

    bool operator==(const LogEntry&) const = default;
};

struct Page {
    std::vector<LogEntry> page;
    int total = 0;  // always the number of entries, whatever the page holds
};

// The entries reversed (newest first), then [offset, min(offset + limit, total)).
// Empty for limit < 1, offset < 0 or offset >= total.
Page paginateHistory(const std::vector<LogEntry>& entries, int offset, int limit);

struct SearchResult {
    std::vector<LogEntry> matches;  // newest first, at most renderCap of them
    int matchCount = 0;             // every match, however many were kept
};

// Case-insensitive substring search of the text, else the app name, newest
// first. A blank query finds nothing.
SearchResult searchHistory(const std::vector<LogEntry>& entries, std::string_view query, int renderCap);

// Whether `haystack`, lower-cased, contains `lowerNeedle` (already lower-cased).
// Gives the same answer as lower-casing the whole haystack with the full
// Unicode mapping, without building that copy for the common texts.
bool lowercasedContains(std::string_view haystack, std::string_view lowerNeedle);

}  // namespace HistoryView

#include "Learning/HistoryView.h"

#include "Platform/Text.h"

#include <algorithm>
#include <limits>

namespace HistoryView {

Page paginateHistory(const std::vector<LogEntry>& entries, int offset, int limit) {
    Page result;
    const long long total = static_cast<long long>(entries.size());
    result.total = static_cast<int>(std::min<long long>(total, std::numeric_limits<int>::max()));
    if (limit < 1 || offset < 0 || offset >= total) return result;
    const long long end = std::min<long long>(static_cast<long long>(offset) + limit, total);
    result.page.reserve(static_cast<std::size_t>(end - offset));
    // Index i of the newest-first list is entries[total - 1 - i]; only the
    // page's rows are copied, never the whole reversed history.
    for (long long i = offset; i < end; ++i) result.page.push_back(entries[static_cast<std::size_t>(total - 1 - i)]);
    return result;
}

namespace {
bool isASCII(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}
char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

bool lowercasedContains(std::string_view haystack, std::string_view lowerNeedle) {
    if (lowerNeedle.empty()) return true;
    if (isASCII(haystack)) {
        // Lower-casing ASCII text is byte-wise; an ASCII haystack can only
        // contain an ASCII needle.
        if (!isASCII(lowerNeedle)) return false;
        auto it = std::search(haystack.begin(), haystack.end(), lowerNeedle.begin(), lowerNeedle.end(),
                              [](char h, char n) { return asciiLower(h) == n; });
        return it != haystack.end();
    }
    return platform::text::lowercased(haystack).find(lowerNeedle) != std::string::npos;
}

SearchResult searchHistory(const std::vector<LogEntry>& entries, std::string_view query, int renderCap) {
    SearchResult result;
    const std::string needle = platform::text::lowercased(platform::text::trimmed(query));
    if (needle.empty() || entries.empty()) return result;
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        if (!lowercasedContains(it->text, needle) && !lowercasedContains(it->app, needle)) continue;
        ++result.matchCount;
        if (static_cast<int>(result.matches.size()) < renderCap) result.matches.push_back(*it);
    }
    return result;
}

}  // namespace HistoryView

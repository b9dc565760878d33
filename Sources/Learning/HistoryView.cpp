#include "Learning/HistoryView.h"

#include "Platform/Unicode.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <initializer_list>
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

bool containsAny(std::string_view s, std::initializer_list<std::string_view> needles) {
    return std::any_of(needles.begin(), needles.end(), [&](std::string_view n) { return s.find(n) != s.npos; });
}

// The two characters outside ASCII whose lower-case form holds ASCII letters:
// KELVIN SIGN (to "k") and LATIN CAPITAL LETTER I WITH DOT ABOVE (to "i" and a
// combining dot).
constexpr std::string_view kKelvin = "\xE2\x84\xAA";
constexpr std::string_view kDottedI = "\xC4\xB0";
// GREEK CAPITAL LETTER SIGMA lower-cases by context (final or not).
constexpr std::string_view kSigma = "\xCE\xA3";

bool asciiCaseInsensitiveFind(std::string_view haystack, std::string_view lowerNeedle) {
    auto it = std::search(haystack.begin(), haystack.end(), lowerNeedle.begin(), lowerNeedle.end(),
                          [](char h, char n) { return asciiLower(h) == n; });
    return it != haystack.end();
}

// Lower-cases with the per-character mapping; agrees with the full mapping for
// every text without a dotted capital I or a capital sigma (the callers check).
std::string simpleLowercased(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
    const int32_t length = static_cast<int32_t>(s.size());
    for (int32_t i = 0; i < length;) {
        if (bytes[i] < 0x80) {
            out.push_back(asciiLower(static_cast<char>(bytes[i++])));
            continue;
        }
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) c = 0xFFFD;
        uint8_t buffer[U8_MAX_LENGTH];
        int32_t n = 0;
        U8_APPEND_UNSAFE(buffer, n, u_tolower(c));  // any code point fits in U8_MAX_LENGTH bytes
        out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
    }
    return out;
}
}  // namespace

bool lowercasedContains(std::string_view haystack, std::string_view lowerNeedle) {
    if (lowerNeedle.empty()) return true;
    if (isASCII(lowerNeedle)) {
        // Every other non-ASCII character lower-cases to non-ASCII, so an ASCII
        // needle can only match ASCII characters, and those lower-case byte-wise.
        if (!containsAny(haystack, {kKelvin, kDottedI})) return asciiCaseInsensitiveFind(haystack, lowerNeedle);
        return platform::text::lowercased(haystack).find(lowerNeedle) != std::string::npos;
    }
    // A lower-cased ASCII text holds no other character.
    if (isASCII(haystack)) return false;
    if (containsAny(haystack, {kDottedI, kSigma})) {
        return platform::text::lowercased(haystack).find(lowerNeedle) != std::string::npos;
    }
    return simpleLowercased(haystack).find(lowerNeedle) != std::string::npos;
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

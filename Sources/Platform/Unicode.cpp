#include "Platform/Unicode.h"

#include <unicode/brkiter.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace platform::text {

namespace {

icu::UnicodeString toU(std::string_view s) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
}

std::string fromU(const icu::UnicodeString& u) {
    std::string out;
    u.toUTF8String(out);
    return out;
}

// Maps UTF-16 offsets of `u` to UTF-8 byte offsets of the same text.
class OffsetMap {
public:
    explicit OffsetMap(const icu::UnicodeString& u) {
        const int32_t n = u.length();
        map_.resize(static_cast<std::size_t>(n) + 1);
        std::size_t bytes = 0;
        for (int32_t i = 0; i < n;) {
            UChar32 c = u.char32At(i);
            int32_t units = U16_LENGTH(c);
            std::size_t len = static_cast<std::size_t>(U8_LENGTH(c));
            if (len == 0) len = 3;  // lone surrogate becomes U+FFFD
            for (int32_t k = 0; k < units && i + k < n; ++k) map_[static_cast<std::size_t>(i + k)] = bytes;
            bytes += len;
            i += units;
        }
        map_[static_cast<std::size_t>(n)] = bytes;
    }
    std::size_t operator()(int32_t utf16) const { return map_[static_cast<std::size_t>(utf16)]; }

private:
    std::vector<std::size_t> map_;
};

uint32_t icuFlags(unsigned options) {
    uint32_t f = 0;
    if (options & Regex::caseInsensitive) f |= UREGEX_CASE_INSENSITIVE;
    if (options & Regex::multiline) f |= UREGEX_MULTILINE;
    if (options & Regex::dotMatchesLineSeparators) f |= UREGEX_DOTALL;
    if (options & Regex::allowCommentsAndWhitespace) f |= UREGEX_COMMENTS;
    return f;
}

}  // namespace

struct Regex::Impl {
    std::unique_ptr<icu::RegexPattern> pattern;
};

std::string_view Regex::Match::group(std::string_view text, std::size_t index) const {
    if (index >= groups.size() || !groups[index]) return {};
    return text.substr(groups[index]->begin, groups[index]->length());
}

Regex::Regex(std::string_view pattern, unsigned options) : impl_(std::make_unique<Impl>()), pattern_(pattern) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    impl_->pattern.reset(icu::RegexPattern::compile(toU(pattern), icuFlags(options), parseError, status));
    if (U_FAILURE(status) || !impl_->pattern) {
        throw std::invalid_argument(std::string("invalid regular expression \"") + std::string(pattern) +
                                    "\": " + u_errorName(status));
    }
}

Regex::~Regex() = default;

std::shared_ptr<Regex> Regex::make(std::string_view pattern, unsigned options, std::string* error) {
    try {
        return std::make_shared<Regex>(pattern, options);
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        return nullptr;
    }
}

std::vector<Regex::Match> Regex::matches(std::string_view text) const {
    std::vector<Match> result;
    icu::UnicodeString u = toU(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> m(impl_->pattern->matcher(u, status));
    if (U_FAILURE(status)) return result;
    OffsetMap offsets(u);
    const int32_t groupCount = m->groupCount();
    while (m->find(status) && U_SUCCESS(status)) {
        Match match;
        int32_t s = m->start(status), e = m->end(status);
        match.range = {offsets(s), offsets(e)};
        match.groups.reserve(static_cast<std::size_t>(groupCount) + 1);
        for (int32_t g = 0; g <= groupCount; ++g) {
            int32_t gs = m->start(g, status), ge = m->end(g, status);
            if (gs < 0 || ge < 0) match.groups.emplace_back(std::nullopt);
            else match.groups.emplace_back(Range{offsets(gs), offsets(ge)});
        }
        result.push_back(std::move(match));
    }
    return result;
}

std::optional<Regex::Match> Regex::firstMatch(std::string_view text) const {
    auto all = matches(text);  // texts here are short; one path keeps offsets right
    if (all.empty()) return std::nullopt;
    return all.front();
}

bool Regex::isMatch(std::string_view text) const {
    icu::UnicodeString u = toU(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> m(impl_->pattern->matcher(u, status));
    if (U_FAILURE(status)) return false;
    return m->find(status) && U_SUCCESS(status);
}

std::size_t Regex::numberOfMatches(std::string_view text) const { return matches(text).size(); }

std::string Regex::replaceAll(std::string_view text, std::string_view templ) const {
    icu::UnicodeString u = toU(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> m(impl_->pattern->matcher(u, status));
    if (U_FAILURE(status)) return std::string(text);
    icu::UnicodeString out = m->replaceAll(toU(templ), status);
    if (U_FAILURE(status)) return std::string(text);
    return fromU(out);
}

std::string Regex::replaceAllLiteral(std::string_view text, std::string_view literal) const {
    return replace(text, [&](const Match&, std::string_view) { return std::string(literal); });
}

std::string Regex::replace(std::string_view text,
                           const std::function<std::string(const Match&, std::string_view)>& replacement) const {
    auto found = matches(text);
    if (found.empty()) return std::string(text);
    std::string out(text);
    for (auto it = found.rbegin(); it != found.rend(); ++it) {
        out.replace(it->range.begin, it->range.length(), replacement(*it, text));
    }
    return out;
}

std::string Regex::escapedPattern(std::string_view literal) {
    // The characters the platform's own pattern escaping protects.
    static constexpr std::string_view special = "\\^$.|?*+()[]{}/";
    std::string out;
    out.reserve(literal.size() * 2);
    for (char c : literal) {
        if (special.find(c) != std::string_view::npos) out += '\\';
        out += c;
    }
    return out;
}

std::string Regex::escapedTemplate(std::string_view literal) {
    std::string out;
    for (char c : literal) {
        if (c == '$' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

bool isWhitespace(char32_t c) {
    if (c == U'\t') return true;
    int8_t type = u_charType(static_cast<UChar32>(c));
    return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

bool isWhitespaceOrNewline(char32_t c) { return isWhitespace(c) || (c >= 0x0A && c <= 0x0D) || c == 0x85; }

bool isLetterOrDigit(char32_t c) { return u_isalnum(static_cast<UChar32>(c)); }

bool isOpeningPunctuation(char32_t c) {
    const int8_t type = u_charType(static_cast<UChar32>(c));
    return type == U_START_PUNCTUATION || type == U_INITIAL_PUNCTUATION;
}

namespace {
template <typename Pred>
std::string trimWith(std::string_view s, Pred pred) {
    std::u32string u = toUTF32(s);
    std::size_t b = 0, e = u.size();
    while (b < e && pred(u[b])) ++b;
    while (e > b && pred(u[e - 1])) --e;
    return fromUTF32(std::u32string_view(u).substr(b, e - b));
}
}  // namespace

std::string trimmed(std::string_view s) { return trimWith(s, isWhitespaceOrNewline); }
std::string trimmedWhitespace(std::string_view s) { return trimWith(s, isWhitespace); }

std::string lowercased(std::string_view s) {
    icu::UnicodeString u = toU(s);
    u.toLower(icu::Locale::getRoot());
    return fromU(u);
}

std::string uppercased(std::string_view s) {
    icu::UnicodeString u = toU(s);
    u.toUpper(icu::Locale::getRoot());
    return fromU(u);
}

std::string uppercasingFirst(std::string_view s) {
    if (s.empty()) return {};
    icu::UnicodeString u = toU(s);
    UChar32 first = u.char32At(0);
    int32_t len = U16_LENGTH(first);
    icu::UnicodeString head = u.tempSubString(0, len);
    head.toUpper(icu::Locale::getRoot());
    return fromU(head) + fromU(u.tempSubString(len));
}

std::string foldCase(std::string_view s) {
    icu::UnicodeString u = toU(s);
    u.foldCase();
    return fromU(u);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) { return foldCase(a) == foldCase(b); }

bool containsIgnoringCase(std::string_view haystack, std::string_view needle) {
    return foldCase(haystack).find(foldCase(needle)) != std::string::npos;
}

bool hasPrefixIgnoringCase(std::string_view s, std::string_view prefix) { return hasPrefix(foldCase(s), foldCase(prefix)); }

std::string escapedMarkup(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::size_t graphemeCount(std::string_view s) {
    if (s.empty()) return 0;
    icu::UnicodeString u = toU(s);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) return codePointCount(s);
    it->setText(u);
    std::size_t n = 0;
    for (int32_t p = it->next(); p != icu::BreakIterator::DONE; p = it->next()) ++n;
    return n;
}

std::string prefixGraphemes(std::string_view s, std::size_t n) {
    icu::UnicodeString u = toU(s);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) return std::string(s);
    it->setText(u);
    int32_t end = 0;
    for (std::size_t i = 0; i < n; ++i) {
        int32_t p = it->next();
        if (p == icu::BreakIterator::DONE) return std::string(s);
        end = p;
    }
    return fromU(u.tempSubString(0, end));
}

std::size_t utf16Length(std::string_view s) { return static_cast<std::size_t>(toU(s).length()); }
std::size_t codePointCount(std::string_view s) { return toUTF32(s).size(); }

std::vector<std::string> splitWords(std::string_view s) {
    std::vector<std::string> words;
    std::u32string u = toUTF32(s);
    std::u32string cur;
    for (char32_t c : u) {
        if (isWhitespaceOrNewline(c)) {
            if (!cur.empty()) words.push_back(fromUTF32(cur)), cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty()) words.push_back(fromUTF32(cur));
    return words;
}

std::vector<std::string> splitLines(std::string_view s) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (true) {
        std::size_t nl = s.find('\n', start);
        if (nl == std::string_view::npos) {
            lines.emplace_back(s.substr(start));
            break;
        }
        lines.emplace_back(s.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

namespace {
// Walks the code points of `s`; `visit(start, end, c)` gets c < 0 for an
// invalid sequence and returns false to stop.
template <typename Visit>
void forEachCodePoint(std::string_view s, Visit visit) {
    int32_t i = 0;
    const int32_t n = static_cast<int32_t>(s.size());
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    while (i < n) {
        const int32_t start = i;
        UChar32 c;
        U8_NEXT(p, i, n, c);
        if (!visit(static_cast<std::size_t>(start), static_cast<std::size_t>(i), c)) return;
    }
}
}  // namespace

bool isValidUTF8(std::string_view s) {
    bool valid = true;
    forEachCodePoint(s, [&](std::size_t, std::size_t, UChar32 c) { return valid = c >= 0; });
    return valid;
}

std::string sanitizeUTF8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    forEachCodePoint(s, [&](std::size_t b, std::size_t e, UChar32 c) {
        if (c < 0) out += "\xEF\xBF\xBD";
        else out.append(s.substr(b, e - b));
        return true;
    });
    return out;
}

std::u32string toUTF32(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    forEachCodePoint(s, [&](std::size_t, std::size_t, UChar32 c) {
        out.push_back(c < 0 ? U'\uFFFD' : static_cast<char32_t>(c));
        return true;
    });
    return out;
}

std::string fromUTF32(std::u32string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char32_t c : s) {
        uint8_t buf[4];
        int32_t len = 0;
        UBool err = false;
        U8_APPEND(buf, len, 4, static_cast<UChar32>(c), err);
        if (err) out += "\xEF\xBF\xBD";
        else out.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(len));
    }
    return out;
}

bool hasPrefix(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }
bool hasSuffix(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) out += separator;
        out += parts[i];
    }
    return out;
}

namespace {
template <typename Number>
std::string shortestNumberText(Number value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    std::string s(buf, res.ptr);
    if (s.find_first_of(".eE") == std::string::npos) s += ".0";
    return s;
}
}  // namespace

std::string formatDouble(double value) { return shortestNumberText(value); }

std::string formatFloat(float value) { return shortestNumberText(value); }

}  // namespace platform::text

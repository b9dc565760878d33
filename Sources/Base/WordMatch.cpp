#include "Base/WordMatch.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <mutex>
#include <sys/stat.h>
#include <unordered_map>

namespace WordMatch {

namespace text = platform::text;

bool isRegexWordCharacter(char32_t c) {
    const auto cp = static_cast<UChar32>(c);
    if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (c == 0x200C || c == 0x200D) return true;
    if (u_hasBinaryProperty(cp, UCHAR_ALPHABETIC)) return true;
    const auto mask = U_GET_GC_MASK(cp);
    return (mask & (U_GC_M_MASK | U_GC_ND_MASK | U_GC_PC_MASK)) != 0;
}

std::string literalPatternSource(std::string_view spoken) {
    if (spoken.empty()) return {};
    const std::u32string u = text::toUTF32(spoken);
    const bool wordStart = isRegexWordCharacter(u.front());
    const bool wordEnd = isRegexWordCharacter(u.back());
    std::string pattern = wordStart ? "\\b" : "(?<!\\w)";
    pattern += text::Regex::escapedPattern(spoken);
    pattern += wordEnd ? "\\b" : "(?!\\w)";
    return pattern;
}

std::shared_ptr<const text::Regex> literalPattern(std::string_view spoken) {
    if (spoken.empty()) return nullptr;
    // Dictation texts see the same few hundred forms over and over; compiling
    // each once keeps the chain's cost to the searches themselves. The cache
    // is bounded so a stream of one-off forms cannot grow it without limit.
    static std::mutex lock;
    static std::unordered_map<std::string, std::shared_ptr<const text::Regex>> cache;
    std::string key(spoken);
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = cache.find(key);
        if (it != cache.end()) return it->second;
    }
    std::shared_ptr<const text::Regex> compiled =
        text::Regex::make(literalPatternSource(spoken), text::Regex::caseInsensitive);
    std::lock_guard<std::mutex> guard(lock);
    if (cache.size() >= 8192) cache.clear();
    cache.emplace(std::move(key), compiled);
    return compiled;
}

namespace {
bool isASCII(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}
}  // namespace

std::string lowercasedFast(std::string_view s) {
    if (!isASCII(s)) return text::lowercased(s);
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string foldedFast(std::string_view s) {
    if (!isASCII(s)) return text::foldCase(s);
    return lowercasedFast(s);
}

namespace {
// Calls `each(begin, end)` for every run of word characters of `s`.
template <typename F>
void forEachToken(std::string_view s, F each) {
    std::size_t i = 0, start = std::string_view::npos;
    while (i < s.size()) {
        const auto c0 = static_cast<unsigned char>(s[i]);
        std::size_t len = 1;
        char32_t cp = c0;
        if (c0 >= 0x80) {
            len = c0 >= 0xF0 ? 4 : c0 >= 0xE0 ? 3 : 2;
            if (i + len > s.size()) len = s.size() - i;
            std::u32string u = text::toUTF32(s.substr(i, len));
            cp = u.empty() ? U'\uFFFD' : u.front();
        }
        const bool word = isRegexWordCharacter(cp);
        if (word && start == std::string_view::npos) start = i;
        if (!word && start != std::string_view::npos) {
            each(start, i);
            start = std::string_view::npos;
        }
        i += len;
    }
    if (start != std::string_view::npos) each(start, s.size());
}
}  // namespace

TokenIndex::TokenIndex(const std::string& text) : text_(text) { addTokens(storage_.emplace_back(foldedFast(text))); }

void TokenIndex::noteInsertion(std::string_view inserted) {
    addTokens(storage_.emplace_back(foldedFast(inserted)));
    foldedStale_ = true;
}

std::size_t TokenIndex::quickKey(std::string_view token) {
    if (token.empty()) return 0;
    const auto first = static_cast<unsigned char>(token.front());
    const auto last = static_cast<unsigned char>(token.back());
    return (first * 131u + last * 7u + token.size() * 31u) % 4096u;
}

void TokenIndex::addTokens(std::string_view folded) {
    forEachToken(folded, [&](std::size_t b, std::size_t e) {
        std::string_view token = folded.substr(b, e - b);
        tokens_.insert(token);
        bits_.set(quickKey(token));
    });
}

bool TokenIndex::mayContain(std::string_view foldedForm, std::string_view formFirstToken) const {
    if (!formFirstToken.empty()) return !quickReject(formFirstToken) && tokens_.count(formFirstToken) > 0;
    if (foldedStale_) {
        folded_ = foldedFast(text_);
        foldedStale_ = false;
    }
    return folded_.find(foldedForm) != std::string::npos;
}

bool TokenIndex::mayContainForm(std::string_view form) const {
    auto word = [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    };
    std::size_t end = 0;
    while (end < form.size() && word(static_cast<unsigned char>(form[end]))) ++end;
    const bool asciiToken = end > 0 && (end == form.size() || static_cast<unsigned char>(form[end]) < 0x80);
    if (!asciiToken) {
        const std::string folded = foldedFast(form);
        return mayContain(folded, firstToken(folded));
    }
    thread_local std::string token;
    token.assign(form.substr(0, end));
    for (char& c : token)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return !quickReject(token) && tokens_.count(token) > 0;
}

std::string firstToken(std::string_view folded) {
    std::string out;
    bool done = false;
    forEachToken(folded, [&](std::size_t b, std::size_t e) {
        if (!done && b == 0) out = std::string(folded.substr(b, e - b));
        done = true;
    });
    return out;
}

std::string trimmedFast(std::string_view s) {
    if (!isASCII(s)) return text::trimmed(s);
    auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    std::size_t b = 0, e = s.size();
    while (b < e && space(s[b])) ++b;
    while (e > b && space(s[e - 1])) --e;
    return std::string(s.substr(b, e - b));
}

std::size_t characterCount(std::string_view s) {
    if (!isASCII(s)) return text::graphemeCount(s);
    std::size_t n = s.size();
    for (std::size_t i = 0; i + 1 < s.size(); ++i)
        if (s[i] == '\r' && s[i + 1] == '\n') --n;  // CR LF is one character
    return n;
}

std::pair<std::string, std::string> splitFirstCharacter(std::string_view s) {
    if (s.empty()) return {};
    const auto lead = static_cast<unsigned char>(s[0]);
    if (lead < 0x80 && (s.size() == 1 || static_cast<unsigned char>(s[1]) < 0x80) &&
        !(lead == '\r' && s.size() > 1 && s[1] == '\n'))
        return {std::string(s.substr(0, 1)), std::string(s.substr(1))};
    const std::string first = text::prefixGraphemes(s, 1);
    return {first, std::string(s.substr(first.size()))};
}

namespace {
UChar32 firstCodePoint(std::string_view s) {
    const std::u32string u = text::toUTF32(s.substr(0, std::min<std::size_t>(s.size(), 4)));
    return u.empty() ? -1 : static_cast<UChar32>(u.front());
}
}  // namespace

bool isLowercaseCharacter(std::string_view character) {
    const UChar32 c = firstCodePoint(character);
    return c >= 0 && u_hasBinaryProperty(c, UCHAR_LOWERCASE);
}

bool isUppercaseCharacter(std::string_view character) {
    const UChar32 c = firstCodePoint(character);
    return c >= 0 && (u_hasBinaryProperty(c, UCHAR_UPPERCASE) || u_istitle(c));
}

bool hasLetter(std::string_view s) {
    for (char32_t c : text::toUTF32(s))
        if (u_isalpha(static_cast<UChar32>(c))) return true;
    return false;
}

FileStamp stampOf(const std::string& path) {
    struct stat st {};
    FileStamp stamp;
    if (::stat(path.c_str(), &st) != 0) return stamp;
    stamp.exists = true;
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.size = st.st_size;
    stamp.mtimeNanos = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp.ctimeNanos = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return stamp;
}

}  // namespace WordMatch

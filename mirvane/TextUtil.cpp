#include "TextUtil.h"

#include <unistd.h>

#include <cstdint>

namespace mirvane::text {

namespace {
// Decodes one UTF-8 sequence at `i`; returns its length, or 0 when invalid.
std::size_t decodeAt(std::string_view s, std::size_t i, char32_t& out) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        out = b0;
        return 1;
    }
    std::size_t len;
    char32_t cp;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    out = cp;
    return len;
}

// The start of the last UTF-8 sequence ending at `end` (exclusive), if valid.
bool decodeBefore(std::string_view s, std::size_t end, std::size_t& start, char32_t& out) {
    for (std::size_t back = 1; back <= 4 && back <= end; ++back) {
        std::size_t i = end - back;
        if ((static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) continue;
        if (decodeAt(s, i, out) == back) {
            start = i;
            return true;
        }
        return false;
    }
    return false;
}
}  // namespace

bool isWhitespaceOrNewline(char32_t c) {
    if (c >= 0x09 && c <= 0x0D) return true;
    switch (c) {
        case 0x20:
        case 0x85:
        case 0xA0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000: return true;
        default: return c >= 0x2000 && c <= 0x200A;
    }
}

std::string trimmed(std::string_view s) {
    std::size_t begin = 0;
    while (begin < s.size()) {
        char32_t c;
        std::size_t n = decodeAt(s, begin, c);
        if (n == 0 || !isWhitespaceOrNewline(c)) break;
        begin += n;
    }
    std::size_t end = s.size();
    while (end > begin) {
        std::size_t start;
        char32_t c;
        if (!decodeBefore(s, end, start, c) || !isWhitespaceOrNewline(c)) break;
        end = start;
    }
    return std::string(s.substr(begin, end - begin));
}

bool isValidUTF8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        char32_t c;
        std::size_t n = decodeAt(s, i, c);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string sanitizeUTF8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        char32_t c;
        std::size_t n = decodeAt(s, i, c);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::string strippingSurroundingQuotes(const std::string& s) {
    if (s.size() < 2) return s;
    const char first = s.front();
    if ((first == '"' || first == '\'') && s.back() == first) return s.substr(1, s.size() - 2);
    return s;
}

std::string terminalSafe(std::string_view s) {
    const std::string text = sanitizeUTF8(s);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool c0 = (c < 0x20 && c != '\n' && c != '\t') || c == 0x7F;
        const bool c1 = c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (c0 || c1) {
            out += "\uFFFD";
            if (c1) ++i;
            continue;
        }
        out += text[i];
    }
    return out;
}

std::string shownOn(int fd, std::string_view s) { return ::isatty(fd) == 1 ? terminalSafe(s) : std::string(s); }

}  // namespace mirvane::text

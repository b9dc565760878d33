#pragma once
// Text helpers shared by the whole program, all on ICU so that patterns,
// word boundaries, case mapping and white space behave like the platform the
// behaviour was designed on (ICU regex syntax, ICU's default \b).
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::text {

class Regex {
public:
    enum Option : unsigned {
        none = 0,
        caseInsensitive = 1u << 0,
        multiline = 1u << 1,  // ^ and $ match at line ends
        dotMatchesLineSeparators = 1u << 2,
        allowCommentsAndWhitespace = 1u << 3,
    };

    // A span of UTF-8 byte offsets into the searched text.
    struct Range {
        std::size_t begin = 0;
        std::size_t end = 0;
        std::size_t length() const { return end - begin; }
    };
    struct Match {
        Range range;
        std::vector<std::optional<Range>> groups;  // groups[0] is the whole match
        std::string_view group(std::string_view text, std::size_t index) const;
    };

    // Throws std::invalid_argument with ICU's message when the pattern is bad.
    explicit Regex(std::string_view pattern, unsigned options = none);
    ~Regex();
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;

    // nullptr (and `error` filled) instead of throwing.
    static std::shared_ptr<Regex> make(std::string_view pattern, unsigned options = none, std::string* error = nullptr);

    const std::string& pattern() const { return pattern_; }

    std::vector<Match> matches(std::string_view text) const;
    std::optional<Match> firstMatch(std::string_view text) const;
    bool isMatch(std::string_view text) const;  // a match anywhere
    std::size_t numberOfMatches(std::string_view text) const;

    // Template replacement: "$0".."$9" and "\\" escapes, like the platform's
    // regular-expression template.
    std::string replaceAll(std::string_view text, std::string_view templ) const;
    // Inserts `literal` as written (no "$" or "\\" expansion), splicing from
    // the last match to the first.
    std::string replaceAllLiteral(std::string_view text, std::string_view literal) const;
    // Splices the result of `replacement` for each match, last to first.
    std::string replace(std::string_view text,
                        const std::function<std::string(const Match&, std::string_view)>& replacement) const;

    // A pattern that matches `literal` exactly.
    static std::string escapedPattern(std::string_view literal);
    // A template that inserts `literal` exactly.
    static std::string escapedTemplate(std::string_view literal);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string pattern_;
};

// White space and newlines as the platform's character set of that name:
// Unicode general category Z*, U+0009-U+000D and U+0085.
bool isWhitespaceOrNewline(char32_t c);
bool isWhitespace(char32_t c);                      // Z* and tab, without the newlines
bool isLetterOrDigit(char32_t c);                   // L* and Nd
bool isOpeningPunctuation(char32_t c);              // Ps and Pi: ( [ { « “ ...
std::string trimmed(std::string_view s);            // whitespace and newlines
std::string trimmedWhitespace(std::string_view s);  // whitespace only

std::string lowercased(std::string_view s);
std::string uppercased(std::string_view s);
// Upper-cases the first character (grapheme's first code point); rest untouched.
std::string uppercasingFirst(std::string_view s);
std::string foldCase(std::string_view s);
bool equalsIgnoringCase(std::string_view a, std::string_view b);
bool containsIgnoringCase(std::string_view haystack, std::string_view needle);
bool hasPrefixIgnoringCase(std::string_view s, std::string_view prefix);

std::size_t graphemeCount(std::string_view s);  // user-perceived characters
// & < > " ' as character references: safe in HTML and in GTK's Pango markup.
std::string escapedMarkup(std::string_view s);
std::size_t utf16Length(std::string_view s);
std::size_t codePointCount(std::string_view s);
// First `n` user-perceived characters.
std::string prefixGraphemes(std::string_view s, std::size_t n);

// Words split on white space and newlines, empty pieces dropped.
std::vector<std::string> splitWords(std::string_view s);
std::vector<std::string> splitLines(std::string_view s);  // on \n, keeps empty lines

bool isValidUTF8(std::string_view s);
// Replaces invalid sequences with U+FFFD.
std::string sanitizeUTF8(std::string_view s);

std::u32string toUTF32(std::string_view s);
std::string fromUTF32(std::u32string_view s);

bool hasPrefix(std::string_view s, std::string_view prefix);
bool hasSuffix(std::string_view s, std::string_view suffix);
std::string join(const std::vector<std::string>& parts, std::string_view separator);

// The default printed form of a number as the self-tests and reports show it:
// whole numbers in decimal with ".0" for doubles, others in shortest form.
std::string formatDouble(double value);
// The same for single precision: the shortest text that reads back as the
// same float (0.05f gives "0.05", 1.0f gives "1.0").
std::string formatFloat(float value);

}  // namespace platform::text

#pragma once
// The few text operations the helper needs. It shares no code with the main
// program, so white space and UTF-8 handling live here in their own right.
#include <string>
#include <string_view>

namespace mirvane::text {

// Unicode white space and line breaks: general category Z*, U+0009-U+000D
// and U+0085.
bool isWhitespaceOrNewline(char32_t c);
// Trims that set from both ends. Invalid UTF-8 at an end is kept.
std::string trimmed(std::string_view s);

bool isValidUTF8(std::string_view s);
// Every invalid sequence becomes U+FFFD, so the result always serialises.
std::string sanitizeUTF8(std::string_view s);

// The text as it may be shown on a terminal: every control character but
// newline and tab, C1 controls included, and every byte that is not UTF-8
// becomes U+FFFD, so an escape sequence in a model's answer or a server's
// error text is shown, never obeyed.
std::string terminalSafe(std::string_view s);
// terminalSafe(s) when `fd` is a terminal, else `s` as it is.
std::string shownOn(int fd, std::string_view s);

// Drops one pair of matching double quotes or apostrophes that wraps the
// whole text (at least two characters); the inner text is not trimmed again.
std::string strippingSurroundingQuotes(const std::string& s);

}  // namespace mirvane::text

#include "Text/StoreInput.h"

#include "Platform/Unicode.h"

namespace text = platform::text;

namespace StoreInput {

namespace {

// Why `value` is no `what`, or none. Line breaks and tabs only where
// `multiline` (which may also be blank: an expansion that removes its
// trigger); every other control character (NUL first of all) never.
std::optional<std::string> problem(std::string_view value, const std::string& what, std::size_t maxCharacters,
                                   bool multiline) {
    if (!multiline && text::trimmed(value).empty()) return "invalid " + what + " (empty or whitespace-only)";
    // Bytes first: a megabyte-long value is refused without being segmented.
    if (value.size() > maxCharacters * 4 || text::graphemeCount(value) > maxCharacters)
        return "invalid " + what + " (longer than " + std::to_string(maxCharacters) + " characters)";
    if (!text::isValidUTF8(value)) return "invalid " + what + " (not valid UTF-8 text)";
    for (std::size_t i = 0; i < value.size(); ++i) {
        const auto c = static_cast<unsigned char>(value[i]);
        const bool allowed = multiline && (c == '\n' || c == '\t' || c == '\r');
        if ((c < 0x20 || c == 0x7f) && !allowed) return "invalid " + what + " (contains a control character)";
        if (i + 1 < value.size()) {
            const auto next = static_cast<unsigned char>(value[i + 1]);
            // U+0080 to U+009F (NEL and CSI among them): controls as much as the
            // ASCII ones, and a terminal obeys some of them.
            if (c == 0xC2 && next >= 0x80 && next <= 0x9F) return "invalid " + what + " (contains a control character)";
            // U+2028 and U+2029 break a line as surely as a line feed.
            if (!multiline && c == 0xE2 && next == 0x80 && i + 2 < value.size() &&
                (static_cast<unsigned char>(value[i + 2]) == 0xA8 || static_cast<unsigned char>(value[i + 2]) == 0xA9))
                return "invalid " + what + " (contains a control character)";
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> validateTerm(std::string_view heard, std::string_view written) {
    if (auto why = problem(heard, "dictionary term", maxSpokenCharacters, false)) return why;
    // A blank written form would only delete what was heard; the hub never offered it.
    if (text::trimmed(written).empty()) return std::string("invalid written form (empty or whitespace-only)");
    return problem(written, "written form", maxWrittenCharacters, true);
}

std::optional<std::string> validateSnippet(std::string_view trigger, std::string_view expansion) {
    if (auto why = problem(trigger, "snippet trigger", maxSpokenCharacters, false)) return why;
    return problem(expansion, "snippet expansion", maxExpansionCharacters, true);
}

}  // namespace StoreInput

#include "Diagnostics/HomeRedaction.h"

namespace Diagnostics {

namespace {

// Characters that continue a user or file name. Bytes of multi-byte UTF-8
// sequences count, so a non-ASCII name is never cut in two.
bool isNameChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-' || c == '$';
}

bool endsComponent(std::string_view text, std::size_t at) { return at >= text.size() || !isNameChar(text[at]); }

}  // namespace

std::string redactHomePaths(std::string_view text, std::string_view home) {
    if (home.size() > 1 && home.back() == '/') home.remove_suffix(1);
    if (home == "/" || (!home.empty() && home.front() != '/')) home = {};
    constexpr std::string_view homeRoot = "/home/";

    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const bool startsPath = text[i] == '/' && (i == 0 || !isNameChar(text[i - 1]));
        if (startsPath && !home.empty() && text.substr(i, home.size()) == home && endsComponent(text, i + home.size())) {
            out += '~';
            i += home.size();
            continue;
        }
        if (startsPath && text.substr(i, homeRoot.size()) == homeRoot) {
            std::size_t end = i + homeRoot.size();
            while (end < text.size() && isNameChar(text[end])) ++end;
            if (end > i + homeRoot.size()) {
                out += otherHomePlaceholder;
                i = end;
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

}  // namespace Diagnostics

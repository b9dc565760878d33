#pragma once
// Taking home folders out of text that leaves the machine (the support
// bundle). A home path is matched only as whole path components, so the home
// "/home/al" is never found inside "/home/alice/…".
#include <string>
#include <string_view>

namespace Diagnostics {

inline constexpr const char* otherHomePlaceholder = "/home/<user>";

// `home` (one trailing "/" ignored; nothing when it is empty or "/") becomes
// "~" wherever it stands as a whole path: not preceded by a file-name
// character and followed by "/", the end, or anything that can't continue a
// file name. Any other "/home/<name>" becomes otherHomePlaceholder.
std::string redactHomePaths(std::string_view text, std::string_view home);

}  // namespace Diagnostics

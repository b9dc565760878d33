#pragma once
#include <string>

namespace platform {
// A random (version 4) UUID in the upper-case 36-character form.
std::string newUUID();
// True when `text` is a UUID in canonical form (either case).
bool isUUID(const std::string& text);
}  // namespace platform

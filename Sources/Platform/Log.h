#pragma once
#include <string>
namespace platform {
// One line to standard output, e.g. log("HotkeyManager", "Auto-healed ...")
// prints "[HotkeyManager] Auto-healed ...".
void log(const std::string& component, const std::string& message);
}  // namespace platform

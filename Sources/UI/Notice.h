#pragma once
// A message that informs and asks nothing: it does not block the main loop,
// stays above the windows it follows, and its texts (a path, a command) can
// be selected and copied. Main thread.
#include <string>

namespace Notice {
void show(const std::string& message, const std::string& informativeText);
}

// TEMPORARY: a weak stand-in for platform::frontmostApplication() so this
// branch links before the real one (FrontmostApp.cpp) lands. The real
// definition is strong and replaces this one at link time; delete this file
// once it is on main.
#include "Platform/FrontmostApp.h"

namespace platform {

__attribute__((weak)) std::optional<FrontmostApplication> frontmostApplication() { return std::nullopt; }

}  // namespace platform

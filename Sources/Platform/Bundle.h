#pragma once
// Where the running program's resources are. In the build tree the executables
// sit in Ondira.bundle/ with Resources/ beside them; an installed program lives
// in <prefix>/bin with its resources in <prefix>/share/ondira and its helper in
// <prefix>/lib/ondira.
#include <filesystem>
#include <optional>

namespace platform::Bundle {

// The bundle directory: Ondira.bundle in the build tree, the prefix when installed.
std::filesystem::path bundleURL();
// The resource directory, when one exists.
std::optional<std::filesystem::path> resourceURL();
// Where helper executables live (mirvane).
std::filesystem::path helperDirectory();
// The running executable's path.
std::filesystem::path executablePath();

// Tests point the bundle at a directory of their own.
void overrideBundleDirectory(const std::optional<std::filesystem::path>& bundleDir);

}  // namespace platform::Bundle

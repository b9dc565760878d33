#pragma once
// Reading another store's JSON-lines file for a report: only a regular file,
// and only its newest `maxBytes` when it has grown past that, so a huge or
// hostile file can't exhaust memory.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace Diagnostics {

inline constexpr std::uint64_t defaultMaxLogBytes = 16ULL * 1024 * 1024;

// The file's lines without their line feeds, in file order (a last line
// without one included). No lines for no path, a missing or unreadable file,
// or anything but a regular file. When only the tail is read, the line it
// starts inside is dropped.
std::vector<std::string> readLogLines(const std::optional<std::filesystem::path>& path,
                                      std::uint64_t maxBytes = defaultMaxLogBytes);

}  // namespace Diagnostics

#pragma once
// File helpers shared by every store.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Writes `bytes` to a temporary file beside `path`, syncs it, renames it over
// `path` and then sets `mode`. On failure the old file is untouched and the
// temporary file is removed. Returns false with `error` filled on failure.
bool atomicWrite(const std::filesystem::path& path, std::string_view bytes,
                 unsigned mode = 0600, std::string* error = nullptr);

// Writes `bytes` over `path` in place (truncate and write), keeping the
// file's permissions; creates it with 0644 when absent.
bool writeInPlace(const std::filesystem::path& path, std::string_view bytes,
                  std::string* error = nullptr);

std::optional<std::string> readFile(const std::filesystem::path& path);

// write(2) until every byte is written, retrying on EINTR.
bool writeAll(int fd, std::string_view bytes);

bool isDirectory(const std::filesystem::path& path);
bool fileExists(const std::filesystem::path& path);

// The per-user private temporary directory ($XDG_RUNTIME_DIR/ondira-tmp when
// it exists, else $TMPDIR or /tmp), created with mode 0700.
std::filesystem::path temporaryDirectory();

// The user's real home ($HOME, else the password database).
std::filesystem::path userHome();

// Reads an environment variable; `present` tells an empty value from absence.
std::optional<std::string> environment(const char* name);

}  // namespace platform

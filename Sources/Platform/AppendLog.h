#pragma once
// Appending one record line to a JSON-lines file that its store alone writes.
#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

// Opens `path` for appending, read and write (created with mode 0600). A
// symlink, FIFO or anything else that is not a regular file is refused (-1),
// never followed or waited on; the mode is set back to 0600.
int openForAppend(const std::filesystem::path& path);

// Opens `path` for appending (created with mode 0600; a symlink or any file
// that is not regular is refused), sets the mode back to 0600 (a file widened
// by hand heals on the next write), closes off a torn last line with a "\n",
// writes `line` (which ends in "\n") fully and syncs it. The repair and the
// line go out in one write under the store's StoreLock, so appenders and
// rewriters in this and other processes never interleave or lose a line.
// False when the file could not be opened or the write failed, with `error`
// (when given) naming the file and the reason.
bool appendRecordLine(const std::filesystem::path& path, std::string_view line, std::string* error = nullptr);

// True when the descriptor's file is non-empty and its last byte is not "\n".
// Async-signal-safe (fstat and pread only).
bool endsWithTornLine(int fd);

}  // namespace platform

#pragma once
// File helpers shared by every store.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Writes `bytes` to a temporary file beside `path`, syncs it, renames it over
// `path` and then sets `mode`. On failure the old file is untouched and the
// temporary file is removed. Returns false with `error` filled on failure.
bool atomicWrite(const std::filesystem::path& path, std::string_view bytes, unsigned mode = 0600,
                 std::string* error = nullptr);

// Writes `bytes` over `path` in place (truncate and write), keeping the
// file's permissions; creates it with 0600 when absent.
bool writeInPlace(const std::filesystem::path& path, std::string_view bytes, std::string* error = nullptr);

// No store, log or settings file comes near this size; anything larger at a
// data path is not ours, and reading it whole would exhaust memory.
inline constexpr std::uint64_t maxStoreFileBytes = 64ull << 20;

// One bounded read of a regular file.
struct FileRead {
    enum class Outcome {
        ok,
        missing,  // nothing at the path
        refused,  // not a regular file (FIFO, device, directory) or over the size cap
        failed,   // could not be opened or read
    };
    Outcome outcome = Outcome::failed;
    std::string bytes;  // for ok
    std::string error;  // for the others: a sentence naming the file
    bool ok() const { return outcome == Outcome::ok; }
};

// Reads `path` only when it is a regular file (a symlink is followed to its
// target) of at most `maxBytes`. The open never blocks: a FIFO or device
// planted at a data path is refused, not waited on or read without end.
FileRead readRegularFile(const std::filesystem::path& path, std::uint64_t maxBytes = maxStoreFileBytes);

// Opens `path` read-only when it is a regular file; -1 otherwise, with
// `error` filled (errno stays ENOENT for a missing file).
int openRegularFile(const std::filesystem::path& path, std::string* error = nullptr);

// readRegularFile's bytes, or none; a refusal is logged with its reason.
std::optional<std::string> readFile(const std::filesystem::path& path);

// An exclusive lock, shared by every process, on "<store>.lock" beside a
// store file. Whoever changes the store takes it across the read, the change
// and the rename of the new content, and every appender takes it around its
// append, so no change is built on a stale read and none is lost.
class StoreLock {
public:
    explicit StoreLock(const std::filesystem::path& store);
    ~StoreLock();
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    bool held() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }
    static std::filesystem::path lockFileFor(const std::filesystem::path& store);

private:
    int fd_ = -1;
    std::string error_;
};

// A read-modify-write of one store under its StoreLock: `change` sees the
// current content (status missing for a first write) and returns the new
// content, or none to leave the file as it is. The new content replaces the
// file through atomicWrite with `mode`, after the abandoned temporary files
// of the file's folder are swept (see sweepAbandonedTemporaryFiles). True when the change was written or
// declined; false (with `error`) when the lock, the read or the write failed.
// A file that could not be read is passed to `change` too, which decides
// whether it may be replaced; a store never replaces one it could not load.
bool updateFile(const std::filesystem::path& path, const std::function<std::optional<std::string>(const FileRead&)>& change,
                unsigned mode = 0600, std::string* error = nullptr);
// The same for a caller that already holds the StoreLock covering `path`
// (one lock may guard several files that change together).
bool updateFileHoldingLock(const std::filesystem::path& path,
                           const std::function<std::optional<std::string>(const FileRead&)>& change,
                           unsigned mode = 0600, std::string* error = nullptr);

// write(2) until every byte is written, retrying on EINTR.
bool writeAll(int fd, std::string_view bytes);

// Creates `dir` (and any missing parents) and leaves `dir` itself at mode
// 0700 whatever the umask; one made wider before is narrowed. A symlink or a
// directory of another user at the path is left as it is. True when `dir` is
// a directory afterwards.
bool makePrivateDirectory(const std::filesystem::path& dir);

// From this call on, every file and folder the process creates without
// naming a mode, and every helper process it starts, is private: the umask
// becomes 077. Libraries that keep files of their own in our folders (the
// web engine's storage, made by its own processes) can be told no other
// way. Programs of the user's that we start get the starting umask back
// (Launch.h).
void keepNewFilesPrivate();
// The umask the process had before keepNewFilesPrivate (its current one
// when that was never called).
unsigned startingUmask();

// Removes the temporary files atomicWrite leaves in `dir` when its process
// is killed between the write and the rename ("<name>.tmp-<pid>-<hex>"),
// those of processes that no longer run. Returns how many were removed.
std::size_t sweepAbandonedTemporaryFiles(const std::filesystem::path& dir);

bool isDirectory(const std::filesystem::path& path);
bool fileExists(const std::filesystem::path& path);

// The per-user private temporary directory ($XDG_RUNTIME_DIR/ondira-tmp when
// it exists, else ondira-<uid> in $TMPDIR or /tmp), created with mode 0700.
// One that is a symlink, another user's, or open to others is not used: the
// process makes a fresh private one beside it instead (and logs why).
std::filesystem::path temporaryDirectory();

// The user's real home ($HOME, else the password database).
std::filesystem::path userHome();

// Reads an environment variable; `present` tells an empty value from absence.
std::optional<std::string> environment(const char* name);

}  // namespace platform

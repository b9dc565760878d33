#pragma once
// Store files that do not load. Such a file may still hold the user's records,
// so it is never written over and never deleted: it is moved aside under a
// dated name, the user is told once where it went, and the store goes on with
// every record that could still be read from it.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "Platform/FileIO.h"

namespace platform {

// What removing one record by name came to.
enum class StoreRemoval { removed, notFound, failed };

// How one store reads its file.
struct StoreFormat {
    // True when `bytes` load as the store's file as they stand.
    std::function<bool(std::string_view bytes)> loads;
    // The content of a file that loads and holds every record of `bytes`
    // (which did not load) that can still be read.
    std::function<std::string(std::string_view bytes)> salvage;
};

// The top-level elements of a JSON array (or the members of a JSON object)
// in `bytes` that parse on their own, in order, up to where the text breaks
// off: a truncated or partly garbled file keeps what came before the damage.
// An empty array (object) when the text does not open one.
nlohmann::json salvageJSON(std::string_view bytes, bool object = false);

// True for text that is empty or only white space.
bool isBlank(std::string_view bytes);

// Renames `path` to "<name>.damaged-YYYYMMDD-HHMMSS" (local time) beside it,
// adding "-2", "-3", ... rather than replacing a file of that name. The
// moved-aside path, or none with `error` filled.
std::optional<std::filesystem::path> moveAside(const std::filesystem::path& path, std::string* error = nullptr);

// For a store's own file that did not load: moves it aside and tells the
// user where it went. Only a regular file (not a symlink, FIFO or device
// planted at the path, which stays where it is) is the store's own. None,
// with `error` saying why, when nothing was moved.
std::optional<std::filesystem::path> setFileAside(const std::filesystem::path& path, std::string* error = nullptr);

// Writes `bytes` to a new file under the dated name moveAside would give
// `path` (which need not exist): for a damaged part of a file that stays,
// such as one stored value of the settings. The new path, or none.
std::optional<std::filesystem::path> keepAside(const std::filesystem::path& path, std::string_view bytes,
                                               std::string* error = nullptr);

// What the user is told about one file moved aside.
struct SetAsideNotice {
    std::filesystem::path original;
    std::filesystem::path aside;
    std::string message() const;  // "<name> could not be read; it was moved aside to <aside>"
};

// Hands the notice to the listener when one is set (on the thread that moved
// the file), else logs it and keeps it for takeSetAsideNotices.
void announceSetAside(const SetAsideNotice& notice);
// The notices kept and not taken yet, oldest first; each is handed out once.
std::vector<SetAsideNotice> takeSetAsideNotices();
// One listener per process, the part that tells the user (the application's
// indicator, the command line's error output); an empty function removes it.
void setSetAsideListener(std::function<void(const SetAsideNotice&)> listener);

// With the store's StoreLock held by the caller: when `current` (just read)
// is a regular file (not a symlink) that does not load or is over the size
// cap, the file is moved aside and announced, what could be salvaged from it is
// written in its place, and `current` becomes that salvage. The moved-aside
// path, or none when nothing was moved. When the file cannot be moved,
// `current` becomes a failure naming the file, so the store writes nothing;
// so does anything else at the path (a symlink, a FIFO, a device), which is
// left where it is.
std::optional<std::filesystem::path> setAsideIfDamaged(const std::filesystem::path& path, const StoreFormat& format,
                                                       FileRead& current, unsigned mode = 0600);

// True when `read` is a file the store could not load as it stands.
bool isDamaged(const FileRead& read, const StoreFormat& format);

// A store's read of its file for loading: ok with bytes that load, missing,
// or failed/refused when the file could not be read and stayed where it is.
struct StoreRead {
    FileRead file;
    std::optional<std::filesystem::path> setAside;  // where this read moved a damaged file
};
StoreRead readStore(const std::filesystem::path& path, const StoreFormat& format, unsigned mode = 0600);
// The same for a caller that holds the store's StoreLock already.
StoreRead readStoreHoldingLock(const std::filesystem::path& path, const StoreFormat& format, unsigned mode = 0600);

// updateFile for a store: a damaged file is moved aside first (as above) and
// `change` sees the salvage. `setAside`, when given, receives where it went.
bool updateStore(const std::filesystem::path& path, const StoreFormat& format,
                 const std::function<std::optional<std::string>(const FileRead&)>& change, unsigned mode = 0600,
                 std::string* error = nullptr, std::optional<std::filesystem::path>* setAside = nullptr);

}  // namespace platform

#include "Platform/StoreRecovery.h"

#include "Platform/Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace platform {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The end of the JSON value starting at `from`: the first ',' or closing
// bracket outside strings and nested values, or the end of the text.
std::size_t valueEnd(std::string_view s, std::size_t from) {
    int depth = 0;
    bool inString = false;
    for (std::size_t i = from; i < s.size(); ++i) {
        const char c = s[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
            continue;
        }
        if (c == '"') inString = true;
        else if (c == '[' || c == '{') ++depth;
        else if (c == ']' || c == '}') {
            if (depth == 0) return i;
            --depth;
        } else if (c == ',' && depth == 0) {
            return i;
        }
    }
    return s.size();
}

std::mutex gNoticesLock;
std::vector<SetAsideNotice>& pendingNotices() {
    static auto* notices = new std::vector<SetAsideNotice>();
    return *notices;
}
std::function<void(const SetAsideNotice&)>& listenerSlot() {
    static auto* listener = new std::function<void(const SetAsideNotice&)>();
    return *listener;
}

}  // namespace

bool isBlank(std::string_view bytes) {
    for (char c : bytes)
        if (!isSpace(c)) return false;
    return true;
}

json salvageJSON(std::string_view s, bool object) {
    json out = object ? json::object() : json::array();
    std::size_t i = 0;
    if (s.substr(0, 3) == "\xEF\xBB\xBF") i = 3;
    while (i < s.size() && isSpace(s[i])) ++i;
    if (i >= s.size() || s[i] != (object ? '{' : '[')) return out;
    ++i;
    while (i < s.size()) {
        const std::size_t end = valueEnd(s, i);
        const std::string_view piece = s.substr(i, end - i);
        if (!isBlank(piece)) {
            if (object) {
                json member = json::parse("{" + std::string(piece) + "}", nullptr, false);
                if (!member.is_discarded() && member.is_object()) out.update(member);
            } else {
                json element = json::parse(piece, nullptr, false);
                if (!element.is_discarded()) out.push_back(std::move(element));
            }
        }
        if (end >= s.size() || s[end] != ',') break;
        i = end + 1;
    }
    return out;
}

namespace {

// Tries "<name>.damaged-YYYYMMDD-HHMMSS", then "-2", "-3", ... beside `path`
// until `place` succeeds or fails for a reason other than the name being taken.
std::optional<fs::path> atDatedName(const fs::path& path, const std::function<bool(const fs::path&)>& place,
                                    const std::string& what, std::string* error) {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    const std::string base = path.filename().string() + ".damaged-" + stamp;
    for (int n = 1; n < 1000; ++n) {
        const fs::path aside = path.parent_path() / (n == 1 ? base : base + "-" + std::to_string(n));
        if (place(aside)) return aside;
        if (errno == EEXIST) continue;
        if (error) *error = "cannot " + what + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (error) *error = "cannot " + what + ": too many copies kept aside";
    return std::nullopt;
}

}  // namespace

std::optional<fs::path> moveAside(const fs::path& path, std::string* error) {
    return atDatedName(
        path,
        [&](const fs::path& aside) {
            // RENAME_NOREPLACE: another file of that name is never replaced.
            if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) return true;
            if (errno != EINVAL && errno != ENOSYS) return false;
            // A file system without the flag: a hard link fails on an existing name just the same.
            if (::link(path.c_str(), aside.c_str()) != 0) return false;
            if (::unlink(path.c_str()) == 0) return true;
            const int saved = errno;
            ::unlink(aside.c_str());
            errno = saved;
            return false;
        },
        "move " + path.string() + " aside", error);
}

namespace {
bool isOwnRegularFile(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}
}  // namespace

std::optional<fs::path> setFileAside(const fs::path& path, std::string* error) {
    if (!isOwnRegularFile(path)) {
        if (error) *error = "it is not a regular file";
        return std::nullopt;
    }
    std::string why;
    const auto aside = moveAside(path, &why);
    if (!aside) {
        if (error) *error = "it did not load, and " + why;
        return std::nullopt;
    }
    announceSetAside({path, *aside});
    return aside;
}

std::optional<fs::path> keepAside(const fs::path& path, std::string_view bytes, std::string* error) {
    return atDatedName(
        path,
        [&](const fs::path& aside) {
            const int fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd < 0) return false;
            const bool written = writeAll(fd, bytes) && ::fsync(fd) == 0;
            const int saved = errno;
            ::close(fd);
            if (written) return true;
            ::unlink(aside.c_str());
            errno = saved == EEXIST ? EIO : saved;
            return false;
        },
        "keep a copy of " + path.filename().string(), error);
}

std::string SetAsideNotice::message() const {
    return original.filename().string() + " could not be read; it was moved aside to " + aside.string();
}

void announceSetAside(const SetAsideNotice& notice) {
    std::function<void(const SetAsideNotice&)> listener;
    {
        std::lock_guard<std::mutex> guard(gNoticesLock);
        listener = listenerSlot();
        if (!listener) pendingNotices().push_back(notice);
    }
    if (listener) return listener(notice);
    log("Stores", notice.message() + "; the records that could be read are kept");
}

std::vector<SetAsideNotice> takeSetAsideNotices() {
    std::lock_guard<std::mutex> guard(gNoticesLock);
    std::vector<SetAsideNotice> taken;
    taken.swap(pendingNotices());
    return taken;
}

void setSetAsideListener(std::function<void(const SetAsideNotice&)> listener) {
    std::lock_guard<std::mutex> guard(gNoticesLock);
    listenerSlot() = std::move(listener);
}

bool isDamaged(const FileRead& read, const StoreFormat& format) {
    return read.outcome == FileRead::Outcome::refused || (read.ok() && !format.loads(read.bytes));
}

std::optional<fs::path> setAsideIfDamaged(const fs::path& path, const StoreFormat& format, FileRead& current,
                                          unsigned mode) {
    if (!isDamaged(current, format)) return std::nullopt;
    // Only a store's own file goes aside. A symlink, FIFO or device planted
    // at the path is someone else's: it stays where it is, untouched, and
    // the store refuses it.
    if (!isOwnRegularFile(path)) {
        if (current.ok()) {
            current.outcome = FileRead::Outcome::refused;
            current.bytes.clear();
            current.error = path.string() + " is not a regular file";
        }
        log("Stores", "Not using " + current.error);
        return std::nullopt;
    }
    const std::string salvaged = current.ok() ? format.salvage(current.bytes) : format.salvage("");
    std::string error;
    const auto aside = setFileAside(path, &error);
    if (!aside) {
        log("Stores", "Not using " + path.string() + ": " + error);
        current.outcome = FileRead::Outcome::failed;
        current.bytes.clear();
        current.error = path.string() + ": " + error;
        return std::nullopt;
    }
    // The salvage takes the file's place at once, so the records that read
    // stay in the store even when nothing else is written to it now.
    if (!writeStoreFile(path, salvaged, mode, &error)) log("Stores", "Could not write " + path.string() + ": " + error);
    current.outcome = FileRead::Outcome::ok;
    current.bytes = salvaged;
    current.error.clear();
    return aside;
}

StoreRead readStore(const fs::path& path, const StoreFormat& format, unsigned mode) {
    StoreRead result;
    result.file = readRegularFile(path);
    if (!isDamaged(result.file, format)) return result;
    // Judged again under the lock: another process may have replaced the
    // file meanwhile, or moved it aside already.
    StoreLock lock(path);
    if (!lock.held()) {
        result.file.outcome = FileRead::Outcome::failed;
        result.file.bytes.clear();
        result.file.error = lock.error();
        return result;
    }
    result.file = readRegularFile(path);
    result.setAside = setAsideIfDamaged(path, format, result.file, mode);
    return result;
}

StoreRead readStoreHoldingLock(const fs::path& path, const StoreFormat& format, unsigned mode) {
    StoreRead result;
    result.file = readRegularFile(path);
    result.setAside = setAsideIfDamaged(path, format, result.file, mode);
    return result;
}

bool updateStore(const fs::path& path, const StoreFormat& format,
                 const std::function<std::optional<std::string>(const FileRead&)>& change, unsigned mode,
                 std::string* error, std::optional<fs::path>* setAside) {
    return updateFile(
        path,
        [&](const FileRead& read) -> std::optional<std::string> {
            FileRead current = read;
            auto aside = setAsideIfDamaged(path, format, current, mode);
            if (setAside) *setAside = aside;
            return change(current);
        },
        mode, error);
}

}  // namespace platform

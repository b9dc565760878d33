#include "Platform/FileIO.h"

#include "Platform/Log.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

namespace platform {

bool writeAll(int fd, std::string_view bytes) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

namespace {
std::string tempSuffix() {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    std::ostringstream s;
    s << std::hex << rng();
    return s.str();
}
void setError(std::string* error, const std::string& what) {
    if (error) *error = what + ": " + std::strerror(errno);
}
}  // namespace

namespace {
constexpr const char* temporaryMarker = ".tmp-";
}  // namespace

bool atomicWrite(const fs::path& path, std::string_view bytes, unsigned mode, std::string* error) {
    fs::path tmp = path;
    tmp += temporaryMarker + std::to_string(::getpid()) + "-" + tempSuffix();
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        setError(error, "cannot create " + tmp.string());
        return false;
    }
    bool ok = writeAll(fd, bytes);
    if (!ok) setError(error, "cannot write " + tmp.string());
    if (ok && ::fsync(fd) != 0) {
        setError(error, "cannot sync " + tmp.string());
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        setError(error, "cannot close " + tmp.string());
        ok = false;
    }
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
        setError(error, "cannot replace " + path.string());
        ok = false;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        return false;
    }
    ::chmod(path.c_str(), static_cast<mode_t>(mode));
    // Make the rename itself durable.
    int dfd = ::open(path.parent_path().empty() ? "." : path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool writeInPlace(const fs::path& path, std::string_view bytes, std::string* error) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        setError(error, "cannot open " + path.string());
        return false;
    }
    bool ok = writeAll(fd, bytes);
    if (!ok) setError(error, "cannot write " + path.string());
    ::close(fd);
    return ok;
}

int openRegularFile(const fs::path& path, std::string* error) {
    // O_NONBLOCK: opening a FIFO without a writer would otherwise wait for good.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        setError(error, "cannot open " + path.string());
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        setError(error, "cannot examine " + path.string());
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        if (error) *error = path.string() + " is not a regular file";
        errno = EINVAL;
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

FileRead readRegularFile(const fs::path& path, std::uint64_t maxBytes) {
    FileRead result;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) {
        result.outcome = FileRead::Outcome::missing;
        result.error = path.string() + " does not exist";
        return result;
    }
    int fd = openRegularFile(path, &result.error);
    if (fd < 0) {
        result.outcome = errno == ENOENT   ? FileRead::Outcome::missing
                         : errno == EINVAL ? FileRead::Outcome::refused
                                           : FileRead::Outcome::failed;
        return result;
    }
    const std::string tooLarge = path.string() + " is larger than " + std::to_string(maxBytes >> 20) + " MiB";
    if (::fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) > maxBytes) {
        ::close(fd);
        result.outcome = FileRead::Outcome::refused;
        result.error = tooLarge;
        return result;
    }
    std::string data;
    data.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            setError(&result.error, "cannot read " + path.string());
            ::close(fd);
            return result;
        }
        if (n == 0) break;
        // The file may grow while it is read; the cap holds all the same.
        if (data.size() + static_cast<std::size_t>(n) > maxBytes) {
            ::close(fd);
            result.outcome = FileRead::Outcome::refused;
            result.error = tooLarge;
            return result;
        }
        data.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    result.outcome = FileRead::Outcome::ok;
    result.bytes = std::move(data);
    return result;
}

std::optional<std::string> readFile(const fs::path& path) {
    FileRead read = readRegularFile(path);
    if (read.ok()) return std::move(read.bytes);
    if (read.outcome == FileRead::Outcome::refused) log("Files", "Not reading " + read.error);
    return std::nullopt;
}

fs::path StoreLock::lockFileFor(const fs::path& store) {
    return store.parent_path() / (store.filename().string() + ".lock");
}

StoreLock::StoreLock(const fs::path& store) {
    const fs::path file = lockFileFor(store);
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0 && errno == ENOENT) {
        // Stores live in the program's own folders, which are private.
        makePrivateDirectory(file.parent_path());
        fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    }
    if (fd < 0) {
        setError(&error_, "cannot open the lock " + file.string());
        return;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error_ = file.string() + " is not a regular file";
        ::close(fd);
        return;
    }
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        setError(&error_, "cannot lock " + file.string());
        ::close(fd);
        return;
    }
    fd_ = fd;
}

StoreLock::~StoreLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

bool updateFile(const fs::path& path, const std::function<std::optional<std::string>(const FileRead&)>& change,
                unsigned mode, std::string* error) {
    StoreLock lock(path);
    if (!lock.held()) {
        if (error) *error = lock.error();
        return false;
    }
    return updateFileHoldingLock(path, change, mode, error);
}

bool updateFileHoldingLock(const fs::path& path, const std::function<std::optional<std::string>(const FileRead&)>& change,
                           unsigned mode, std::string* error) {
    const FileRead current = readRegularFile(path);
    std::optional<std::string> next = change(current);
    if (!next) return true;
    // Whoever writes a store clears what writers of its folder killed between
    // their write and their rename left behind, not only the application at
    // its launch: a command line killed mid-write would otherwise leave its
    // copy there for as long as the application does not start.
    sweepAbandonedTemporaryFiles(path.parent_path());
    return atomicWrite(path, *next, mode, error);
}

bool isDirectory(const fs::path& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

bool fileExists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

std::optional<std::string> environment(const char* name) {
    const char* v = std::getenv(name);
    if (!v) return std::nullopt;
    return std::string(v);
}

fs::path userHome() {
    if (auto h = environment("HOME"); h && !h->empty()) return fs::path(*h);
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return fs::path(pw->pw_dir);
    return fs::path("/tmp");
}

namespace {

// Why `dir` is no place for our recordings, or none when it is: it must be a
// directory itself (not a symlink to one), ours, and closed to everyone else.
// Under a shared /tmp anybody may have made the predictable name first.
std::optional<std::string> notPrivateBecause(const fs::path& dir) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) return dir.string() + " cannot be examined: " + std::strerror(errno);
    if (S_ISLNK(st.st_mode)) return dir.string() + " is a symbolic link";
    if (!S_ISDIR(st.st_mode)) return dir.string() + " is not a directory";
    if (st.st_uid != ::geteuid()) return dir.string() + " belongs to user " + std::to_string(st.st_uid);
    if (st.st_mode & 077) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return dir.string() + " is open to other users (mode " + mode + ")";
    }
    return std::nullopt;
}

}  // namespace

bool makePrivateDirectory(const fs::path& dir) {
    std::error_code ec;
    if (dir.has_parent_path()) fs::create_directories(dir.parent_path(), ec);
    ::mkdir(dir.c_str(), 0700);
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    // The umask may have taken bits from 0700, and an older folder may be wider.
    if (st.st_uid == ::geteuid() && (st.st_mode & 07777) != 0700) ::chmod(dir.c_str(), 0700);
    return true;
}

namespace {
// -1 until keepNewFilesPrivate runs.
std::atomic<int> gStartingUmask{-1};
}  // namespace

void keepNewFilesPrivate() {
    const mode_t before = ::umask(077);
    int expected = -1;
    gStartingUmask.compare_exchange_strong(expected, static_cast<int>(before));
}

unsigned startingUmask() {
    if (const int kept = gStartingUmask.load(); kept >= 0) return static_cast<unsigned>(kept);
    // Read by setting: the narrowest mask meanwhile, never a wider one.
    const mode_t now = ::umask(077);
    ::umask(now);
    return now;
}

std::size_t sweepAbandonedTemporaryFiles(const fs::path& dir) {
    std::size_t removed = 0;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const std::size_t marker = name.rfind(temporaryMarker);
        if (marker == std::string::npos || marker == 0) continue;
        const std::string rest = name.substr(marker + std::strlen(temporaryMarker));
        const std::size_t dash = rest.find('-');
        if (dash == std::string::npos || dash == 0 || dash + 1 == rest.size()) continue;
        if (rest.find_first_not_of("0123456789") != dash) continue;
        if (rest.find_first_not_of("0123456789abcdef", dash + 1) != std::string::npos) continue;
        pid_t pid = 0;
        try {
            pid = static_cast<pid_t>(std::stol(rest.substr(0, dash)));
        } catch (const std::exception&) {
            continue;
        }
        // A writer still running (this one, or another process) renames its file soon.
        if (pid == ::getpid() || ::kill(pid, 0) == 0 || errno == EPERM) continue;
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (::unlink(it->path().c_str()) == 0) ++removed;
    }
    return removed;
}

fs::path temporaryDirectory() {
    fs::path parent;
    fs::path base;
    if (auto r = environment("XDG_RUNTIME_DIR"); r && !r->empty() && isDirectory(*r)) {
        parent = fs::path(*r);
        base = parent / "ondira-tmp";
    } else {
        parent = "/tmp";
        if (auto e = environment("TMPDIR"); e && !e->empty()) parent = *e;
        base = parent / ("ondira-" + std::to_string(::getuid()));
    }
    std::error_code ec;
    fs::create_directories(parent, ec);
    ::mkdir(base.c_str(), 0700);
    const auto problem = notPrivateBecause(base);
    if (!problem) return base;

    // Someone else's directory (or one anybody can write to) would receive
    // the user's recordings: this process uses a fresh one of its own instead,
    // made under a name nobody can have taken first.
    static std::mutex lock;
    static fs::path fresh;
    std::lock_guard<std::mutex> guard(lock);
    if (fresh.empty() || fresh.parent_path() != parent || notPrivateBecause(fresh)) {
        std::string name = (parent / ("ondira-" + std::to_string(::getuid()) + "-XXXXXX")).string();
        if (::mkdtemp(name.data())) {
            fresh = name;
            log("Files", "Not using " + *problem + "; using " + name + " instead");
        } else {
            // Nowhere private to be had: nothing is written rather than
            // written where others can read it. No one can make a directory
            // under /dev/null, so every write into this one fails.
            log("Files", "Not using " + *problem + ", and no private directory could be made in " + parent.string() + ": " +
                             std::strerror(errno));
            return fs::path("/dev/null") / "ondira-no-private-directory";
        }
    }
    return fresh;
}

}  // namespace platform

#include "Platform/AppendLog.h"

#include "Platform/FileIO.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace platform {

bool endsWithTornLine(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size < 1) return false;
    char last = '\n';
    if (::pread(fd, &last, 1, st.st_size - 1) != 1) return false;
    return last != '\n';
}

int openForAppend(const std::filesystem::path& path) {
    // O_NOFOLLOW and the type check: a symlink or FIFO planted at the path
    // must not get our lines appended to (and its mode changed on) whatever
    // it points at, nor block the append.
    int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    ::fchmod(fd, 0600);
    return fd;
}

namespace {
// Why openForAppend refused `path`, from the errno it left.
std::string whyNotOpened(const std::filesystem::path& path) {
    const int code = errno;
    if (code == ELOOP) return path.string() + " is a symbolic link";
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return path.string() + " is not a regular file";
    return "cannot open " + path.string() + ": " + std::strerror(code);
}
}  // namespace

bool appendRecordLine(const std::filesystem::path& path, std::string_view line, std::string* error) {
    // The store's lock, not one on the file itself: a rewrite (a cap, a
    // deletion) renames a new file into place under the same lock, and an
    // append that waited on the old file would land in the unlinked copy.
    StoreLock lock(path);
    if (!lock.held()) {
        if (error) *error = lock.error();
        return false;
    }
    int fd = openForAppend(path);
    if (fd < 0) {
        if (error) *error = whyNotOpened(path);
        return false;
    }
    // Holding the lock while checking for a torn line keeps one writer from
    // "repairing" a line that is still being written (which would leave a blank line).
    bool ok;
    if (endsWithTornLine(fd)) {
        std::string repaired;
        repaired.reserve(line.size() + 1);
        repaired.push_back('\n');
        repaired.append(line);
        ok = writeAll(fd, repaired);
    } else {
        ok = writeAll(fd, line);
    }
    if (::fsync(fd) != 0) ok = false;
    if (!ok && error) *error = "cannot write " + path.string() + ": " + std::strerror(errno);
    ::close(fd);
    return ok;
}

}  // namespace platform

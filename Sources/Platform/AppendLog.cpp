#include "Platform/AppendLog.h"

#include "Platform/FileIO.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace platform {

bool endsWithTornLine(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size < 1) return false;
    char last = '\n';
    if (::pread(fd, &last, 1, st.st_size - 1) != 1) return false;
    return last != '\n';
}

bool appendRecordLine(const std::filesystem::path& path, std::string_view line) {
    int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ::fchmod(fd, 0600);
    // A reader can see another appender's line half copied in; holding the
    // lock while checking for a torn line keeps one writer from "repairing"
    // a line that is still being written (which would leave a blank line).
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
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
    ::close(fd);
    return ok;
}

}  // namespace platform

#include "FileRead.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace mirvane {

SmallFile readSmallRegularFile(const std::string& path, std::size_t maxBytes) {
    SmallFile file;
    // O_NONBLOCK: opening a FIFO without a writer would otherwise wait for good.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) file.missing = true;
        else file.problem = path + " could not be opened: " + std::strerror(errno);
        return file;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        file.problem = path + " is not a regular file";
        return file;
    }
    if (static_cast<unsigned long long>(st.st_size) > maxBytes) {
        ::close(fd);
        file.problem = path + " is larger than " + std::to_string(maxBytes) + " bytes";
        return file;
    }
    // The size is checked again while reading: the file may grow meanwhile.
    std::string bytes;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            file.problem = path + " could not be read: " + std::strerror(errno);
            ::close(fd);
            return file;
        }
        if (n == 0) break;
        if (bytes.size() + static_cast<std::size_t>(n) > maxBytes) {
            ::close(fd);
            file.problem = path + " is larger than " + std::to_string(maxBytes) + " bytes";
            return file;
        }
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    file.bytes = std::move(bytes);
    return file;
}

}  // namespace mirvane

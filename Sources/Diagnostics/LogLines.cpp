#include "Diagnostics/LogLines.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Diagnostics {

std::vector<std::string> readLogLines(const std::optional<std::filesystem::path>& path, std::uint64_t maxBytes) {
    std::vector<std::string> lines;
    if (!path) return lines;
    const int fd = ::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return lines;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return lines;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    const std::uint64_t start = size > maxBytes ? size - maxBytes : 0;
    std::string content(static_cast<std::size_t>(size - start), '\0');
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::pread(fd, content.data() + done, content.size() - done, static_cast<off_t>(start + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    content.resize(done);

    std::size_t from = 0;
    if (start > 0) {
        const std::size_t firstBreak = content.find('\n');
        from = firstBreak == std::string::npos ? content.size() : firstBreak + 1;
    }
    while (from < content.size()) {
        const std::size_t end = content.find('\n', from);
        if (end == std::string::npos) {
            lines.push_back(content.substr(from));
            break;
        }
        lines.push_back(content.substr(from, end - from));
        from = end + 1;
    }
    return lines;
}

}  // namespace Diagnostics

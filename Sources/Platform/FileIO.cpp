#include "Platform/FileIO.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
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

bool atomicWrite(const fs::path& path, std::string_view bytes, unsigned mode, std::string* error) {
    fs::path tmp = path;
    tmp += ".tmp-" + std::to_string(::getpid()) + "-" + tempSuffix();
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
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        setError(error, "cannot open " + path.string());
        return false;
    }
    bool ok = writeAll(fd, bytes);
    if (!ok) setError(error, "cannot write " + path.string());
    ::close(fd);
    return ok;
}

std::optional<std::string> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return s.str();
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

fs::path temporaryDirectory() {
    fs::path base;
    if (auto r = environment("XDG_RUNTIME_DIR"); r && !r->empty() && isDirectory(*r)) {
        base = fs::path(*r) / "ondira-tmp";
    } else {
        fs::path t = "/tmp";
        if (auto e = environment("TMPDIR"); e && !e->empty()) t = *e;
        base = t / ("ondira-" + std::to_string(::getuid()));
    }
    std::error_code ec;
    fs::create_directories(base, ec);
    ::chmod(base.c_str(), 0700);
    return base;
}

}  // namespace platform

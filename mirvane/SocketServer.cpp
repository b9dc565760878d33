#include "SocketServer.h"

#include "Serve.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace mirvane {

namespace {
std::string homeDirectory() {
    if (const char* h = std::getenv("HOME"); h != nullptr && *h != '\0') return h;
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
    return "/";
}

int fail(const std::string& message) {
    std::fprintf(stderr, "mirvane: %s\n", message.c_str());
    return 1;
}

// Creates every missing directory of `dir`; the last one with mode 0700.
bool makeDirectories(const std::string& dir) {
    for (std::size_t i = 1; i <= dir.size(); ++i) {
        if (i != dir.size() && dir[i] != '/') continue;
        const std::string part = dir.substr(0, i);
        if (::mkdir(part.c_str(), i == dir.size() ? 0700 : 0755) != 0 && errno != EEXIST) return false;
    }
    return true;
}

// The run directory must be a real directory of ours that nobody else can
// write to; otherwise another user could swap the socket under us. Its mode
// is never changed: it may be a directory the user keeps other things in
// (or /tmp itself); one we create is made 0700 from the start.
std::string unsafeDirectoryReason(const std::string& dir) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) return "cannot inspect " + dir + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return dir + " is not a directory";
    if (st.st_uid != ::getuid()) return dir + " belongs to another user";
    if ((st.st_mode & 022) != 0)
        return dir + " is open to other users; give the socket a directory of its own that only you can write to";
    return {};
}

bool someoneListens(const sockaddr_un& addr) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

bool peerIsUs(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == ::getuid();
}

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

std::string defaultSocketPath() {
    std::string base;
    if (const char* x = std::getenv("XDG_DATA_HOME"); x != nullptr && x[0] == '/') base = x;
    else base = homeDirectory() + "/.local/share";
    return base + "/Ondira/run/mirvane.sock";
}

int runSocketServer(const std::string& path, double idleSeconds) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) return fail("socket path is empty or too long: " + path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    const std::string dir = path.rfind('/') == std::string::npos ? "." : path.substr(0, path.rfind('/'));
    if (!dir.empty() && !makeDirectories(dir)) return fail("cannot create " + dir + ": " + std::strerror(errno));
    if (auto why = unsafeDirectoryReason(dir.empty() ? "/" : dir); !why.empty()) return fail(why);

    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) return fail(path + " exists and is not a socket");
        if (someoneListens(addr)) return fail("another server already listens on " + path);
        ::unlink(path.c_str());  // left over from a server that ended without cleaning up
    }

    auto client = modelOrReport();
    if (!client) return 3;

    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) return fail(std::string("cannot create a socket: ") + std::strerror(errno));
    const mode_t oldMask = ::umask(077);
    const int bound = ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::umask(oldMask);
    if (bound != 0 || ::listen(listener, 4) != 0) {
        const std::string err = std::strerror(errno);
        ::close(listener);
        return fail("cannot listen on " + path + ": " + err);
    }
    ::chmod(path.c_str(), 0600);
    struct stat ours {};
    ::lstat(path.c_str(), &ours);

    // A year stands for "never" (an idle time of "inf").
    const long long idleMs = static_cast<long long>(std::min(idleSeconds, 365.0 * 86400.0) * 1000.0);
    {
        FMResponder responder(client);
        long long lastActivity = nowMs();
        for (;;) {
            const long long left = lastActivity + idleMs - nowMs();
            if (left <= 0) break;
            pollfd p{listener, POLLIN, 0};
            int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1 << 30)));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) continue;  // the loop head decides whether the idle time is over
            int conn = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn < 0) continue;
            lastActivity = nowMs();
            if (peerIsUs(conn)) {
                // A silent peer is dropped after the idle time, so it can't
                // hold the server for ever.
                serveLines(conn, conn, responder, static_cast<int>(std::min<long long>(idleMs, 1 << 30)));
            }
            ::close(conn);
            lastActivity = nowMs();
        }
    }
    ::close(listener);
    // Remove the socket only when it is still the one we bound.
    struct stat now {};
    if (::lstat(path.c_str(), &now) == 0 && now.st_ino == ours.st_ino && now.st_dev == ours.st_dev) ::unlink(path.c_str());
    BackgroundWork::shared().shutdown();
    return 0;
}

}  // namespace mirvane

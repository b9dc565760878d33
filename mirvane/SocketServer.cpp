#include "SocketServer.h"

#include "Serve.h"
#include "TextUtil.h"

#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace mirvane {

namespace {
std::string homeDirectory() {
    if (const char* h = std::getenv("HOME"); h != nullptr && *h != '\0') return h;
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
    return "/";
}

int fail(const std::string& message) {
    const std::string line = text::shownOn(STDERR_FILENO, "mirvane: " + message + "\n");
    std::fwrite(line.data(), 1, line.size(), stderr);
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

// At most this many peers are served at once; more wait in the listen queue.
constexpr std::size_t kMaxConnections = 64;

struct Connection {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
};

// The write end of the stop pipe while the server runs.
std::atomic<int> gStopWriteFd{-1};

extern "C" void onStopSignal(int) {
    const int saved = errno;
    if (const int fd = gStopWriteFd.load(); fd >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved;
}

// SIGTERM, SIGINT and SIGHUP become a byte on a pipe the serve loop watches,
// so a server asked to stop still removes its socket file. The handlers that
// were there before come back when this goes.
class StopSignals {
public:
    StopSignals() {
        if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
            fds_[0] = fds_[1] = -1;
            return;
        }
        gStopWriteFd.store(fds_[1]);
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (std::size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &action, &previous_[i]);
    }
    ~StopSignals() {
        if (fds_[1] < 0) return;
        for (std::size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &previous_[i], nullptr);
        gStopWriteFd.store(-1);
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    int fd() const { return fds_[0]; }

private:
    static constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
    int fds_[2] = {-1, -1};
    struct sigaction previous_[3] {};
};

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
    if (bound != 0 || ::listen(listener, SOMAXCONN) != 0) {
        const std::string err = std::strerror(errno);
        ::close(listener);
        return fail("cannot listen on " + path + ": " + err);
    }
    ::chmod(path.c_str(), 0600);
    struct stat ours {};
    ::lstat(path.c_str(), &ours);
    // Remove the socket only when it is still the one we bound.
    auto removeSocket = [&] {
        struct stat now {};
        if (::lstat(path.c_str(), &now) == 0 && now.st_ino == ours.st_ino && now.st_dev == ours.st_dev)
            ::unlink(path.c_str());
    };
    StopSignals stop;

    // A year stands for "never" (an idle time of "inf").
    const long long idleMs = static_cast<long long>(std::min(idleSeconds, 365.0 * 86400.0) * 1000.0);
    {
        FMResponder responder(client);
        std::mutex responderLock;
        // Every peer is served on its own thread, so one that connects and
        // says nothing holds up nobody; their requests take turns at the model.
        std::vector<std::unique_ptr<Connection>> connections;
        auto reap = [&] {
            for (auto it = connections.begin(); it != connections.end();) {
                if ((*it)->done) {
                    (*it)->thread.join();
                    ::close((*it)->fd);
                    it = connections.erase(it);
                } else {
                    ++it;
                }
            }
        };
        long long lastActivity = nowMs();
        bool stopped = false;
        while (!stopped) {
            reap();
            for (const auto& c : connections)
                if (!c->done) lastActivity = nowMs();
            const long long left = lastActivity + idleMs - nowMs();
            if (connections.empty() && left <= 0) break;
            // While peers are served the idle time can't run out; look again soon.
            const long long wait = connections.empty() ? left : std::min<long long>(left, 200);
            const bool full = connections.size() >= kMaxConnections;
            pollfd p[2] = {{stop.fd(), POLLIN, 0}, {listener, static_cast<short>(full ? 0 : POLLIN), 0}};
            int r = ::poll(p, 2, static_cast<int>(std::clamp<long long>(wait, 0, 1 << 30)));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) continue;  // the loop head decides whether the idle time is over
            if (p[0].revents != 0) {
                stopped = true;
                break;
            }
            if ((p[1].revents & POLLIN) == 0) continue;
            int conn = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn < 0) continue;
            lastActivity = nowMs();
            if (!peerIsUs(conn)) {
                ::close(conn);
                continue;
            }
            auto c = std::make_unique<Connection>();
            c->fd = conn;
            Connection* raw = c.get();
            // A silent peer is dropped after the idle time, so it can't keep
            // the server alive for ever.
            const int peerIdleMs = static_cast<int>(std::min<long long>(idleMs, 1 << 30));
            c->thread = std::thread([raw, &responder, &responderLock, peerIdleMs] {
                serveLines(raw->fd, raw->fd, responder, peerIdleMs, &responderLock);
                raw->done = true;
            });
            connections.push_back(std::move(c));
        }
        ::close(listener);
        if (stopped) {
            // Asked to stop: the socket goes at once, then the peers are let go.
            removeSocket();
            for (const auto& c : connections) ::shutdown(c->fd, SHUT_RDWR);
        }
        for (const auto& c : connections) {
            c->thread.join();
            ::close(c->fd);
        }
    }
    removeSocket();
    BackgroundWork::shared().shutdown();
    return 0;
}

}  // namespace mirvane

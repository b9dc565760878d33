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

// <data home>/Ondira: the main program's data folder, which holds the
// default run directory.
std::string dataFolder() {
    std::string base;
    if (const char* x = std::getenv("XDG_DATA_HOME"); x != nullptr && x[0] == '/') base = x;
    else base = homeDirectory() + "/.local/share";
    return base + "/Ondira";
}

// Creates every missing directory of `dir`. The last one, and any at or
// inside Ondira's data folder, are made 0700 whatever the umask, as the
// main program makes them: the helper may be the first to create that
// folder. Those above it get the usual mode.
bool makeDirectories(const std::string& dir) {
    const std::string data = dataFolder();
    for (std::size_t i = 1; i <= dir.size(); ++i) {
        if (i != dir.size() && dir[i] != '/') continue;
        const std::string part = dir.substr(0, i);
        const bool privateDir = i == dir.size() || part == data || part.rfind(data + "/", 0) == 0;
        if (::mkdir(part.c_str(), privateDir ? 0700 : 0755) == 0) {
            if (privateDir) ::chmod(part.c_str(), 0700);
        } else if (errno != EEXIST) {
            return false;
        }
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

// A peer that asks nothing for this long after its ready line gives up its
// place: a script that wants the model asks at once.
constexpr int kFirstRequestMs = 10'000;

struct Connection {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
    std::atomic<long long> waitingSinceMs{-1};
    bool makingWay = false;
};

// While every place is taken and another peer waits to be let in, the peer
// that has waited longest for its own next line is let go. None when every
// peer is being answered.
Connection* peerToMakeWay(const std::vector<std::unique_ptr<Connection>>& connections) {
    Connection* oldest = nullptr;
    long long oldestSince = 0;
    for (const auto& c : connections) {
        const long long since = c->waitingSinceMs.load();
        if (c->done || since < 0) continue;
        if (!oldest || since < oldestSince) {
            oldest = c.get();
            oldestSince = since;
        }
    }
    return oldest;
}

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
}  // namespace

std::string defaultSocketPath() { return dataFolder() + "/run/mirvane.sock"; }

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
        long long lastActivity = steadyMs();
        bool stopped = false;
        while (!stopped) {
            reap();
            for (const auto& c : connections)
                if (!c->done) lastActivity = steadyMs();
            const long long left = lastActivity + idleMs - steadyMs();
            if (connections.empty() && left <= 0) break;
            const bool full = connections.size() >= kMaxConnections;
            const bool makingWay = std::any_of(connections.begin(), connections.end(),
                                               [](const auto& c) { return c->makingWay; });
            // Full, a newcomer is let in only once a place is given up for it.
            Connection* giveWay = full && !makingWay ? peerToMakeWay(connections) : nullptr;
            const bool listen = !full || giveWay != nullptr;
            // While peers are served the idle time can't run out; look again
            // soon, and sooner while a place is being given up.
            const long long wait = connections.empty() ? left : std::min<long long>(left, makingWay ? 20 : 200);
            pollfd p[2] = {{stop.fd(), POLLIN, 0}, {listener, static_cast<short>(listen ? POLLIN : 0), 0}};
            int r = ::poll(p, 2, static_cast<int>(std::clamp<long long>(wait, 0, 1 << 30)));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) continue;  // the loop head decides whether the idle time is over
            if (p[0].revents != 0) {
                stopped = true;
                break;
            }
            if ((p[1].revents & POLLIN) == 0) continue;
            if (full) {
                // Its thread sees the end of its input and ends; the
                // newcomer is taken once that place is reaped.
                giveWay->makingWay = true;
                ::shutdown(giveWay->fd, SHUT_RDWR);
                continue;
            }
            int conn = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn < 0) continue;
            lastActivity = steadyMs();
            if (!peerIsUs(conn)) {
                ::close(conn);
                continue;
            }
            auto c = std::make_unique<Connection>();
            c->fd = conn;
            Connection* raw = c.get();
            // A peer that goes quiet is dropped after the idle time, so it
            // can't keep the server alive for ever; one that never asks
            // anything, much sooner.
            PeerPace pace;
            pace.idleMs = static_cast<int>(std::min<long long>(idleMs, 1 << 30));
            pace.firstRequestMs = kFirstRequestMs;
            pace.responderLock = &responderLock;
            pace.waitingSinceMs = &raw->waitingSinceMs;
            c->thread = std::thread([raw, &responder, pace] {
                serveLines(raw->fd, raw->fd, responder, pace);
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

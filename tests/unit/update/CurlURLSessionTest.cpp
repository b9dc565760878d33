// The real session against local servers only: nothing here leaves the machine.
#include "Platform/FileIO.h"
#include "Platform/URLSession.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include "support/RequireService.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

// A listening TCP socket on 127.0.0.1 that never accepts on its own.
struct Listener {
    int fd = -1;
    int port = 0;
    Listener() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(fd, 4) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
            port = ntohs(addr.sin_port);
        }
    }
    bool sawConnection() const {
        const int c = ::accept(fd, nullptr, nullptr);
        if (c >= 0) ::close(c);
        return c >= 0;
    }
    ~Listener() { ::close(fd); }
};

int freePort() {
    Listener l;
    return l.port;
}

}  // namespace

TEST(URLParsing, SchemeAndHostAreLowerCased) {
    auto parts = platform::parseURL("HTTPS://Updates.Ondira.APP/releases/manifest.json");
    ASSERT_TRUE(parts);
    EXPECT_EQ(parts->scheme, "https");
    EXPECT_EQ(parts->host, "updates.ondira.app");
    EXPECT_EQ(parts->path, "/releases/manifest.json");
    EXPECT_FALSE(platform::parseURL("releases/manifest.json"));
    EXPECT_FALSE(platform::parseURL(""));
    auto tricky = platform::parseURL("https://ondira.app@evil.example.io/m.json");
    ASSERT_TRUE(tricky);
    EXPECT_EQ(tricky->host, "evil.example.io") << "user info is not the host";
}

TEST(CurlURLSession, RefusesPlainHTTPWithoutConnecting) {
    Listener listener;
    ASSERT_GT(listener.port, 0);
    platform::CurlURLSession session;
    auto result = session.getSynchronously("http://127.0.0.1:" + std::to_string(listener.port) + "/manifest.json");
    ASSERT_TRUE(result.error);
    EXPECT_FALSE(listener.sawConnection());
}

TEST(CurlURLSession, RejectsAnUntrustedCertificate) {
    ONDIRA_REQUIRE_SERVICE(platform::fileExists("/usr/bin/openssl"), "openssl(1) is not installed");
    TempDir dir("ondira-tls-");
    const std::string key = (dir / "key.pem").string(), cert = (dir / "cert.pem").string();
    const std::string make = "/usr/bin/openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 1 -keyout '" +
                             key + "' -out '" + cert + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0);
    const int port = freePort();
    const pid_t server = ::fork();
    ASSERT_GE(server, 0);
    if (server == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        const std::string accept = std::to_string(port);
        ::execl("/usr/bin/openssl", "openssl", "s_server", "-quiet", "-www", "-accept", accept.c_str(), "-cert",
                cert.c_str(), "-key", key.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Wait (bounded) until the server listens.
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        up = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    platform::HTTPResult result;
    if (up) {
        platform::CurlURLSession session;
        result = session.getSynchronously("https://localhost:" + std::to_string(port) + "/");
    }
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    ASSERT_TRUE(up) << "the local TLS server did not start";
    ASSERT_TRUE(result.error) << "a self-signed certificate was accepted: HTTP " << result.statusCode;
    EXPECT_NE(result.error->find("certificate"), std::string::npos) << *result.error;
}

TEST(CurlURLSession, CompletesOnItsOwnQueue) {
    platform::CurlURLSession session;
    platform::Semaphore done;
    std::thread::id caller = std::this_thread::get_id(), completedOn;
    std::optional<std::string> error;
    session.get("http://127.0.0.1:9/", [&](platform::HTTPResult r) {
        completedOn = std::this_thread::get_id();
        error = r.error;
        done.signal();
    });
    ASSERT_TRUE(done.wait(10));
    EXPECT_NE(completedOn, caller);
    EXPECT_TRUE(error);
}

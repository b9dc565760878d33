// The helper as the main program sees it: the built executable started with
// its arguments, driven over its pipes (and its socket), against a scripted
// model server on loopback that stands in for llama-server.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <signal.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>
#include <fstream>

#include "support/FakeModelServer.h"
#include "support/Subprocess.h"

using nlohmann::json;
namespace fs = std::filesystem;

namespace {
const std::string kUnavailableLine = "mirvane: model unavailable\n";
const char* kBase = "You are a text transformer, NOT an assistant. The user gives you their own text.";

struct Scratch {
    fs::path path =
        fs::temp_directory_path() / ("mirvane-test-" + std::to_string(::getpid()) + "-" +
                                     std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    Scratch() { fs::create_directories(path); }
    ~Scratch() { fs::remove_all(path); }
};

// The helper's environment: a private home, no inherited model settings, and
// proxies that lead nowhere, which the helper must never use.
std::map<std::string, std::optional<std::string>> helperEnv(const Scratch& home, const std::string& endpoint,
                                                            std::map<std::string, std::optional<std::string>> more = {}) {
    std::map<std::string, std::optional<std::string>> env = {
        {"HOME", home.path.string()},        {"XDG_CONFIG_HOME", std::nullopt},    {"XDG_DATA_HOME", std::nullopt},
        {"MIRVANE_ENDPOINT", endpoint},      {"MIRVANE_MODEL", std::nullopt},      {"FM_SERVE_REUSE", std::nullopt},
        {"MIRVANE_SHORT", std::nullopt},     {"http_proxy", "http://127.0.0.1:9"}, {"HTTP_PROXY", "http://127.0.0.1:9"},
        {"ALL_PROXY", "http://127.0.0.1:9"}, {"all_proxy", "http://127.0.0.1:9"}};
    for (auto& [k, v] : more) env[k] = v;
    return env;
}

json parsed(const std::optional<std::string>& line) {
    if (!line) return json();
    return json::parse(*line, nullptr, false);
}

// Background work reaches the server when it does; wait a little for it.
bool eventually(const std::function<bool()>& condition, double seconds = 5) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string systemMessage(const json& request) { return request["messages"][0]["content"].get<std::string>(); }
std::string lastUserMessage(const json& request) { return request["messages"].back()["content"].get<std::string>(); }

struct Helper {
    FakeModelServer& server;
    Scratch home;
    std::unique_ptr<Subprocess> proc;
    Helper(FakeModelServer& s, std::map<std::string, std::optional<std::string>> more = {}) : server(s) {
        proc = std::make_unique<Subprocess>(std::vector<std::string>{MIRVANE_EXECUTABLE, "--serve"},
                                            helperEnv(home, s.url(), std::move(more)));
    }
    json ask(const std::string& line, double timeout = 10) {
        proc->write(line + "\n");
        return parsed(proc->readLine(timeout));
    }
};
}  // namespace

TEST(MirvaneServe, WritesReadyAtOnceThenAnswersWithTheModelsCleanedText) {
    FakeModelServer server;
    server.setModels({"qwen", "other"});
    server.onChat([](const json& r) { return FakeModelServer::completion("  \"Hello, world.\"\n"); });
    Helper h(server);
    EXPECT_EQ(h.proc->readLine(5), std::optional<std::string>(R"({"ready":true})"));
    json reply = h.ask(R"({"text":"  hello world \n","mode":"polish"})");
    EXPECT_EQ(reply, (json{{"ok", true}, {"text", "Hello, world."}}));

    auto asked = server.answerRequests();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0]["model"], "qwen");
    EXPECT_EQ(asked[0]["temperature"], 0.0);
    EXPECT_FALSE(asked[0].contains("max_tokens"));
    ASSERT_EQ(asked[0]["messages"].size(), 2u);
    EXPECT_EQ(asked[0]["messages"][0]["role"], "system");
    EXPECT_EQ(systemMessage(asked[0]).size(), 2647u);
    EXPECT_EQ(asked[0]["messages"][1], (json{{"role", "user"}, {"content", "Clean this: hello world"}}));
    // The spare was pre-warmed with the same instructions (in the background,
    // so it may reach the server after the request itself).
    EXPECT_TRUE(eventually([&] {
        auto all = server.chatRequests();
        return std::any_of(all.begin(), all.end(), [&](const json& r) {
            return FakeModelServer::isPrewarm(r) && systemMessage(r) == systemMessage(asked[0]);
        });
    }));

    h.proc->closeStdin();
    EXPECT_EQ(h.proc->wait(10), std::optional<int>(0));
    EXPECT_EQ(h.proc->readRemainingStdout(1), "");
    EXPECT_EQ(h.proc->readStderr(1), "");
}

TEST(MirvaneServe, ReadyLineDoesNotWaitForTheWarmUp) {
    FakeModelServer server;
    server.onChat([](const json&) { return FakeModelServer::completion("Fine."); });
    // A model still loading: the pre-warm request would take 30 s.
    server.onPrewarm([](const json&) { return FakeModelServer::completion("", 30000); });
    Helper h(server);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(h.proc->readLine(5), std::optional<std::string>(R"({"ready":true})"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    h.proc->write("quit\n");
    EXPECT_EQ(h.proc->wait(5), std::optional<int>(0));  // the warm-up is cancelled, not waited for
}

TEST(MirvaneServe, AnswersEveryLineOfTheProtocolTable) {
    FakeModelServer server;
    server.onChat([](const json& r) { return FakeModelServer::completion("echo " + lastUserMessage(r)); });
    Helper h(server);
    ASSERT_TRUE(h.proc->readLine(5));
    const json bad = {{"ok", false}, {"err", "bad request"}};
    struct Case {
        std::string line;
        json reply;
    };
    for (const Case& c : std::vector<Case>{
             {R"({"text":"   "})", bad},
             {R"({"text":5})", bad},
             {R"({"mode":"polish"})", bad},
             {"[1,2]", bad},
             {"not json at all", bad},
             {"\"just a string\"", bad},
             {"QUIT", bad},
             {"{\"text\":\"a\xFF\"}", bad},
             {R"({"text":"hello","mode":"shout"})", {{"ok", true}, {"text", "echo Clean this: hello"}}},
             {R"({"text":"hello","mode":3,"extra":[1]})", {{"ok", true}, {"text", "echo Clean this: hello"}}},
         }) {
        EXPECT_EQ(h.ask(c.line), c.reply) << c.line;
    }
    // Blank lines get no reply: the next reply belongs to the next request.
    h.proc->write("\n   \n\t\n");
    EXPECT_EQ(h.ask(R"({"text":"after blanks"})"), (json{{"ok", true}, {"text", "echo Clean this: after blanks"}}));
    auto asked = server.answerRequests();
    ASSERT_EQ(asked.size(), 3u);
    for (auto& r : asked) EXPECT_EQ(systemMessage(r).size(), 2647u);  // unknown and non-string modes polish
    h.proc->write("  quit  \n");
    EXPECT_EQ(h.proc->wait(5), std::optional<int>(0));
    EXPECT_EQ(h.proc->readRemainingStdout(1), "");
}

TEST(MirvaneServe, EachModeSendsItsInstructionsAsTheSystemMessage) {
    FakeModelServer server;
    Helper h(server);
    ASSERT_TRUE(h.proc->readLine(5));
    struct Case {
        std::string request;
        std::string mark;
        std::size_t bytes;
    };
    for (const Case& c : std::vector<Case>{
             {R"({"text":"t","mode":"email"})", " Task: format the text as a clear email body", 368},
             {R"({"text":"t","mode":"bullets"})", " Task: turn the text into tidy bullet points", 369},
             {R"({"text":"t","mode":"concise"})", " Task: remove filler and redundancy", 360},
             {R"({"text":"t","mode":"polish","instruction":"unused"})", " Task: fix DICTATION MECHANICS ONLY", 2647},
             {R"({"text":"t","mode":"edit","instruction":"make it formal"})", "\"make it formal\".", 262 + 71 + 14 + 63},
             {R"({"text":"t","mode":"edit"})", "nothing else: \"\". If it asks", 262 + 71 + 63},
         }) {
        EXPECT_EQ(h.ask(c.request)["ok"], true) << c.request;
        auto asked = server.answerRequests();
        ASSERT_FALSE(asked.empty());
        const std::string sys = systemMessage(asked.back());
        EXPECT_EQ(sys.rfind(kBase, 0), 0u) << c.request;
        EXPECT_NE(sys.find(c.mark), std::string::npos) << c.request;
        EXPECT_EQ(sys.size(), c.bytes) << c.request;
    }
}

TEST(MirvaneServe, ModelFailuresAreErrorRepliesAndTheSessionGoesOn) {
    FakeModelServer server;
    std::atomic<int> n{0};
    server.onChat([&](const json&) -> FakeModelServer::Reply {
        switch (n++) {
            case 0: return {500, R"({"error":{"message":"out of memory"}})", 0};
            case 1: return {200, R"({"choices":[]})", 0};
            case 2: return FakeModelServer::completion("ok \xFF\xFE then");  // not UTF-8
            case 3: return {200, R"({"choices":[{"message":{"content":"\ud800 lone"}}]})", 0};
            default: return FakeModelServer::completion("Recovered.");
        }
    });
    Helper h(server);
    ASSERT_TRUE(h.proc->readLine(5));
    json r = h.ask(R"({"text":"one"})");
    EXPECT_EQ(r["ok"], false);
    EXPECT_NE(r["err"].get<std::string>().find("out of memory"), std::string::npos) << r;
    r = h.ask(R"({"text":"two"})");
    EXPECT_EQ(r["ok"], false);
    EXPECT_TRUE(r["err"].is_string());
    // Bytes that are not UTF-8 still give one parseable reply line.
    r = h.ask(R"({"text":"three"})");
    EXPECT_EQ(r, (json{{"ok", true}, {"text", "ok \xEF\xBF\xBD\xEF\xBF\xBD then"}}));
    r = h.ask(R"({"text":"four"})");
    EXPECT_EQ(r["ok"], false);
    EXPECT_EQ(h.ask(R"({"text":"five"})"), (json{{"ok", true}, {"text", "Recovered."}}));
}

TEST(MirvaneServe, ASlowModelIsAnsweredWithAnErrorBeforeTheClientGivesUp) {
    FakeModelServer server;
    server.onChat([](const json&) { return FakeModelServer::completion("too late", 40000); });
    Helper h(server);
    ASSERT_TRUE(h.proc->readLine(5));
    const auto start = std::chrono::steady_clock::now();
    h.proc->write("{\"text\":\"slow\"}\n");
    json r = parsed(h.proc->readLine(30));
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r["ok"], false) << r;
    EXPECT_GT(took, 15.0);
    EXPECT_LT(took, 19.5);                                                           // the client stops waiting at 20 s
    EXPECT_EQ(h.ask(R"({"text":"still there?","mode":"email"})", 30)["ok"], false);  // still slow, still answered
}

TEST(MirvaneServe, ReuseKeepsOnePolishSessionUntilItFailsOrHasSeenEnough) {
    FakeModelServer server;
    std::atomic<int> n{0};
    server.onChat([&](const json&) -> FakeModelServer::Reply {
        if (++n == 3) return {503, R"({"error":"busy"})", 0};
        return FakeModelServer::completion("answer " + std::to_string(n.load()));
    });
    Helper h(server, {{"FM_SERVE_REUSE", "1"}});
    ASSERT_TRUE(h.proc->readLine(5));
    EXPECT_EQ(h.ask(R"({"text":"a"})")["ok"], true);
    EXPECT_EQ(h.ask(R"({"text":"b"})")["ok"], true);
    auto asked = server.answerRequests();
    ASSERT_EQ(asked.size(), 2u);
    // The second request carries the first exchange: one session served both.
    EXPECT_EQ(asked[1]["messages"].size(), 4u);
    EXPECT_EQ(asked[1]["messages"][2], (json{{"role", "assistant"}, {"content", "answer 1"}}));
    EXPECT_EQ(h.ask(R"({"text":"c"})")["ok"], false);
    // After the failure the session is rebuilt: no old texts in the next one.
    EXPECT_EQ(h.ask(R"({"text":"d"})")["ok"], true);
    EXPECT_EQ(server.answerRequests().back()["messages"].size(), 2u);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(h.ask(R"({"text":"more"})")["ok"], true);
    std::size_t longest = 0;
    for (auto& r : server.answerRequests()) longest = std::max(longest, r["messages"].size());
    EXPECT_LE(longest, 2u + 2 * 7);  // a session is retired after eight exchanges
    EXPECT_EQ(server.answerRequests().back()["messages"].size(), 4u);
}

TEST(MirvaneServe, WithoutReuseEveryRequestStartsFromTheInstructionsAlone) {
    FakeModelServer server;
    Helper h(server, {{"FM_SERVE_REUSE", "true"}});
    ASSERT_TRUE(h.proc->readLine(5));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(h.ask(R"({"text":"again"})")["ok"], true);
    for (auto& r : server.answerRequests()) EXPECT_EQ(r["messages"].size(), 2u);
    // Each answered polish request is followed by a new pre-warmed spare
    // (the first spare plus one after each reply; they run in the background).
    auto prewarms = [&] { return server.chatRequests().size() - server.answerRequests().size(); };
    EXPECT_TRUE(eventually([&] { return prewarms() >= 4; }));
    EXPECT_EQ(prewarms(), 4u);
}

TEST(MirvaneServe, UnavailableModelExitsThreeWithTheLineAndAReason) {
    FakeModelServer server;
    server.setModels({"present"});
    const std::string closed = "http://127.0.0.1:" + std::to_string(FakeModelServer::closedPort());
    struct Case {
        std::string endpoint;
        std::optional<std::string> model;
        std::string reasonMark;
    };
    for (const Case& c : std::vector<Case>{
             {closed, std::nullopt, "start llama-server or Ollama"},
             {server.url(), std::string("absent"), "MIRVANE_MODEL"},
             {"http://10.0.0.1:8080", std::nullopt, "not on this machine"},
         }) {
        Scratch home;
        Subprocess p({MIRVANE_EXECUTABLE, "--serve"}, helperEnv(home, c.endpoint, {{"MIRVANE_MODEL", c.model}}));
        EXPECT_EQ(p.wait(10), std::optional<int>(3)) << c.endpoint;
        EXPECT_EQ(p.readRemainingStdout(1), "");
        const std::string err = p.readStderr(1);
        EXPECT_EQ(err.substr(0, kUnavailableLine.size()), kUnavailableLine) << err;
        const std::string reason = err.substr(std::min(err.size(), kUnavailableLine.size()));
        EXPECT_EQ(reason.rfind("mirvane: ", 0), 0u) << err;
        EXPECT_NE(reason.find(c.reasonMark), std::string::npos) << err;
        EXPECT_EQ(std::count(reason.begin(), reason.end(), '\n'), 1) << err;
        if (c.endpoint == closed) {
            EXPECT_EQ(err, kUnavailableLine + "mirvane: no model server answered at " + closed +
                               " (MIRVANE_ENDPOINT) — start llama-server or Ollama there, or change the endpoint\n");
        }
    }
}

TEST(MirvaneServe, ReadsItsModelFromTheConfigurationFile) {
    FakeModelServer server;
    server.setModels({"a", "wanted"});
    Scratch home;
    fs::create_directories(home.path / ".config" / "Ondira");
    std::ofstream(home.path / ".config" / "Ondira" / "mirvane.json")
        << json{{"endpoint", server.url()}, {"model", "wanted"}}.dump();
    Subprocess p({MIRVANE_EXECUTABLE, "--serve"}, helperEnv(home, "", {{"MIRVANE_ENDPOINT", std::nullopt}}));
    ASSERT_EQ(p.readLine(5), std::optional<std::string>(R"({"ready":true})")) << p.readStderr(1);
    p.write("{\"text\":\"x\"}\n");
    EXPECT_EQ(parsed(p.readLine(10))["ok"], true);
    EXPECT_EQ(server.answerRequests().at(0)["model"], "wanted");
}

TEST(MirvaneOneShot, RewritesStandardInputOnce) {
    FakeModelServer server;
    server.onChat([](const json& r) { return FakeModelServer::completion("'" + lastUserMessage(r) + "'"); });
    Scratch home;
    {
        Subprocess p({MIRVANE_EXECUTABLE, "edit", "make it formal"}, helperEnv(home, server.url()));
        p.write("  hey there \n");
        p.closeStdin();
        EXPECT_EQ(p.wait(10), std::optional<int>(0));
        EXPECT_EQ(p.readRemainingStdout(1), "Clean this: hey there\n");
        auto asked = server.chatRequests();
        ASSERT_EQ(asked.size(), 1u);  // no pre-warm on this road
        EXPECT_NE(systemMessage(asked[0]).find("\"make it formal\""), std::string::npos);
    }
    const std::string closed = "http://127.0.0.1:" + std::to_string(FakeModelServer::closedPort());
    {
        // Nothing to rewrite: done before the model is even looked for.
        Subprocess p({MIRVANE_EXECUTABLE}, helperEnv(home, closed));
        p.write(" \n\t ");
        p.closeStdin();
        EXPECT_EQ(p.wait(10), std::optional<int>(0));
        EXPECT_EQ(p.readRemainingStdout(1), "");
        EXPECT_EQ(p.readStderr(1), "");
    }
    {
        // Input that is not text, or more than the line protocol takes, is
        // refused with the reason before the model is looked for.
        Subprocess p({MIRVANE_EXECUTABLE}, helperEnv(home, closed));
        p.write(" \n\xFF");
        p.closeStdin();
        EXPECT_EQ(p.wait(10), std::optional<int>(4));
        EXPECT_EQ(p.readStderr(1), "mirvane: standard input is not UTF-8 text; nothing was rewritten\n");
    }
    {
        Subprocess p({"/bin/sh", "-c", "head -c 9000000 /dev/zero | tr '\\0' a | exec \"$0\"", MIRVANE_EXECUTABLE},
                     helperEnv(home, closed));
        EXPECT_EQ(p.wait(20), std::optional<int>(4));
        EXPECT_EQ(p.readStderr(1), "mirvane: standard input is larger than 8 MiB; nothing was rewritten\n");
    }
    {
        Subprocess p({MIRVANE_EXECUTABLE}, helperEnv(home, closed));
        p.write("text");
        p.closeStdin();
        EXPECT_EQ(p.wait(10), std::optional<int>(3));
        EXPECT_EQ(p.readStderr(1).rfind(kUnavailableLine, 0), 0u);
    }
    server.onChat([](const json&) { return FakeModelServer::Reply{500, R"({"error":"broken"})", 0}; });
    {
        Subprocess p({MIRVANE_EXECUTABLE, "polish"}, helperEnv(home, server.url()));
        p.write("text");
        p.closeStdin();
        EXPECT_EQ(p.wait(10), std::optional<int>(4));
        EXPECT_EQ(p.readRemainingStdout(1), "");
        EXPECT_EQ(p.readStderr(1), "mirvane: the model server answered HTTP 500: broken\n");
    }
}

TEST(MirvaneSocket, ServesEachConnectionInTurnOnAPrivateSocketAndExitsWhenIdle) {
    FakeModelServer server;
    Scratch home;
    {
        Subprocess p({MIRVANE_EXECUTABLE, "--socket-path"}, helperEnv(home, server.url()));
        EXPECT_EQ(p.wait(5), std::optional<int>(0));
        EXPECT_EQ(p.readRemainingStdout(1), (home.path / ".local/share/Ondira/run/mirvane.sock").string() + "\n");
    }
    const fs::path sock = home.path / ".local/share/Ondira/run/mirvane.sock";
    // Started before Ondira ever ran, under an open umask, it makes Ondira's
    // data folder private as Ondira would; the folders above it are the user's.
    const mode_t umaskBefore = ::umask(022);
    Subprocess p({MIRVANE_EXECUTABLE, "--serve", "--socket", "--idle", "1.5"}, helperEnv(home, server.url()));
    ::umask(umaskBefore);
    for (int i = 0; i < 200 && !fs::exists(sock); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(fs::exists(sock)) << p.readStderr(1);
    EXPECT_EQ(fs::status(sock).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(sock.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(fs::status(sock.parent_path().parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(fs::status(home.path / ".local/share").permissions() & fs::perms::all,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                  fs::perms::others_exec);
    for (int round = 0; round < 2; ++round) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, sock.c_str());
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        std::string msg = "{\"text\":\"over the socket\"}\nquit\n";
        ::send(fd, msg.data(), msg.size(), MSG_NOSIGNAL);
        std::string got;
        char buf[4096];
        for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) got.append(buf, static_cast<std::size_t>(n));
        ::close(fd);
        EXPECT_EQ(got, "{\"ready\":true}\n{\"ok\":true,\"text\":\"Fine.\"}\n");
    }
    // A second server on the same path refuses to steal the socket.
    {
        Subprocess second({MIRVANE_EXECUTABLE, "--serve", "--socket", sock.string()}, helperEnv(home, server.url()));
        EXPECT_EQ(second.wait(5), std::optional<int>(1));
        EXPECT_NE(second.readStderr(1).find("already listens"), std::string::npos);
    }
    EXPECT_EQ(p.wait(10), std::optional<int>(0));
    EXPECT_FALSE(fs::exists(sock));
}

TEST(MirvaneSocket, RefusesARunDirectoryThatIsNotSafelyItsOwn) {
    FakeModelServer server;
    Scratch home;
    Scratch elsewhere;
    // A run directory that is a symbolic link could be pointed anywhere.
    fs::create_directories(home.path / "data");
    fs::create_symlink(elsewhere.path, home.path / "data" / "run");
    Subprocess linked({MIRVANE_EXECUTABLE, "--serve", "--socket", (home.path / "data/run/m.sock").string()},
                      helperEnv(home, server.url()));
    EXPECT_EQ(linked.wait(5), std::optional<int>(1));
    EXPECT_NE(linked.readStderr(1).find("is not a directory"), std::string::npos);
    // One that others could write to is refused, and its mode left as it was
    // (it may be /tmp itself): a directory we did not create is never changed.
    fs::create_directories(home.path / "open");
    fs::permissions(home.path / "open", fs::perms::all);
    Subprocess open({MIRVANE_EXECUTABLE, "--serve", "--socket", (home.path / "open/m.sock").string(), "--idle", "0.2"},
                    helperEnv(home, server.url()));
    EXPECT_EQ(open.wait(5), std::optional<int>(1));
    EXPECT_NE(open.readStderr(1).find("is open to other users"), std::string::npos);
    EXPECT_EQ(fs::status(home.path / "open").permissions() & fs::perms::all, fs::perms::all);
    // A fresh directory is created private.
    Subprocess fresh({MIRVANE_EXECUTABLE, "--serve", "--socket", (home.path / "fresh/run/m.sock").string(), "--idle", "0.2"},
                     helperEnv(home, server.url()));
    EXPECT_EQ(fresh.wait(5), std::optional<int>(0)) << fresh.readStderr(1);
    EXPECT_EQ(fs::status(home.path / "fresh/run").permissions() & fs::perms::all, fs::perms::owner_all);
}

namespace {
int connectTo(const fs::path& sock) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, sock.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    timeval limit{60, 0};  // a peer left waiting fails the test instead of hanging it
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}
}  // namespace

// A peer that connects and says nothing holds up nobody: fifty peers arriving
// at once are all answered meanwhile, and a server asked to stop removes its
// socket.
TEST(MirvaneSocket, ServesPeersSideBySideAndRemovesTheSocketWhenStopped) {
    FakeModelServer server;
    Scratch home;
    const fs::path sock = home.path / ".local/share/Ondira/run/mirvane.sock";
    Subprocess p({MIRVANE_EXECUTABLE, "--serve", "--socket", "--idle", "120"}, helperEnv(home, server.url()));
    for (int i = 0; i < 500 && !fs::exists(sock); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(fs::exists(sock)) << p.readStderr(1);

    const int silent = connectTo(sock);
    ASSERT_GE(silent, 0);
    constexpr int peers = 50;
    std::vector<std::string> got(peers);
    std::vector<std::thread> threads;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < peers; ++i)
        threads.emplace_back([&, i] {
            const int fd = connectTo(sock);
            if (fd < 0) {
                got[i] = std::string("connect: ") + std::strerror(errno);
                return;
            }
            const std::string msg = "{\"text\":\"peer " + std::to_string(i) + "\"}\nquit\n";
            ::send(fd, msg.data(), msg.size(), MSG_NOSIGNAL);
            char buf[4096];
            for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) got[i].append(buf, static_cast<std::size_t>(n));
            ::close(fd);
        });
    for (auto& t : threads) t.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (int i = 0; i < peers; ++i) EXPECT_EQ(got[i], "{\"ready\":true}\n{\"ok\":true,\"text\":\"Fine.\"}\n") << i;
    EXPECT_LT(seconds, 60.0);

    ::kill(p.pid, SIGTERM);
    EXPECT_EQ(p.wait(30), std::optional<int>(0));
    EXPECT_FALSE(fs::exists(sock));
    ::close(silent);
}

namespace {
// Everything a peer receives until `until` holds or the server closes it
// (or the receive limit of connectTo runs out).
std::string receive(int fd, const std::function<bool(const std::string&)>& until = {}) {
    std::string got;
    char buf[4096];
    while (!(until && until(got))) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}
bool hasLines(const std::string& got, std::size_t lines) {
    return static_cast<std::size_t>(std::count(got.begin(), got.end(), '\n')) >= lines;
}
double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
}  // namespace

// Peers that connect and ask nothing can't hold the socket's places: with
// every place taken by silent peers, one more that asks is answered at once
// (the peer silent longest makes way), and the silent ones are let go a few
// seconds after their ready line, while a peer that asked keeps its place.
TEST(MirvaneSocket, SilentPeersGiveWayToOneThatAsks) {
    FakeModelServer server;
    Scratch home;
    const fs::path sock = home.path / ".local/share/Ondira/run/mirvane.sock";
    Subprocess p({MIRVANE_EXECUTABLE, "--serve", "--socket", "--idle", "120"}, helperEnv(home, server.url()));
    ASSERT_TRUE(eventually([&] { return fs::exists(sock); }, 10)) << p.readStderr(1);

    constexpr int places = 64;
    std::vector<int> silent;
    std::vector<std::chrono::steady_clock::time_point> servedAt;
    for (int i = 0; i < places; ++i) {
        const int fd = connectTo(sock);
        ASSERT_GE(fd, 0) << i;
        silent.push_back(fd);
        // The ready line shows the peer holds a place. A blank line and half
        // a line ask nothing.
        ASSERT_EQ(receive(fd, [](const std::string& got) { return hasLines(got, 1); }), "{\"ready\":true}\n") << i;
        servedAt.push_back(std::chrono::steady_clock::now());
        const std::string nothing = "\n{\"text\"";
        ::send(fd, nothing.data(), nothing.size(), MSG_NOSIGNAL);
    }

    const auto asked = std::chrono::steady_clock::now();
    const int asker = connectTo(sock);
    ASSERT_GE(asker, 0);
    const std::string request = "{\"text\":\"let me in\"}\n";
    ::send(asker, request.data(), request.size(), MSG_NOSIGNAL);
    EXPECT_EQ(receive(asker, [](const std::string& got) { return hasLines(got, 2); }),
              "{\"ready\":true}\n{\"ok\":true,\"text\":\"Fine.\"}\n");
    EXPECT_LT(secondsSince(asked), 6.0) << "the peer that asks waited for a place";

    // Every silent peer is let go: none is left holding its place for the
    // idle time of the server.
    for (int i = 0; i < places; ++i) {
        EXPECT_EQ(receive(silent[i]), "") << i;
        EXPECT_LT(secondsSince(servedAt[i]), 25.0) << "silent peer " << i << " kept its place";
        ::close(silent[i]);
    }
    // The peer that asked is still served, though it said nothing meanwhile.
    ::send(asker, request.data(), request.size(), MSG_NOSIGNAL);
    EXPECT_EQ(receive(asker, [](const std::string& got) { return hasLines(got, 1); }), "{\"ok\":true,\"text\":\"Fine.\"}\n");
    ::close(asker);

    ::kill(p.pid, SIGTERM);
    EXPECT_EQ(p.wait(30), std::optional<int>(0));
}

// On a terminal the model's answer and a server's error text are shown, never
// obeyed: their control characters print as U+FFFD. A pipe gets the answer as
// the model gave it.
TEST(MirvaneOneShot, ShowsEscapeSequencesOnATerminalAsReplacementCharacters) {
    FakeModelServer server;
    server.onChat([](const json&) { return FakeModelServer::completion("ok\x1b]0;PWNED\x07 done\x9b"); });
    Scratch home;
    // script(1) runs the helper on a pseudo-terminal, as a user's shell would.
    const std::vector<std::string> onTerminal = {
        "/usr/bin/script", "-qec", "printf hello | '" + std::string(MIRVANE_EXECUTABLE) + "' polish", "/dev/null"};
    {
        Subprocess p(onTerminal, helperEnv(home, server.url()));
        EXPECT_EQ(p.wait(20), std::optional<int>(0));
        const std::string shown = p.readRemainingStdout(1);
        EXPECT_NE(shown.find("ok\uFFFD]0;PWNED\uFFFD done"), std::string::npos) << shown;
        EXPECT_EQ(shown.find('\x1b'), std::string::npos) << shown;
    }
    {
        Subprocess p({MIRVANE_EXECUTABLE, "polish"}, helperEnv(home, server.url()));
        p.write("hello");
        p.closeStdin();
        EXPECT_EQ(p.wait(10), std::optional<int>(0));
        EXPECT_EQ(p.readRemainingStdout(1), "ok\x1b]0;PWNED\x07 done\uFFFD\n");
    }
    server.onChat([](const json&) { return FakeModelServer::Reply{500, R"({"error":"broken\u001b[2J"})", 0}; });
    {
        Subprocess p(onTerminal, helperEnv(home, server.url()));
        p.wait(20);
        const std::string shown = p.readRemainingStdout(1);
        EXPECT_NE(shown.find("mirvane: the model server answered HTTP 500: broken\uFFFD[2J"), std::string::npos) << shown;
        EXPECT_EQ(shown.find('\x1b'), std::string::npos) << shown;
    }
}

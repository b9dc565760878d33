// The rewrite client against helpers that misbehave on purpose (small shell
// scripts standing in for mirvane), against the real mirvane talking to a
// scripted model server that stands in for llama-server, and the
// --polish-smoke-test road of the program.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>

#include "Platform/Bundle.h"
#include "Platform/Queues.h"
#include "Text/PolishService.h"
#include "support/FakeModelServer.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"

using Outcome = PolishService::RewriteOutcome;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {
struct BundleOverride {
    explicit BundleOverride(const fs::path& dir) { platform::Bundle::overrideBundleDirectory(dir); }
    ~BundleOverride() { platform::Bundle::overrideBundleDirectory(std::nullopt); }
};

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A failed start as the user reads it: what the helper said, then where its server is set.
std::string failedStart(const std::string& said) {
    return "The on-device rewrite model did not start" + (said.empty() ? std::string(".") : ": " + said + ".") +
           " Its model server and model are set in " + PolishService::helperSettingsFile() + ".";
}

class PolishServiceTest : public ::testing::Test {
protected:
    void SetUp() override { platform::MainQueue::markCurrentThreadAsMain(); }

    // A bundle whose helper is the given shell script.
    void useScriptHelper(const std::string& body) {
        const fs::path helper = bundle.path / "mirvane";
        std::ofstream(helper) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(helper, fs::perms::owner_all);
        useBundle(bundle.path);
    }
    void useRealHelper() { useBundle(ONDIRA_BUNDLE_DIR); }
    void useBundle(const fs::path& dir) {
        override_.reset();  // the old override's end must not undo the new one
        override_ = std::make_unique<BundleOverride>(dir);
    }

    // One rewrite, waited for on the main loop; also checks where it arrived.
    Outcome rewrite(const std::string& mode, const std::string& text,
                    const std::optional<std::string>& instruction = std::nullopt, double timeout = 40) {
        std::optional<Outcome> got;
        bool onMain = false;
        service->rewrite(mode, text, instruction, [&](const Outcome& o) {
            onMain = platform::MainQueue::isMainThread();
            got = o;
        });
        platform::MainQueue::pump(timeout, [&] { return got.has_value(); });
        EXPECT_TRUE(got.has_value()) << "no completion";
        EXPECT_TRUE(onMain) << "completion not on the main queue";
        return got.value_or(Outcome::failure("<no completion>"));
    }

    TempDir bundle{"ondira-polish-bundle-"};
    TempDir scratch{"ondira-polish-scratch-"};
    std::unique_ptr<BundleOverride> override_;
    std::shared_ptr<PolishService> service = PolishService::create();
};

bool processExists(pid_t pid) { return ::kill(pid, 0) == 0; }
}  // namespace

TEST_F(PolishServiceTest, RejectsBadRequestsWithoutStartingTheHelper) {
    useScriptHelper("touch '" + (scratch / "started").string() + "'\necho '{\"ready\":true}'\ncat >/dev/null");
    struct Case {
        std::string mode, text;
        std::optional<std::string> instruction;
        std::string message;
    };
    for (const Case& c : std::vector<Case>{
             {"Polish", "hello", std::nullopt, "unsupported rewrite mode: Polish"},
             {"translate", "hello", std::nullopt, "unsupported rewrite mode: translate"},
             {"polish", " \n\t ", std::nullopt, "nothing to rewrite"},
             {"edit", "hello", std::nullopt, "edit mode requires a non-empty editing instruction"},
             {"edit", "hello", " \n ", "edit mode requires a non-empty editing instruction"},
             {"edit", "hello", std::string(501, 'x'), "edit instruction is too long (max 500 characters, got 501)"},
             {"edit", "hello", " " + std::string(250, 'y') + std::string(251, 'z') + " ",
              "edit instruction is too long (max 500 characters, got 501)"},
         }) {
        EXPECT_EQ(rewrite(c.mode, c.text, c.instruction), Outcome::failure(c.message)) << c.mode << "/" << c.text;
    }
    EXPECT_FALSE(fs::exists(scratch / "started"));
    EXPECT_FALSE(service->currentChildPid());
}

TEST_F(PolishServiceTest, StartsTheHelperOnceWithServeAndSendsOneCompactLinePerRequest) {
    const fs::path log = scratch / "log";
    // Replies with the number of the request and records what it was given.
    useScriptHelper(
        "echo \"args=$# $1 env=$ONDIRA_TEST_MARK\" >> '" + log.string() +
        "'\necho '{\"ready\":true}'\nn=0\nwhile IFS= read -r line; do\n  n=$((n+1))\n  printf '%s\\n' \"$line\" >> '" +
        log.string() + "'\n  echo \"{\\\"ok\\\":true,\\\"text\\\":\\\"reply $n\\\"}\"\ndone");
    ScopedEnv mark("ONDIRA_TEST_MARK", "inherited");
    EXPECT_EQ(rewrite("edit", "  first\nline  ", "  make it formal "), Outcome::success("reply 1"));
    const auto pid = service->currentChildPid();
    ASSERT_TRUE(pid);
    EXPECT_EQ(rewrite("polish", "second", "never sent"), Outcome::success("reply 2"));
    EXPECT_EQ(service->currentChildPid(), pid);

    std::ifstream in(log);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "args=1 --serve env=inherited");
    EXPECT_EQ(nlohmann::json::parse(lines[1]),
              (nlohmann::json{{"mode", "edit"}, {"text", "first\nline"}, {"instruction", "make it formal"}}));
    EXPECT_EQ(nlohmann::json::parse(lines[2]), (nlohmann::json{{"mode", "polish"}, {"text", "second"}}));

    service->shutdown();
    EXPECT_FALSE(service->currentChildPid());
    EXPECT_FALSE(processExists(*pid));
}

TEST_F(PolishServiceTest, ReadsEachReplyLineAsTheHelperWroteIt) {
    // Two replies in one write, then odd shapes: bytes after a line feed wait
    // for the next request.
    useScriptHelper(
        "echo '{\"ready\":true}'\nread -r a\nprintf '{\"ok\":true}\\n{\"ok\":false}\\n'\nread -r b\nread -r c\n"
        "printf '   \\n'\nread -r d\necho '{\"ok\":\"yes\",\"text\":\"t\"}'\nread -r e\necho '[1]'\n"
        "read -r f\nprintf '{\"ok\":true,\"text\":\"caf\\303\\251 \\377\"}\\n'\ncat >/dev/null");
    EXPECT_EQ(rewrite("polish", "a"), Outcome::success(""));
    EXPECT_EQ(rewrite("polish", "b"), Outcome::failure("unknown rewrite error"));
    EXPECT_EQ(rewrite("polish", "c"), Outcome::failure("empty response from rewrite helper"));
    EXPECT_EQ(rewrite("polish", "d"), Outcome::failure("unknown rewrite error"));
    EXPECT_EQ(rewrite("polish", "e"), Outcome::failure("malformed response from rewrite helper"));
    // A byte that is not UTF-8 becomes U+FFFD before the line is read.
    EXPECT_EQ(rewrite("polish", "f"), Outcome::success("caf\xC3\xA9 \xEF\xBF\xBD"));
}

TEST_F(PolishServiceTest, AHelperThatNeverSaysReadyIsStoppedAfterTwelveSeconds) {
    useScriptHelper("echo 'no model server here' >&2\nexec sleep 100");
    const auto start = Clock::now();
    Outcome o = rewrite("polish", "hello");
    const double took = secondsSince(start);
    EXPECT_EQ(o, Outcome::failure(failedStart("no model server here")));
    EXPECT_GT(took, 11.5);
    EXPECT_LT(took, 16.0);
    EXPECT_FALSE(service->currentChildPid());
    EXPECT_EQ(service->checkAvailability(),
              (PolishService::Availability{false, failedStart("no model server here")}));
}

TEST_F(PolishServiceTest, AFirstLineOtherThanReadyIsAFailedStart) {
    struct Case {
        std::string script;
        std::string reason;
    };
    for (const Case& c : std::vector<Case>{
             {"echo '{\"ok\":true,\"text\":\"hi\"}'\nexec sleep 100", failedStart("")},
             {"echo '{\"ready\":\"true\"}'\necho 'said why' >&2\nexec sleep 100", failedStart("said why")},
             // The helper's own prefixes and headline say nothing to a person.
             {"echo 'mirvane: model unavailable' >&2\nexit 3", failedStart("")},
             {"printf 'mirvane: model unavailable\\nmirvane: start the server\\n' >&2\nexit 3",
              failedStart("start the server")},
             {"head -c 9000 /dev/zero | tr '\\0' e >&2\nexit 3", failedStart(std::string(4096, 'e'))},
         }) {
        useScriptHelper(c.script);
        const auto start = Clock::now();
        EXPECT_EQ(rewrite("polish", "hello"), Outcome::failure(c.reason)) << c.script;
        EXPECT_LT(secondsSince(start), 4.0) << c.script;
        EXPECT_EQ(service->checkAvailability().reason, c.reason);
    }
    // A later successful start clears the recorded failure.
    useScriptHelper("echo '{\"ready\":true}'\nread -r l\necho '{\"ok\":true,\"text\":\"fine\"}'\ncat >/dev/null");
    EXPECT_EQ(rewrite("polish", "hello"), Outcome::success("fine"));
    EXPECT_EQ(service->checkAvailability(), (PolishService::Availability{true, "Ready"}));
}

TEST_F(PolishServiceTest, AReplyThatNeverComesEndsAfterTwentySecondsAndTheNextRequestGetsANewHelper) {
    const fs::path count = scratch / "starts";
    useScriptHelper("echo x >> '" + count.string() + "'\necho '{\"ready\":true}'\nread -r l\nif [ $(wc -l < '" +
                    count.string() +
                    "') -eq 1 ]; then exec sleep 100; fi\necho '{\"ok\":true,\"text\":\"second helper\"}'\ncat >/dev/null");
    const auto start = Clock::now();
    EXPECT_EQ(rewrite("polish", "hello"), Outcome::failure(PolishService::withRemedy("rewrite timed out")));
    const double took = secondsSince(start);
    EXPECT_GT(took, 19.5);
    EXPECT_LT(took, 24.0);
    EXPECT_FALSE(service->currentChildPid());
    EXPECT_EQ(rewrite("polish", "again"), Outcome::success("second helper"));
}

TEST_F(PolishServiceTest, AHelperThatDiesMidRequestFailsAtOnceAndIsReplaced) {
    const fs::path count = scratch / "starts";
    useScriptHelper("echo x >> '" + count.string() + "'\necho '{\"ready\":true}'\nread -r l\nif [ $(wc -l < '" +
                    count.string() + "') -eq 1 ]; then exit 1; fi\necho '{\"ok\":true,\"text\":\"new\"}'\ncat >/dev/null");
    const auto start = Clock::now();
    EXPECT_EQ(rewrite("polish", "hello"), Outcome::failure(PolishService::withRemedy("rewrite timed out")));
    EXPECT_LT(secondsSince(start), 3.0);
    EXPECT_EQ(rewrite("polish", "hello"), Outcome::success("new"));
    // A helper that exited between requests is noticed and replaced too; the
    // write to its closed pipe fails quietly instead of ending the program.
    const auto pid = service->currentChildPid();
    ASSERT_TRUE(pid);
    ::kill(*pid, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(rewrite("polish", "hello"), Outcome::success("new"));
    EXPECT_NE(service->currentChildPid(), pid);
}

TEST_F(PolishServiceTest, AChattyHelperOrAnEndlessLineCannotStallTheClient) {
    // A megabyte of standard error before each reply: more than a pipe holds.
    useScriptHelper(
        "echo '{\"ready\":true}'\nwhile read -r l; do\n  head -c 1000000 /dev/zero >&2\n"
        "  echo '{\"ok\":true,\"text\":\"spoke\"}'\ndone");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(rewrite("polish", "hello", std::nullopt, 10), Outcome::success("spoke"));
    // A reply that never ends its line is given up once the buffer bound is hit.
    service->shutdown();
    useScriptHelper("echo '{\"ready\":true}'\nread -r l\nexec head -c 50000000 /dev/zero");
    const auto start = Clock::now();
    EXPECT_EQ(rewrite("polish", "hello"), Outcome::failure(PolishService::withRemedy("rewrite timed out")));
    EXPECT_LT(secondsSince(start), 15.0);
}

TEST_F(PolishServiceTest, ShutdownSendsQuitThenTerminatesAndKillsAfterTwoSeconds) {
    service->shutdown();  // nothing running: returns at once
    const fs::path log = scratch / "got";
    // SIGTERM follows the quit line at once; this helper waits for the line.
    useScriptHelper("trap '' TERM\necho '{\"ready\":true}'\nwhile IFS= read -r l; do\n  echo \"$l\" >> '" + log.string() +
                    "'\n  [ \"$l\" = quit ] && exit 0\n  echo '{\"ok\":true,\"text\":\"x\"}'\ndone");
    ASSERT_TRUE(rewrite("polish", "one").isSuccess());
    auto pid = service->currentChildPid();
    auto start = Clock::now();
    service->shutdown();
    EXPECT_LT(secondsSince(start), 1.0);
    EXPECT_FALSE(processExists(*pid));
    std::ifstream in(log);
    std::string first, second;
    std::getline(in, first);
    std::getline(in, second);
    EXPECT_EQ(second, "quit");

    // A helper that ignores both the quit line and SIGTERM.
    useScriptHelper(
        "trap '' TERM\necho '{\"ready\":true}'\nread -r l\necho '{\"ok\":true,\"text\":\"x\"}'\n"
        "while :; do sleep 0.1; done");
    ASSERT_TRUE(rewrite("polish", "one").isSuccess());
    pid = service->currentChildPid();
    start = Clock::now();
    service->shutdown();
    const double took = secondsSince(start);
    EXPECT_GT(took, 1.9);
    EXPECT_LT(took, 3.5);
    EXPECT_FALSE(processExists(*pid));
    EXPECT_FALSE(service->currentChildPid());
}

TEST_F(PolishServiceTest, MissingOrNonExecutableHelperIsReported) {
    useBundle(bundle.path);
    EXPECT_EQ(
        service->checkAvailability(),
        (PolishService::Availability{false, "The on-device rewrite helper is missing from this build — reinstall Ondira."}));
    EXPECT_EQ(rewrite("polish", "hello"),
              Outcome::failure("The on-device rewrite helper is missing from this build — reinstall Ondira."));
    std::ofstream(bundle / "mirvane") << "#!/bin/sh\n";
    fs::permissions(bundle / "mirvane", fs::perms::owner_read | fs::perms::owner_write);
    PolishService::Availability a = PolishService::create()->checkAvailability();
    EXPECT_EQ(a, (PolishService::Availability{false, "The on-device rewrite helper is not executable — reinstall Ondira."}));
    // Starting one reports it with the missing text.
    EXPECT_EQ(rewrite("polish", "hello"),
              Outcome::failure("The on-device rewrite helper is missing from this build — reinstall Ondira."));
}

TEST_F(PolishServiceTest, DrivesTheRealHelperAgainstALocalModelServer) {
    FakeModelServer server;
    server.onChat([](const nlohmann::json& r) {
        return FakeModelServer::completion("\"" + r["messages"].back()["content"].get<std::string>() + "\"");
    });
    ScopedEnv endpoint("MIRVANE_ENDPOINT", server.url());
    ScopedEnv model("MIRVANE_MODEL", std::nullopt);
    useRealHelper();
    EXPECT_TRUE(service->checkAvailability().available);
    EXPECT_EQ(rewrite("polish", " um hello "), Outcome::success("Clean this: um hello"));
    const auto pid = service->currentChildPid();
    EXPECT_EQ(rewrite("edit", "hello", "shout it"), Outcome::success("Clean this: hello"));
    EXPECT_EQ(service->currentChildPid(), pid);
    EXPECT_NE(server.answerRequests().back()["messages"][0]["content"].get<std::string>().find("\"shout it\""),
              std::string::npos);
    server.onChat([](const nlohmann::json&) { return FakeModelServer::Reply{500, R"({"error":"no memory"})", 0}; });
    EXPECT_EQ(rewrite("bullets", "hello"), Outcome::failure(PolishService::withRemedy("the model server answered HTTP 500: no memory")));
    service->shutdown();
    EXPECT_FALSE(processExists(*pid));
}

TEST_F(PolishServiceTest, ASlowModelIsReportedByTheRealHelperBeforeTheClientsLimit) {
    FakeModelServer server;
    server.onChat([](const nlohmann::json&) { return FakeModelServer::completion("late", 40000); });
    ScopedEnv endpoint("MIRVANE_ENDPOINT", server.url());
    useRealHelper();
    const auto start = Clock::now();
    // The helper's own error, not the client's "rewrite timed out": the
    // helper is still the one that answered, so it is kept.
    EXPECT_EQ(rewrite("polish", "hello"), Outcome::failure(PolishService::withRemedy("the model did not answer within 18 s")));
    EXPECT_LT(secondsSince(start), 20.0);
    const auto pid = service->currentChildPid();
    ASSERT_TRUE(pid);
    server.onChat([](const nlohmann::json&) { return FakeModelServer::completion("quick"); });
    EXPECT_EQ(rewrite("polish", "hello"), Outcome::success("quick"));
    EXPECT_EQ(service->currentChildPid(), pid);
}

TEST_F(PolishServiceTest, TheRealHelperWithoutAModelServerExplainsWhatToStart) {
    ScopedEnv endpoint("MIRVANE_ENDPOINT", "http://127.0.0.1:" + std::to_string(FakeModelServer::closedPort()));
    useRealHelper();
    Outcome o = rewrite("polish", "hello");
    ASSERT_TRUE(o.isFailure());
    EXPECT_EQ(o.value.rfind("The on-device rewrite model did not start: no model server answered at http://127.0.0.1:", 0),
              0u)
        << o.value;
    EXPECT_EQ(o.value.find("mirvane:"), std::string::npos) << o.value;
    EXPECT_NE(o.value.find("mirvane.json"), std::string::npos) << o.value;
    EXPECT_FALSE(service->checkAvailability().available);
}

TEST(PolishSmokeTest, ReportsThatOneHelperServedBothRequests) {
    FakeModelServer server;
    TempDir home("ondira-smoke-home-");
    Subprocess p({std::string(ONDIRA_BUNDLE_DIR) + "/Ondira", "--polish-smoke-test"},
                 {{"MIRVANE_ENDPOINT", server.url()}, {"MIRVANE_MODEL", std::nullopt}, {"HOME", home.path.string()}});
    ASSERT_EQ(p.wait(60), std::optional<int>(0));
    const std::string out = p.readRemainingStdout(1);
    for (const char* expected :
         {"[polish-smoke-test] availability: available=true reason=Ready\n",
          "[polish-smoke-test] rewrite #1 (cold spawn) ok in ", "s: Fine.\n[polish-smoke-test] child pid after #1: ",
          "[polish-smoke-test] rewrite #2 (should reuse the SAME process) ok in ",
          "[polish-smoke-test] process reused across requests: true\n",
          "[polish-smoke-test] shutdown() returned; child pid after: none\n"})
        EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n--- in ---\n" << out;
    EXPECT_EQ(server.answerRequests().size(), 2u);
}

TEST(PolishSmokeTest, WithoutAModelTheRewritesFailAndNothingIsReused) {
    TempDir home("ondira-smoke-home-");
    Subprocess p({std::string(ONDIRA_BUNDLE_DIR) + "/Ondira", "--polish-smoke-test"},
                 {{"MIRVANE_ENDPOINT", "http://127.0.0.1:" + std::to_string(FakeModelServer::closedPort())},
                  {"HOME", home.path.string()}});
    ASSERT_EQ(p.wait(60), std::optional<int>(0));
    const std::string out = p.readRemainingStdout(1);
    for (const char* expected :
         {"[polish-smoke-test] rewrite #1 (cold spawn) failed in ",
          "s: The on-device rewrite model did not start: no model server answered at",
          "[polish-smoke-test] child pid after #1: none\n", "[polish-smoke-test] process reused across requests: false\n",
          "[polish-smoke-test] shutdown() returned; child pid after: none\n"})
        EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n--- in ---\n" << out;
}

// The helper's parts on their own: instruction texts, text handling, the
// loopback rule for the model server, configuration and the command line.
#include "Entry.h"
#include "Instructions.h"
#include "ModelServer.h"
#include "Responder.h"
#include "SocketServer.h"
#include "TextUtil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <fstream>
#include <filesystem>

#include "support/FakeModelServer.h"

using namespace mirvane;

namespace {
struct Env {
    std::string name;
    std::optional<std::string> old;
    Env(const std::string& n, const char* value) : name(n) {
        if (const char* v = std::getenv(n.c_str())) old = v;
        if (value) ::setenv(n.c_str(), value, 1);
        else ::unsetenv(n.c_str());
    }
    ~Env() {
        if (old) ::setenv(name.c_str(), old->c_str(), 1);
        else ::unsetenv(name.c_str());
    }
};
const std::string kBase = kBaseSentence;
}  // namespace

TEST(MirvaneInstructions, EachModeHasItsTextOfTheFixedLength) {
    Env shortVar("MIRVANE_SHORT", nullptr);
    EXPECT_EQ(kBase.size(), 262u);
    struct Case {
        const char* mode;
        std::size_t bytes;
        const char* task;
    };
    for (const Case& c : {Case{"concise", 360, " Task: remove filler"}, Case{"bullets", 369, " Task: turn the text"},
                          Case{"email", 368, " Task: format the text as a clear email"},
                          Case{"polish", 2647, " Task: fix DICTATION MECHANICS ONLY"},
                          Case{"shout", 2647, " Task: fix DICTATION MECHANICS ONLY"},
                          Case{"Email", 2647, " Task: fix DICTATION MECHANICS ONLY"}}) {
        const std::string text = instructionsFor(c.mode, "");
        EXPECT_EQ(text.size(), c.bytes) << c.mode;
        EXPECT_EQ(text.rfind(kBase + c.task, 0), 0u) << c.mode;
    }
}

TEST(MirvaneInstructions, OnlyShortZeroSelectsTheLongPolishText) {
    for (auto [value, bytes] :
         std::vector<std::pair<const char*, std::size_t>>{{"0", 7491}, {"00", 2647}, {"false", 2647}, {"1", 2647}}) {
        Env v("MIRVANE_SHORT", value);
        const std::string text = instructionsFor("polish", "");
        EXPECT_EQ(text.size(), bytes) << value;
        if (bytes == 7491) {
            EXPECT_EQ(text.rfind(kBase + " Task: clean up DICTATION MECHANICS ONLY", 0), 0u);
            EXPECT_NE(text.find("CRITICAL"), std::string::npos);
        }
    }
}

TEST(MirvaneInstructions, EditWrapsTheInstructionInQuotesEvenWhenEmpty) {
    const std::string open = " Apply EXACTLY this editing instruction to the text and nothing else: \"";
    const std::string close = "\". If it asks for translation, output only the translated text.";
    EXPECT_EQ(instructionsFor("edit", "make it formal"), kBase + open + "make it formal" + close);
    EXPECT_EQ(instructionsFor("edit", "").size(), 262u + 71 + 63);
}

TEST(MirvaneText, TrimsUnicodeWhitespaceAndStripsOnePairOfQuotes) {
    EXPECT_EQ(text::trimmed("\xC2\xA0\t hello world\r\n\xE3\x80\x80"), "hello world");
    EXPECT_EQ(text::trimmed(" \n "), "");
    struct Case {
        const char* in;
        const char* out;
    };
    for (const Case& c : {Case{"\"Hi there.\"", "Hi there."}, Case{"'Hi.'", "Hi."}, Case{"\"Hi.'", "\"Hi.'"},
                          Case{"\"", "\""}, Case{"\"\"", ""}, Case{"\"\"x\"\"", "\"x\""}, Case{"\" a \"", " a "}})
        EXPECT_EQ(cleanedAnswer(c.in), c.out) << c.in;
    EXPECT_EQ(cleanedAnswer("  \"Wrapped.\"\n"), "Wrapped.");
    EXPECT_EQ(text::sanitizeUTF8("a\xFF"
                                 "b\xC3"),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
    EXPECT_FALSE(text::isValidUTF8("\xED\xA0\x80"));  // an encoded surrogate
}

TEST(MirvaneModelServer, AcceptsOnlyPlainHttpOnLoopback) {
    struct Case {
        const char* url;
        const char* normalised;
    };
    for (const Case& c :
         {Case{"http://127.0.0.1:8080", "http://127.0.0.1:8080"}, Case{"http://127.0.0.1:8080/", "http://127.0.0.1:8080"},
          Case{"http://localhost:11434/v1", "http://localhost:11434"},
          Case{"http://127.3.4.5:9000/llm/v1/", "http://127.3.4.5:9000/llm"},
          Case{"http://[::1]:8080", "http://[::1]:8080"}}) {
        auto got = checkedLoopbackURL(c.url);
        ASSERT_TRUE(got) << c.url;
        EXPECT_EQ(*got, c.normalised);
    }
    for (const char* bad : {"https://127.0.0.1:8080", "http://192.168.1.2:8080", "http://example.com",
                            "http://127.0.0.1.example.com", "http://128.0.0.1", "http://localhost.evil:80",
                            "ftp://127.0.0.1", "not a url", "http://0.0.0.0:8080", "http://[::2]:80"}) {
        std::string why;
        EXPECT_FALSE(checkedLoopbackURL(bad, &why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
}

TEST(MirvaneModelServer, EnvironmentOverridesTheConfigurationFileKeyByKey) {
    const auto dir = std::filesystem::temp_directory_path() / ("mirvane-cfg-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "Ondira");
    Env xdg("XDG_CONFIG_HOME", dir.c_str());
    Env e("MIRVANE_ENDPOINT", nullptr);
    Env m("MIRVANE_MODEL", nullptr);
    EXPECT_FALSE(loadModelSettings().endpoint);
    std::ofstream(dir / "Ondira" / "mirvane.json") << R"({"endpoint":"http://127.0.0.1:1234","model":"m1"})";
    auto s = loadModelSettings();
    EXPECT_EQ(s.endpoint.value_or(""), "http://127.0.0.1:1234");
    EXPECT_EQ(s.model.value_or(""), "m1");
    {
        Env model("MIRVANE_MODEL", "m2");
        s = loadModelSettings();
        EXPECT_EQ(s.endpoint.value_or(""), "http://127.0.0.1:1234");
        EXPECT_EQ(s.model.value_or(""), "m2");
    }
    std::ofstream(dir / "Ondira" / "mirvane.json") << "{broken";
    s = loadModelSettings();
    EXPECT_TRUE(s.problem);
    EXPECT_FALSE(checkAvailability(s).available);
    std::filesystem::remove_all(dir);
}

// Something other than a small regular file at the configuration path is
// named as the problem at once: never waited on, never read without end.
TEST(MirvaneModelServer, RefusesAConfigurationThatIsNoSmallRegularFile) {
    const auto dir = std::filesystem::temp_directory_path() / ("mirvane-cfg-odd-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "Ondira");
    const auto path = dir / "Ondira" / "mirvane.json";
    Env xdg("XDG_CONFIG_HOME", dir.c_str());
    Env e("MIRVANE_ENDPOINT", nullptr);
    struct Case {
        const char* what;
        std::function<void()> plant;
    };
    const std::vector<Case> cases = {
        {"fifo", [&] { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }},
        {"link to /dev/zero", [&] { std::filesystem::create_symlink("/dev/zero", path); }},
        {"oversized file",
         [&] {
             std::ofstream(path) << R"({"endpoint":"http://127.0.0.1:1234"})" << std::string(1 << 20, ' ');
         }},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(path);
        c.plant();
        auto loaded = std::async(std::launch::async, [] { return loadModelSettings(); });
        if (loaded.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);  // free a reader stuck on the FIFO
            if (fd >= 0) ::close(fd);
            ADD_FAILURE() << c.what << ": reading the configuration hung";
        }
        ModelSettings s;
        ASSERT_NO_THROW(s = loaded.get()) << c.what;
        EXPECT_FALSE(s.endpoint) << c.what;
        ASSERT_TRUE(s.problem) << c.what;
        EXPECT_NE(s.problem->find(path.string()), std::string::npos) << *s.problem;
    }
    std::filesystem::remove_all(dir);
}

TEST(MirvaneModelServer, UnconfiguredTriesEachDefaultServerInTurnAndTakesItsFirstModel) {
    FakeModelServer server;
    server.setModels({"first", "second"});
    const std::string closed = "http://127.0.0.1:" + std::to_string(FakeModelServer::closedPort());
    ModelAvailability a = checkAvailability(ModelSettings{}, {closed, server.url()});
    ASSERT_TRUE(a.available) << a.reason;
    EXPECT_EQ(a.endpoint.baseURL, server.url());
    EXPECT_EQ(a.endpoint.model, "first");

    a = checkAvailability(ModelSettings{}, {closed});
    EXPECT_FALSE(a.available);
    EXPECT_NE(a.reason.find("start llama-server"), std::string::npos) << a.reason;

    ModelSettings wanted;
    wanted.endpoint = server.url();
    wanted.model = "third";
    a = checkAvailability(wanted);
    EXPECT_FALSE(a.available);
    EXPECT_NE(a.reason.find("\"third\""), std::string::npos) << a.reason;
    EXPECT_NE(a.reason.find("first, second"), std::string::npos) << a.reason;

    // "localhost" reaches the same loopback server without a name lookup.
    ModelSettings byName;
    byName.endpoint = "http://localhost:" + std::to_string(server.port()) + "/v1";
    a = checkAvailability(byName);
    EXPECT_TRUE(a.available) << a.reason;
    EXPECT_EQ(a.endpoint.baseURL, "http://localhost:" + std::to_string(server.port()));

    server.setModels({});
    EXPECT_FALSE(checkAvailability(ModelSettings{}, {server.url()}).available);
    server.setModels({"x"});
    server.setModelListStatus(404);
    a = checkAvailability(ModelSettings{}, {server.url()});
    EXPECT_FALSE(a.available);
    EXPECT_NE(a.reason.find("not an OpenAI-compatible model server"), std::string::npos) << a.reason;
    // Something else on the first default port doesn't hide a server on the second.
    FakeModelServer second;
    a = checkAvailability(ModelSettings{}, {server.url(), second.url()});
    EXPECT_TRUE(a.available) << a.reason;
    EXPECT_EQ(a.endpoint.baseURL, second.url());
}

TEST(MirvaneEntry, ReadsTheCommandLineInItsOrder) {
    using Road = Invocation::Road;
    Env home("HOME", "/home/someone");
    Env data("XDG_DATA_HOME", nullptr);
    const std::string dflt = "/home/someone/.local/share/Ondira/run/mirvane.sock";
    EXPECT_EQ(defaultSocketPath(), dflt);
    struct Case {
        std::vector<std::string> args;
        Road road;
        std::string mode, instruction, socket;
        double idle;
    };
    for (const Case& c : std::vector<Case>{
             {{"mirvane"}, Road::oneShot, "polish", "", "", 300},
             {{"mirvane", "--serve"}, Road::serve, "polish", "", "", 300},
             {{"mirvane", "--serve", "--socket", "--idle", "5"}, Road::socketServer, "polish", "", dflt, 5},
             {{"mirvane", "--serve", "--socket", "/tmp/s.sock"}, Road::socketServer, "polish", "", "/tmp/s.sock", 300},
             {{"mirvane", "--serve", "--socket", ""}, Road::socketServer, "polish", "", dflt, 300},
             {{"mirvane", "--serve", "--idle", "0", "--socket"}, Road::socketServer, "polish", "", dflt, 300},
             {{"mirvane", "--serve", "--socket", "/s", "--idle", "-2"}, Road::socketServer, "polish", "", "/s", 300},
             {{"mirvane", "--serve", "--socket", "/s", "--idle", "abc"}, Road::socketServer, "polish", "", "/s", 300},
             {{"mirvane", "--serve", "--socket", "/s", "--idle", "0.5"}, Road::socketServer, "polish", "", "/s", 0.5},
             {{"mirvane", "--serve", "--socket", "/s", "--idle", "5s"}, Road::socketServer, "polish", "", "/s", 300},
             {{"mirvane", "--serve", "--socket", "/s", "--idle", " 5"}, Road::socketServer, "polish", "", "/s", 300},
             {{"mirvane", "--serve", "--socket", "/s", "--idle"}, Road::socketServer, "polish", "", "/s", 300},
             {{"mirvane", "--socket-path"}, Road::printSocketPath, "polish", "", "", 300},
             {{"mirvane", "edit", "make it formal"}, Road::oneShot, "edit", "make it formal", "", 300},
             {{"mirvane", "bullets"}, Road::oneShot, "bullets", "", "", 300},
         }) {
        Invocation inv = parseArguments(c.args);
        std::string label = c.args.size() > 1 ? c.args[1] + " " + std::to_string(c.args.size()) : "none";
        EXPECT_EQ(inv.road, c.road) << label;
        EXPECT_EQ(inv.mode, c.mode) << label;
        EXPECT_EQ(inv.instruction, c.instruction) << label;
        if (c.road == Road::socketServer) {
            EXPECT_EQ(inv.socketPath, c.socket) << label;
            EXPECT_DOUBLE_EQ(inv.idleSeconds, c.idle) << label;
        }
    }
}

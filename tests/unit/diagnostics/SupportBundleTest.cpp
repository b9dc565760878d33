// The support bundle as the menu writes it, over a fixture history and fault
// log, and the home-path redaction it relies on.
#include "Base/CommandLineTool.h"
#include "Base/AppPaths.h"
#include "Base/FaultLog.h"
#include "Diagnostics/HomeRedaction.h"
#include "Diagnostics/SupportBundle.h"
#include "Platform/FileIO.h"

#include <gtest/gtest.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "support/TempDir.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

struct RedactionCase {
    const char* text;
    const char* home;
    const char* expected;
};

TEST(HomeRedaction, MatchesWholePathComponentsOnly) {
    const RedactionCase cases[] = {
        {"open /home/al/notes.txt", "/home/al", "open ~/notes.txt"},
        {"open /home/al", "/home/al/", "open ~"},
        {"(/home/al) and \"/home/al/x\"", "/home/al", "(~) and \"~/x\""},
        {"file:///home/al/a.wav", "/home/al", "file://~/a.wav"},
        // Another user whose name starts with ours keeps nothing of the name.
        {"read /home/alice/secret", "/home/al", "read /home/<user>/secret"},
        {"read /home/al.old/x", "/home/al", "read /home/<user>/x"},
        {"/srv/home/al/x", "/home/al", "/srv/home/al/x"},
        {"cd /root/.config", "/root", "cd ~/.config"},
        {"mount /rootfs/a", "/root", "mount /rootfs/a"},
        {"user /home/bob/a and /home/", "", "user /home/<user>/a and /home/"},
        {"/home/zoë/Documents", "/home/al", "/home/<user>/Documents"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Diagnostics::redactHomePaths(c.text, c.home), c.expected) << c.text << " with home " << c.home;
    }
}

class LiveBundle : public ::testing::Test {
protected:
    TempDir dir{"ondira-bundle-"};
    // A home whose path can't be confused with anything else in the bundle.
    fs::path home = dir / "home-of-fixture-owner";
    ScopedEnv isolation{AppPaths::selfTestStateDirVariable, (dir / "state").string()};
    ScopedEnv homeVariable{"HOME", home.string()};

    void SetUp() override { fs::create_directories(home); }

    static void append(const fs::path& file, const std::string& line) {
        std::ofstream out(file, std::ios::app);
        out << line << "\n";
    }
};

constexpr const char* kSentence = "Please send the quarterly numbers to Margaret before noon";
constexpr const char* kAppName = "Thunderbird Mail";

TEST_F(LiveBundle, HoldsNoDictatedTextAppNameOrHomePath) {
    const fs::path history = AppPaths::dictationLogFile();
    append(history, json{{"ts", 1700000000},
                         {"app", kAppName},
                         {"text", kSentence},
                         {"words", 9},
                         {"latency", 0.42},
                         {"engine", "pocketsphinx_context_ondevice"}}
                        .dump());
    append(history, json{{"ts", 1700000060},
                         {"app", "Terminal"},
                         {"text", "git status"},
                         {"words", 2},
                         {"latency", 0.31},
                         {"engine", "pocketsphinx_context_ondevice"}}
                        .dump());
    const fs::path faults = FaultLog::faultsFileURL();
    append(faults,
           FaultLog::recordLine("uncaught_exception",
                                {{"reason", "could not open " + home.string() + "/Documents/plan.txt"}}, 1700000100));
    append(faults, FaultLog::recordLine("launch", {{"version", "2.0.0"}}, 1700000150));
    append(faults, FaultLog::recordLine("transcribe_error", {{"reason", std::string("stuck after '") + kSentence + "'"}},
                                        1700000200));

    const fs::path out = dir / "out";
    SupportBundle::LiveExtras extras;
    extras.doctorLines = {"polish helper      : MISSING — mirvane belongs in " + home.string() + "/bin"};
    const fs::path written = SupportBundle::generateAndWrite(out, std::nullopt, extras);
    const auto text = platform::readFile(written);
    ASSERT_TRUE(text);

    // The fixture was read: both dictations and both faults are counted,
    // and the launch among them is an event, never listed as a fault.
    EXPECT_NE(text->find("Entries: 2"), std::string::npos) << *text;
    EXPECT_NE(text->find("Total faults recorded: 2"), std::string::npos) << *text;
    EXPECT_NE(text->find("Total events recorded: 1"), std::string::npos) << *text;
    const auto faultSection = text->find("== Faults ==");
    ASSERT_NE(faultSection, std::string::npos) << *text;
    EXPECT_EQ(text->find(" launch ", faultSection), std::string::npos) << *text;
    EXPECT_NE(text->find(" launch "), std::string::npos) << "the launch is listed among the events: " << *text;
    EXPECT_NE(text->find("pocketsphinx_context_ondevice 2"), std::string::npos) << *text;

    // The self-test hint names the command that runs this program here.
    EXPECT_NE(text->find("(run: " + CommandLineTool::current().command + " --self-test)"), std::string::npos) << *text;
    EXPECT_EQ(text->find("run: ondira --self-test"), std::string::npos) << "no ondira on this PATH: " << *text;

    EXPECT_EQ(text->find("quarterly numbers"), std::string::npos) << *text;
    EXPECT_EQ(text->find(kAppName), std::string::npos) << *text;
    EXPECT_EQ(text->find(home.string()), std::string::npos) << *text;
    EXPECT_EQ(text->find("home-of-fixture-owner"), std::string::npos) << *text;
    EXPECT_NE(text->find("~/Documents/plan.txt"), std::string::npos) << *text;

    EXPECT_EQ(written.parent_path(), out);
    EXPECT_EQ(written.filename().string().rfind(SupportBundle::fileNamePrefix, 0), 0u);
}

}  // namespace

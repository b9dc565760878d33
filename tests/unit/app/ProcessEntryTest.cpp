#include "Entry/ProcessEntry.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <sys/wait.h>
#include <csignal>

#include "CLI/OndiraCLI.h"
#include "unit/cli/CLIRun.h"

TEST(ProcessEntry, RoadsAreTestedInOrder) {
    struct Case {
        std::vector<std::string> args;
        EntryRoad road;
    };
    const Case table[] = {
        {{"Ondira"}, EntryRoad::menuBarApplication},
        {{"Ondira", "--self-test"}, EntryRoad::selfTest},
        {{"Ondira", "--self-test", "history"}, EntryRoad::selfTest},
        {{"Ondira", "history", "--self-test"}, EntryRoad::selfTest},
        {{"Ondira", "--mic-check", "--self-test"}, EntryRoad::selfTest},
        {{"Ondira", "--hud-demo", "--polish-smoke-test"}, EntryRoad::polishSmokeTest},
        {{"Ondira", "--mic-check", "--hud-demo"}, EntryRoad::hudDemo},
        {{"Ondira", "history"}, EntryRoad::commandLine},
        {{"Ondira", "dict", "list"}, EntryRoad::commandLine},
        {{"Ondira", "--help"}, EntryRoad::commandLine},
        {{"Ondira", "-h"}, EntryRoad::commandLine},
        {{"Ondira", "--privacy-report"}, EntryRoad::commandLine},
        {{"Ondira", "--personal-model"}, EntryRoad::commandLine},
        {{"Ondira", "history", "--mic-check"}, EntryRoad::micCheck},
        {{"Ondira", "--mic-check"}, EntryRoad::micCheck},
        {{"Ondira", "--verbose", "history"}, EntryRoad::menuBarApplication},  // subcommand only first
        {{"Ondira", "histories"}, EntryRoad::menuBarApplication},
        {{"Ondira", "HISTORY"}, EntryRoad::menuBarApplication},
        {{"/path/--self-test"}, EntryRoad::menuBarApplication},  // a switch must equal an argument exactly
        {{"--self-test"}, EntryRoad::selfTest},                  // the program path counts as an argument
    };
    for (const auto& c : table) {
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        EXPECT_STREQ(entryRoadName(chooseEntryRoad(c.args)), entryRoadName(c.road)) << joined;
    }
}

TEST(OndiraCLI, KnowsExactlyTheCommandWords) {
    for (const char* w : {"history", "dict", "snippets", "stats", "doctor", "transcribe", "help", "--help", "-h",
                          "--privacy-report", "--personal-model"}) {
        EXPECT_TRUE(OndiraCLI::isSubcommand(w)) << w;
    }
    for (const char* w : {"", "History", "--self-test", "--mic-check", "-help", "privacy-report"}) {
        EXPECT_FALSE(OndiraCLI::isSubcommand(w)) << w;
    }
}

namespace {
// The first line the real executable prints with these arguments; the process
// is ended as soon as it is read.
std::string firstLineOf(const std::vector<std::string>& arguments) {
    int fds[2];
    if (::pipe(fds) != 0) return "";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[0]);
        ::close(fds[1]);
        const std::string program = std::string(ONDIRA_BUNDLE_DIR) + "/Ondira";
        std::vector<char*> argv{const_cast<char*>("Ondira")};
        for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string line;
    char c = 0;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(fds[0]);
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }
    return line;
}
}  // namespace

TEST(ProcessEntry, TheRealExecutableTakesTheRoads) {
    auto help = runOndira("help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: Ondira <command> [options]"), std::string::npos);

    auto usage = runOndira("help extra");
    EXPECT_EQ(usage.status, 2);
    EXPECT_TRUE(usage.out.empty()) << "usage errors go to standard error only";

    // The self-test road is recognised by its first line; the run itself is
    // ctest's `selftest` entry, so it is stopped here once the road is known.
    EXPECT_EQ(firstLineOf({"--self-test", "history"}).rfind("[SelfTest] isolated state dir: ", 0), 0u);
}

#include "Entry/ProcessEntry.h"

#include <gtest/gtest.h>

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
        {{"--self-test"}, EntryRoad::selfTest},                   // the program path counts as an argument
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

TEST(ProcessEntry, TheRealExecutableTakesTheRoads) {
    auto help = runOndira("help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: Ondira <command> [options]"), std::string::npos);

    auto usage = runOndira("help extra");
    EXPECT_EQ(usage.status, 2);
    EXPECT_TRUE(usage.out.empty()) << "usage errors go to standard error only";

    auto selfTest = runOndira("--self-test history");
    EXPECT_EQ(selfTest.status, 0) << selfTest.out;
    EXPECT_EQ(selfTest.out.rfind("[SelfTest] isolated state dir: ", 0), 0u) << selfTest.out;
}

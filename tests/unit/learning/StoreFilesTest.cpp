// What the stores do with something other than their own file at their path:
// a planted symlink, a FIFO, a device.
#include "Learning/CorrectionLog.h"
#include "Learning/DictationLogger.h"

#include "Base/AppPaths.h"
#include "Platform/FileIO.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>

#include "support/TempDir.h"
#include "unit/cli/CLIRun.h"

namespace fs = std::filesystem;

namespace {

unsigned modeOf(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

}  // namespace

// A symlink planted at an append-only log must not get our lines appended to
// its target, nor the target's mode narrowed: the append is refused.
TEST(StoreFiles, AppendersRefuseASymlinkAtTheirPath) {
    TempDir dir{"ondira-stores-"};
    ScopedEnv isolation{AppPaths::selfTestStateDirVariable, dir.path.string()};
    const fs::path target = dir / "elsewhere.txt";
    const std::string original = "someone else's file\n";
    struct Row {
        const char* name;
        std::function<void(const fs::path&)> append;
    };
    const std::vector<Row> rows = {
        {"corrections.jsonl",
         [](const fs::path& file) {
             CorrectionLog(file).record("teh", "the", "", "Editor", CorrectionSource::observedEdit);
         }},
        {"dictation_log.jsonl",
         [&](const fs::path& file) {
             DictationLogger logger(file.parent_path());
             logger.setLoggingEnabled(true);
             EXPECT_FALSE(logger.appendLine({{"text", "planted"}}));
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        { std::ofstream(target, std::ios::trunc) << original; }
        ::chmod(target.c_str(), 0644);
        const fs::path file = dir / row.name;
        fs::create_symlink(target, file);
        row.append(file);
        EXPECT_EQ(platform::readFile(target), original);
        EXPECT_EQ(modeOf(target), 0644u);
        EXPECT_TRUE(fs::is_symlink(file));
        fs::remove(file);
    }
}

// A FIFO at a data path used to block every command for good, and a symlink
// to /dev/zero grew the process until it aborted. Readers take regular files
// of bounded size only, say what they refused, and leave the thing in place.
TEST(StoreFiles, CommandsFinishWhenADataPathIsAFIFOOrADevice) {
    struct Row {
        const char* where;  // "data" (Application Support) or "config" (the settings directory)
        const char* name;
        const char* command;
    };
    const Row rows[] = {
        {"data", "dictation_log.jsonl", "history"}, {"data", "dictionary.json", "dict list"},
        {"data", "snippets.json", "snippets list"}, {"data", "corrections.jsonl", "dict add teh the"},
        {"data", "config.json", "doctor"},          {"config", "com.ondira.app.json", "doctor"},
    };
    for (const auto& row : rows) {
        for (const bool fifo : {true, false}) {
            SCOPED_TRACE(std::string(row.name) + (fifo ? " as a FIFO" : " as /dev/zero"));
            const IsolatedHome home;
            const fs::path dir =
                std::string(row.where) == "data" ? home.applicationSupport() : home.home.path / ".config" / "Ondira";
            fs::create_directories(dir);
            const fs::path file = dir / row.name;
            if (fifo) ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
            else fs::create_symlink("/dev/zero", file);
            // A time limit (as the command env(1) runs) turns a hang into a failure here.
            const CLIRun run = runOndira(row.command, home.environment() + " timeout -s KILL 60");
            EXPECT_NE(run.status, -1) << "killed: the command hung or ran away";
            EXPECT_NE(run.status, 137) << "killed: the command hung";
            EXPECT_EQ(run.err.find("bad_alloc"), std::string::npos) << run.err;
            if (std::string(row.name) != "corrections.jsonl") {
                EXPECT_NE(run.err.find(file.string() + " is not a regular file"), std::string::npos) << run.err;
            }
            EXPECT_EQ(fifo ? fs::is_fifo(fs::symlink_status(file)) : fs::is_symlink(fs::symlink_status(file)), true);
        }
    }
}

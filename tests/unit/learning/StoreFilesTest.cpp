// What the stores do with something other than their own file at their path:
// a planted symlink, a FIFO, a device.
#include "Learning/CorrectionLog.h"
#include "Learning/DictationLogger.h"

#include "Base/AppPaths.h"
#include "Platform/FileIO.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "support/TempDir.h"

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

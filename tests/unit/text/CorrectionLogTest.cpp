#include "Learning/CorrectionLog.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Platform/FileIO.h"
#include "TextTestSupport.h"

namespace fs = std::filesystem;

namespace {

class CorrectionLogTest : public IsolatedTextTest {};

unsigned modeOf(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

std::size_t lineCount(const fs::path& p) {
    std::string s = platform::readFile(p).value_or("");
    return static_cast<std::size_t>(std::count(s.begin(), s.end(), '\n'));
}

TEST_F(CorrectionLogTest, BlankSidesWriteNothingAndCreateNoFile) {
    TempDir dir;
    CorrectionLog log(dir / "c.jsonl");
    log.record("  \n", "x", "", "A", CorrectionSource::observedEdit);
    log.record("x", "", "", "A", CorrectionSource::observedEdit);
    EXPECT_FALSE(fs::exists(dir / "c.jsonl"));
}

TEST_F(CorrectionLogTest, StoresValuesAsPassedAndCutsTheContext) {
    TempDir dir;
    CorrectionLog log(dir / "c.jsonl");
    log.record(" Foo ", "Bar", std::string(250, 'x'), "Notes", CorrectionSource::observedEdit);
    auto all = log.all();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].heard, " Foo ");
    EXPECT_EQ(all[0].context.size(), 200u);
    EXPECT_EQ(all[0].source, CorrectionSource::observedEdit);
    EXPECT_EQ(modeOf(dir / "c.jsonl"), 0600u);
    EXPECT_EQ(log.deleteRecords("foo", "bar"), 1);
}

TEST_F(CorrectionLogTest, TornLastLineIsClosedBeforeTheNextRecord) {
    TempDir dir;
    const fs::path file = dir / "c.jsonl";
    std::ofstream(file) << R"({"heard":"a","written":"b","ts":1,"source":"observed_edit"})"
                        << "\n{\"heard\":\"tor";
    ::chmod(file.c_str(), 0644);
    CorrectionLog log(file);
    log.record("x", "y", "", "A", CorrectionSource::explicitDictionaryAdd);
    auto all = log.all();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].heard, "x");
    EXPECT_EQ(modeOf(file), 0600u);
}

TEST_F(CorrectionLogTest, SizeCapKeepsTheNewestLinesOnlyPastTheLimit) {
    TempDir dir;
    const fs::path file = dir / "c.jsonl";
    CorrectionLog log(file, CorrectionLog::Limits{5, 3});
    for (int i = 0; i < 5; ++i) log.record("h" + std::to_string(i), "w", "", "A", CorrectionSource::observedEdit);
    EXPECT_EQ(lineCount(file), 5u);  // at the limit nothing is cut
    log.record("h5", "w", "", "A", CorrectionSource::observedEdit);
    auto all = log.all();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all.front().heard, "h3");
    EXPECT_EQ(all.back().heard, "h5");
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(platform::readFile(file).value_or("").back(), '\n');
}

TEST_F(CorrectionLogTest, ParseSkipsBadLinesAndDefaultsOptionalFields) {
    const std::string content =
        "\nnot json\n{\"heard\":\"a\",\"written\":\"b\",\"ts\":\"1\",\"source\":\"observed_edit\"}\n"
        "{\"heard\":\"a\",\"written\":\"b\",\"ts\":1,\"source\":\"manual\"}\n"
        "{\"heard\":\"a\",\"written\":\"b\",\"ts\":7,\"source\":\"observed_edit\",\"app\":3}";
    auto records = CorrectionLog::parseRecords(content);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].ts, 7);
    EXPECT_EQ(records[0].app, "");
    EXPECT_EQ(records[0].context, "");
}

TEST_F(CorrectionLogTest, DeleteWithNoMatchLeavesTheFileByteForByte) {
    TempDir dir;
    const fs::path file = dir / "c.jsonl";
    const std::string original = "garbage line\n{\"heard\":\"a\",\"written\":\"b\",\"ts\":1,\"source\":\"observed_edit\"}\n";
    std::ofstream(file) << original;
    CorrectionLog log(file);
    EXPECT_EQ(log.deleteRecords("zzz", "b"), 0);
    EXPECT_EQ(platform::readFile(file).value_or(""), original);
    EXPECT_EQ(log.deleteRecords(" A ", "B"), 1);
    EXPECT_EQ(platform::readFile(file).value_or(""), "garbage line\n");
}

TEST_F(CorrectionLogTest, LearnedListFollowsEveryChangeOfTheFile) {
    TempDir dir;
    const fs::path file = dir / "c.jsonl";
    CorrectionLog log(file);
    for (int i = 0; i < 2; ++i) log.record("teh", "the", "", "A", CorrectionSource::observedEdit);
    EXPECT_TRUE(log.learnedSubstitutions().empty());
    log.record("TEH", "the", "", "A", CorrectionSource::observedEdit);
    ASSERT_EQ(log.learnedSubstitutions().size(), 1u);
    // Replaced behind the log's back by another writer.
    std::ofstream(file, std::ios::trunc) << "";
    EXPECT_TRUE(log.learnedSubstitutions().empty());
}

TEST_F(CorrectionLogTest, RankingThenCapAndSuggestionForms) {
    std::vector<CorrectionRecord> records;
    auto add = [&](const char* h, const char* w, int n) {
        for (int i = 0; i < n; ++i) records.push_back({h, w, "", "A", 1, CorrectionSource::observedEdit});
    };
    add("charlie", "CHARLIE", 3);
    add("bravo", "BRAVO", 4);
    add("Alpha", "ALPHA", 5);
    auto learned = CorrectionLog::computeLearnedSubstitutions(records, 3, 2, {});
    ASSERT_EQ(learned.size(), 2u);
    EXPECT_EQ(learned[0], (CorrectionLog::LearnedSubstitution{"Alpha", "ALPHA"}));
    EXPECT_EQ(learned[1].heard, "bravo");
    auto suggestions = CorrectionLog::computeSuggestions(records, 4, {" BRAVO "});
    ASSERT_EQ(suggestions.size(), 1u);
    EXPECT_EQ(suggestions[0].heard, "Alpha");
}

}  // namespace

// Two processes record at once while the size cap keeps cutting the file:
// each process's surviving records must run without a gap up to its last one
// (the cap keeps as many lines as one process writes, so every last record stays).
// A cut that read the file, let another process append, and renamed its
// shorter copy over the file would drop that append.
// Root passes every permission check on files; a thread without these two
// capabilities (and every thread it starts) meets the modes as their owner does.
bool dropPermissionOverride() {
    if (::geteuid() != 0) return true;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    for (unsigned cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) data[cap / 32].effective &= ~(1u << (cap % 32));
    return ::syscall(SYS_capset, &header, data) == 0;
}

// A file that does not load, and that cannot be moved aside (its folder
// takes no renames), stays as it is: the record is not added to what nobody
// can read, and the caller hears why.
TEST_F(CorrectionLogTest, ADamagedFileThatCannotBeMovedAsideIsNotAddedTo) {
    TempDir dir;
    const fs::path folder = dir / "support";
    fs::create_directories(folder);
    const fs::path file = folder / "c.jsonl";
    const std::string garbled = "\x01\x02 not a record\n";
    ASSERT_TRUE(platform::atomicWrite(file, garbled));
    std::ofstream(platform::StoreLock::lockFileFor(file)).flush();
    ASSERT_EQ(::chmod(folder.c_str(), 0500), 0);
    const fs::path answer = dir / "answer";
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (!dropPermissionOverride()) ::_exit(2);
        CorrectionLog log(file);
        const auto problem = log.record("ctok", "C", "", "Ondira", CorrectionSource::explicitDictionaryAdd);
        std::ofstream(answer) << problem.value_or("(recorded)");
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::chmod(folder.c_str(), 0700);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(platform::readFile(answer), file.string() + ": it did not load, and cannot move " + file.string() +
                                              " aside: Permission denied");
    EXPECT_EQ(platform::readFile(file), garbled);
}

TEST_F(CorrectionLogTest, ConcurrentRecordersInTwoProcessesLoseNothing) {
    TempDir dir;
    const fs::path file = dir / "c.jsonl";
    constexpr int perProcess = 200;
    std::vector<pid_t> children;
    for (int p = 0; p < 2; ++p) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            CorrectionLog log(file, CorrectionLog::Limits{perProcess + 5, perProcess});
            for (int i = 0; i < perProcess; ++i)
                log.record("p" + std::to_string(p), std::to_string(i), "", "A", CorrectionSource::observedEdit);
            ::_exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::map<std::string, std::vector<int>> seen;
    for (const auto& r : CorrectionLog::parseRecords(platform::readFile(file).value_or("")))
        seen[r.heard].push_back(std::stoi(r.written));
    ASSERT_EQ(seen.size(), 2u);
    for (const auto& [process, numbers] : seen) {
        ASSERT_FALSE(numbers.empty());
        EXPECT_EQ(numbers.back(), perProcess - 1) << process << "'s last record is missing";
        for (std::size_t k = 1; k < numbers.size(); ++k)
            EXPECT_EQ(numbers[k], numbers[k - 1] + 1) << process << " lost record " << numbers[k - 1] + 1;
    }
}

#include "Base/FaultLog.h"

#include "Base/AppPaths.h"
#include "Platform/FileIO.h"
#include "Platform/Unicode.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include "support/ProcessRace.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

std::string signalLine(long long ts, int sig) {
    return "{\"ts\":" + std::to_string(ts) + ",\"kind\":\"signal\",\"sig\":" + std::to_string(sig) + "}";
}

// The fault log of a private Application Support, and children that install
// the handlers there (install works once per process, so each scenario runs in
// its own process).
class FaultLogProcessTest : public ::testing::Test {
protected:
    TempDir dir{"ondira-faults-"};
    ScopedEnv isolation{AppPaths::selfTestStateDirVariable, dir.path.string()};

    fs::path faults() { return FaultLog::faultsFileURL(); }

    std::vector<std::string> lines() {
        auto all = platform::text::splitLines(platform::readFile(faults()).value_or(""));
        if (!all.empty() && all.back().empty()) all.pop_back();
        return all;
    }

    // Runs `body` in a child and returns its wait status. The child never
    // returns into the test runner.
    int runChild(const std::function<void()>& body) {
        pid_t pid = ::fork();
        if (pid == 0) {
            rlimit noCore{0, 0};
            ::setrlimit(RLIMIT_CORE, &noCore);  // crashes on purpose: no core files
            body();
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return status;
    }

    std::vector<json> records() {
        std::vector<json> out;
        for (const auto& line : lines()) {
            json value = json::parse(line, nullptr, false);
            if (value.is_object()) out.push_back(value);
        }
        return out;
    }
};

}  // namespace

TEST(FaultLogFormat, SignalRecordIsExactAndClampsNegativeTimes) {
    struct Case {
        long long ts, sig;
        std::string expected;
    };
    const Case table[] = {
        {1'700'000'000, 11, signalLine(1'700'000'000, 11) + "\n"},
        {0, 6, signalLine(0, 6) + "\n"},
        {-5, 7, signalLine(0, 7) + "\n"},
        {9'223'372'036'854'775'807LL, 8, "{\"ts\":9223372036854775807,\"kind\":\"signal\",\"sig\":8}\n"},
    };
    for (const auto& c : table) {
        char buffer[FaultLog::signalBufferSize];
        const std::size_t length = FaultLog::formatSignalRecord(buffer, c.ts, c.sig);
        EXPECT_EQ(std::string(buffer, length), c.expected);
    }
}

TEST(FaultLogFormat, DetailMergesOverTheBaseKeys) {
    json line = json::parse(FaultLog::recordLine("transcript_truncated", {{"audio_secs", "61.50"}}, 1234));
    EXPECT_EQ(line, json({{"ts", 1234}, {"kind", "transcript_truncated"}, {"version", "2.0.0"}, {"audio_secs", "61.50"}}));
    line = json::parse(FaultLog::recordLine("x", {{"kind", "replaced"}, {"version", "9"}}, 1));
    EXPECT_EQ(line["kind"], "replaced");
    EXPECT_EQ(line["version"], "9");
    const std::string text = FaultLog::recordLine("x", {}, 1);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find(' '), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

TEST(FaultLogFormat, ExceptionStackKeepsAtMost24Symbols) {
    struct Case {
        std::size_t symbols, kept;
    };
    for (const Case c : {Case{30, 24}, Case{24, 24}, Case{3, 3}, Case{0, 0}}) {
        std::vector<std::string> stack;
        for (std::size_t i = 0; i < c.symbols; ++i) stack.push_back("frame" + std::to_string(i));
        auto detail = FaultLog::uncaughtExceptionDetail("std::logic_error", "", stack);
        EXPECT_EQ(detail["name"], "std::logic_error");
        EXPECT_EQ(detail["reason"], "");
        std::vector<std::string> parts;
        const std::string joined = detail["stack"];
        for (std::size_t start = 0; !joined.empty();) {
            const std::size_t bar = joined.find(" | ", start);
            parts.push_back(joined.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
            if (bar == std::string::npos) break;
            start = bar + 3;
        }
        EXPECT_EQ(parts.size(), c.kept) << c.symbols;
        if (c.kept) {
            EXPECT_EQ(parts.back(), "frame" + std::to_string(c.kept - 1));
        }
    }
}

TEST(FaultLogSizeCap, KeepsTheNewestWholeRecords) {
    TempDir dir;
    const fs::path path = dir / "faults.jsonl";
    auto fill = [&](std::uint64_t size) {
        std::string content;
        for (int i = 0; content.size() < size; ++i) content += FaultLog::recordLine("n", {{"i", std::to_string(i)}}, i);
        content.resize(static_cast<std::size_t>(size));
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        return content;
    };
    const std::string atCap = fill(FaultLog::sizeCapBytes);
    EXPECT_FALSE(FaultLog::applySizeCap(path, FaultLog::sizeCapBytes));
    EXPECT_EQ(platform::readFile(path), atCap);

    const std::string over = fill(FaultLog::sizeCapBytes + 1);
    ASSERT_TRUE(FaultLog::applySizeCap(path, FaultLog::sizeCapBytes));
    const std::string kept = platform::readFile(path).value_or("");
    EXPECT_LE(kept.size(), FaultLog::sizeCapBytes / 2);
    EXPECT_GT(kept.size(), FaultLog::sizeCapBytes / 2 - 200);
    // The kept part is the file's own tail, starting on a record boundary.
    EXPECT_EQ(over.substr(over.size() - kept.size()), kept);
    EXPECT_TRUE(json::parse(platform::text::splitLines(kept).front(), nullptr, false).is_object());
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A link planted at the log's path is opened by nothing: its target keeps
// its mode and its content, even when the process then dies of a signal.
TEST_F(FaultLogProcessTest, APlantedLinkIsNeitherFollowedNorWidened) {
    const fs::path target = dir / "someone-elses.txt";
    ASSERT_TRUE(platform::atomicWrite(target, "theirs\n", 0644));
    fs::create_directories(faults().parent_path());
    fs::create_symlink(target, faults());
    const int status = runChild([] {
        FaultLog::install();
        ::raise(SIGSEGV);
    });
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_TRUE(fs::is_symlink(faults()));
    EXPECT_EQ(platform::readFile(target), "theirs\n");
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(FaultLogProcessTest, AFatalSignalLeavesItsRecordAndEndsByTheSignal) {
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) {
        std::error_code ec;
        fs::remove(faults(), ec);
        const long long before = std::time(nullptr);
        const int status = runChild([sig] {
            FaultLog::install();
            ::raise(sig);
        });
        ASSERT_TRUE(WIFSIGNALED(status)) << sig;
        EXPECT_EQ(WTERMSIG(status), sig);
        const auto all = lines();
        ASSERT_EQ(all.size(), 2u) << sig;
        EXPECT_EQ(json::parse(all[0])["kind"], "launch");
        const json record = json::parse(all[1]);
        const long long ts = record["ts"];
        EXPECT_GE(ts, before);
        EXPECT_LE(ts, std::time(nullptr));
        EXPECT_EQ(all[1], signalLine(ts, sig));
    }
}

TEST_F(FaultLogProcessTest, AnUncaughtExceptionIsRecordedWithItsTypeReasonAndStack) {
    const int status = runChild([] {
        FaultLog::install();
        // Thrown on a thread of its own, so nothing (the test runner included) can catch it.
        std::thread([] { throw std::runtime_error("the disk is on fire"); }).join();
    });
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGABRT);
    const auto all = records();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0]["kind"], "launch");
    EXPECT_EQ(all[0]["build"], "200");
    EXPECT_EQ(all[1]["kind"], "uncaught_exception");
    EXPECT_EQ(all[1]["name"], "std::runtime_error");
    EXPECT_EQ(all[1]["reason"], "the disk is on fire");
    const std::string stack = all[1]["stack"];
    EXPECT_FALSE(stack.empty());
    EXPECT_LE(std::count(stack.begin(), stack.end(), '|'), 23);
    // The abort that follows is a signal of its own.
    EXPECT_EQ(all[2]["kind"], "signal");
    EXPECT_EQ(all[2]["sig"], SIGABRT);
}

TEST_F(FaultLogProcessTest, AnExceptionWithoutAReasonRecordsAnEmptyOne) {
    struct Unnamed {};
    runChild([] {
        FaultLog::install();
        std::thread([] { throw Unnamed{}; }).join();
    });
    const auto all = records();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[1]["kind"], "uncaught_exception");
    EXPECT_NE(all[1]["name"].get<std::string>().find("Unnamed"), std::string::npos) << all[1]["name"];
    EXPECT_EQ(all[1]["reason"], "");
}

TEST_F(FaultLogProcessTest, InstallRunsOnceAndRepairsATornLine) {
    std::ofstream(faults(), std::ios::binary) << "{\"ts\":1,\"kind\":\"launch\"}\n{\"ts\":2,\"kind\":\"cut";
    ::chmod(faults().c_str(), 0644);
    const int status = runChild([] {
        FaultLog::install();
        FaultLog::install();
        FaultLog::record("transcription_dropped_stale", {{"reason", "cancelled_or_superseded"}});
        ::raise(SIGSEGV);
    });
    ASSERT_TRUE(WIFSIGNALED(status));
    const auto all = lines();
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[1], "{\"ts\":2,\"kind\":\"cut");
    EXPECT_EQ(json::parse(all[2])["kind"], "launch");
    EXPECT_EQ(json::parse(all[3])["reason"], "cancelled_or_superseded");
    EXPECT_EQ(json::parse(all[4])["sig"], SIGSEGV);
    struct stat st {};
    ASSERT_EQ(::stat(faults().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(FaultLogProcessTest, AnOversizedLogKeepsItsNewestRecordsAtInstall) {
    {
        std::ofstream out(faults(), std::ios::binary);
        for (int i = 0; i < 5000; ++i) out << FaultLog::recordLine("anomaly", {{"i", std::to_string(i)}}, i);
    }
    ASSERT_GT(fs::file_size(faults()), FaultLog::sizeCapBytes);
    runChild([] { FaultLog::install(); });
    const auto all = records();
    ASSERT_GT(all.size(), 100u);
    EXPECT_EQ(all[all.size() - 2]["i"], "4999");
    EXPECT_EQ(all.back()["kind"], "launch");
    EXPECT_LE(fs::file_size(faults()), FaultLog::sizeCapBytes);
}

TEST_F(FaultLogProcessTest, RecordsFromManyThreadsStayWholeLines) {
    constexpr int threads = 8, perThread = 50;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t] {
            for (int i = 0; i < perThread; ++i) {
                FaultLog::record("transcribe_error", {{"error", std::string(static_cast<std::size_t>(100 + 61 * i), 'e')},
                                                      {"thread", std::to_string(t)}});
            }
        });
    }
    for (auto& w : workers) w.join();
    EXPECT_EQ(lines().size(), static_cast<std::size_t>(threads * perThread));
    EXPECT_EQ(records().size(), static_cast<std::size_t>(threads * perThread));
}

// A launch that caps the log rewrites it from its tail while another process
// may be recording: the cap holds the log's lock from its read to its rename,
// so no record appended in between is replaced by the older tail.
TEST_F(FaultLogProcessTest, CappingWhileAnotherProcessRecordsLosesNoRecord) {
    constexpr int recordsWritten = 1500;
    constexpr std::uint64_t cap = 8192;
    { std::ofstream(faults()) << std::string(cap * 2, 'x') << "\n"; }
    const fs::path done = dir / "recorder-done";
    ASSERT_TRUE(raceInProcesses(2, [&](int role) {
        if (role == 0) {
            for (int i = 0; i < recordsWritten; ++i) FaultLog::record("probe", {{"n", std::to_string(i)}});
            std::ofstream(done) << "done";
        } else {
            // Keeps the log over its cap, and cuts it, for as long as records arrive.
            while (!platform::fileExists(done)) FaultLog::applySizeCap(faults(), cap);
        }
    }));
    std::vector<int> numbers;
    for (const auto& r : records())
        if (r.value("kind", "") == "probe") numbers.push_back(std::stoi(r["n"].get<std::string>()));
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers.back(), recordsWritten - 1) << "the last record is missing";
    for (std::size_t k = 1; k < numbers.size(); ++k) EXPECT_EQ(numbers[k], numbers[k - 1] + 1) << "record lost";
}

#include "Learning/DictationLogger.h"

#include "Base/AppPaths.h"
#include "Platform/FileIO.h"
#include "Platform/Unicode.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <optional>
#include <set>
#include <thread>

#include "support/ProcessRace.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using json = nlohmann::json;
using Clock = DictationLogger::Clock;

namespace {

// A logger over a private directory, with the settings isolated too.
class DictationLoggerTest : public ::testing::Test {
protected:
    TempDir dir{"ondira-history-"};
    ScopedEnv isolation{AppPaths::selfTestStateDirVariable, dir.path.string()};
    DictationLogger logger{dir.path};

    void SetUp() override { logger.setLoggingEnabled(true); }

    void write(const fs::path& path, const std::string& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    std::string read(const fs::path& path) { return platform::readFile(path).value_or(""); }
    int mode(const fs::path& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
    }
    // Appends with a fixed app name and waits for the write.
    void appendAndWait(const std::string& text, const std::string& app = "Editor") {
        platform::Semaphore done;
        logger.append(text, app, Clock::now(), 1.0, 0.0, 0.0, "engine", [&] { done.signal(); });
        ASSERT_TRUE(done.wait(5));
    }
    std::vector<std::string> lines(const fs::path& path) {
        auto all = platform::text::splitLines(read(path));
        if (!all.empty() && all.back().empty()) all.pop_back();
        return all;
    }
};

Clock::time_point at(std::time_t seconds, int millis = 0) {
    return Clock::from_time_t(seconds) + std::chrono::milliseconds(millis);
}

}  // namespace

TEST_F(DictationLoggerTest, EntryFieldsFollowTheLineFormat) {
    ScopedEnv tz("TZ", std::string("UTC"));
    ::tzset();
    auto entry = DictationLogger::makeEntry("  héllo wörld 👍🏽 \n", "Editor", at(1'767'225'599, 900), 2.0 / 3.0,
                                            0.12345, 0.0, "  apple_sfspeech_ondevice\n");
    ASSERT_TRUE(entry);
    EXPECT_EQ((*entry)["ts"], 1'767'225'599);
    EXPECT_EQ((*entry)["date"], "2025-12-31");
    EXPECT_EQ((*entry)["time"], "23:59:59");
    EXPECT_EQ((*entry)["app"], "Editor");
    EXPECT_EQ((*entry)["text"], "héllo wörld 👍🏽");
    EXPECT_EQ((*entry)["words"], 3);
    EXPECT_EQ((*entry)["chars"], 13);  // the thumb with its skin tone is one character
    EXPECT_DOUBLE_EQ((*entry)["secs"].get<double>(), 0.67);
    EXPECT_DOUBLE_EQ((*entry)["wpm"].get<double>(), 270.0);
    EXPECT_EQ((*entry)["engine"], "apple_sfspeech_ondevice");
    EXPECT_DOUBLE_EQ((*entry)["latency"].get<double>(), 0.123);
    EXPECT_EQ((*entry)["latency_source"], "measured");
    EXPECT_FALSE(entry->contains("transcribe_secs"));
    ::unsetenv("TZ");
    ::tzset();
}

TEST_F(DictationLoggerTest, UnmeasuredOrBrokenTimesNeverReachTheRecord) {
    struct Case {
        double duration, latency;
        double secs, wpm;
        bool hasLatency;
    };
    const Case table[] = {
        {0.0, 0.0, 0.0, 0.0, false},
        {-3.0, -1.0, -3.0, 0.0, false},
        {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(), 0.0, 0.0, false},
        {1.0, 0.0005, 1.0, 120.0, true},
    };
    for (const auto& c : table) {
        auto entry = DictationLogger::makeEntry("two words", "A", Clock::now(), c.duration, c.latency, 0.0, "e");
        ASSERT_TRUE(entry);
        EXPECT_DOUBLE_EQ((*entry)["secs"].get<double>(), c.secs) << c.duration;
        EXPECT_DOUBLE_EQ((*entry)["wpm"].get<double>(), c.wpm) << c.duration;
        EXPECT_EQ(entry->contains("latency"), c.hasLatency) << c.latency;
        EXPECT_EQ(entry->contains("latency_source"), c.hasLatency) << c.latency;
        // Every value must be representable: a NaN would be written as null.
        EXPECT_EQ(entry->dump().find("null"), std::string::npos);
    }
}

TEST_F(DictationLoggerTest, CompletionRunsOnceOnEveryRoad) {
    std::atomic<int> calls{0};
    // Logging off: at once, on the caller's thread, and nothing is created.
    logger.setLoggingEnabled(false);
    logger.append("hello", "A", Clock::now(), 1, 0, 0, "e", [&] { ++calls; });
    EXPECT_EQ(calls, 1);
    logger.setLoggingEnabled(true);
    // Blank text: at once.
    logger.append(" \n\t", "A", Clock::now(), 1, 0, 0, "e", [&] { ++calls; });
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(platform::fileExists(logger.historyFileURL()));
    // Written: once, after the write.
    appendAndWait("hello");
    EXPECT_EQ(lines(logger.historyFileURL()).size(), 1u);
    EXPECT_EQ(mode(logger.historyFileURL()), 0600);
}

// A history whose folder was removed under the running program makes the
// folder again, private under the common umask like the file.
TEST_F(DictationLoggerTest, AFolderRemovedUnderItIsMadeAgainPrivate) {
    DictationLogger elsewhere{dir / "removed"};
    elsewhere.setLoggingEnabled(true);
    const mode_t old = ::umask(022);
    platform::Semaphore done;
    elsewhere.append("hello", "Editor", Clock::now(), 1.0, 0.0, 0.0, "engine", [&] { done.signal(); });
    const bool written = done.wait(5);
    ::umask(old);
    ASSERT_TRUE(written);
    EXPECT_EQ(mode(dir / "removed"), 0700);
    EXPECT_EQ(mode(elsewhere.historyFileURL()), 0600);
}

TEST_F(DictationLoggerTest, ATornLastLineIsClosedAndReadersSkipIt) {
    write(logger.historyFileURL(), "{\"text\":\"whole\",\"date\":\"d\"}\n{\"text\":\"cut off mid-rec");
    appendAndWait("after the tear");
    const auto all = lines(logger.historyFileURL());
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[1], "{\"text\":\"cut off mid-rec");
    EXPECT_EQ(json::parse(all[2])["text"], "after the tear");
    const auto rows = logger.readAllRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].text, "whole");
    EXPECT_EQ(rows[1].text, "after the tear");
    EXPECT_EQ(logger.historyEntryCount(), 3);  // counts lines, as the count is specified
}

// Two writers of one file (the application and a command-line run) append at
// once from many threads: every line stays whole.
TEST_F(DictationLoggerTest, ConcurrentAppendsProduceWholeLinesOnly) {
    DictationLogger second{dir.path};
    constexpr int threads = 8, perThread = 40;
    std::vector<std::thread> workers;
    std::atomic<int> done{0};
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            DictationLogger& target = t % 2 ? second : logger;
            for (int i = 0; i < perThread; ++i) {
                std::string text = "thread " + std::to_string(t) + " entry " + std::to_string(i) + " " +
                                   std::string(static_cast<std::size_t>(500 + 37 * i), 'a' + static_cast<char>(t));
                target.append(text, "A", Clock::now(), 1, 0, 0, "e", [&] { ++done; });
            }
        });
    }
    for (auto& w : workers) w.join();
    for (int i = 0; i < 500 && done < threads * perThread; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(done, threads * perThread);
    const auto all = lines(logger.historyFileURL());
    ASSERT_EQ(all.size(), static_cast<std::size_t>(threads * perThread));
    for (const auto& line : all) {
        json value = json::parse(line, nullptr, false);
        ASSERT_TRUE(value.is_object()) << line.substr(0, 80);
    }
}

TEST_F(DictationLoggerTest, RotationMovesTheLiveFileAtTheLimitAndDropsOldArchives) {
    struct Case {
        std::uint64_t liveSize;
        bool rotates;
    };
    for (const Case c : {Case{DictationLogger::maxBytes - 1, false}, Case{DictationLogger::maxBytes, true}}) {
        logger.deleteAllHistory();
        write(logger.archiveURL(), "{\"text\":\"previous archive\"}\n");
        write(logger.historyFileURL(), "");
        fs::resize_file(logger.historyFileURL(), c.liveSize);
        appendAndWait("next");
        EXPECT_EQ(fs::file_size(logger.archiveURL()), c.rotates ? c.liveSize : 28u) << c.liveSize;
        if (c.rotates) {
            EXPECT_EQ(mode(logger.archiveURL()), 0600);
            EXPECT_EQ(lines(logger.historyFileURL()).size(), 1u);
        }
    }
    // An archive older than 30 days goes at the next append; a younger one stays.
    for (const double ageDays : {29.9, 30.1}) {
        write(logger.archiveURL(), "{\"text\":\"old\"}\n");
        timeval times[2] = {};
        times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(std::time(nullptr) - ageDays * 86400);
        ASSERT_EQ(::utimes(logger.archiveURL().c_str(), times), 0);
        appendAndWait("tick");
        EXPECT_EQ(platform::fileExists(logger.archiveURL()), ageDays < 30) << ageDays;
    }
}

TEST_F(DictationLoggerTest, DeletionsTellObserversWhatWasRemoved) {
    std::vector<DictationLogger::Deletion> seen;
    const int token = logger.addDeletionObserver([&](const DictationLogger::Deletion& d) { seen.push_back(d); });
    write(logger.historyFileURL(),
          "{\"date\":\"2026-01-02\",\"time\":\"10:00:00\",\"text\":\"private words\"}\n"
          "{\"date\":\"2026-01-02\",\"time\":\"10:00:01\",\"text\":\"other\"}\n");
    EXPECT_FALSE(logger.deleteOneEntry("2026-01-02", "10:00:00", "no such text"));
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(logger.deleteOneEntry("2026-01-02", "10:00:00", "private words"));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].scope, DictationLogger::Deletion::Scope::oneEntry);
    EXPECT_EQ(seen[0].removedText, "private words");
    EXPECT_EQ(read(logger.historyFileURL()), "{\"date\":\"2026-01-02\",\"time\":\"10:00:01\",\"text\":\"other\"}\n");

    EXPECT_TRUE(logger.deleteAllHistory());
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].scope, DictationLogger::Deletion::Scope::all);
    logger.removeDeletionObserver(token);
    logger.deleteAllHistory();
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(DictationLoggerTest, AnEntryKeyMatchesOnItsFirstFortyCharacters) {
    const std::string longText(45, 'z');
    const std::string line = "{\"date\":\"d\",\"time\":\"t\",\"text\":\"" + longText + "\"}";
    const std::vector<std::string> lines = {"not json", line, line};
    // A caller that passes the text cut at a different length still names the entry.
    auto result = DictationLogger::removingOneEntry(lines, {"d", "t", std::string(60, 'z')});
    EXPECT_TRUE(result.removed);
    EXPECT_EQ(result.lines, (std::vector<std::string>{"not json", line}));
    // Missing keys count as empty strings.
    result = DictationLogger::removingOneEntry({"{\"text\":\"x\"}"}, {"", "", "x"});
    EXPECT_TRUE(result.removed);
}

TEST_F(DictationLoggerTest, SizesCountsAndUnreadableFiles) {
    EXPECT_EQ(logger.historySizeBytes(), 0u);
    EXPECT_EQ(logger.historyEntryCount(), 0);
    write(logger.historyFileURL(), "{\"a\":1}\n\n{\"a\":2}\n{\"a\":3}");
    write(logger.archiveURL(), "{\"a\":0}\n");
    EXPECT_EQ(logger.historySizeBytes(), 32u);
    EXPECT_EQ(logger.historyEntryCount(), 3);
    // A line that isn't UTF-8 counts nothing; every well-formed line counts.
    const std::pair<std::string, int> table[] = {
        {"{\"a\":1}\n\xFF\xFE\n", 1},
        {"{\"t\":\"Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x91\x8D\"}\n{\"t\":\"plain ascii line\"}\n", 2},
        {"{\"a\":1}\n{\"t\":\"cut \xE2\x82\"}\n{\"a\":2}\n", 2},
        {"{\"t\":\"cut \xE2\x82\"}\n", 0},            // a character missing its last byte
        {"{\"t\":\"stray \x80 byte\"}\n", 0},         // a continuation byte on its own
        {"{\"t\":\"overlong \xC0\xAF\"}\n", 0},       // an overlong slash
        {"{\"t\":\"surrogate \xED\xA0\x80\"}\n", 0},  // a UTF-16 surrogate
    };
    for (const auto& [content, count] : table) {
        write(logger.historyFileURL(), content);
        EXPECT_EQ(logger.historyEntryCount(), count) << content;
    }
}

TEST_F(DictationLoggerTest, ExportsEveryEntryArchiveFirst) {
    write(logger.archiveURL(), "{\"date\":\"2026-01-01\",\"time\":\"09:00:00\",\"app\":\"Mail\",\"text\":\"older\"}\n");
    write(logger.historyFileURL(),
          "{\"date\":\"2026-01-02\",\"time\":\"10:00:00\",\"app\":\"Notes\",\"text\":\"newer\"}\ngarbage\n");
    EXPECT_EQ(logger.exportHistory(DictationLogger::ExportFormat::txt),
              "[2026-01-01 09:00:00] Mail\nolder\n\n[2026-01-02 10:00:00] Notes\nnewer\n");
    const std::string md = logger.exportHistory(DictationLogger::ExportFormat::md);
    EXPECT_EQ(md.rfind("# Ondira Dictation History\n\n### 2026-01-01 09:00:00 — Mail\n\nolder\n", 0), 0u) << md;
    json array = json::parse(logger.exportHistory(DictationLogger::ExportFormat::json));
    ASSERT_EQ(array.size(), 2u);
    EXPECT_EQ(array[0]["text"], "older");
    EXPECT_EQ(array[1]["app"], "Notes");

    for (const char* raw : {"json", "txt", "md"}) {
        auto format = DictationLogger::exportFormat(raw);
        ASSERT_TRUE(format);
        EXPECT_STREQ(DictationLogger::rawValue(*format), raw);
    }
    EXPECT_FALSE(DictationLogger::exportFormat("JSON"));
    EXPECT_FALSE(DictationLogger::exportFormat(""));
}

TEST_F(DictationLoggerTest, FileOrderPagesAndSearchOverRows) {
    std::vector<HistoryView::LogEntry> rows;
    for (int i = 0; i < 5; ++i) rows.push_back({"t", "d", "App", "row " + std::to_string(i), 2});
    auto page = DictationLogger::historyPage(rows, 1, 2);
    ASSERT_EQ(page.size(), 2u);
    EXPECT_EQ(page[0].text, "row 1");
    EXPECT_EQ(page[1].text, "row 2");
    EXPECT_TRUE(DictationLogger::historyPage(rows, 5, 1).empty());
    EXPECT_TRUE(DictationLogger::historyPage(rows, -1, 1).empty());
    EXPECT_TRUE(DictationLogger::historyPage(rows, 0, 0).empty());
    EXPECT_EQ(DictationLogger::historyPage(rows, 3, 100).size(), 2u);

    auto found = DictationLogger::searchHistory(rows, " ROW ");
    ASSERT_EQ(found.size(), 5u);
    EXPECT_EQ(found[0].text, "row 4");
}

// Rows are kept between reads; whatever changes the files, a read shows
// exactly what they hold.
TEST_F(DictationLoggerTest, RowsFollowAppendsTearsRotationAndDeletion) {
    auto texts = [&] {
        std::vector<std::string> out;
        for (const auto& row : logger.readAllRows()) out.push_back(row.text);
        return out;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(texts(), V{});
    appendAndWait("one");
    appendAndWait("two");
    EXPECT_EQ(texts(), (V{"one", "two"}));
    // A line still being written is shown once it parses, and not twice.
    std::ofstream(logger.historyFileURL(), std::ios::app) << "{\"text\":\"three\"}";
    EXPECT_EQ(texts(), (V{"one", "two", "three"}));
    appendAndWait("four");
    EXPECT_EQ(texts(), (V{"one", "two", "three", "four"}));
    // Rotation: the same rows, now from the archive.
    std::ofstream(logger.historyFileURL(), std::ios::app) << std::string(DictationLogger::maxBytes, ' ') << "\n";
    appendAndWait("five");
    EXPECT_TRUE(platform::fileExists(logger.archiveURL()));
    EXPECT_EQ(texts(), (V{"one", "two", "three", "four", "five"}));
    // Deleting one entry from the archive, then everything.
    auto rows = logger.readAllRows();
    ASSERT_TRUE(logger.deleteOneEntry(rows[1].date, rows[1].time, "two"));
    EXPECT_EQ(texts(), (V{"one", "three", "four", "five"}));
    logger.deleteAllHistory();
    EXPECT_EQ(texts(), V{});
    // A file cut shorter under us is read again from the start.
    appendAndWait("six");
    appendAndWait("seven");
    EXPECT_EQ(texts().size(), 2u);
    write(logger.historyFileURL(), "{\"text\":\"x\"}\n");
    EXPECT_EQ(texts(), V{"x"});
}

// The hub's rows say what could not be read in the words the command line
// uses: a file that is there but is not a readable regular file within the
// bound is named, never read as empty, and the lines that are not a record
// are counted once, however many reads they were cached across.
TEST_F(DictationLoggerTest, RowsTellWhatCouldNotBeReadAsTheHistoryReadDoes) {
    enum class Road { folder, fifo, oversized };
    for (const fs::path& file : {logger.historyFileURL(), logger.archiveURL()}) {
        for (Road road : {Road::folder, Road::fifo, Road::oversized}) {
            SCOPED_TRACE(file.filename().string() + " " + std::to_string(static_cast<int>(road)));
            ASSERT_TRUE(platform::atomicWrite(logger.historyFileURL(), "{\"text\":\"live\"}\n"));
            ASSERT_TRUE(platform::atomicWrite(logger.archiveURL(), "{\"text\":\"archived\"}\n"));
            EXPECT_EQ(logger.readRows().rows.size(), 2u);
            switch (road) {
                case Road::folder:
                    fs::remove(file);
                    fs::create_directory(file);
                    break;
                case Road::fifo:
                    fs::remove(file);
                    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
                    break;
                case Road::oversized: fs::resize_file(file, platform::maxStoreFileBytes + 1); break;
            }
            const auto read = logger.readRows();
            ASSERT_EQ(read.unreadableFiles.size(), 1u);
            EXPECT_EQ(read.unreadableFiles, logger.readHistory().unreadableFiles);
            EXPECT_EQ(read.rows.size(), 1u);
            fs::remove_all(file);
        }
    }

    // Replaced as the program replaces them: a new file, not the old one rewritten in place.
    ASSERT_TRUE(platform::atomicWrite(logger.archiveURL(), "{\"text\":\"a\"}\nnot a record\n  \n"));
    ASSERT_TRUE(platform::atomicWrite(logger.historyFileURL(), "{\"text\":\"b\"}\n\xFF\xFE\n"));
    EXPECT_EQ(logger.readRows().linesLeftOut, 2u);
    std::ofstream(logger.historyFileURL(), std::ios::app) << "{\"text\":\"c\"}\n[1]\n{\"torn";
    const auto read = logger.readRows();
    EXPECT_EQ(read.rows.size(), 3u);
    EXPECT_EQ(read.linesLeftOut, 4u);
    EXPECT_TRUE(read.unreadableFiles.empty());
    std::size_t skipped = 0;
    for (const auto& file : logger.readHistory().skippedLines) skipped += file.count;
    EXPECT_EQ(read.linesLeftOut, skipped);
}

// A rotation renames the log away, so it waits for whoever holds the log's
// lock (an append, a deletion rewriting the log from its read, another
// rotation) and judges the size again once it has it. Processes that found
// the log full together then rotate it once: a second rotation would delete
// the archive the first had just made, with every line in it.
TEST_F(DictationLoggerTest, ProcessesThatFindTheLogFullTogetherRotateItOnce) {
    constexpr int processes = 4, entriesEach = 5;
    std::string full = "{\"text\":\"before the rotation\"}\n";
    full += std::string(DictationLogger::maxBytes - full.size() - 1, ' ') + "\n";
    write(logger.historyFileURL(), full);

    // The children are forked before the lock is taken (a child would
    // otherwise share the parent's hold on it) and start once it is held.
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<pid_t> children;
    const fs::path directory = dir.path;
    for (int p = 0; p < processes; ++p) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(gate[1]);
            char byte;
            while (::read(gate[0], &byte, 1) > 0) {}
            DictationLogger own(directory);
            for (int i = 0; i < entriesEach; ++i) {
                platform::Semaphore done;
                own.append("p" + std::to_string(p) + "-" + std::to_string(i), "Editor", Clock::now(), 1.0, 0.0, 0.0,
                           "engine", [&] { done.signal(); });
                if (!done.wait(20)) ::_exit(1);
            }
            ::_exit(0);
        }
        children.push_back(pid);
    }
    ::close(gate[0]);
    {
        // Another process's hold on the log while every writer finds it full.
        platform::StoreLock held(logger.historyFileURL());
        ASSERT_TRUE(held.held());
        ::close(gate[1]);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_FALSE(platform::fileExists(logger.archiveURL())) << "rotated under another process's lock";
    }
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::set<std::string> texts;
    for (const fs::path& file : {logger.archiveURL(), logger.historyFileURL()})
        for (const auto& line : lines(file)) {
            json value = json::parse(line, nullptr, false);
            if (value.is_object() && value.contains("text")) texts.insert(value["text"].get<std::string>());
        }
    EXPECT_TRUE(texts.count("before the rotation")) << "the rotated log was deleted";
    EXPECT_EQ(texts.size(), static_cast<std::size_t>(1 + processes * entriesEach));
}

namespace {

// Bytes the process has read so far (its rchar), or none once it is gone.
std::optional<unsigned long long> bytesReadBy(pid_t pid) {
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    unsigned long long value = 0;
    while (io >> key >> value)
        if (key == "rchar:") return value;
    return std::nullopt;
}

std::string historyLines(const std::string& prefix, int count) {
    std::string out;
    for (int i = 0; i < count; ++i)
        out += json{{"ts", 1767261600 + i}, {"date", "2026-01-01"}, {"time", "10:00:00"}, {"app", "Editor"},
                    {"text", prefix + " " + std::to_string(i) + " with some words to give the line its length"},
                    {"words", 12}}
                   .dump() +
               "\n";
    return out;
}

}  // namespace

// A deletion from the archive in one process while another rotates the live
// log: the deletion's rewrite of the archive it read must not land over the
// archive the rotation has just made, or every rotated record is lost.
TEST_F(DictationLoggerTest, DeletingFromTheArchiveWhileAnotherProcessRotatesLosesNothing) {
    const std::string archived = historyLines("archived", 20000);
    std::string live;
    while (live.size() < DictationLogger::maxBytes) live += historyLines("live", 2000);
    const std::string lastArchived = platform::text::splitLines(archived)[19999];
    const std::string lastText = json::parse(lastArchived)["text"].get<std::string>();
    for (int trial = 0; trial < 3; ++trial) {
        SCOPED_TRACE(trial);
        write(logger.archiveURL(), archived);
        write(logger.historyFileURL(), live);
        int deleterPid[2];
        ASSERT_EQ(::pipe(deleterPid), 0);
        const bool clean = raceInProcesses(2, [&](int role) {
            DictationLogger other(dir.path);
            if (role == 0) {
                const pid_t self = ::getpid();
                if (::write(deleterPid[1], &self, sizeof self) != sizeof self) ::_exit(1);
                other.deleteOneEntry("2026-01-01", "10:00:00", lastText);
                return;
            }
            // The rotation starts once the deleter has read both files (the
            // live one first) and is about to rewrite the archive.
            pid_t deleter = 0;
            if (::read(deleterPid[0], &deleter, sizeof deleter) != sizeof deleter) ::_exit(1);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (std::chrono::steady_clock::now() < deadline) {
                const auto read = bytesReadBy(deleter);
                if (!read || *read >= live.size() + archived.size()) break;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            other.rotateIfNeeded();
        });
        ::close(deleterPid[0]);
        ::close(deleterPid[1]);
        ASSERT_TRUE(clean);
        // Whichever went first, the archive is the rotated live log, whole.
        EXPECT_FALSE(platform::fileExists(logger.historyFileURL()));
        EXPECT_EQ(read(logger.archiveURL()).size(), live.size());
        EXPECT_TRUE(read(logger.archiveURL()) == live);
    }
}

// `history` and `stats`: what they read back from the history log, which
// filters apply in which order, that no transcript leaves without --text, and
// the built executable run against a private home holding a history.
#include "CLI/HistoryCommands.h"
#include "Learning/DictationEntry.h"
#include "Platform/FileIO.h"
#include "Platform/Unicode.h"
#include "unit/cli/CLIRun.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <limits>

using json = nlohmann::json;

namespace {

std::vector<DictationEntry> withLatencies(const std::vector<std::optional<double>>& latencies) {
    std::vector<DictationEntry> entries;
    for (const auto& latency : latencies) entries.push_back({0, latency, 1, "pocketsphinx"});
    return entries;
}

}  // namespace

TEST(LatencyStats, PercentilesInterpolateOverMeasuredLatenciesOnly) {
    struct Row {
        std::vector<std::optional<double>> latencies;
        long long n;
        std::optional<double> p50;
        std::optional<double> p95;
    };
    const Row rows[] = {
        {{}, 0, std::nullopt, std::nullopt},
        {{std::nullopt, std::nullopt}, 0, std::nullopt, std::nullopt},
        {{0.5}, 1, 0.5, 0.5},
        {{0.4, std::nullopt, 0.1, 0.3, 0.2}, 4, 0.25, 0.385},  // unsorted, one unmeasured
        {{0.2, 0.5}, 2, 0.35, 0.485},
    };
    for (const auto& row : rows) {
        const LatencyStats stats = LatencyStats::from(withLatencies(row.latencies));
        EXPECT_EQ(stats.n, row.n);
        ASSERT_EQ(stats.p50.has_value(), row.p50.has_value());
        ASSERT_EQ(stats.p95.has_value(), row.p95.has_value());
        if (row.p50) {
            EXPECT_NEAR(*stats.p50, *row.p50, 1e-12);
        }
        if (row.p95) {
            EXPECT_NEAR(*stats.p95, *row.p95, 1e-12);
        }
    }
}

TEST(DictationEntry, ReadsBackOnlyRecordsWithAnIntegerTimestamp) {
    struct Row {
        const char* line;
        std::optional<DictationEntry> expected;
    };
    const Row rows[] = {
        {R"({"ts":10,"words":4,"engine":"pocketsphinx","latency":0.25})", DictationEntry{10, 0.25, 4, "pocketsphinx"}},
        {R"({"ts":10})", DictationEntry{10, std::nullopt, 0, "unknown"}},
        {R"({"ts":10,"words":"4","engine":7,"latency":"0.3"})", DictationEntry{10, std::nullopt, 0, "unknown"}},
        {R"({"ts":10,"latency":0})", DictationEntry{10, std::nullopt, 0, "unknown"}},
        {R"({"ts":10,"latency":-1.5})", DictationEntry{10, std::nullopt, 0, "unknown"}},
        {R"({"ts":10.5,"words":4})", std::nullopt},
        {R"({"ts":"10","words":4})", std::nullopt},
        {R"({"words":4})", std::nullopt},
        {R"([10])", std::nullopt},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(DictationEntry::fromRecord(json::parse(row.line)), row.expected) << row.line;
    }
}

TEST(HistoryRecord, CopiesMetadataAndTheTextOnlyWhenAsked) {
    const json entry = json::parse(
        R"({"ts":1,"date":"2026-08-26","time":"09:00:00","app":"Terminal","text":"secret","words":2,"latency":0.42,"engine":"x","chars":6})");
    EXPECT_EQ(OndiraCLI::historyRecord(entry, false),
              json::parse(R"({"date":"2026-08-26","time":"09:00:00","app":"Terminal","words":2,"latency_secs":0.42})"));
    EXPECT_EQ(OndiraCLI::historyRecord(entry, true)["text"], "secret");

    // A record missing its fields, or holding the wrong kinds, still gives every key.
    const json sparse = json::parse(R"({"app":5,"words":"many","latency":"0.4"})");
    EXPECT_EQ(OndiraCLI::historyRecord(sparse, true), json::parse(R"({"date":"","time":"","app":"","words":null,"text":""})"));
}

// A stored latency too large for the number buffer, or any other value that
// cannot be printed, shows as a dash instead of whatever the buffer held.
TEST(HistoryRecord, LatenciesOutOfRangePrintAsADash) {
    for (const double latency : {1e61, 1e300}) {
        const json record = {
            {"date", "2026-08-26"}, {"time", "09:00:00"}, {"app", "Terminal"}, {"words", 1}, {"latency_secs", latency}};
        EXPECT_EQ(OndiraCLI::historyLine(record), "2026-08-26 09:00:00  Terminal  1 word  \u2014") << latency;
    }
}

// A stored word count no count can be (negative, fractional, past the signed
// range) is unknown: a dash, never a number it wrapped to.
TEST(HistoryRecord, WordCountsOutOfRangeShowAsUnknown) {
    const json counts[] = {json(-5), json(1e300), json(-1e300), json(2.5), json(18446744073709551615ull), json("12")};
    for (const json& words : counts) {
        const json entry = {{"date", "2026-08-26"}, {"time", "09:00:00"}, {"app", "Editor"}, {"words", words}};
        const json record = OndiraCLI::historyRecord(entry, false);
        EXPECT_TRUE(record["words"].is_null()) << words;
        EXPECT_EQ(OndiraCLI::historyLine(record), "2026-08-26 09:00:00  Editor  \u2014 words") << words;
    }
    const json exact = {{"words", 9223372036854775807ll}};
    EXPECT_EQ(OndiraCLI::historyRecord(exact, false)["words"], 9223372036854775807ll);
}

// Word counts stored near the top of the range add up without wrapping negative.
TEST(StatsSummary, WordTotalsSaturate) {
    const json big = {{"ts", 1}, {"words", std::numeric_limits<long long>::max() / 2 + 1}};
    const auto summary = OndiraCLI::summarizeHistory({big, big, big});
    EXPECT_EQ(summary.words, std::numeric_limits<long long>::max());
}

TEST(FilterHistoryEntries, EdgesOfEachFilter) {
    const std::vector<json> entries = {
        json::parse(R"({"date":"2026-08-01","app":"Éditeur"})"),
        json::parse(R"({"app":"Éditeur"})"),  // no date: compared as ""
        json::parse(R"({"date":"2026-08-03","app":"Slack Desktop"})"),
        json::parse(R"({"date":"2026-08-04"})"),  // no app
    };
    auto dates = [&](OndiraCLI::HistoryOptions options) {
        std::vector<std::string> out;
        for (const auto& e : OndiraCLI::filterHistoryEntries(entries, options)) out.push_back(e.value("date", "-"));
        return out;
    };
    OndiraCLI::HistoryOptions all;
    all.last = 1'000'000'000'000LL;
    EXPECT_EQ(dates(all), (std::vector<std::string>{"2026-08-01", "-", "2026-08-03", "2026-08-04"}));

    OndiraCLI::HistoryOptions app = all;
    app.appFilter = "ÉDITEUR";  // case folded beyond ASCII
    EXPECT_EQ(dates(app), (std::vector<std::string>{"2026-08-01", "-"}));
    app.appFilter = "Slack";  // whole names only
    EXPECT_TRUE(dates(app).empty());

    OndiraCLI::HistoryOptions since = all;
    since.sinceDate = "2026-08-02";
    EXPECT_EQ(dates(since), (std::vector<std::string>{"2026-08-03", "2026-08-04"}));
}

namespace {

// A private home whose history has an archive, a live log with a line that is
// not JSON, one dictation without a measured latency and one with two lines.
struct HistoryHome : IsolatedHome {
    HistoryHome() {
        const auto dir = applicationSupport();
        std::filesystem::create_directories(dir);
        platform::atomicWrite(dir / "dictation_log.1.jsonl",
                              R"({"ts":1785000000,"date":"2026-07-25","time":"08:00:00","app":"Terminal",)"
                              R"("text":"archived words here","words":3,"engine":"pocketsphinx","latency":0.2})"
                              "\n");
        platform::atomicWrite(dir / "dictation_log.jsonl",
                              R"({"ts":1787000000,"date":"2026-08-17","time":"09:15:00","app":"Slack",)"
                              R"("text":"call mom about the thing","words":5,"engine":"pocketsphinx","latency":0.5})"
                              "\n"
                              "{\"ts\":17870 this line was cut\n"
                              R"({"ts":1787100000,"date":"2026-08-18","time":"10:30:00","app":"Notes",)"
                              R"("text":"second line\nof a note","words":5,"engine":"pocketsphinx"})"
                              "\n");
    }
    CLIRun run(const std::string& arguments) const { return runOndira(arguments, environment()); }
    // What every command says of the line that is not JSON.
    std::string cutLineNote() const {
        return "1 line of " + (applicationSupport() / "dictation_log.jsonl").string() +
               " could not be read and is left out\n";
    }
};

}  // namespace

TEST(HistoryCommand, ListsMetadataAndShowsTextOnlyWithTextFlag) {
    const HistoryHome home;

    // The line that is not JSON is left out, counted and named, and the
    // command says by its status that not all was read.
    const CLIRun last = home.run("history --last 1 --json");
    EXPECT_EQ(last.status, 1);
    EXPECT_EQ(last.err, home.cutLineNote());
    EXPECT_EQ(json::parse(last.out), json::parse(R"([{"date":"2026-08-18","time":"10:30:00","app":"Notes","words":5}])"));

    const CLIRun plain = home.run("history");
    EXPECT_EQ(plain.status, 1);
    EXPECT_EQ(plain.err, home.cutLineNote());
    EXPECT_EQ(plain.out,
              "2026-07-25 08:00:00  Terminal  3 words  0.200 s\n"
              "2026-08-17 09:15:00  Slack  5 words  0.500 s\n"
              "2026-08-18 10:30:00  Notes  5 words\n");

    const CLIRun json = home.run("history --json");
    EXPECT_EQ(json.status, 1);
    EXPECT_EQ(nlohmann::json::parse(json.out).size(), 3u);
    for (const char* secret : {"archived words", "call mom", "second line"}) {
        EXPECT_EQ(plain.out.find(secret), std::string::npos) << secret;
        EXPECT_EQ(json.out.find(secret), std::string::npos) << secret;
    }

    EXPECT_EQ(home.run("history --text --app slack").out,
              "2026-08-17 09:15:00  Slack  5 words  0.500 s\n    call mom about the thing\n");
    EXPECT_EQ(home.run("history --since 2026-08-18 --text").out,
              "2026-08-18 10:30:00  Notes  5 words\n    second line\n    of a note\n");
    EXPECT_EQ(nlohmann::json::parse(home.run("history --last 1 --json --text").out)[0]["text"], "second line\nof a note");

    const CLIRun none = home.run("history --app Mail");
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, home.cutLineNote());
    EXPECT_EQ(none.out, "(no dictations match)\n");
    EXPECT_EQ(home.run("history --app Mail --json").out, "[]\n");
}

TEST(StatsCommand, CountsDictationsWordsAndLatencyPercentiles) {
    const HistoryHome home;

    const CLIRun stats = home.run("stats --json");
    EXPECT_EQ(stats.status, 1);
    EXPECT_EQ(stats.err, home.cutLineNote());
    const json object = json::parse(stats.out);
    EXPECT_EQ(object["dictations"], 3);
    EXPECT_EQ(object["words"], 13);
    EXPECT_EQ(object["latency_sample_n"], 2);
    EXPECT_NEAR(object["latency_p50_secs"].get<double>(), 0.35, 1e-9);
    EXPECT_NEAR(object["latency_p95_secs"].get<double>(), 0.485, 1e-9);
    EXPECT_EQ(object.size(), 5u);

    const CLIRun text = home.run("stats");
    EXPECT_EQ(text.status, 1);
    EXPECT_EQ(text.err, home.cutLineNote());
    EXPECT_EQ(text.out, "dictations: 3\nwords: 13\nlatency p50: 0.350 s\nlatency p95: 0.485 s\nlatency samples: 2\n");
}

TEST(HistoryCommand, EmptyHistoryIsNotAFailure) {
    const IsolatedHome home;
    const auto run = [&](const std::string& arguments) { return runOndira(arguments, home.environment()); };

    const CLIRun history = run("history");
    EXPECT_EQ(history.status, 0);
    EXPECT_EQ(history.out, "(no dictations recorded)\n");
    EXPECT_EQ(history.err, "");
    EXPECT_EQ(run("history --json").out, "[]\n");

    const CLIRun stats = run("stats --json");
    EXPECT_EQ(stats.status, 0);
    EXPECT_EQ(json::parse(stats.out), json::parse(R"({"dictations":0,"words":0,"latency_sample_n":0})"));
    EXPECT_EQ(run("stats").out, "dictations: 0\nwords: 0\nlatency: not measured yet\n");
}

// A history file that is there but cannot be read (barred by its mode, a
// folder or a FIFO in its place, beyond the size bound), the live log's or
// the archive's, is a failure that names the file, never an empty history.
TEST(HistoryCommand, AHistoryThatCannotBeReadIsNamedAndFails) {
    enum class Road { barred, folder, fifo, oversized };
    struct Row {
        const char* file;
        Road road;
        std::string reason;  // after the file's path
    };
    const std::string barred = ": Permission denied", notRegular = " is not a regular file",
                      oversized = " is larger than 64 MiB";
    const std::vector<Row> rows = {
        {"dictation_log.jsonl", Road::barred, barred},    {"dictation_log.jsonl", Road::folder, notRegular},
        {"dictation_log.jsonl", Road::fifo, notRegular},  {"dictation_log.jsonl", Road::oversized, oversized},
        {"dictation_log.1.jsonl", Road::barred, barred},  {"dictation_log.1.jsonl", Road::folder, notRegular},
        {"dictation_log.1.jsonl", Road::fifo, notRegular}, {"dictation_log.1.jsonl", Road::oversized, oversized},
    };
    const std::string record = R"({"ts":1787000000,"date":"2026-08-17","time":"09:15:00","app":"Slack","words":2})"
                               "\n";
    for (const auto& row : rows) {
        const IsolatedHome home;
        const auto dir = home.applicationSupport();
        std::filesystem::create_directories(dir);
        const auto file = dir / row.file;
        // The other file reads; what it holds is not shown for a history read in part.
        for (const char* name : {"dictation_log.jsonl", "dictation_log.1.jsonl"}) ASSERT_TRUE(platform::atomicWrite(dir / name, record));
        switch (row.road) {
            case Road::barred: ASSERT_EQ(::chmod(file.c_str(), 0), 0); break;
            case Road::folder:
                std::filesystem::remove(file);
                std::filesystem::create_directory(file);
                break;
            case Road::fifo:
                std::filesystem::remove(file);
                ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
                break;
            case Road::oversized: ASSERT_EQ(::truncate(file.c_str(), (64 << 20) + 1), 0); break;
        }
        const std::string expected =
            std::string("could not read the history: ") + (row.road == Road::barred ? "cannot open " : "") + file.string() + row.reason + "\n";
        for (const char* command : {"history --last 100", "history --json", "stats", "stats --json"}) {
            SCOPED_TRACE(file.string() + " " + std::to_string(static_cast<int>(row.road)) + ": " + command);
            const CLIRun run = runOndira(command, home.environment(), withoutPermissionOverride());
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err, expected);
        }
    }
}

// Lines that are not a JSON object (not UTF-8, cut off, garbled) are left
// out of what is shown and counted, file by file; blank lines are nothing.
TEST(HistoryCommand, LinesThatCannotBeReadAreCountedAndNamed) {
    const IsolatedHome home;
    const auto dir = home.applicationSupport();
    std::filesystem::create_directories(dir);
    auto record = [](const std::string& time, const std::string& text) {
        return R"({"ts":1787000000,"date":"2026-08-17","time":")" + time + R"(","app":"Notes","text":")" + text +
               R"(","words":1})" + "\n";
    };
    ASSERT_TRUE(platform::atomicWrite(dir / "dictation_log.1.jsonl", record("08:00:00", "old") + "not json at all\n"));
    ASSERT_TRUE(platform::atomicWrite(dir / "dictation_log.jsonl",
                                      record("09:00:00", "one") + record("09:01:00", "caf\xE9 latin-1") + "\n  \n" +
                                          record("09:02:00", "two") + "{\"ts\":178"));
    const std::string note = "1 line of " + (dir / "dictation_log.1.jsonl").string() +
                             " could not be read and is left out\n" + "2 lines of " +
                             (dir / "dictation_log.jsonl").string() + " could not be read and are left out\n";
    const auto run = [&](const std::string& arguments) { return runOndira(arguments, home.environment()); };

    const CLIRun history = run("history --last 100");
    EXPECT_EQ(history.status, 1);
    EXPECT_EQ(history.out,
              "2026-08-17 08:00:00  Notes  1 word\n2026-08-17 09:00:00  Notes  1 word\n2026-08-17 09:02:00  Notes  1 word\n");
    EXPECT_EQ(history.err, note);
    const CLIRun listed = run("history --json");
    EXPECT_EQ(listed.status, 1);
    EXPECT_EQ(json::parse(listed.out).size(), 3u);
    EXPECT_EQ(listed.err, note);
    const CLIRun stats = run("stats");
    EXPECT_EQ(stats.status, 1);
    EXPECT_EQ(stats.out.rfind("dictations: 3\n", 0), 0u) << stats.out;
    EXPECT_EQ(stats.err, note);

    // Nothing that reads is not "nothing recorded".
    ASSERT_TRUE(platform::atomicWrite(dir / "dictation_log.1.jsonl", "\xFF\xFE\n"));
    ASSERT_TRUE(platform::atomicWrite(dir / "dictation_log.jsonl", ""));
    const CLIRun none = run("history");
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "1 line of " + (dir / "dictation_log.1.jsonl").string() + " could not be read and is left out\n");
}

TEST(DoctorCommand, ReportsHistoryLoggingAndWhatIsRetainedOrUnreadable) {
    const HistoryHome home;
    auto historyLine = [&] {
        for (const auto& line : platform::text::splitLines(home.run("doctor").out)) {
            if (line.rfind("history logging", 0) == 0) return line.substr(21);
        }
        return std::string("(none)");
    };
    const std::string on = historyLine();
    EXPECT_EQ(on.rfind("ON (", 0), 0u) << on;
    EXPECT_NE(on.find(" entries retained)"), std::string::npos) << on;

    std::filesystem::create_directories(home.home.path / ".config" / "Ondira");
    ASSERT_TRUE(platform::atomicWrite(home.home.path / ".config" / "Ondira" / "com.ondira.app.json",
                                      R"({"ondira_logging_enabled":false})"));
    EXPECT_EQ(historyLine().rfind("OFF (", 0), 0u);

    // A history that cannot be read is not one with nothing in it.
    const auto live = home.applicationSupport() / "dictation_log.jsonl";
    std::filesystem::remove(live);
    std::filesystem::create_directory(live);
    EXPECT_EQ(historyLine(), "OFF (the history could not be read: " + live.string() + " is not a regular file)");
}

// Escape sequences stored in a window title or a dictation reach a terminal
// only as U+FFFD; a pipe still gets the bytes as stored.
TEST(HistoryCommand, StoredControlCharactersNeverReachATerminal) {
    const IsolatedHome home;
    std::filesystem::create_directories(home.applicationSupport());
    ASSERT_TRUE(platform::atomicWrite(home.applicationSupport() / "dictation_log.jsonl",
                                      R"({"ts":1787000000,"date":"2026-08-17","time":"09:15:00",)"
                                      R"("app":"Evil\u001b]0;owned\u0007","text":"hi\u001b[2J\u009b31m there\tok",)"
                                      R"("words":2,"engine":"pocketsphinx"})"
                                      "\n"));
    const TempDir dir("ondira-tty-");
    const std::string command =
        "env " + home.environment() + " '" + std::string(ONDIRA_BUNDLE_DIR) + "/Ondira' history --text";
    // script(1) runs the command on a pseudo-terminal, as a user's shell would.
    const std::string onTerminal = "script -qec \"" + command + "\" /dev/null >'" + (dir / "out").string() + "'";
    ASSERT_EQ(std::system(onTerminal.c_str()), 0);
    const std::string shown = platform::readFile(dir / "out").value_or("");
    EXPECT_NE(shown.find("Evil\uFFFD]0;owned\uFFFD"), std::string::npos) << shown;
    EXPECT_NE(shown.find("hi\uFFFD[2J\uFFFD31m there\tok"), std::string::npos) << shown;
    EXPECT_EQ(shown.find('\x1b'), std::string::npos);

    const CLIRun piped = runOndira("history --text", home.environment());
    EXPECT_NE(piped.out.find("Evil\x1b]0;owned\x07"), std::string::npos) << piped.out;
}

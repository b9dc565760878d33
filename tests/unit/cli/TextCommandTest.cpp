// `dict` and `snippets` run as a user runs them, against a private home:
// what each prints, what lands in the stores, and the refusals.
#include "Platform/FileIO.h"
#include "Platform/Unicode.h"
#include "unit/cli/CLIRun.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

using json = nlohmann::json;

namespace {

struct TextHome : IsolatedHome {
    CLIRun run(const std::string& arguments) const { return runOndira(arguments, environment()); }
    std::filesystem::path dictionary() const { return applicationSupport() / "dictionary.json"; }
};

void expectSuccess(const CLIRun& run, const std::string& out) {
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, out);
    EXPECT_EQ(run.err, "");
}

void expectJSON(const CLIRun& run, const std::string& expected) {
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(json::parse(run.out), json::parse(expected));
}

// The store's own log lines may come first; the command's message ends standard error.
void expectFailure(const CLIRun& run, const std::string& err) {
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(platform::text::hasSuffix(run.err, err)) << run.err;
}

std::string doctorValue(const CLIRun& run, const std::string& label) {
    for (const auto& line : platform::text::splitLines(run.out)) {
        if (line.rfind(label + " ", 0) == 0 && line.size() > 21) return line.substr(21);
    }
    return "(none)";
}

}  // namespace

TEST(DictCommand, AddsListsReplacesAndRemovesTerms) {
    const TextHome home;
    expectSuccess(home.run("dict list"), "(no dictionary terms)\n");
    expectSuccess(home.run("dict list --json"), "[]\n");

    expectSuccess(home.run("dict add qv-zt QVZT"), "added: qv-zt -> QVZT\n");
    expectSuccess(home.run("dict add gaap 'GAAP (ours)'"), "added: gaap -> GAAP (ours)\n");
    expectJSON(home.run("dict list --json"), R"j([{"from":"qv-zt","to":"QVZT"},{"from":"gaap","to":"GAAP (ours)"}])j");

    // The spoken form is one term whatever its case.
    expectSuccess(home.run("dict add QV-ZT Qvzt"), "added: QV-ZT -> Qvzt\n");
    expectSuccess(home.run("dict list"), "gaap -> GAAP (ours)\nQV-ZT -> Qvzt\n");
    EXPECT_EQ(doctorValue(home.run("doctor"), "dictionary"), "2 terms");

    expectSuccess(home.run("dict remove qv-zt"), "removed: qv-zt\n");
    expectFailure(home.run("dict remove never-taught"), "not found: never-taught\n");
    expectSuccess(home.run("dict list"), "gaap -> GAAP (ours)\n");
    EXPECT_EQ(doctorValue(home.run("doctor"), "dictionary"), "1 term");
}

// The files moved aside from `file`, with their bytes.
std::vector<std::string> movedAside(const std::filesystem::path& file) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(file.parent_path()))
        if (entry.path().filename().string().rfind(file.filename().string() + ".damaged-", 0) == 0) {
            found.push_back(platform::readFile(entry.path()).value_or("?"));
            std::filesystem::remove(entry.path());
        }
    return found;
}

// A dictionary file that does not load is never rewritten in place: the
// command that meets it moves it aside unchanged, says where, exits 1, and
// works on the terms that still read.
TEST(DictCommand, ADamagedFileIsMovedAsideAndTheCommandSaysWhere) {
    const TextHome home;
    std::filesystem::create_directories(home.applicationSupport());
    const std::string movedTo = "dictionary.json could not be read; it was moved aside to " + home.dictionary().string() +
                                ".damaged-";
    const std::string damaged = R"([{"from":"t1","to":"T1"},{"from":"t2","to":)";
    struct Row {
        const char* command;
        const char* out;
        const char* listAfter;
    };
    for (const Row& row : {Row{"dict list", "t1 -> T1\n", "t1 -> T1\n"},
                           Row{"dict remove t1", "removed: t1\n", "(no dictionary terms)\n"},
                           Row{"dict add b B", "added: b -> B\n", "t1 -> T1\nb -> B\n"}}) {
        SCOPED_TRACE(row.command);
        ASSERT_TRUE(platform::atomicWrite(home.dictionary(), damaged));
        const CLIRun run = home.run(row.command);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, row.out);
        EXPECT_NE(run.err.find(movedTo), std::string::npos) << run.err;
        EXPECT_EQ(movedAside(home.dictionary()), std::vector<std::string>{damaged});
        expectSuccess(home.run("dict list"), row.listAfter);
    }
    // A term that is not there is not reported removed.
    expectFailure(home.run("dict remove t9"), "not found: t9\n");
}

TEST(SnippetsCommand, AddsListsAndRemovesSnippets) {
    const TextHome home;
    expectSuccess(home.run("snippets list"), "(no snippets)\n");

    expectSuccess(home.run("snippets add sig 'Best, Ondira'"), "added snippet: sig\n");
    expectSuccess(home.run("snippets add addr '12 Main St\nSpringfield'"), "added snippet: addr\n");
    expectSuccess(home.run("snippets list"), "sig -> Best, Ondira\naddr -> 12 Main St\n    Springfield\n");
    expectJSON(home.run("snippets list --json"), R"([{"trigger":"sig","expansion":"Best, Ondira"},)"
                                                 R"({"trigger":"addr","expansion":"12 Main St\nSpringfield"}])");
    EXPECT_EQ(doctorValue(home.run("doctor"), "snippets"), "2 snippets");

    const CLIRun blank = home.run("snippets add '   ' nothing");
    expectFailure(blank, "invalid snippet trigger (empty or whitespace-only)\n");
    EXPECT_EQ(blank.err, "invalid snippet trigger (empty or whitespace-only)\n");
    expectSuccess(home.run("snippets remove SIG"), "removed snippet: SIG\n");
    expectSuccess(home.run("snippets list"), "addr -> 12 Main St\n    Springfield\n");
}

// A snippets file that does not load whole is never rewritten in place: it
// is moved aside byte for byte, the command says where and exits 1, and the
// change applies to the snippets that still read.
TEST(SnippetsCommand, ADamagedFileIsMovedAsideAndTheCommandSaysWhere) {
    const TextHome home;
    std::filesystem::create_directories(home.applicationSupport());
    const auto file = home.applicationSupport() / "snippets.json";
    const std::string movedTo = "snippets.json could not be read; it was moved aside to " + file.string() + ".damaged-";
    for (const std::string& stored :
         {std::string(R"([{"trigger":"sig","expansion":"Best"},{"trig)"),
          std::string(R"([{"trigger":"sig","expansion":"Best"},3])"), std::string("{ not json")}) {
        SCOPED_TRACE(stored);
        const bool sigKept = stored[0] == '[';
        struct Row {
            std::string command;
            std::string out;
        };
        for (const Row& row : {Row{"snippets add brb 'be right back'", "added snippet: brb\n"},
                               Row{"snippets remove sig", sigKept ? "removed snippet: sig\n" : ""},
                               Row{"snippets remove nothing", ""}}) {
            SCOPED_TRACE(row.command);
            ASSERT_TRUE(platform::atomicWrite(file, stored));
            const CLIRun run = home.run(row.command);
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.out, row.out);
            EXPECT_NE(run.err.find(movedTo), std::string::npos) << run.err;
            EXPECT_EQ(movedAside(file), std::vector<std::string>{stored});
        }
    }
    expectFailure(home.run("snippets remove nothing"), "snippet not found: nothing\n");
}

// The term of a `dict add` is also recorded as a correction. Where
// corrections.jsonl cannot take the record (barred by its mode, a symbolic
// link, a FIFO, a folder), the term is still added and the command succeeds,
// but it says that the correction was not recorded and names the file,
// which stays as it was. A file there that does not load goes aside as every
// store's does, and the record starts the new one.
TEST(DictCommand, ACorrectionThatCannotBeRecordedIsNamed) {
    enum class Road { barred, link, danglingLink, fifo, folder, garbled };
    struct Row {
        Road road;
        std::string reason;  // after the file's path; empty: the correction is recorded
    };
    const std::string notRegular = " is not a regular file";
    const std::vector<Row> rows = {
        {Road::barred, ": Permission denied"},
        {Road::link, " is a symbolic link"},
        {Road::danglingLink, " is a symbolic link"},
        {Road::fifo, notRegular},
        {Road::folder, notRegular},
        {Road::garbled, ""},
    };
    const std::string kept = R"({"heard":"a","written":"A","ts":1,"source":"observed_edit"})"
                             "\n";
    for (const auto& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.road));
        const TextHome home;
        const auto dir = home.applicationSupport();
        std::filesystem::create_directories(dir);
        const auto file = dir / "corrections.jsonl";
        const TempDir elsewhere("ondira-link-target-");
        switch (row.road) {
            case Road::barred:
                ASSERT_TRUE(platform::atomicWrite(file, kept));
                ASSERT_EQ(::chmod(file.c_str(), 0), 0);
                break;
            case Road::link:
                ASSERT_TRUE(platform::atomicWrite(elsewhere / "target", kept));
                std::filesystem::create_symlink(elsewhere / "target", file);
                break;
            case Road::danglingLink: std::filesystem::create_symlink(elsewhere / "none", file); break;
            case Road::fifo: ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); break;
            case Road::folder: std::filesystem::create_directory(file); break;
            case Road::garbled: ASSERT_TRUE(platform::atomicWrite(file, "\x01\x02 not a record\n")); break;
        }
        const CLIRun run = runOndira("dict add ctok C", home.environment(), withoutPermissionOverride());
        EXPECT_EQ(run.out, "added: ctok -> C\n");
        expectJSON(home.run("dict list --json"), R"([{"from":"ctok","to":"C"}])");
        if (row.reason.empty()) {
            // Moved aside and said once: the command exits 1 as for any store.
            EXPECT_EQ(run.status, 1);
            EXPECT_NE(run.err.find("corrections.jsonl could not be read; it was moved aside to " + file.string() +
                                   ".damaged-"),
                      std::string::npos)
                << run.err;
            EXPECT_EQ(movedAside(file), std::vector<std::string>{"\x01\x02 not a record\n"});
            const std::string now = platform::readFile(file).value_or("");
            EXPECT_NE(now.find(R"("heard":"ctok")"), std::string::npos) << now;
            EXPECT_NE(now.find(R"("written":"C")"), std::string::npos) << now;
            continue;
        }
        EXPECT_EQ(run.status, 0);
        const std::string expected = "the correction was not recorded: " +
                                     std::string(row.road == Road::barred ? "cannot open " : "") + file.string() +
                                     row.reason + "\n";
        EXPECT_TRUE(platform::text::hasSuffix(run.err, expected)) << run.err;
        // Nothing was written through the link or into what stands at the path.
        if (row.road == Road::link) {
            EXPECT_EQ(platform::readFile(elsewhere / "target"), kept);
        }
        EXPECT_FALSE(std::filesystem::exists(elsewhere / "none"));
        if (row.road == Road::barred) {
            ::chmod(file.c_str(), 0600);
            EXPECT_EQ(platform::readFile(file), kept);
        }
    }
}

// A `dict add` killed between its write and its rename leaves its temporary
// copy of the dictionary; the next command that writes a store in that
// folder removes it (and every other of an ended writer), not only the
// application's next launch. One of a writer still running stays.
TEST(DictCommand, ClearsWhatAWriterKilledMidWriteLeftBehind) {
    const TextHome home;
    const auto dir = home.applicationSupport();
    std::filesystem::create_directories(dir);
    const pid_t ended = ::fork();
    if (ended == 0) ::_exit(0);
    ASSERT_GT(ended, 0);
    ::waitpid(ended, nullptr, 0);
    const auto killed = dir / ("dictionary.json.tmp-" + std::to_string(ended) + "-5e0c7d1a");
    const auto otherStore = dir / ("snippets.json.tmp-" + std::to_string(ended) + "-77");
    const auto running = dir / ("dictionary.json.tmp-" + std::to_string(::getpid()) + "-5e0c7d1a");
    for (const auto& file : {killed, otherStore, running})
        ASSERT_TRUE(platform::atomicWrite(file, R"([{"from":"half","to":"written"}])"));
    expectSuccess(home.run("dict add qv QV"), "added: qv -> QV\n");
    EXPECT_FALSE(std::filesystem::exists(killed));
    EXPECT_FALSE(std::filesystem::exists(otherStore));
    EXPECT_TRUE(std::filesystem::exists(running));
}

// An empty dictionary file (0 bytes, or only white space) is an empty dictionary.
TEST(DictCommand, AnEmptyFileIsAnEmptyDictionary) {
    const TextHome home;
    std::filesystem::create_directories(home.applicationSupport());
    for (const std::string& stored : {std::string(), std::string(" \n")}) {
        ASSERT_TRUE(platform::atomicWrite(home.dictionary(), stored));
        expectSuccess(home.run("dict add qv QV"), "added: qv -> QV\n");
        expectJSON(home.run("dict list --json"), R"([{"from":"qv","to":"QV"}])");
    }
}

// Forty adds to each store at once, each from its own process: every one
// that reported success is in the file afterwards.
TEST(TextCommands, ParallelAddsFromManyProcessesAreAllKept) {
    const TextHome home;
    constexpr int adds = 40;
    const TempDir dir("ondira-parallel-");
    std::string script = "(";
    for (int i = 0; i < adds; ++i) {
        for (const char* store : {"dict", "snippets"}) {
            script += "env " + home.environment() + " '" + std::string(ONDIRA_BUNDLE_DIR) + "/Ondira' " + store + " add w" +
                      std::to_string(i) + " W" + std::to_string(i) + " >/dev/null 2>&1 || echo fail & ";
        }
    }
    script += "wait) >'" + (dir / "out").string() + "'";
    ASSERT_EQ(std::system(script.c_str()), 0);
    const std::string failures = platform::readFile(dir / "out").value_or("");
    EXPECT_EQ(failures, "");
    for (const char* list : {"dict list --json", "snippets list --json"}) {
        const CLIRun listed = home.run(list);
        ASSERT_EQ(listed.status, 0) << listed.err;
        EXPECT_EQ(json::parse(listed.out).size(), static_cast<std::size_t>(adds)) << list;
    }
}

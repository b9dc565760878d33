// `dict` and `snippets` run as a user runs them, against a private home:
// what each prints, what lands in the stores, and the refusals.
#include "Platform/FileIO.h"
#include "Platform/Unicode.h"
#include "unit/cli/CLIRun.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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
    expectSuccess(home.run("dict remove never-taught"), "removed: never-taught\n");
    expectSuccess(home.run("dict list"), "gaap -> GAAP (ours)\n");
    EXPECT_EQ(doctorValue(home.run("doctor"), "dictionary"), "1 term");
}

// A dictionary file the store can't rewrite safely is left as it is, and the
// command says it failed instead of claiming the change.
TEST(DictCommand, ChangesThatCannotBeSavedFail) {
    const TextHome home;
    std::filesystem::create_directories(home.applicationSupport());
    const std::string cannotSave = "could not save the dictionary (" + home.dictionary().string() + ")\n";

    const std::string object = R"({"from":"a","to":"A"})";
    ASSERT_TRUE(platform::atomicWrite(home.dictionary(), object));
    expectFailure(home.run("dict add b B"), cannotSave);
    EXPECT_EQ(platform::readFile(home.dictionary()), object);

    const std::string mixed = R"([{"from":"a","to":"A"},5])";
    ASSERT_TRUE(platform::atomicWrite(home.dictionary(), mixed));
    expectSuccess(home.run("dict list"), "a -> A\n");
    expectFailure(home.run("dict remove a"), cannotSave);
    EXPECT_EQ(platform::readFile(home.dictionary()), mixed);
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

// A snippets file that does not load whole is left byte for byte, and the
// change is refused with the reason, instead of rewriting it with one row.
TEST(SnippetsCommand, ChangesToAFileThatDidNotLoadFail) {
    const TextHome home;
    std::filesystem::create_directories(home.applicationSupport());
    const auto file = home.applicationSupport() / "snippets.json";
    const std::string cannotSave = "could not save snippets (" + file.string() + ")\n";
    for (const std::string& stored :
         {std::string(R"([{"trigger":"sig","expansion":"Best"},{"trig)"),
          std::string(R"([{"trigger":"sig","expansion":"Best"},3])"), std::string("{ not json")}) {
        SCOPED_TRACE(stored);
        ASSERT_TRUE(platform::atomicWrite(file, stored));
        for (const char* command : {"snippets add brb 'be right back'", "snippets remove sig", "snippets remove nothing"}) {
            SCOPED_TRACE(command);
            const CLIRun run = home.run(command);
            expectFailure(run, cannotSave);
            EXPECT_NE(run.err.find("not a list of snippets"), std::string::npos) << run.err;
            EXPECT_EQ(platform::readFile(file), stored);
        }
    }
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

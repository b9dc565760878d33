#include "Text/PolishEngine.h"

#include <gtest/gtest.h>

#include <fstream>

#include "Platform/FileIO.h"
#include "Text/RegexCleaner.h"
#include "Text/Snippets.h"
#include "Text/TextPipeline.h"
#include "TextTestSupport.h"

namespace fs = std::filesystem;

namespace {

class PolishPipelineTest : public IsolatedTextTest {
protected:
    fs::path correctionsFile() const { return home.path / "corrections-test.jsonl"; }
    CorrectionLog corrections{correctionsFile()};

    std::unique_ptr<PolishEngine> engine(const char* mode) {
        auto e = std::make_unique<PolishEngine>(RegexCleaner::shared(), Vocabulary::shared(), corrections);
        e->setMode(mode);
        return e;
    }
    void learn(const std::string& heard, const std::string& written, int times = 3) {
        for (int i = 0; i < times; ++i) corrections.record(heard, written, "", "A", CorrectionSource::observedEdit);
    }
};

// Real dictations through the three modes, with a dictionary, a learned
// correction and a snippet in force.
TEST_F(PolishPipelineTest, RealDictationsThroughEachMode) {
    std::ofstream(AppPaths::dictionaryFile()) << R"([{"from":"kubernetes","to":"Kubernetes"},{"from":"jira","to":"Jira"}])";
    Vocabulary::shared().reloadDictionary();
    learn("recieve", "receive");
    Snippets snippets;
    ASSERT_TRUE(snippets.addSnippet("my sig", "— Ana"));

    struct Row {
        const char* mode;
        const char* raw;
        const char* expected;
    };
    const Row rows[] = {
        {"fast", "  um so the kubernetes cluster is down period  ", "Um so the kubernetes cluster is down."},
        {"balanced", "um so the kubernetes cluster is down period", "So the Kubernetes cluster is down."},
        {"polish", "um so the kubernetes cluster is down period", "So the Kubernetes cluster is down."},
        {"balanced", "did you recieve the jira ticket question mark thanks my sig",
         "Did you receive the Jira ticket? Thanks — Ana"},
        {"polish", "jira is, you know, slow new line uh fix it", "Jira is, slow\n fix it"},
        {"balanced", "we shipped it period scratch that", ""},
        {"balanced", "um uh er hmm", "um uh er hmm"},
        {"fast", "hello world", "hello world"},
        {"polish", "kubernetes, you know, kubernetes", "Kubernetes, Kubernetes"},
    };
    for (const Row& row : rows) {
        auto e = engine(row.mode);
        EXPECT_EQ(TextPipeline::cleanUpDictation(row.raw, false, AppRules::globalDefault(), *e, snippets), row.expected)
            << row.mode << ": " << row.raw;
    }
    fs::remove(Snippets::storageFile());
}

TEST_F(PolishPipelineTest, RawModeAndRawRulesNeverExpandSnippets) {
    Snippets snippets;
    ASSERT_TRUE(snippets.addSnippet("brb", "be right back"));
    auto e = engine("polish");
    EXPECT_EQ(TextPipeline::cleanUpDictation("  ls -la, brb  ", true, AppRules::globalDefault(), *e, snippets),
              "ls -la, brb");
    const AppRule terminal = AppRules::builtInDefaults().front();
    EXPECT_EQ(TextPipeline::cleanUpDictation("  um ls -la, brb ", false, terminal, *e, snippets), "um ls -la, brb");
    AppRule chat{"Slack", "Slack", true, false, false, false, std::nullopt};
    EXPECT_EQ(TextPipeline::cleanUpDictation("um brb period", false, chat, *e, snippets), "be right back period");
    fs::remove(Snippets::storageFile());
}

TEST_F(PolishPipelineTest, PolishCapitalisesWhatTheDictionaryLowerCased) {
    std::ofstream(AppPaths::dictionaryFile()) << R"([{"from":"3d","to":"three-d"}])";
    Vocabulary::shared().reloadDictionary();
    EXPECT_EQ(engine("balanced")->polish("3d works"), "three-d works");
    EXPECT_EQ(engine("polish")->polish("3d works"), "Three-d works");
}

TEST_F(PolishPipelineTest, ModeNamesAreCaseInsensitiveOnlyThroughSetMode) {
    auto e = engine("POLISH");
    EXPECT_EQ(e->mode(), ProcessingMode::polish);
    e->setMode("loud");
    EXPECT_EQ(e->mode(), ProcessingMode::polish);
    EXPECT_EQ(AppPaths::readConfigValue("processing_mode").value_or(""), "polish");
    AppPaths::writeConfigValue("hotkey", "fn");
    AppPaths::writeConfigValue("processing_mode", "Fast");
    PolishEngine fresh(RegexCleaner::shared(), Vocabulary::shared(), corrections);
    EXPECT_EQ(fresh.mode(), ProcessingMode::balanced);
    fresh.setMode("fast");
    EXPECT_EQ(AppPaths::readConfigValue("hotkey").value_or(""), "fn");
}

TEST_F(PolishPipelineTest, ContentGuardTable) {
    struct Row {
        const char* source;
        const char* cleaned;
        const char* expected;
    };
    for (const Row& r : {Row{"a b c d", "a b", "a b"}, Row{"a b c d", "a", "a b c d"}, Row{"a b", "   ", "a b"},
                         Row{"   ", "x", "x"}, Row{"", "", ""}})
        EXPECT_EQ(PolishEngine::guardContentPreserved(r.source, r.cleaned), r.expected) << r.source << "|" << r.cleaned;
}

TEST_F(PolishPipelineTest, LearnedSubstitutionsLongestFirstAndLiteral) {
    std::vector<CorrectionLog::LearnedSubstitution> rules = {
        {"new york", "NY"}, {"new york city", "NYC"}, {"c++", "C++"}, {"x.y", "$1"}};
    EXPECT_EQ(PolishEngine::applyLearnedSubstitutions("new york city and new york", rules), "NYC and NY");
    EXPECT_EQ(PolishEngine::applyLearnedSubstitutions("c++ and xzy and x.y", rules), "C++ and xzy and $1");
    EXPECT_EQ(PolishEngine::applyLearnedSubstitutions("New york", {{"new york", "new york"}}), "New york");
}

TEST_F(PolishPipelineTest, LearnedCorrectionsReachTheChainAndRevokesStick) {
    learn("teh", "the");
    auto e = engine("balanced");
    EXPECT_EQ(e->polish("teh cat"), "The cat");
    EXPECT_EQ(corrections.deleteRecords("TEH", " the "), 3);
    EXPECT_EQ(e->polish("teh cat"), "Teh cat");
}

TEST_F(PolishPipelineTest, MalformedUTF8NeverThrowsOrMisplacesAReplacement) {
    std::ofstream(AppPaths::dictionaryFile()) << R"([{"from":"cat","to":"dog"}])";
    Vocabulary::shared().reloadDictionary();
    learn("teh", "the");
    Snippets snippets;
    ASSERT_TRUE(snippets.addSnippet("brb", "be right back"));
    const std::string broken = "\xff\xfe cat teh brb \xc3";
    for (const char* mode : {"fast", "balanced", "polish"}) {
        auto e = engine(mode);
        std::string out;
        EXPECT_NO_THROW(out = TextPipeline::cleanUpDictation(broken, false, AppRules::globalDefault(), *e, snippets));
        if (std::string(mode) != "fast") {
            EXPECT_NE(out.find("dog the be right back"), std::string::npos) << out;
        }
    }
    fs::remove(Snippets::storageFile());
}

}  // namespace

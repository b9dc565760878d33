#include "Text/Vocabulary.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

#include "Platform/FileIO.h"
#include "TextTestSupport.h"
#include "Base/WordMatch.h"

namespace fs = std::filesystem;

namespace {

class VocabularyTest : public IsolatedTextTest {
protected:
    void writeDictionary(const std::string& content) {
        std::ofstream(AppPaths::dictionaryFile()) << content;
        Vocabulary::shared().reloadDictionary();
    }
    std::string apply(const std::string& s) { return Vocabulary::shared().apply(s); }
};

TEST_F(VocabularyTest, SpokenFormsWithNonWordEdgesStillMatchAsWholeTokens) {
    writeDictionary(R"([{"from":"c++","to":"C++"},{"from":".net","to":".NET"},{"from":"node.js","to":"Node.js"}])");
    EXPECT_EQ(apply("i write c++ and .net daily"), "i write C++ and .NET daily");
    EXPECT_EQ(apply("c++, then .net."), "C++, then .NET.");
    EXPECT_EQ(apply("node.js rocks"), "Node.js rocks");
    // Still whole tokens: no match glued to a word character.
    EXPECT_EQ(apply("abc++ x.netty"), "abc++ x.netty");
}

TEST_F(VocabularyTest, EmptySpokenFormNeverMatches) {
    writeDictionary(R"([{"from":"","to":"BOOM"},{"from":"cat","to":"dog"}])");
    EXPECT_EQ(apply("a cat"), "a dog");
    EXPECT_EQ(apply(""), "");
    EXPECT_EQ(WordMatch::literalPattern(""), nullptr);
}

TEST_F(VocabularyTest, CaseRuleTable) {
    struct Row {
        const char* to;
        const char* matched;
        const char* expected;
    };
    for (const Row& r : {Row{"the", "Teh", "The"}, Row{"the", "TEH", "THE"}, Row{"the", "teh", "the"},
                         Row{"API", "api", "API"}, Row{"iPhone", "IPHONE", "iPhone"}, Row{"$1", "Foo", "$1"},
                         Row{"", "Foo", ""}, Row{"x", "123", "x"}, Row{"über", "Uber", "Über"}})
        EXPECT_EQ(Vocabulary::casedReplacement(r.to, r.matched), r.expected) << r.to << " / " << r.matched;
}

TEST_F(VocabularyTest, AddRewritesAtomicallyKeepingTheFileMode) {
    writeDictionary(R"([{"from":"a","to":"A"}])");
    ::chmod(AppPaths::dictionaryFile().c_str(), 0640);
    ASSERT_TRUE(Vocabulary::shared().addTerm("kube", "Kubernetes"));
    struct stat st {};
    ASSERT_EQ(::stat(AppPaths::dictionaryFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    auto terms = Vocabulary::loadRawTerms();
    ASSERT_EQ(terms.size(), 2u);
    EXPECT_EQ(terms[1].at("to"), "Kubernetes");
    EXPECT_EQ(apply("kube is up"), "Kubernetes is up");
}

// A file that does not load as a list of terms is never written over: it is
// moved aside as it is, and the add lands beside the terms that still read.
TEST_F(VocabularyTest, AddMovesAFileItCannotLoadAsideAndKeepsItsTerms) {
    struct Row {
        std::string bad;
        std::size_t kept;
    };
    for (const Row& row : {Row{"{ not json", 0}, Row{R"([{"from":"a","to":1},{"from":"b","to":"B"}])", 1},
                           Row{R"({"from":"a","to":"b"})", 0}}) {
        SCOPED_TRACE(row.bad);
        writeDictionary(row.bad);
        EXPECT_TRUE(Vocabulary::shared().addTerm("x", "y"));
        const auto terms = Vocabulary::loadRawTerms();
        ASSERT_EQ(terms.size(), row.kept + 1);
        EXPECT_EQ(terms.back().at("from"), "x");
        int aside = 0;
        for (const auto& entry : std::filesystem::directory_iterator(AppPaths::dictionaryFile().parent_path()))
            if (entry.path().filename().string().rfind("dictionary.json.damaged-", 0) == 0) {
                ++aside;
                EXPECT_EQ(platform::readFile(entry.path()), row.bad);
                std::filesystem::remove(entry.path());
            }
        EXPECT_EQ(aside, 1);
    }
}

TEST_F(VocabularyTest, AddReplacesACaseVariantAndMovesItToTheEnd) {
    writeDictionary(R"([{"from":"GAAP","to":"old"},{"from":"b","to":"B"}])");
    Vocabulary::shared().addTerm("gaap", "new");
    auto terms = Vocabulary::loadRawTerms();
    ASSERT_EQ(terms.size(), 2u);
    EXPECT_EQ(terms[0].at("from"), "b");
    EXPECT_EQ(terms[1].at("to"), "new");
}

TEST_F(VocabularyTest, DeleteRemovesEveryCaseVariant) {
    writeDictionary(R"([{"from":"Kube","to":"K"},{"from":"kube","to":"k"},{"from":"x","to":"X"}])");
    EXPECT_TRUE(Vocabulary::shared().deleteTerm("KUBE"));
    EXPECT_EQ(Vocabulary::loadRawTerms().size(), 1u);
    EXPECT_EQ(apply("kube x"), "kube X");
}

TEST_F(VocabularyTest, PackNamesAreFileNamesOnly) {
    for (const char* bad : {"", "../finance", "fin/ance", "finance.json", "a b", ".."})
        EXPECT_FALSE(Vocabulary::resolvePackFileURL(bad).has_value()) << bad;
    EXPECT_TRUE(Vocabulary::resolvePackFileURL("finance").has_value());
    // A pack file outside the packs directory is never reached by a crafted name.
    fs::create_directories(AppPaths::applicationSupport() / "vocab_packs");
    std::ofstream(AppPaths::applicationSupport() / "evil.json") << R"({"name":"evil","terms":["PWNED"]})";
    AppPaths::userDefaults()->setStringArray(Vocabulary::packsEnabledKey, {"../evil"});
    EXPECT_EQ(apply("pwned"), "pwned");
}

TEST_F(VocabularyTest, PackSwitchTakesEffectAtTheNextApply) {
    writeDictionary("[]");
    EXPECT_EQ(apply("our ebitda grew"), "our ebitda grew");
    AppPaths::userDefaults()->setStringArray(Vocabulary::packsEnabledKey, {"finance"});
    EXPECT_EQ(apply("our ebitda grew"), "our EBITDA grew");
    AppPaths::userDefaults()->setStringArray(Vocabulary::packsEnabledKey, {});
    EXPECT_EQ(apply("our ebitda grew"), "our ebitda grew");
}

TEST_F(VocabularyTest, DictionaryOverridesAPackTermKeepingItsPosition) {
    writeDictionary(R"([{"from":"ebitda","to":"earnings"}])");
    AppPaths::userDefaults()->setStringArray(Vocabulary::packsEnabledKey, {"finance"});
    Vocabulary::shared().reloadDictionary();
    auto terms = Vocabulary::shared().getContextTerms();
    ASSERT_FALSE(terms.empty());
    EXPECT_EQ(terms.front(), "earnings");
    EXPECT_EQ(apply("ebitda"), "earnings");
}

TEST_F(VocabularyTest, ShippedPacksAreWellFormed) {
    const fs::path dir = fs::path(ONDIRA_SOURCE_DIR) / "Resources" / "vocab_packs";
    int packs = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        ++packs;
        auto root = nlohmann::json::parse(platform::readFile(entry.path()).value_or(""), nullptr, false);
        ASSERT_TRUE(root.is_object()) << entry.path();
        EXPECT_EQ(root.value("name", ""), entry.path().stem().string());
        EXPECT_TRUE(Vocabulary::isValidPackName(entry.path().stem().string()));
        ASSERT_TRUE(root["terms"].is_array());
        EXPECT_FALSE(root["terms"].empty());
        for (const auto& t : root["terms"]) EXPECT_TRUE(t.is_string() && !t.get<std::string>().empty());
    }
    EXPECT_GE(packs, 1);
}

TEST_F(VocabularyTest, ImportMergesAndWritesPrivately) {
    writeDictionary(R"([{"from":"GAAP","to":"mine"}])");
    auto result = Vocabulary::shared().importTerms({{{"from", "gaap"}, {"to", "theirs"}}, {{"from", "arr"}, {"to", "ARR"}}});
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->added, 1);
    EXPECT_EQ(result->skipped, 1);
    struct stat st {};
    ASSERT_EQ(::stat(AppPaths::dictionaryFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(apply("gaap arr"), "mine ARR");
    auto none = Vocabulary::shared().importTerms({{{"from", "arr"}, {"to", "x"}}});
    ASSERT_TRUE(none.has_value());
    EXPECT_EQ(none->added, 0);
}

}  // namespace

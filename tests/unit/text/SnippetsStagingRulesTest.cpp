#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <thread>

#include "Base/FaultLog.h"
#include "Platform/FileIO.h"
#include "Text/AppRules.h"
#include "Text/Snippets.h"
#include "Text/StagingBuffer.h"
#include "TextTestSupport.h"

namespace fs = std::filesystem;

namespace {

class SnippetsTest : public IsolatedTextTest {};

TEST_F(SnippetsTest, ExpansionTable) {
    struct Row {
        std::vector<Snippets::Snippet> snippets;
        const char* input;
        const char* expected;
    };
    const Row rows[] = {
        {{{"brb", "be right back"}}, "brb", "be right back"},
        {{{"brb", "be right back"}}, "xbrb brbx brb_ brb", "xbrb brbx brb_ be right back"},
        {{{"c++", "C-plus-plus"}}, "I like c++.", "I like C-plus-plus."},
        {{{"café", "coffee"}}, "un CAFÉ noir", "un coffee noir"},
        {{{"brb", "X"}}, "naïvebrb brb", "naïvebrb X"},
        {{{"omw", "on my way"}}, "\"omw\"\r\nomw", "\"on my way\"\r\non my way"},
        {{{"a", "b"}, {"b", "c"}}, "a b", "b c"},
    };
    for (const Row& r : rows) EXPECT_EQ(Snippets::expand(r.input, r.snippets), r.expected) << r.input;
}

TEST_F(SnippetsTest, StoreIsPrivateAndReplacesCaseVariants) {
    Snippets store;
    ASSERT_TRUE(store.addSnippet("brb", "one"));
    ASSERT_TRUE(store.addSnippet("BRB", "two"));
    struct stat st {};
    ASSERT_EQ(::stat(Snippets::storageFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    auto rows = Snippets::loadRawSnippets();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("trigger"), "BRB");
    EXPECT_EQ(store.expand("brb"), "two");
    store.deleteSnippet("Brb");
    EXPECT_EQ(store.expand("brb"), "brb");
    EXPECT_FALSE(store.addSnippet(" \t", "x"));
    fs::remove(Snippets::storageFile());
}

TEST_F(SnippetsTest, RowsWithoutStringsAreSkippedAndAFileThatDoesNotLoadKeepsItsSnippets) {
    std::ofstream(Snippets::storageFile())
        << R"([{"trigger":"a","expansion":"A"},{"trigger":1,"expansion":"x"},{"expansion":"y"}])";
    EXPECT_EQ(Snippets::loadRawSnippets().size(), 1u);
    const std::string damaged = R"([{"trigger":"a","expansion":"A"}, 3])";
    std::ofstream(Snippets::storageFile(), std::ios::trunc) << damaged;
    const Snippets::Loaded loaded = Snippets::loadSnippets();
    ASSERT_EQ(loaded.rows.size(), 1u);
    ASSERT_TRUE(loaded.setAside);
    EXPECT_EQ(platform::readFile(*loaded.setAside), damaged);
    EXPECT_EQ(Snippets::loadRawSnippets().size(), 1u);
    fs::remove(*loaded.setAside);
    fs::remove(Snippets::storageFile());
}

class StagingTest : public IsolatedTextTest {
protected:
    fs::path file() const { return home.path / "staging.json"; }
};

// Every entry that decodes is kept, whatever ISO-8601 shape its date has; an
// entry that does not decode costs only itself and survives the next write.
TEST_F(StagingTest, EntriesThatDecodeAreKeptAndTheOthersAreNotWrittenOver) {
    const std::string odd = R"({"id":"not-a-uuid","text":"mine","createdAt":"2026-08-01T10:00:00Z","polished":false})";
    {
        std::ofstream(file())
            << "["
            << R"({"id":"0E1F2A3B-4C5D-4E6F-8A9B-0C1D2E3F4A5B","text":"one","createdAt":"2026-08-01T10:00:00.250Z","polished":false},)"
            << odd << ","
            << R"({"id":"1E1F2A3B-4C5D-4E6F-8A9B-0C1D2E3F4A5B","text":"two","createdAt":"2026-08-01T12:00:00+02:00","polished":true}])";
    }
    StagingBuffer buffer(file(), StagingLimits::defaults());
    const auto entries = buffer.allEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].text, "one");
    EXPECT_EQ(entries[1].text, "two");
    EXPECT_EQ(entries[0].createdAt, entries[1].createdAt);  // the same moment in two shapes
    ASSERT_TRUE(buffer.append("three", false).isAppended());
    const auto stored = nlohmann::json::parse(platform::readFile(file()).value_or("[]"));
    ASSERT_EQ(stored.size(), 4u);
    EXPECT_TRUE(std::find(stored.begin(), stored.end(), nlohmann::json::parse(odd)) != stored.end());

    // A file that is not a list at all is never written over: it is moved
    // aside as it is, and staging goes on in a fresh file.
    { std::ofstream(file(), std::ios::trunc) << "[{ truncated"; }
    StagingBuffer broken(file(), StagingLimits::defaults());
    EXPECT_TRUE(broken.append("four", false).isAppended());
    EXPECT_EQ(StagingBuffer(file(), StagingLimits::defaults()).allEntries().size(), 1u);
    int aside = 0;
    for (const auto& entry : fs::directory_iterator(home.path))
        if (entry.path().filename().string().rfind("staging.json.damaged-", 0) == 0) {
            ++aside;
            EXPECT_EQ(platform::readFile(entry.path()), "[{ truncated");
        }
    EXPECT_EQ(aside, 1);
}

TEST_F(StagingTest, ReplaceTextRespectsTheByteCap) {
    StagingBuffer buffer(file(), StagingLimits{10, 10});
    auto a = buffer.append("12345", false);
    ASSERT_TRUE(a.isAppended());
    ASSERT_TRUE(buffer.append("abc", false).isAppended());
    EXPECT_TRUE(buffer.replaceText(a.id, "1234567"));    // exactly 10 bytes
    EXPECT_FALSE(buffer.replaceText(a.id, "12345678"));  // 11 bytes
    EXPECT_EQ(buffer.allEntries()[0].text, "1234567");
    EXPECT_FALSE(buffer.replaceText("00000000-0000-0000-0000-000000000000", "x"));
}

TEST_F(StagingTest, AnAppendThatCouldNotBeSavedIsNotReportedAsStaged) {
    // A plain file where the directory should be: no write can succeed.
    std::ofstream(home.path / "not-a-directory") << "x";
    StagingBuffer buffer(home.path / "not-a-directory" / "staging.json", StagingLimits::defaults());
    auto result = buffer.append("hello", true);
    EXPECT_EQ(result.kind, StagingAppendResult::Kind::writeFailed);
    EXPECT_EQ(buffer.count(), 0u);
    EXPECT_TRUE(result.fallbackMessage().has_value());
    const std::string faults = platform::readFile(FaultLog::faultsFileURL()).value_or("");
    EXPECT_NE(faults.find("\"staging_write_failed\""), std::string::npos) << faults;
}

TEST_F(StagingTest, FileFormatAndMessages) {
    StagingBuffer buffer(file(), StagingLimits::defaults());
    const auto when = std::chrono::system_clock::from_time_t(1767225600);  // 2026-01-01T00:00:00Z
    ASSERT_TRUE(buffer.append("é \"x\"", true, when).isAppended());
    const std::string stored = platform::readFile(file()).value_or("");
    EXPECT_NE(stored.find("\"createdAt\":\"2026-01-01T00:00:00Z\""), std::string::npos) << stored;
    StagingBuffer again(file(), StagingLimits::defaults());
    ASSERT_EQ(again.count(), 1u);
    EXPECT_EQ(again.allEntries()[0], buffer.allEntries()[0]);
    EXPECT_EQ((StagingAppendResult{StagingAppendResult::Kind::rejectedEntryCap, {}}.fallbackMessage().value()),
              "Staging is full (200 entries) — pasted instead");
    EXPECT_EQ((StagingAppendResult{StagingAppendResult::Kind::rejectedByteCap, {}}.fallbackMessage().value()),
              "Staging is full (2000KB of text) — pasted instead");
    EXPECT_FALSE(StagingAppendResult{}.fallbackMessage().has_value());
}

TEST_F(StagingTest, MoveClampsAndBothCapsPreferTheEntryCap) {
    StagingBuffer buffer(file(), StagingLimits{2, 4});
    ASSERT_TRUE(buffer.append("ab", false).isAppended());
    auto b = buffer.append("cd", false);
    ASSERT_TRUE(b.isAppended());
    EXPECT_EQ(buffer.append("toolong", false).kind, StagingAppendResult::Kind::rejectedEntryCap);
    EXPECT_TRUE(buffer.move(b.id, -5));
    EXPECT_EQ(buffer.composed(StagingJoiner::space), "cd ab");
    EXPECT_TRUE(buffer.move(b.id, 99));
    EXPECT_EQ(buffer.composed(StagingJoiner::newline), "ab\ncd");
}

class AppRulesTest : public IsolatedTextTest {};

TEST_F(AppRulesTest, ApplyChainTable) {
    const AppRule raw{"kitty", "kitty", false, true, true, false, std::nullopt};
    const AppRule full{"x", "X", true, true, true, false, std::nullopt};
    const AppRule noCaps{"x", "X", true, false, false, false, std::nullopt};
    struct Row {
        const AppRule& rule;
        const char* input;
        const char* expected;
    };
    for (const Row& r : {Row{raw, "  rm -rf build && git status \n", "rm -rf build && git status"},
                         Row{raw, " um hi ", "um hi"}, Row{full, "um hello there", "Hello there"},
                         Row{full, " um, uh ", "um, uh"}, Row{full, " \n\t ", ""}, Row{noCaps, "um hello", "Hello"}})
        EXPECT_EQ(AppRules::apply(r.rule, r.input), r.expected) << r.input;
}

TEST_F(AppRulesTest, ShippedRulesUseLinuxIdentities) {
    auto rules = AppRules::builtInDefaults();
    ASSERT_EQ(rules.size(), 4u);
    EXPECT_EQ(rules[0].bundleID, "org.gnome.Terminal");
    EXPECT_FALSE(AppRules::shouldAllowDictation("1Password", rules));
    EXPECT_FALSE(AppRules::shouldAllowDictation("KeePassXC", rules));
    EXPECT_TRUE(AppRules::shouldAllowDictation("org.gnome.TextEditor", rules));
    EXPECT_TRUE(AppRules::shouldAllowDictation(std::nullopt, rules));
    // Sorted by id in code-point order: upper case before lower case.
    auto effective = AppRules::effectiveRules(AppPaths::userDefaults());
    for (std::size_t i = 1; i < effective.size(); ++i) EXPECT_LT(effective[i - 1].bundleID, effective[i].bundleID);
}

TEST_F(AppRulesTest, ProfilesRejectUnknownModesAndKeepNamesByteForByte) {
    auto store = AppPaths::userDefaults();
    const std::string hostile = "<script>alert(1)</script>\"&";
    Profiles::persist({{"p", hostile, ProcessingMode::fast, true, false, true}}, store);
    auto loaded = Profiles::loadStoredProfiles(store);
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0].name, hostile);
    const std::string bad =
        R"([{"id":"p","name":"P","mode":"Fast","polishEnabled":true,"autoCapitalizeEnabled":true,"dictionaryEnabled":true}])";
    store->setData(Profiles::defaultsKey, std::vector<std::uint8_t>(bad.begin(), bad.end()));
    EXPECT_EQ(Profiles::loadStoredProfiles(store), Profiles::builtInDefaults());
    store->setString(AppRules::defaultsKey, "not data");
    EXPECT_EQ(AppRules::loadStoredOverrides(store), AppRules::builtInDefaults());
}

}  // namespace

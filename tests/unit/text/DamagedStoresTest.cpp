// Every store that meets a file it cannot load keeps that file aside, byte
// for byte, tells the user where it went, and goes on working with the
// records that still read: the next change lands in a fresh file.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Base/AppPaths.h"
#include "Base/DictionaryFile.h"
#include "Learning/CorrectionLog.h"
#include "Platform/FileIO.h"
#include "Platform/StoreRecovery.h"
#include "Text/AppRules.h"
#include "Text/Snippets.h"
#include "Text/StagingBuffer.h"
#include "Text/Vocabulary.h"
#include "TextTestSupport.h"

namespace fs = std::filesystem;

namespace {

class DamagedStoresTest : public IsolatedTextTest {};

// The files beside `file` that were moved aside from it.
std::vector<fs::path> movedAside(const fs::path& file) {
    std::vector<fs::path> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(file.parent_path(), ec)) {
        if (entry.path().filename().string().rfind(file.filename().string() + ".damaged-", 0) == 0)
            found.push_back(entry.path());
    }
    return found;
}

const std::string kStagedID = "6F1C2E0A-3B4D-4E5F-8A9B-0C1D2E3F4A5B";

struct Store {
    const char* name;
    std::function<fs::path()> file;
    std::string damage;
    // One ordinary change through the store; true when it reported success.
    std::function<bool()> use;
    // The change and every record that still read from the damage, as the store loads them now.
    std::function<void()> expectKeptAndChanged;
};

TEST_F(DamagedStoresTest, ADamagedFileIsMovedAsideAndTheStoreGoesOn) {
    const fs::path staging = home.path / "staging.json";
    const fs::path corrections = home.path / "corrections.jsonl";
    const std::vector<Store> stores = {
        {"dictionary", [] { return AppPaths::dictionaryFile(); },
         R"([{"from":"keep me","to":"Kept"},{"from":"torn","to)",
         [] { return Vocabulary::shared().addTerm("fresh", "Fresh"); },
         [] {
             const auto terms = Vocabulary::loadRawTerms();
             ASSERT_EQ(terms.size(), 2u);
             EXPECT_EQ(terms[0].at("from"), "keep me");
             EXPECT_EQ(terms[1].at("from"), "fresh");
         }},
        {"snippets", [] { return Snippets::storageFile(); },
         R"([{"trigger":"sig","expansion":"Best"}, 3, {"trigger":"addr","exp)",
         [] {
             Snippets store;
             return store.addSnippet("brb", "be right back");
         },
         [] {
             const auto rows = Snippets::loadRawSnippets();
             ASSERT_EQ(rows.size(), 2u);
             EXPECT_EQ(rows[0].at("trigger"), "sig");
             EXPECT_EQ(rows[1].at("trigger"), "brb");
         }},
        {"rules and profiles", [] { return AppPaths::userDefaults()->file(); },
         R"({"ondira_logging_enabled": false, "ondira_app_rules": [broken)",
         [] {
             AppRules::persist({{"org.example.Editor", "Editor", false, true, true, false, "code"}},
                               AppPaths::userDefaults());
             Profiles::persist({{"p1", "Mine", ProcessingMode::fast, true, true, true}}, AppPaths::userDefaults());
             return AppPaths::userDefaults()->lastWriteSucceeded();
         },
         [] {
             const auto rules = AppRules::loadStoredOverrides(AppPaths::userDefaults());
             ASSERT_EQ(rules.size(), 1u);
             EXPECT_EQ(rules[0].bundleID, "org.example.Editor");
             ASSERT_EQ(Profiles::loadStoredProfiles(AppPaths::userDefaults()).size(), 1u);
             EXPECT_FALSE(AppPaths::userDefaults()->boolValue("ondira_logging_enabled"));
         }},
        {"staging", [staging] { return staging; },
         R"([{"id":")" + kStagedID + R"(","text":"kept","createdAt":"2026-08-01T10:00:00Z","polished":true},{"id":)",
         [staging] {
             StagingBuffer buffer(staging, StagingLimits::defaults());
             return buffer.append("fresh", false).isAppended();
         },
         [staging] {
             StagingBuffer buffer(staging, StagingLimits::defaults());
             const auto entries = buffer.allEntries();
             ASSERT_EQ(entries.size(), 2u);
             EXPECT_EQ(entries[0].id, kStagedID);
             EXPECT_EQ(entries[1].text, "fresh");
         }},
        {"corrections", [corrections] { return corrections; }, std::string("\x01\x02 not a record\n{{{\n\0\0", 22),
         [corrections] {
             CorrectionLog log(corrections);
             log.record("heard", "written", "", "App", CorrectionSource::observedEdit);
             return log.all().size() == 1;
         },
         [corrections] {
             CorrectionLog log(corrections);
             ASSERT_EQ(log.all().size(), 1u);
             EXPECT_EQ(log.all()[0].written, "written");
         }},
        {"config", [] { return AppPaths::configFile(); },
         R"({"processing_mode": "Fast", "hotkey": "f13", "torn": {"x)",
         [] {
             AppPaths::writeConfigValue("hotkey", "altspace");
             return true;
         },
         [] {
             EXPECT_EQ(AppPaths::readConfigValue("processing_mode"), "Fast");
             EXPECT_EQ(AppPaths::readConfigValue("hotkey"), "altspace");
         }},
        {"settings", [] { return AppPaths::userDefaults()->file(); }, "{\"ondira_logging_enabled\": false,\n\"x\": [1, ",
         [] {
             AppPaths::userDefaults()->setBool("ondira_staging_mode_enabled", true);
             return AppPaths::userDefaults()->lastWriteSucceeded();
         },
         [] {
             EXPECT_TRUE(AppPaths::userDefaults()->boolValue("ondira_staging_mode_enabled"));
             EXPECT_FALSE(AppPaths::userDefaults()->boolValue("ondira_logging_enabled"));
         }},
    };
    for (const Store& store : stores) {
        SCOPED_TRACE(store.name);
        const fs::path file = store.file();
        fs::create_directories(file.parent_path());
        ASSERT_TRUE(platform::atomicWrite(file, store.damage));
        platform::takeSetAsideNotices();

        EXPECT_TRUE(store.use());

        const auto aside = movedAside(file);
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(platform::readFile(aside[0]), store.damage);
        const auto notices = platform::takeSetAsideNotices();
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_EQ(notices[0].aside, aside[0]);
        EXPECT_EQ(notices[0].message(),
                  file.filename().string() + " could not be read; it was moved aside to " + aside[0].string());
        store.expectKeptAndChanged();
        fs::remove(aside[0]);
        fs::remove(file);
    }
}

// A link planted at the settings file's path is not the settings' own file:
// a change is refused, the link stays and its target is left as it was.
TEST_F(DamagedStoresTest, APlantedLinkAtTheSettingsPathStaysPut) {
    const auto store = AppPaths::userDefaults();
    const fs::path file = store->file();
    const fs::path target = home.path / "someone-elses.txt";
    fs::create_directories(file.parent_path());
    ASSERT_TRUE(platform::atomicWrite(target, "not settings"));
    fs::remove(file);
    fs::create_symlink(target, file);
    platform::takeSetAsideNotices();

    store->setBool("ondira_staging_mode_enabled", true);
    EXPECT_FALSE(store->lastWriteSucceeded());
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_EQ(fs::read_symlink(file), target);
    EXPECT_EQ(platform::readFile(target), "not settings");
    EXPECT_TRUE(movedAside(file).empty());
    EXPECT_TRUE(platform::takeSetAsideNotices().empty());
    fs::remove(file);
}

// The rules and the profiles are values inside the settings file: one that
// does not decode keeps the items that still do, and the first change to it
// keeps a copy of the damaged value beside the settings file before writing.
TEST_F(DamagedStoresTest, ADamagedRulesOrProfilesValueIsKeptAsideBeforeItIsReplaced) {
    const auto store = AppPaths::userDefaults();
    struct Row {
        const char* key;
        std::string damage;
        std::function<std::size_t()> readable;
        std::function<void()> change;
    };
    const std::string rule = R"({"bundleID":"org.kept","displayName":"Kept","polishEnabled":true,)"
                             R"("autoCapitalizeEnabled":true,"dictionaryEnabled":true,"neverDictate":false})";
    const std::string profile = R"({"id":"p1","name":"Mine","mode":"fast","polishEnabled":true,)"
                                R"("autoCapitalizeEnabled":true,"dictionaryEnabled":true})";
    const Row rows[] = {
        {AppRules::defaultsKey, "[" + rule + R"(, {"bundleID": 5}, {"bundleID":"torn)",
         [&] { return AppRules::loadStoredOverrides(store).size(); },
         [&] { AppRules::persist({}, store); }},
        {Profiles::defaultsKey, "[" + profile + R"(, "x", {"id":)",
         [&] { return Profiles::loadStoredProfiles(store).size(); },
         [&] { Profiles::persist({}, store); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.key);
        store->setData(row.key, std::vector<std::uint8_t>(row.damage.begin(), row.damage.end()));
        platform::takeSetAsideNotices();
        EXPECT_EQ(row.readable(), 1u);
        row.change();
        const fs::path original = store->file().parent_path() / (store->file().filename().string() + "." + row.key);
        const auto aside = movedAside(original);
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(platform::readFile(aside[0]), row.damage);
        EXPECT_EQ(platform::takeSetAsideNotices().size(), 1u);
        EXPECT_EQ(row.readable(), 0u);
        fs::remove(aside[0]);
    }
}

// A file that is already moved aside under today's name is never replaced:
// a second damaged file of the same second gets a name of its own.
TEST_F(DamagedStoresTest, MovingAsideNeverReplacesAnEarlierCopy) {
    const fs::path file = home.path / "store.json";
    std::vector<fs::path> asides;
    for (const char* bytes : {"first", "second", "third"}) {
        ASSERT_TRUE(platform::atomicWrite(file, bytes));
        auto aside = platform::moveAside(file);
        ASSERT_TRUE(aside);
        asides.push_back(*aside);
    }
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(platform::readFile(asides[0]), "first");
    EXPECT_EQ(platform::readFile(asides[1]), "second");
    EXPECT_EQ(platform::readFile(asides[2]), "third");
}

// What survives of a broken file: the whole elements (or members) before and
// between the damage, nothing of a torn one.
TEST(SalvageJSON, KeepsEveryElementThatParsesOnItsOwn) {
    struct Row {
        const char* bytes;
        bool object;
        const char* kept;
    };
    const Row rows[] = {
        {R"([{"a":1},{"b":"x,]}"},{"c":)", false, R"([{"a":1},{"b":"x,]}"}])"},
        {R"([1, nope, 3, {"q": [1, 2]}, "tail)", false, R"([1,3,{"q":[1,2]}])"},
        {"\xEF\xBB\xBF[\"bom\"", false, R"(["bom"])"},
        {R"({"keep": true, "also": [1], "torn": {"x")", true, R"({"also":[1],"keep":true})"},
        {R"({"a": 1, bad, "b": "\"quoted\""})", true, R"({"a":1,"b":"\"quoted\""})"},
        {R"(["x\",]y", 2, "tail)", false, R"(["x\",]y",2])"},
        {"not json at all", false, "[]"},
        {"[1,2]", true, "{}"},
    };
    for (const Row& r : rows) EXPECT_EQ(platform::salvageJSON(r.bytes, r.object).dump(), r.kept) << r.bytes;
}

}  // namespace

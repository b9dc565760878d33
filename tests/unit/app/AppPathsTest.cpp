#include "Base/AppPaths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "Learning/PersonalModel.h"
#include "Platform/Bundle.h"
#include "Platform/FileIO.h"
#include "Platform/StoreRecovery.h"
#include "support/ProcessRace.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

TEST(AppPaths, IsolationMovesHomeSupportAndSettings) {
    TempDir dir;
    ScopedEnv env(AppPaths::selfTestStateDirVariable, dir.path.string());
    EXPECT_TRUE(AppPaths::isSelfTestIsolated());
    EXPECT_EQ(AppPaths::homeDirectory(), dir.path);
    EXPECT_EQ(AppPaths::applicationSupport(), dir.path / ".local/share/Ondira");
    EXPECT_TRUE(fs::is_directory(AppPaths::applicationSupport()));
    EXPECT_EQ(AppPaths::userDefaults()->domain(), "com.ondira.selftest");
    EXPECT_EQ(AppPaths::userDefaults()->file().parent_path(), dir.path / ".config/Ondira");
}

TEST(AppPaths, EmptyIsolationValueKeepsRealHomeButUsesTheSuite) {
    TempDir home;
    ScopedEnv h("HOME", home.path.string());
    ScopedEnv x("XDG_DATA_HOME", std::nullopt);
    ScopedEnv env(AppPaths::selfTestStateDirVariable, std::string());
    EXPECT_TRUE(AppPaths::isSelfTestIsolated());
    EXPECT_EQ(AppPaths::homeDirectory(), home.path);
    EXPECT_EQ(AppPaths::userDefaults()->domain(), "com.ondira.selftest");
}

TEST(AppPaths, WithoutIsolationUsesStandardStoreAndXdgDirectories) {
    TempDir home, data, config;
    ScopedEnv h("HOME", home.path.string());
    ScopedEnv env(AppPaths::selfTestStateDirVariable, std::nullopt);
    {
        ScopedEnv x("XDG_DATA_HOME", std::nullopt);
        ScopedEnv c("XDG_CONFIG_HOME", std::nullopt);
        EXPECT_FALSE(AppPaths::isSelfTestIsolated());
        EXPECT_EQ(AppPaths::applicationSupport(), home.path / ".local/share/Ondira");
        EXPECT_EQ(AppPaths::userDefaults()->domain(), "com.ondira.app");
        EXPECT_EQ(AppPaths::userDefaults()->file(), home.path / ".config/Ondira/com.ondira.app.json");
    }
    ScopedEnv x("XDG_DATA_HOME", data.path.string());
    ScopedEnv c("XDG_CONFIG_HOME", config.path.string());
    EXPECT_EQ(AppPaths::applicationSupport(), data.path / "Ondira");
    EXPECT_EQ(AppPaths::settingsDirectory(), config.path / "Ondira");
}

// Only the running bundle's directory counts: a vocab_packs folder in the
// data directory never stands in for it, and neither does a plain file.
TEST(AppPaths, VocabPacksComeOnlyFromTheBundle) {
    TempDir t;
    ScopedEnv isolated(AppPaths::selfTestStateDirVariable, (t / "state").string());
    const fs::path res = t / "bundle" / "Resources";
    fs::create_directories(res);
    fs::create_directories(AppPaths::applicationSupport() / "vocab_packs");
    struct Restore {
        ~Restore() { platform::Bundle::overrideBundleDirectory(std::nullopt); }
    } restore;
    platform::Bundle::overrideBundleDirectory(t / "bundle");
    ASSERT_EQ(platform::Bundle::resourceURL(), res);
    EXPECT_EQ(AppPaths::vocabPacksDirectory(), std::nullopt);
    { std::ofstream(res / "vocab_packs") << "file"; }
    EXPECT_EQ(AppPaths::vocabPacksDirectory(), std::nullopt);
    fs::remove(res / "vocab_packs");
    fs::create_directories(res / "vocab_packs");
    EXPECT_EQ(AppPaths::vocabPacksDirectory(), res / "vocab_packs");
}

TEST(AppPaths, HelperAndResourcesResolveInsideTheBuildBundle) {
    platform::Bundle::overrideBundleDirectory(std::nullopt);
    platform::Bundle::overrideBundleDirectory(fs::path(ONDIRA_BUNDLE_DIR));
    auto helper = AppPaths::mirvaneHelperURL();
    ASSERT_TRUE(helper);
    EXPECT_EQ(*helper, fs::path(ONDIRA_BUNDLE_DIR) / "mirvane");
    EXPECT_EQ(platform::Bundle::resourceURL(), fs::path(ONDIRA_BUNDLE_DIR) / "Resources");

    TempDir empty;
    platform::Bundle::overrideBundleDirectory(empty.path);
    EXPECT_FALSE(AppPaths::mirvaneHelperURL());
    EXPECT_FALSE(platform::Bundle::resourceURL());
    platform::Bundle::overrideBundleDirectory(std::nullopt);
}

class ConfigFile : public ::testing::Test {
protected:
    TempDir dir;
    ScopedEnv env{AppPaths::selfTestStateDirVariable, dir.path.string()};
    std::string read() { return platform::readFile(AppPaths::configFile()).value_or("<missing>"); }
};

TEST_F(ConfigFile, WritingOneKeyKeepsTheOther) {
    { std::ofstream(AppPaths::configFile()) << R"({"processing_mode": "polish"})"; }
    AppPaths::writeConfigValue("hotkey", "f13");
    auto j = nlohmann::json::parse(read());
    EXPECT_EQ(j["processing_mode"], "polish");
    EXPECT_EQ(j["hotkey"], "f13");
    EXPECT_EQ(AppPaths::readConfigValue("hotkey"), "f13");
}

// A file that is not a JSON object of text is not written over: it goes
// aside (see DamagedStoresTest), and the keys that still read are kept with
// the one written.
TEST_F(ConfigFile, ADamagedFileKeepsTheKeysThatStillReadBesideTheNewOne) {
    struct Row {
        std::string content;
        nlohmann::json kept;
    };
    const Row rows[] = {
        {"[1,2]", nlohmann::json::object()},
        {"{broken", nlohmann::json::object()},
        {R"({"processing_mode": "polish", "torn": {"x")", {{"processing_mode", "polish"}}},
        {"{\"processing_mode\": \"polish\", \"name\": \"\xFF\"}", {{"processing_mode", "polish"}}},
    };
    for (const Row& row : rows) {
        for (const auto& entry : fs::directory_iterator(AppPaths::applicationSupport())) fs::remove(entry.path());
        { std::ofstream(AppPaths::configFile()) << row.content; }
        AppPaths::writeConfigValue("hotkey", "fn");
        nlohmann::json expected = row.kept;
        expected["hotkey"] = "fn";
        EXPECT_EQ(nlohmann::json::parse(read()), expected) << row.content;
        std::size_t aside = 0;
        for (const auto& entry : fs::directory_iterator(AppPaths::applicationSupport()))
            aside += entry.path().filename().string().rfind("config.json.damaged-", 0) == 0;
        EXPECT_EQ(aside, 1u) << row.content;
    }
    platform::takeSetAsideNotices();
}

TEST_F(ConfigFile, FirstWriteOnAFreshAccountCreatesTheDirectory) {
    fs::remove_all(dir.path);
    AppPaths::writeConfigValue("processing_mode", "fast");
    EXPECT_EQ(AppPaths::readConfigValue("processing_mode"), "fast");
    EXPECT_FALSE(AppPaths::readConfigValue("hotkey"));
}

TEST_F(ConfigFile, NonStringValuesReadAsAbsent) {
    { std::ofstream(AppPaths::configFile()) << R"({"hotkey": 3})"; }
    EXPECT_FALSE(AppPaths::readConfigValue("hotkey"));
}

// The hub and the command line write config.json from different processes;
// each write reads the object, sets its key and renames the new object over
// the file. Without the store lock across all three, a write built on a read
// taken before another's rename drops that other key.
TEST_F(ConfigFile, WritersInManyProcessesKeepEveryKey) {
    constexpr int processes = 4, keysEach = 25;
    ASSERT_TRUE(raceInProcesses(processes, [](int p) {
        for (int k = 0; k < keysEach; ++k)
            AppPaths::writeConfigValue("p" + std::to_string(p) + "k" + std::to_string(k), std::to_string(k));
    }));
    std::string missing;
    for (int p = 0; p < processes; ++p)
        for (int k = 0; k < keysEach; ++k) {
            const std::string key = "p" + std::to_string(p) + "k" + std::to_string(k);
            if (AppPaths::readConfigValue(key) != std::to_string(k)) missing += " " + key;
        }
    EXPECT_EQ(missing, "");
    EXPECT_EQ(nlohmann::json::parse(read()).size(), static_cast<std::size_t>(processes * keysEach));
}

// Application Support and the personal model's folder are private (0700)
// under the usual umask, and one made open by an older version is narrowed.
TEST(AppPaths, DataFoldersArePrivate) {
    TempDir dir;
    ScopedEnv env(AppPaths::selfTestStateDirVariable, dir.path.string());
    const mode_t old = ::umask(022);
    fs::create_directories(dir.path / ".local/share/Ondira/personal_model");
    fs::permissions(dir.path / ".local/share/Ondira", fs::perms::owner_all | fs::perms::group_read |
                                                          fs::perms::group_exec | fs::perms::others_read |
                                                          fs::perms::others_exec);
    const fs::path support = AppPaths::applicationSupport();
    const fs::path model = PersonalModel::directory();
    ::umask(old);
    for (const auto& p : {support, model})
        EXPECT_EQ(fs::status(p).permissions() & fs::perms::all, fs::perms::owner_all) << p;
}

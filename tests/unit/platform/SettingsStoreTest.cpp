#include "Platform/SettingsStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "Platform/FileIO.h"
#include "support/TempDir.h"

using platform::SettingsStore;

TEST(SettingsStore, RoundTripsEveryTypeThroughTheFile) {
    TempDir dir;
    {
        auto s = SettingsStore::open(dir.path, "round.trip");
        s->setBool("b", true);
        s->setInteger("i", 42);
        s->setDouble("d", 0.25);
        s->setString("s", "héllo");
        s->setStringArray("a", {"x", "y"});
        s->setData("bin", {0x00, 0xFF, 0x10, 0x7F, 0x80});
    }
    // A fresh store on the same file (after the first is gone) reads it all back.
    auto s = SettingsStore::open(dir.path, "round.trip");
    EXPECT_TRUE(s->boolValue("b"));
    EXPECT_EQ(s->integer("i"), 42);
    EXPECT_DOUBLE_EQ(s->doubleValue("d"), 0.25);
    EXPECT_EQ(s->string("s"), "héllo");
    EXPECT_EQ(s->stringArray("a"), (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(s->data("bin"), (std::vector<std::uint8_t>{0x00, 0xFF, 0x10, 0x7F, 0x80}));

    struct stat st {};
    ASSERT_EQ(::stat(s->file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(SettingsStore, RegisteredDefaultsStayInMemoryBelowPersistentValues) {
    TempDir dir;
    auto s = SettingsStore::open(dir.path, "defaults");
    SettingsStore::registerDefaults({{"test_default_flag", true}, {"test_default_volume", 0.5}});
    EXPECT_TRUE(s->boolValue("test_default_flag"));
    EXPECT_FALSE(s->persistentObject("test_default_flag").has_value());
    EXPECT_FALSE(platform::fileExists(s->file())) << "registering must not write";

    s->setBool("test_default_flag", false);
    EXPECT_FALSE(s->boolValue("test_default_flag"));
    s->removeObject("test_default_flag");
    EXPECT_TRUE(s->boolValue("test_default_flag"));
}

TEST(SettingsStore, AbsentKeysReadAsZeroValues) {
    TempDir dir;
    auto s = SettingsStore::open(dir.path, "absent");
    EXPECT_FALSE(s->boolValue("nope"));
    EXPECT_EQ(s->integer("nope"), 0);
    EXPECT_EQ(s->doubleValue("nope"), 0.0);
    EXPECT_FALSE(s->string("nope"));
    EXPECT_FALSE(s->stringArray("nope"));
}

TEST(SettingsStore, SeesAChangeMadeOnDiskByAnotherProcess) {
    TempDir dir;
    auto s = SettingsStore::open(dir.path, "shared.domain");
    s->setString("hotkey_owner", "app");
    EXPECT_EQ(s->string("hotkey_owner"), "app");
    // Another process (the command line) replaces the file.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(platform::atomicWrite(s->file(), R"({"hotkey_owner": "cli", "other": 3})"));
    EXPECT_EQ(s->string("hotkey_owner"), "cli");
    EXPECT_EQ(s->integer("other"), 3);
    // And a write of ours keeps what the other process added.
    s->setBool("mine", true);
    auto again = platform::readFile(s->file());
    ASSERT_TRUE(again);
    auto j = nlohmann::json::parse(*again);
    EXPECT_EQ(j["other"], 3);
    EXPECT_EQ(j["mine"], true);
}

// A file that does not load reads as defaults; the next change keeps it aside
// as "<file>.bad-<time>" (the user's hand edits) before writing a new one.
TEST(SettingsStore, BrokenFileReadsAsEmptyAndIsKeptAsideOnWrite) {
    TempDir dir;
    { std::ofstream(dir / "broken.json") << "{ not json"; }
    auto s = SettingsStore::open(dir.path, "broken");
    EXPECT_FALSE(s->object("anything"));
    s->setInteger("k", 1);
    EXPECT_EQ(nlohmann::json::parse(*platform::readFile(s->file()))["k"], 1);
    std::vector<std::string> aside;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("broken.json.damaged-", 0) == 0) aside.push_back(*platform::readFile(entry.path()));
    }
    EXPECT_EQ(aside, std::vector<std::string>{"{ not json"});
}

TEST(SettingsStore, RemovePersistentDomainOnlyForItsOwnName) {
    TempDir dir;
    auto s = SettingsStore::open(dir.path, "com.ondira.selftest");
    s->setBool("x", true);
    s->removePersistentDomain("com.ondira.other");
    EXPECT_TRUE(s->boolValue("x"));
    s->removePersistentDomain("com.ondira.selftest");
    EXPECT_FALSE(s->boolValue("x"));
    EXPECT_FALSE(platform::fileExists(s->file()));
}

TEST(SettingsStore, ConvertsLikeThePlatform) {
    TempDir dir;
    auto s = SettingsStore::open(dir.path, "convert");
    struct Case {
        nlohmann::json stored;
        bool asBool;
        long long asInt;
    };
    const Case table[] = {
        {"YES", true, 0}, {"no", false, 0}, {"12", true, 12}, {2.9, true, 2}, {0, false, 0}, {"true", true, 0},
    };
    for (const auto& c : table) {
        s->set("v", c.stored);
        EXPECT_EQ(s->boolValue("v"), c.asBool) << c.stored;
        EXPECT_EQ(s->integer("v"), c.asInt) << c.stored;
    }
}

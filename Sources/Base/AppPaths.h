#pragma once
// The one place that names every file and directory the program reads or
// writes, and the settings store every other part uses. Nothing is cached:
// each call looks at the environment and the file system again, so a
// self-test run that sets ONDIRA_SELFTEST_STATE_DIR moves everything at once.
//
// Linux mapping: home is $HOME; Application Support is <home>/.local/share/Ondira
// ($XDG_DATA_HOME/Ondira when set and not isolated); settings domains are JSON
// files in <home>/.config/Ondira ($XDG_CONFIG_HOME/Ondira likewise).
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "Platform/SettingsStore.h"

namespace AppPaths {

inline constexpr const char* selfTestStateDirVariable = "ONDIRA_SELFTEST_STATE_DIR";
inline constexpr const char* selfTestSuiteName = "com.ondira.selftest";
inline constexpr const char* standardDomainName = "com.ondira.app";

bool isSelfTestIsolated();
std::filesystem::path homeDirectory();
// Created (with its parents) on every access, private to the user (0700);
// failures are ignored.
std::filesystem::path applicationSupport();
// Removes what writers killed mid-write left behind (their temporary files)
// in Application Support, the personal model's folder and the settings
// folder. Once at launch.
void sweepAbandonedTemporaryFiles();
std::filesystem::path configFile();
std::filesystem::path dictionaryFile();
std::filesystem::path dictationLogFile();
std::filesystem::path applicationSupportFile(const std::string& name);
// The rewrite helper inside the bundle, when it is there.
std::optional<std::filesystem::path> mirvaneHelperURL();
// The running bundle's vocab_packs directory; none when the bundle lacks it.
// Packs the program offers ship with it, so nothing elsewhere stands in.
std::optional<std::filesystem::path> vocabPacksDirectory();

// Where the settings domains live.
std::filesystem::path settingsDirectory();
// The standard settings store of the program.
std::shared_ptr<platform::SettingsStore> standardDefaults();
// The store every part uses: the isolated suite while ONDIRA_SELFTEST_STATE_DIR
// is present, else the standard store.
std::shared_ptr<platform::SettingsStore> userDefaults();
// A named settings suite beside the standard store.
std::shared_ptr<platform::SettingsStore> settingsSuite(const std::string& suiteName);

// config.json: one JSON object of strings, two writers each owning one key.
std::optional<std::string> readConfigValue(const std::string& key);
// The same, telling a file that sets no such key from one that could not be
// read: unreadable, not a regular file, over the size bound, not UTF-8, not
// a JSON object, or holding the key as something other than text.
struct ConfigLookup {
    std::optional<std::string> value;
    std::optional<std::string> problem;  // a sentence naming the file
};
ConfigLookup lookUpConfigValue(const std::string& key);
// Read-modify-write of one key, keeping every other key. The file is replaced
// atomically so a crash mid-write cannot truncate it. A file that is not a
// JSON object is moved aside first and announced (platform::updateStore),
// the keys that still read kept; one that cannot be read or moved stays as
// it is and the key is not written. Failures are logged.
void writeConfigValue(const std::string& key, const std::string& value);

}  // namespace AppPaths

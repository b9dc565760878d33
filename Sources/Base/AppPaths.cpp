#include "Base/AppPaths.h"

#include "Platform/Bundle.h"
#include "Platform/FileIO.h"
#include "Platform/Log.h"
#include "Platform/StoreRecovery.h"
#include "Platform/Unicode.h"

#include <sys/stat.h>

namespace fs = std::filesystem;
using platform::environment;

namespace AppPaths {

bool isSelfTestIsolated() { return environment(selfTestStateDirVariable).has_value(); }

namespace {
std::optional<std::string> isolatedDir() {
    auto v = environment(selfTestStateDirVariable);
    if (v && !v->empty()) return v;
    return std::nullopt;
}

// An XDG base directory is honoured only for the real user, never in isolation,
// so a self-test can't be pointed back at the user's files.
fs::path xdgOr(const char* variable, const fs::path& fallback) {
    if (isolatedDir()) return fallback;
    if (auto v = environment(variable); v && !v->empty() && fs::path(*v).is_absolute()) return fs::path(*v);
    return fallback;
}
}  // namespace

fs::path homeDirectory() {
    if (auto dir = isolatedDir()) return fs::path(*dir);
    return platform::userHome();
}

fs::path applicationSupport() {
    fs::path dir = xdgOr("XDG_DATA_HOME", homeDirectory() / ".local" / "share") / "Ondira";
    platform::makePrivateDirectory(dir);
    return dir;
}

fs::path configFile() { return applicationSupport() / "config.json"; }
fs::path dictionaryFile() { return applicationSupport() / "dictionary.json"; }
fs::path dictationLogFile() { return applicationSupport() / "dictation_log.jsonl"; }
fs::path applicationSupportFile(const std::string& name) { return applicationSupport() / name; }

std::optional<fs::path> mirvaneHelperURL() {
    fs::path helper = platform::Bundle::helperDirectory() / "mirvane";
    std::error_code ec;
    if (!fs::is_regular_file(helper, ec)) return std::nullopt;
    return helper;
}

std::optional<fs::path> vocabPacksDirectory() {
    const auto resources = platform::Bundle::resourceURL();
    if (!resources) return std::nullopt;
    fs::path inBundle = *resources / "vocab_packs";
    if (platform::isDirectory(inBundle)) return inBundle;
    return std::nullopt;
}

void sweepAbandonedTemporaryFiles() {
    const fs::path support = applicationSupport();
    for (const fs::path& dir : {support, support / "personal_model", settingsDirectory()}) {
        if (const std::size_t removed = platform::sweepAbandonedTemporaryFiles(dir))
            platform::log("AppPaths", "removed " + std::to_string(removed) + " unfinished temporary file(s) in " + dir.string());
    }
}

fs::path settingsDirectory() { return xdgOr("XDG_CONFIG_HOME", homeDirectory() / ".config") / "Ondira"; }

std::shared_ptr<platform::SettingsStore> standardDefaults() {
    return platform::SettingsStore::open(settingsDirectory(), standardDomainName);
}

std::shared_ptr<platform::SettingsStore> settingsSuite(const std::string& suiteName) {
    return platform::SettingsStore::open(settingsDirectory(), suiteName);
}

std::shared_ptr<platform::SettingsStore> userDefaults() {
    if (isSelfTestIsolated()) return settingsSuite(selfTestSuiteName);
    return standardDefaults();
}

std::optional<std::string> readConfigValue(const std::string& key) { return lookUpConfigValue(key).value; }

ConfigLookup lookUpConfigValue(const std::string& key) {
    const fs::path file = configFile();
    platform::FileRead read = platform::readRegularFile(file);
    if (read.outcome == platform::FileRead::Outcome::missing) return {};
    if (!read.ok()) {
        if (read.outcome == platform::FileRead::Outcome::refused) platform::log("Files", "Not reading " + read.error);
        return {std::nullopt, std::move(read.error)};
    }
    if (!platform::text::isValidUTF8(read.bytes)) return {std::nullopt, file.string() + " is not UTF-8 text"};
    const auto j = nlohmann::json::parse(read.bytes, nullptr, false);
    if (j.is_discarded()) return {std::nullopt, file.string() + " is not valid JSON"};
    if (!j.is_object()) return {std::nullopt, file.string() + " does not hold a JSON object"};
    const auto it = j.find(key);
    if (it == j.end()) return {};
    if (!it->is_string()) return {std::nullopt, "\"" + key + "\" in " + file.string() + " is not text"};
    return {it->get<std::string>(), std::nullopt};
}

void writeConfigValue(const std::string& key, const std::string& value) {
    const fs::path file = configFile();
    unsigned mode = 0600;
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0) mode = st.st_mode & 07777;
    // The keys it still holds stay: a damaged file is moved aside (and the
    // user told where) and what reads of it is kept beside the new value.
    const platform::StoreFormat format{
        [](std::string_view bytes) {
            if (!platform::text::isValidUTF8(bytes)) return false;
            const auto j = nlohmann::json::parse(bytes, nullptr, false);
            return !j.is_discarded() && j.is_object();
        },
        [](std::string_view bytes) { return platform::salvageJSON(bytes, true).dump(2); }};
    // Under the store's lock across the read and the rename: the two writers
    // run in different processes (the hub and a command), and one that built
    // on a read taken before the other's rename would drop the other's key.
    std::string error;
    const bool written = platform::updateStore(
        file, format,
        [&](const platform::FileRead& current) -> std::optional<std::string> {
            using Outcome = platform::FileRead::Outcome;
            // A file that could not be read (refused, unreadable, not moved aside) is left alone.
            if (current.outcome != Outcome::ok && current.outcome != Outcome::missing) {
                error = current.error;
                return std::nullopt;
            }
            nlohmann::json object = nlohmann::json::object();
            if (current.ok()) object = nlohmann::json::parse(current.bytes, nullptr, false);
            if (!object.is_object()) object = nlohmann::json::object();
            object[key] = value;
            return object.dump(2);
        },
        mode, &error);
    if (!written || !error.empty()) platform::log("Files", "\"" + key + "\" was not written to " + file.string() + ": " + error);
}

}  // namespace AppPaths

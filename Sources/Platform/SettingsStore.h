#pragma once
// A settings store with the semantics the program expects of "user defaults":
// a process-wide registration domain (defaults registered in memory, never
// written) beneath one persistent domain per store, kept as a JSON object in
// its own file. The command line and the running app share these files, so a
// store notices when its file changed on disk and reads it again.
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>
#include <filesystem>
#include <cstdint>
#include <nlohmann/json.hpp>

namespace platform {

class SettingsStore {
public:
    using json = nlohmann::json;

    // The store for `domain`, kept in `<directory>/<domain>.json`. Stores are
    // shared per file: asking twice for the same file gives the same object.
    static std::shared_ptr<SettingsStore> open(const std::filesystem::path& directory, const std::string& domain);

    const std::string& domain() const { return domain_; }
    const std::filesystem::path& file() const { return file_; }

    // Registration domain: process-wide, shared by every store, in memory only.
    static void registerDefaults(const std::map<std::string, json>& defaults);

    // Persistent value first, then the registered default.
    std::optional<json> object(const std::string& key) const;
    // Only the persistent domain (what was explicitly set).
    std::optional<json> persistentObject(const std::string& key) const;

    // Typed readers convert like the platform they stand for: numbers and the
    // strings "true"/"false"/"yes"/"no"/numeric text are read as booleans and
    // numbers; an absent key gives false / 0 / nullopt.
    bool boolValue(const std::string& key) const;
    long long integer(const std::string& key) const;
    double doubleValue(const std::string& key) const;
    std::optional<std::string> string(const std::string& key) const;
    std::optional<std::vector<std::string>> stringArray(const std::string& key) const;
    std::optional<std::vector<std::uint8_t>> data(const std::string& key) const;

    void set(const std::string& key, const json& value);
    void setBool(const std::string& key, bool value) { set(key, json(value)); }
    void setInteger(const std::string& key, long long value) { set(key, json(value)); }
    void setDouble(const std::string& key, double value) { set(key, json(value)); }
    void setString(const std::string& key, const std::string& value) { set(key, json(value)); }
    void setStringArray(const std::string& key, const std::vector<std::string>& value) { set(key, json(value)); }
    void setData(const std::string& key, const std::vector<std::uint8_t>& bytes);
    void removeObject(const std::string& key);

    // Removes the whole persistent domain of this store (its file). Only the
    // store's own domain name is accepted, like the platform call it stands for.
    void removePersistentDomain(const std::string& domainName);

    // Whether the last write reached the disk.
    bool lastWriteSucceeded() const;

    // Encoding of data values inside the JSON file.
    static json encodeData(const std::vector<std::uint8_t>& bytes);
    static std::optional<std::vector<std::uint8_t>> decodeData(const json& value);

private:
    SettingsStore(std::filesystem::path file, std::string domain);
    // `fileLockHeld`: the caller holds the store's StoreLock (a change in progress).
    void refreshLocked(bool fileLockHeld = false) const;
    void writeLocked();

    std::filesystem::path file_;
    std::string domain_;
    mutable std::mutex lock_;
    mutable json values_ = json::object();
    mutable bool loaded_ = false;
    mutable std::filesystem::file_time_type mtime_{};
    mutable std::uintmax_t size_ = 0;
    mutable std::uint64_t inode_ = 0;
    mutable bool unreadable_ = false;  // the file exists but did not load: moved aside before a write
    bool lastWriteOk_ = true;
};

}  // namespace platform

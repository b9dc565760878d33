#include "Platform/SettingsStore.h"

#include "Platform/FileIO.h"
#include "Platform/Log.h"
#include "Platform/StoreRecovery.h"
#include "Platform/Unicode.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <ctime>
#include <cstdlib>
#include <cstring>

namespace fs = std::filesystem;

namespace platform {

namespace {
std::mutex gRegistryLock;
std::map<std::string, std::weak_ptr<SettingsStore>>& registry() {
    static std::map<std::string, std::weak_ptr<SettingsStore>> r;
    return r;
}
std::mutex gDefaultsLock;
nlohmann::json& registrationDomain() {
    static nlohmann::json d = nlohmann::json::object();
    return d;
}

const char* kDataTag = "$ondira_data_base64";

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const std::vector<std::uint8_t>& in) {
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
        out += kB64[(v >> 18) & 63], out += kB64[(v >> 12) & 63], out += kB64[(v >> 6) & 63], out += kB64[v & 63];
    }
    if (i + 1 == in.size()) {
        unsigned v = in[i] << 16;
        out += kB64[(v >> 18) & 63], out += kB64[(v >> 12) & 63], out += "==";
    } else if (i + 2 == in.size()) {
        unsigned v = (in[i] << 16) | (in[i + 1] << 8);
        out += kB64[(v >> 18) & 63], out += kB64[(v >> 12) & 63], out += kB64[(v >> 6) & 63], out += '=';
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> unbase64(const std::string& in) {
    std::vector<std::uint8_t> out;
    unsigned v = 0;
    int bits = 0;
    for (char c : in) {
        if (c == '=') break;
        const char* p = std::strchr(kB64, c);
        if (!p || c == '\0') return std::nullopt;
        v = (v << 6) | static_cast<unsigned>(p - kB64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>((v >> bits) & 0xFF));
        }
    }
    return out;
}

std::optional<double> numberFrom(const nlohmann::json& v, bool wordsAsBooleans) {
    if (v.is_number()) return v.get<double>();
    if (v.is_boolean()) return v.get<bool>() ? 1.0 : 0.0;
    if (v.is_string()) {
        const std::string s = text::trimmed(v.get<std::string>());
        if (s.empty()) return std::nullopt;
        char* end = nullptr;
        double d = std::strtod(s.c_str(), &end);
        if (end && *end == '\0') return d;
        if (!wordsAsBooleans) return std::nullopt;
        std::string l = text::lowercased(s);
        if (l == "yes" || l == "true") return 1.0;
        if (l == "no" || l == "false") return 0.0;
    }
    return std::nullopt;
}
}  // namespace

SettingsStore::SettingsStore(fs::path file, std::string domain) : file_(std::move(file)), domain_(std::move(domain)) {}

std::shared_ptr<SettingsStore> SettingsStore::open(const fs::path& directory, const std::string& domain) {
    fs::path file = directory / (domain + ".json");
    std::lock_guard<std::mutex> g(gRegistryLock);
    auto& r = registry();
    if (auto it = r.find(file.string()); it != r.end()) {
        if (auto existing = it->second.lock()) return existing;
    }
    std::shared_ptr<SettingsStore> store(new SettingsStore(file, domain));
    r[file.string()] = store;
    return store;
}

void SettingsStore::registerDefaults(const std::map<std::string, json>& defaults) {
    std::lock_guard<std::mutex> g(gDefaultsLock);
    for (const auto& [k, v] : defaults) registrationDomain()[k] = v;
}

void SettingsStore::refreshLocked(bool fileLockHeld) const {
    struct stat st {};
    if (::stat(file_.c_str(), &st) != 0) {
        if (loaded_ && inode_ == 0) return;
        values_ = json::object();
        loaded_ = true;
        inode_ = 0;
        size_ = 0;
        return;
    }
    std::error_code ec;
    auto mtime = fs::last_write_time(file_, ec);
    if (loaded_ && inode_ == st.st_ino && size_ == static_cast<std::uintmax_t>(st.st_size) && mtime == mtime_) return;
    // A file that does not load as a JSON object is moved aside and its
    // readable settings go on in its place; one that cannot be read at all
    // leaves the defaults in use and is moved aside before the first write.
    static const StoreFormat format{
        [](std::string_view bytes) {
            json j = json::parse(bytes, nullptr, false);
            return !j.is_discarded() && j.is_object();
        },
        [](std::string_view bytes) { return salvageJSON(bytes, true).dump(2, ' ', false, json::error_handler_t::replace) + "\n"; },
    };
    const StoreRead read = fileLockHeld ? readStoreHoldingLock(file_, format) : readStore(file_, format);
    json parsed = json::object();
    unreadable_ = false;
    if (read.file.ok()) {
        parsed = json::parse(read.file.bytes, nullptr, false);
        if (parsed.is_discarded() || !parsed.is_object()) parsed = json::object();
    } else if (read.file.outcome != FileRead::Outcome::missing) {
        unreadable_ = true;
        log("Settings", "Using defaults: " + read.file.error);
    }
    if (read.setAside) {
        std::error_code ignored;
        mtime = fs::last_write_time(file_, ignored);
        if (::stat(file_.c_str(), &st) != 0) st = {};
    }
    values_ = std::move(parsed);
    loaded_ = true;
    inode_ = st.st_ino;
    size_ = static_cast<std::uintmax_t>(st.st_size);
    mtime_ = mtime;
}

void SettingsStore::writeLocked() {
    makePrivateDirectory(file_.parent_path());
    std::string error;
    if (unreadable_) {
        // The user's hand edits are not discarded: the file that could not be
        // read is kept beside the store before the first write replaces it.
        // Anything but a regular file (a planted link, a FIFO) is not ours to
        // move or replace.
        if (!setFileAside(file_, &error)) {
            lastWriteOk_ = false;
            log("Settings", "Not saving " + file_.string() + ": " + error);
            return;
        }
        unreadable_ = false;
    }
    // As every store write does: what killed writers left in the folder goes.
    sweepAbandonedTemporaryFiles(file_.parent_path());
    lastWriteOk_ = atomicWrite(file_, values_.dump(2) + "\n", 0600, &error);
    if (!lastWriteOk_) {
        log("Settings", "Could not save " + file_.string() + ": " + error);
        return;
    }
    // Remember what we wrote so our own write is not mistaken for a change.
    loaded_ = false;
    refreshLocked(true);
}

std::optional<nlohmann::json> SettingsStore::persistentObject(const std::string& key) const {
    std::lock_guard<std::mutex> g(lock_);
    refreshLocked();
    if (auto it = values_.find(key); it != values_.end()) return *it;
    return std::nullopt;
}

std::optional<nlohmann::json> SettingsStore::object(const std::string& key) const {
    if (auto v = persistentObject(key)) return v;
    std::lock_guard<std::mutex> g(gDefaultsLock);
    const json& d = registrationDomain();
    if (auto it = d.find(key); it != d.end()) return *it;
    return std::nullopt;
}

bool SettingsStore::boolValue(const std::string& key) const {
    auto v = object(key);
    if (!v) return false;
    auto n = numberFrom(*v, true);
    return n && *n != 0.0;
}

long long SettingsStore::integer(const std::string& key) const {
    auto v = object(key);
    if (!v) return 0;
    auto n = numberFrom(*v, false);
    if (!n || !std::isfinite(*n)) return 0;
    return static_cast<long long>(*n);
}

double SettingsStore::doubleValue(const std::string& key) const {
    auto v = object(key);
    if (!v) return 0.0;
    return numberFrom(*v, false).value_or(0.0);
}

std::optional<std::string> SettingsStore::string(const std::string& key) const {
    auto v = object(key);
    if (!v) return std::nullopt;
    if (v->is_string()) return v->get<std::string>();
    if (v->is_number_integer()) return std::to_string(v->get<long long>());
    if (v->is_number()) return text::formatDouble(v->get<double>());
    return std::nullopt;
}

std::optional<std::vector<std::string>> SettingsStore::stringArray(const std::string& key) const {
    auto v = object(key);
    if (!v || !v->is_array()) return std::nullopt;
    std::vector<std::string> out;
    for (const auto& e : *v) {
        if (!e.is_string()) return std::nullopt;
        out.push_back(e.get<std::string>());
    }
    return out;
}

nlohmann::json SettingsStore::encodeData(const std::vector<std::uint8_t>& bytes) { return json{{kDataTag, base64(bytes)}}; }

std::optional<std::vector<std::uint8_t>> SettingsStore::decodeData(const json& value) {
    if (value.is_object() && value.size() == 1 && value.contains(kDataTag) && value[kDataTag].is_string()) {
        return unbase64(value[kDataTag].get<std::string>());
    }
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> SettingsStore::data(const std::string& key) const {
    auto v = object(key);
    if (!v) return std::nullopt;
    return decodeData(*v);
}

void SettingsStore::setData(const std::string& key, const std::vector<std::uint8_t>& bytes) { set(key, encodeData(bytes)); }

void SettingsStore::set(const std::string& key, const json& value) {
    std::lock_guard<std::mutex> g(lock_);
    // Another process (the command line, the app) may change the file between
    // our read and our rename: read it afresh under the store's lock file.
    StoreLock fileLock(file_);
    loaded_ = false;
    refreshLocked(true);
    if (value.is_null()) values_.erase(key);
    else values_[key] = value;
    writeLocked();
}

void SettingsStore::removeObject(const std::string& key) {
    std::lock_guard<std::mutex> g(lock_);
    StoreLock fileLock(file_);
    loaded_ = false;
    refreshLocked(true);
    if (!values_.contains(key)) return;
    values_.erase(key);
    writeLocked();
}

void SettingsStore::removePersistentDomain(const std::string& domainName) {
    if (domainName != domain_) return;
    std::lock_guard<std::mutex> g(lock_);
    std::error_code ec;
    fs::remove(file_, ec);
    values_ = json::object();
    loaded_ = true;
    inode_ = 0;
}

bool SettingsStore::lastWriteSucceeded() const {
    std::lock_guard<std::mutex> g(lock_);
    return lastWriteOk_;
}

}  // namespace platform

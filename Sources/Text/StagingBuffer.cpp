#include "Text/StagingBuffer.h"

#include "Base/AppPaths.h"
#include "Base/FaultLog.h"
#include "Platform/FileIO.h"
#include "Platform/Log.h"
#include "Platform/StoreRecovery.h"
#include "Platform/UUID.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <set>

namespace fs = std::filesystem;
using json = nlohmann::json;
using Clock = std::chrono::system_clock;

std::optional<std::string> StagingAppendResult::fallbackMessage(const StagingLimits& limits) const {
    switch (kind) {
        case Kind::appended: return std::nullopt;
        case Kind::rejectedEntryCap:
            return "Staging is full (" + std::to_string(limits.maxEntries) + " entries) — pasted instead";
        case Kind::rejectedByteCap:
            return "Staging is full (" + std::to_string(limits.maxTotalBytes / 1000) + "KB of text) — pasted instead";
        case Kind::writeFailed: return std::string("Staging could not be saved — pasted instead");
    }
    return std::nullopt;
}

std::string StagingAppendResult::description() const {
    switch (kind) {
        case Kind::appended: return "appended(" + id + ")";
        case Kind::rejectedEntryCap: return "rejectedEntryCap";
        case Kind::rejectedByteCap: return "rejectedByteCap";
        case Kind::writeFailed: return "writeFailed";
    }
    return "";
}

namespace {

std::string iso8601(Clock::time_point t) {
    const std::time_t secs = Clock::to_time_t(t);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

// Any ISO-8601 date and time the platform writes: "2026-08-01T10:00:00Z",
// with fractional seconds, and with a "+02:00"/"-0500" offset instead of "Z".
std::optional<Clock::time_point> parseISO8601(const std::string& s) {
    int y, mo, d, h, mi, sec, used = 0;
    if (std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &sec, &used) != 6 || used != 19)
        return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60 || h < 0 || mi < 0 || sec < 0)
        return std::nullopt;
    std::size_t i = 19;
    if (i < s.size() && (s[i] == '.' || s[i] == ',')) {
        ++i;
        const std::size_t digits = i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
        if (i == digits) return std::nullopt;
    }
    long offset = 0;
    if (i < s.size() && s[i] == 'Z') {
        ++i;
    } else if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        const int sign = s[i] == '-' ? -1 : 1;
        int oh = 0, om = 0, n = 0;
        const std::string rest = s.substr(i + 1);
        if (rest.size() == 5 && std::sscanf(rest.c_str(), "%2d:%2d%n", &oh, &om, &n) == 2 && n == 5) {
        } else if (rest.size() == 4 && std::sscanf(rest.c_str(), "%2d%2d%n", &oh, &om, &n) == 2 && n == 4) {
        } else if (rest.size() == 2 && std::sscanf(rest.c_str(), "%2d%n", &oh, &n) == 1 && n == 2) {
        } else {
            return std::nullopt;
        }
        if (oh > 23 || om > 59) return std::nullopt;
        offset = sign * (oh * 3600L + om * 60L);
        i = s.size();
    } else {
        return std::nullopt;
    }
    if (i != s.size()) return std::nullopt;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = sec;
    return Clock::from_time_t(timegm(&tm) - offset);
}

long long totalBytes(const std::vector<StagingEntry>& entries) {
    long long total = 0;
    for (const auto& e : entries) total += static_cast<long long>(e.text.size());
    return total;
}

const char* separator(StagingJoiner joiner) {
    switch (joiner) {
        case StagingJoiner::space: return " ";
        case StagingJoiner::newline: return "\n";
        case StagingJoiner::blankLine: return "\n\n";
    }
    return " ";
}

}  // namespace

std::string StagingBuffer::encode(const std::vector<StagingEntry>& entries) {
    json array = json::array();
    for (const auto& e : entries)
        array.push_back({{"id", e.id}, {"text", e.text}, {"createdAt", iso8601(e.createdAt)}, {"polished", e.polished}});
    return array.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<std::vector<StagingEntry>> StagingBuffer::decode(const std::string& text, nlohmann::json* unreadable) {
    json root = json::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_array()) return std::nullopt;
    std::vector<StagingEntry> entries;
    for (const auto& item : root) {
        auto entry = [&]() -> std::optional<StagingEntry> {
            if (!item.is_object()) return std::nullopt;
            auto id = item.find("id");
            auto body = item.find("text");
            auto created = item.find("createdAt");
            auto polished = item.find("polished");
            if (id == item.end() || !id->is_string() || !platform::isUUID(id->get<std::string>())) return std::nullopt;
            if (body == item.end() || !body->is_string() || created == item.end() || !created->is_string())
                return std::nullopt;
            if (polished == item.end() || !polished->is_boolean()) return std::nullopt;
            auto date = parseISO8601(created->get<std::string>());
            if (!date) return std::nullopt;
            std::string uuid = id->get<std::string>();
            std::transform(uuid.begin(), uuid.end(), uuid.begin(), [](unsigned char c) { return std::toupper(c); });
            return StagingEntry{uuid, body->get<std::string>(), *date, polished->get<bool>()};
        }();
        // One entry that does not decode costs only itself; it is kept aside
        // as it was and written back with the rest.
        if (entry) entries.push_back(std::move(*entry));
        else if (unreadable) unreadable->push_back(item);
    }
    return entries;
}

StagingBuffer& StagingBuffer::shared() {
    static StagingBuffer* instance = new StagingBuffer(defaultStorageFile(), StagingLimits::defaults());
    return *instance;
}

fs::path StagingBuffer::defaultStorageFile() { return AppPaths::applicationSupportFile("staging.json"); }

StagingBuffer::StagingBuffer(StagingLimits limits) : StagingBuffer(defaultStorageFile(), limits) {}

StagingBuffer::StagingBuffer(fs::path storageURL, StagingLimits limits)
    : storageURL_(std::move(storageURL)), limits_(limits) {
    std::lock_guard<std::mutex> guard(lock_);
    loadLocked();
}

namespace {

// staging.json loads when it is a JSON array (or blank); an element that is
// not an entry costs only itself. One that does not load keeps every element
// that still parses.
const platform::StoreFormat& stagingFormat() {
    static const platform::StoreFormat format{
        [](std::string_view bytes) {
            return platform::isBlank(bytes) || StagingBuffer::decode(std::string(bytes)).has_value();
        },
        [](std::string_view bytes) { return platform::salvageJSON(bytes).dump(-1, ' ', false, json::error_handler_t::replace); },
    };
    return format;
}

}  // namespace

void StagingBuffer::loadLocked() {
    entries_.clear();
    unreadable_ = json::array();
    loadFailed_ = false;
    const platform::StoreRead read = platform::readStore(storageURL_, stagingFormat());
    if (read.file.outcome == platform::FileRead::Outcome::missing) return;
    std::optional<std::vector<StagingEntry>> decoded;
    if (read.file.ok()) decoded = platform::isBlank(read.file.bytes) ? std::vector<StagingEntry>{}
                                                                     : decode(read.file.bytes, &unreadable_);
    if (!decoded) {
        // It could not even be read (or moved aside): never written over, as
        // the entries in it may still be the user's text.
        loadFailed_ = true;
        platform::log("StagingBuffer", "Not using " + storageURL_.string() + ": " + read.file.error);
        return;
    }
    entries_ = std::move(*decoded);
    if (!unreadable_.empty())
        platform::log("StagingBuffer", "Skipped " + std::to_string(unreadable_.size()) + " entries of " +
                                           storageURL_.filename().string() + " that could not be read; they are kept");
}

bool StagingBuffer::persistLocked() {
    if (loadFailed_) {
        lastWriteOk_ = false;
        return false;
    }
    json array = json::parse(encode(entries_));
    for (const auto& item : unreadable_) array.push_back(item);
    lastWriteOk_ = platform::writeStoreFile(storageURL_, array.dump(-1, ' ', false, json::error_handler_t::replace), 0600);
    if (lastWriteOk_ && changeObserver_) changeObserver_();
    return lastWriteOk_;
}

void StagingBuffer::setChangeObserver(std::function<void()> observer) {
    std::lock_guard<std::mutex> guard(lock_);
    changeObserver_ = std::move(observer);
}

void StagingBuffer::reload() {
    std::lock_guard<std::mutex> guard(lock_);
    loadLocked();
}

StagingAppendResult StagingBuffer::append(const std::string& text, bool polished, Clock::time_point at) {
    StagingEntry entry{platform::newUUID(), text, std::chrono::time_point_cast<std::chrono::seconds>(at), polished};
    std::lock_guard<std::mutex> guard(lock_);
    // A file that could not be read before (a permission since mended, a
    // file put back) is tried again rather than refusing staging for good.
    if (loadFailed_) loadLocked();
    if (static_cast<long long>(entries_.size()) >= limits_.maxEntries)
        return {StagingAppendResult::Kind::rejectedEntryCap, {}};
    if (totalBytes(entries_) + static_cast<long long>(text.size()) > limits_.maxTotalBytes)
        return {StagingAppendResult::Kind::rejectedByteCap, {}};
    entries_.push_back(entry);
    if (!persistLocked()) {
        // Reporting it staged would lose the text at the next launch while the
        // caller believes it safe; the caller delivers it directly instead.
        entries_.pop_back();
        platform::log("StagingBuffer",
                      "could not write " + storageURL_.filename().string() + "; the dictation was not staged");
        FaultLog::record("staging_write_failed",
                         {{"file", storageURL_.filename().string()}, {"bytes", std::to_string(text.size())}});
        return {StagingAppendResult::Kind::writeFailed, {}};
    }
    return {StagingAppendResult::Kind::appended, entry.id};
}

std::string StagingBuffer::compose(const std::vector<StagingEntry>& entries, StagingJoiner joiner) {
    std::string out;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i) out += separator(joiner);
        out += entries[i].text;
    }
    return out;
}

std::string StagingBuffer::takeAll(StagingJoiner joiner) {
    std::lock_guard<std::mutex> guard(lock_);
    std::string text = compose(entries_, joiner);
    entries_.clear();
    persistLocked();
    return text;
}

std::string StagingBuffer::take(const std::vector<std::string>& ids, StagingJoiner joiner) {
    const std::set<std::string> wanted(ids.begin(), ids.end());
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<StagingEntry> taken, kept;
    for (auto& e : entries_) (wanted.count(e.id) ? taken : kept).push_back(std::move(e));
    entries_ = std::move(kept);
    persistLocked();
    return compose(taken, joiner);
}

std::string StagingBuffer::composed(StagingJoiner joiner) const {
    std::lock_guard<std::mutex> guard(lock_);
    return compose(entries_, joiner);
}

bool StagingBuffer::move(const std::string& id, long long toIndex) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const StagingEntry& e) { return e.id == id; });
    if (it == entries_.end()) return false;
    StagingEntry entry = std::move(*it);
    entries_.erase(it);
    const long long clamped = std::clamp<long long>(toIndex, 0, static_cast<long long>(entries_.size()));
    entries_.insert(entries_.begin() + clamped, std::move(entry));
    persistLocked();
    return true;
}

bool StagingBuffer::replaceText(const std::string& id, const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const StagingEntry& e) { return e.id == id; });
    if (it == entries_.end()) return false;
    // An edit may not carry the buffer past the byte cap an append respects.
    const long long after =
        totalBytes(entries_) - static_cast<long long>(it->text.size()) + static_cast<long long>(text.size());
    if (after > limits_.maxTotalBytes) return false;
    it->text = text;
    persistLocked();
    return true;
}

bool StagingBuffer::remove(const std::string& id) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto before = entries_.size();
    std::erase_if(entries_, [&](const StagingEntry& e) { return e.id == id; });
    if (entries_.size() == before) return false;
    persistLocked();
    return true;
}

void StagingBuffer::clear() {
    std::lock_guard<std::mutex> guard(lock_);
    entries_.clear();
    persistLocked();
}

std::vector<StagingEntry> StagingBuffer::allEntries() const {
    std::lock_guard<std::mutex> guard(lock_);
    return entries_;
}

std::size_t StagingBuffer::count() const {
    std::lock_guard<std::mutex> guard(lock_);
    return entries_.size();
}

bool StagingBuffer::isEmpty() const { return count() == 0; }

bool StagingBuffer::lastWriteSucceeded() const {
    std::lock_guard<std::mutex> guard(lock_);
    return lastWriteOk_;
}

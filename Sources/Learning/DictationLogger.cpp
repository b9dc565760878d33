#include "Learning/DictationLogger.h"

#include "Learning/DictationEntry.h"

#include "Base/AppPaths.h"
#include "Platform/AppendLog.h"
#include "Platform/FileIO.h"
#include "Platform/FrontmostApp.h"
#include "Platform/Log.h"
#include "Platform/StoreRecovery.h"
#include "Platform/Unicode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <ctime>

namespace fs = std::filesystem;
namespace text = platform::text;
using json = nlohmann::json;

namespace {

// Rounds half away from zero to a multiple of `step`; a value that is not
// finite (a broken clock or a division by zero upstream) is stored as 0.
double roundTo(double value, double scale) {
    if (!std::isfinite(value)) return 0;
    return std::round(value * scale) / scale;
}

// Local date and time with ASCII digits, whatever the user's locale.
std::pair<std::string, std::string> localDateAndTime(std::time_t seconds) {
    std::tm tm{};
    ::localtime_r(&seconds, &tm);
    char date[32];
    char time[32];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    std::snprintf(time, sizeof time, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    return {date, time};
}

std::string stringValue(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return {};
    return it->get<std::string>();
}

std::optional<json> parseObject(std::string_view line) {
    json value = json::parse(line, nullptr, false);
    if (value.is_discarded() || !value.is_object()) return std::nullopt;
    return value;
}

// Compact, one line; invalid UTF-8 becomes U+FFFD rather than losing the record.
std::string compact(const json& value, int indent = -1) {
    return value.dump(indent, ' ', false, json::error_handler_t::replace);
}

bool fileMissing(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}

std::uint64_t sizeOrZero(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

// The whole file in one read (the history can be tens of megabytes), only
// when it is a regular file of bounded size.
std::optional<std::string> readWhole(const fs::path& path) { return platform::readFile(path); }

// UTF-8 validation that steps over ASCII eight bytes at a time.
bool isValidUTF8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        if (i + 8 <= s.size()) {
            std::uint64_t word;
            std::memcpy(&word, s.data() + i, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            ++i;
            continue;
        }
        // One multi-byte character (at most four bytes) checked by the shared validator.
        std::size_t end = i + 1;
        while (end < s.size() && end < i + 4 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) ++end;
        if (!text::isValidUTF8(s.substr(i, end - i))) return false;
        i = end;
    }
    return true;
}

std::optional<std::size_t> indexOfMatch(const std::vector<std::string>& lines, const DictationLogger::EntryKey& key) {
    const std::size_t prefixChars = text::graphemeCount(key.textPrefix);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        auto object = parseObject(lines[i]);
        if (!object) continue;
        if (stringValue(*object, "date") != key.date || stringValue(*object, "time") != key.time) continue;
        if (text::prefixGraphemes(stringValue(*object, "text"), prefixChars) == key.textPrefix) return i;
    }
    return std::nullopt;
}

}  // namespace

DictationLogger::EntryKey::EntryKey(std::string d, std::string t, std::string_view textValue, std::size_t prefixLen)
    : date(std::move(d)), time(std::move(t)), textPrefix(text::prefixGraphemes(textValue, prefixLen)) {}

std::optional<DictationLogger::ExportFormat> DictationLogger::exportFormat(std::string_view raw) {
    if (raw == "json") return ExportFormat::json;
    if (raw == "txt") return ExportFormat::txt;
    if (raw == "md") return ExportFormat::md;
    return std::nullopt;
}

const char* DictationLogger::rawValue(ExportFormat format) {
    switch (format) {
        case ExportFormat::json: return "json";
        case ExportFormat::txt: return "txt";
        case ExportFormat::md: return "md";
    }
    return "json";
}

DictationLogger& DictationLogger::shared() {
    // Never destroyed: appends queued at exit must not race a destructor.
    static DictationLogger* instance = new DictationLogger(AppPaths::applicationSupport());
    return *instance;
}

DictationLogger::DictationLogger(fs::path directory)
    : logURL_(directory / "dictation_log.jsonl"),
      archiveURL_(directory / "dictation_log.1.jsonl"),
      fileQueue_(queueLabel, platform::QoS::utility) {
    platform::SettingsStore::registerDefaults({{loggingEnabledKey, true}});
}

DictationLogger::~DictationLogger() = default;

bool DictationLogger::isLoggingEnabled() const { return AppPaths::userDefaults()->boolValue(loggingEnabledKey); }

void DictationLogger::setLoggingEnabled(bool enabled) { AppPaths::userDefaults()->setBool(loggingEnabledKey, enabled); }

std::optional<json> DictationLogger::makeEntry(std::string_view textValue, std::string_view appName, Clock::time_point date,
                                               double durationSecs, double latencySecs, double transcriptionSecs,
                                               std::string_view engineIdentifier) {
    const std::string trimmed = text::trimmed(textValue);
    if (trimmed.empty()) return std::nullopt;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(date.time_since_epoch()).count();
    // The calendar fields use the whole second at or before the moment, like "ts" for later dates.
    const auto floorSeconds = std::chrono::floor<std::chrono::seconds>(date.time_since_epoch()).count();
    auto [day, time] = localDateAndTime(static_cast<std::time_t>(floorSeconds));
    const auto words = static_cast<long long>(text::splitWords(trimmed).size());
    std::string engine = text::trimmed(engineIdentifier);
    if (engine.empty()) engine = unknownEngine;

    json entry = json::object();
    entry["ts"] = static_cast<long long>(seconds);
    entry["date"] = day;
    entry["time"] = time;
    entry["app"] = std::string(appName);
    entry["text"] = trimmed;
    entry["words"] = words;
    entry["chars"] = static_cast<long long>(text::graphemeCount(trimmed));
    entry["secs"] = roundTo(durationSecs, 100);
    entry["wpm"] = durationSecs > 0 ? roundTo(static_cast<double>(words) / durationSecs * 60.0, 10) : 0.0;
    entry["engine"] = engine;
    if (latencySecs > 0 && std::isfinite(latencySecs)) {
        entry["latency"] = roundTo(latencySecs, 1000);
        entry["latency_source"] = "measured";
    }
    if (transcriptionSecs > 0 && std::isfinite(transcriptionSecs)) {
        entry["transcribe_secs"] = roundTo(transcriptionSecs, 1000);
    }
    return entry;
}

void DictationLogger::append(const std::string& textValue, double durationSecs, double latencySecs, double transcriptionSecs,
                             const std::string& engineIdentifier, std::function<void()> completion) {
    if (!isLoggingEnabled()) {
        if (completion) completion();
        return;
    }
    std::string appName;
    if (auto front = platform::frontmostApplication()) appName = front->displayName;
    if (text::trimmed(appName).empty()) appName = "Unknown";
    append(textValue, appName, Clock::now(), durationSecs, latencySecs, transcriptionSecs, engineIdentifier,
           std::move(completion));
}

void DictationLogger::append(const std::string& textValue, const std::string& appName, Clock::time_point date,
                             double durationSecs, double latencySecs, double transcriptionSecs,
                             const std::string& engineIdentifier, std::function<void()> completion) {
    if (!isLoggingEnabled()) {
        if (completion) completion();
        return;
    }
    auto entry = makeEntry(textValue, appName, date, durationSecs, latencySecs, transcriptionSecs, engineIdentifier);
    if (!entry) {
        if (completion) completion();
        return;
    }
    fileQueue_.async([this, entry = std::move(*entry), completion = std::move(completion)] {
        appendLine(entry);
        if (completion) completion();
    });
}

void DictationLogger::rotateIfNeeded() {
    fileQueue_.sync([this] {
        auto archiveIsStale = [&] {
            struct stat st {};
            return ::stat(archiveURL_.c_str(), &st) == 0 &&
                   std::difftime(std::time(nullptr), st.st_mtime) > archiveMaxAgeSeconds;
        };
        auto logIsFull = [&] {
            struct stat st {};
            return ::stat(logURL_.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) >= maxBytes;
        };
        if (!archiveIsStale() && !logIsFull()) return;
        // Under the log's lock, which every appender takes, and judged again
        // once it is held: two processes that both saw a full log would
        // otherwise rotate twice, and the second rotation would replace the
        // archive the first had just made with the few lines written since.
        platform::StoreLock lock(logURL_);
        if (!lock.held()) return;
        if (archiveIsStale()) ::unlink(archiveURL_.c_str());
        if (logIsFull()) {
            ::unlink(archiveURL_.c_str());
            if (::rename(logURL_.c_str(), archiveURL_.c_str()) == 0) ::chmod(archiveURL_.c_str(), 0600);
        }
    });
}

bool DictationLogger::appendLine(const json& entry) {
    bool written = false;
    fileQueue_.sync([&] {
        std::string line = compact(entry);
        line.push_back('\n');
        rotateIfNeeded();
        // The directory may have been removed under a running process; recreate it.
        platform::makePrivateDirectory(logURL_.parent_path());
        written = platform::appendRecordLine(logURL_, line);
    });
    return written;
}

std::uint64_t DictationLogger::historySizeBytes() const { return sizeOrZero(logURL_) + sizeOrZero(archiveURL_); }

int DictationLogger::historyEntryCount() const {
    auto bytes = readWhole(logURL_);
    if (!bytes) return 0;
    // A line that is not valid UTF-8 is skipped on its own; the rest still count.
    int count = 0;
    std::size_t start = 0;
    while (start <= bytes->size()) {
        std::size_t nl = bytes->find('\n', start);
        std::size_t end = nl == std::string::npos ? bytes->size() : nl;
        if (end > start && isValidUTF8(std::string_view(*bytes).substr(start, end - start))) ++count;
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return count;
}

bool DictationLogger::deleteAllHistory() {
    bool ok = true;
    fileQueue_.sync([&] {
        // The history's one lock: a rotation in another process cannot move
        // a live file into the archive between the two removals.
        const platform::StoreLock lock(logURL_);
        if (!lock.held()) {
            ok = false;
            return;
        }
        for (const fs::path* path : {&logURL_, &archiveURL_}) {
            if (::unlink(path->c_str()) != 0 && errno != ENOENT) ok = false;
        }
        ok = ok && fileMissing(logURL_) && fileMissing(archiveURL_);
    });
    forgetCachedRows();
    notifyDeletion({Deletion::Scope::all, std::nullopt});
    return ok;
}

bool DictationLogger::deleteOneEntry(const std::string& date, const std::string& time, const std::string& textValue) {
    const EntryKey key(date, time, textValue, entryKeyPrefixLength);
    bool removed = false;
    std::optional<std::string> removedText;
    fileQueue_.sync([&] {
        // Both files change under the history's one lock, the live log's,
        // which appenders and rotations take too: an append that lands
        // between the read and the rename is not lost, and a rotation cannot
        // make a new archive that the rewrite of the old one then replaces.
        const platform::StoreLock lock(logURL_);
        if (!lock.held()) return;
        for (const fs::path* path : {&logURL_, &archiveURL_}) {
            bool found = false;
            std::string removedLineText;
            const bool written = platform::updateFileHoldingLock(
                *path, [&](const platform::FileRead& current) -> std::optional<std::string> {
                    if (!current.ok()) return std::nullopt;
                    auto lines = text::splitLines(current.bytes);
                    auto index = indexOfMatch(lines, key);
                    if (!index) return std::nullopt;
                    found = true;
                    removedLineText = stringValue(*parseObject(lines[*index]), "text");
                    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(*index));
                    return text::join(lines, "\n");
                });
            if (!found) continue;
            // A failed replace leaves the file as it was, and the entry is still there.
            if (!written) return;
            removed = true;
            removedText = std::move(removedLineText);
            return;
        }
    });
    if (!removed) return false;
    forgetCachedRows();
    notifyDeletion({Deletion::Scope::oneEntry, removedText});
    return true;
}

int DictationLogger::addDeletionObserver(DeletionObserver observer) {
    std::lock_guard<std::mutex> guard(observersLock_);
    int token = nextObserverToken_++;
    observers_[token] = std::move(observer);
    return token;
}

void DictationLogger::removeDeletionObserver(int token) {
    std::lock_guard<std::mutex> guard(observersLock_);
    observers_.erase(token);
}

void DictationLogger::notifyDeletion(const Deletion& deletion) {
    std::vector<DeletionObserver> toCall;
    {
        std::lock_guard<std::mutex> guard(observersLock_);
        for (const auto& [token, observer] : observers_) toCall.push_back(observer);
    }
    for (const auto& observer : toCall) observer(deletion);
}

DictationLogger::Removal DictationLogger::removingOneEntry(const std::vector<std::string>& lines, const EntryKey& key) {
    Removal result{lines, false};
    if (auto index = indexOfMatch(lines, key)) {
        result.lines.erase(result.lines.begin() + static_cast<std::ptrdiff_t>(*index));
        result.removed = true;
    }
    return result;
}

std::vector<json> DictationLogger::readAllEntries() const {
    HistoryRead read = readHistory();
    for (const auto& problem : read.unreadableFiles) platform::log("History", "Not reading " + problem);
    return std::move(read.entries);
}

DictationLogger::HistoryRead DictationLogger::readHistory() const {
    HistoryRead read;
    for (const fs::path* path : {&archiveURL_, &logURL_}) {
        platform::FileRead file = platform::readRegularFile(*path);
        if (file.outcome == platform::FileRead::Outcome::missing) continue;
        if (!file.ok()) {
            read.unreadableFiles.push_back(std::move(file.error));
            continue;
        }
        std::string_view all(file.bytes);
        std::size_t skipped = 0;
        std::size_t start = 0;
        while (start < all.size()) {
            std::size_t nl = all.find('\n', start);
            std::size_t end = nl == std::string_view::npos ? all.size() : nl;
            const std::string_view line = all.substr(start, end - start);
            if (auto object = parseObject(line)) {
                read.entries.push_back(std::move(*object));
            } else if (!platform::isBlank(line)) {
                ++skipped;
            }
            if (nl == std::string_view::npos) break;
            start = nl + 1;
        }
        if (skipped) read.skippedLines.push_back({*path, skipped});
    }
    return read;
}

namespace {

// A row's count is an int: one the history cannot hold, or that does not
// fit, counts nothing rather than wrapping.
int rowWords(const json& value) {
    const long long words = DictationEntry::storedCount(value).value_or(0);
    return words <= std::numeric_limits<int>::max() ? static_cast<int>(words) : 0;
}

// Reads the row's five keys straight off the parser's events, without
// building the whole object: loading a long history is dominated by this.
class RowReader : public nlohmann::json_sax<json> {
public:
    HistoryView::LogEntry row;
    bool isObject = false;

    bool null() override { return scalar(); }
    bool boolean(bool) override { return scalar(); }
    bool number_integer(number_integer_t value) override {
        if (depth_ == 1 && key_ == Key::words) row.words = rowWords(value);
        return scalar();
    }
    bool number_unsigned(number_unsigned_t value) override {
        if (depth_ == 1 && key_ == Key::words) row.words = rowWords(value);
        return scalar();
    }
    bool number_float(number_float_t, const string_t&) override { return scalar(); }
    bool string(string_t& value) override {
        if (depth_ == 1) {
            switch (key_) {
                case Key::time: row.time = std::move(value); break;
                case Key::date: row.date = std::move(value); break;
                case Key::app: row.app = std::move(value); break;
                case Key::text: row.text = std::move(value); break;
                default: break;
            }
        }
        return scalar();
    }
    bool binary(binary_t&) override { return scalar(); }
    bool start_object(std::size_t) override { return open(true); }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(false); }
    bool end_array() override { return close(); }
    bool key(string_t& name) override {
        if (depth_ == 1) {
            key_ = name == "time"    ? Key::time
                   : name == "date"  ? Key::date
                   : name == "app"   ? Key::app
                   : name == "text"  ? Key::text
                   : name == "words" ? Key::words
                                     : Key::other;
        }
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

private:
    enum class Key { other, time, date, app, text, words };
    bool scalar() {
        if (depth_ == 1) key_ = Key::other;
        return true;
    }
    bool open(bool object) {
        if (depth_ == 0) isObject = object;
        if (depth_ == 1) key_ = Key::other;
        ++depth_;
        return true;
    }
    bool close() {
        --depth_;
        return true;
    }
    int depth_ = 0;
    Key key_ = Key::other;
};

// A row for every line of `chunk` that is a JSON object, in order; how many
// lines that are not blank were left out.
std::size_t appendRows(std::string_view chunk, std::vector<HistoryView::LogEntry>& rows) {
    std::size_t skipped = 0;
    std::size_t start = 0;
    while (start < chunk.size()) {
        std::size_t nl = chunk.find('\n', start);
        std::size_t end = nl == std::string_view::npos ? chunk.size() : nl;
        const std::string_view line = chunk.substr(start, end - start);
        if (!platform::isBlank(line)) {
            RowReader reader;
            if (json::sax_parse(line, &reader) && reader.isObject) rows.push_back(std::move(reader.row));
            else ++skipped;
        }
        if (nl == std::string_view::npos) break;
        start = nl + 1;
    }
    return skipped;
}

// Names a history file that is there but cannot be read, in readHistory()'s words.
void noteUnreadable(const fs::path& path, std::vector<std::string>& problems) {
    platform::FileRead read = platform::readRegularFile(path);
    if (!read.ok() && read.outcome != platform::FileRead::Outcome::missing) problems.push_back(std::move(read.error));
}

}  // namespace

// Brings the cache of one file up to date and adds its rows to `out`. Lines
// appended since the last read are parsed alone; a different file (rotation,
// a rewrite through a replace) or a shorter one is read again from the start.
void DictationLogger::collectRows(const fs::path& path, RowCache& cache, RowsRead& out) const {
    struct stat st {};
    const bool present = ::stat(path.c_str(), &st) == 0;
    const auto size = present ? static_cast<std::uint64_t>(st.st_size) : 0;
    if (!present || !S_ISREG(st.st_mode) || size > platform::maxStoreFileBytes) {
        // Only a file that is not there is an empty history.
        const bool missing = !present && errno == ENOENT;
        cache = RowCache{};
        if (!missing) noteUnreadable(path, out.unreadableFiles);
        return;
    }
    if (!cache.valid || cache.device != st.st_dev || cache.inode != st.st_ino || size < cache.consumed) {
        cache = RowCache{};
        cache.valid = true;
        cache.device = st.st_dev;
        cache.inode = st.st_ino;
    }
    std::string fresh;
    if (size > cache.consumed) {
        int fd = platform::openRegularFile(path);
        if (fd < 0) {
            cache = RowCache{};
            noteUnreadable(path, out.unreadableFiles);
            return;
        }
        fresh.resize(static_cast<std::size_t>(size - cache.consumed));
        std::size_t got = 0;
        while (got < fresh.size()) {
            ssize_t n = ::pread(fd, fresh.data() + got, fresh.size() - got, static_cast<off_t>(cache.consumed + got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        fresh.resize(got);
        ::close(fd);
    }
    // Whole lines join the cache; a last line still without its "\n" is read
    // now but read again once it is complete.
    const std::size_t lastBreak = fresh.rfind('\n');
    const std::size_t whole = lastBreak == std::string::npos ? 0 : lastBreak + 1;
    cache.skipped += appendRows(std::string_view(fresh).substr(0, whole), cache.rows);
    cache.consumed += whole;
    out.rows.insert(out.rows.end(), cache.rows.begin(), cache.rows.end());
    out.linesLeftOut += cache.skipped + appendRows(std::string_view(fresh).substr(whole), out.rows);
}

std::vector<HistoryView::LogEntry> DictationLogger::readAllRows() const { return readRows().rows; }

DictationLogger::RowsRead DictationLogger::readRows() const {
    std::lock_guard<std::mutex> guard(rowCacheLock_);
    // After a rotation the archive is the file the live rows were read from.
    struct stat st {};
    if (liveRows_.valid && ::stat(archiveURL_.c_str(), &st) == 0 && liveRows_.device == st.st_dev &&
        liveRows_.inode == st.st_ino) {
        archiveRows_ = std::move(liveRows_);
        liveRows_ = RowCache{};
    }
    RowsRead read;
    collectRows(archiveURL_, archiveRows_, read);
    collectRows(logURL_, liveRows_, read);
    return read;
}

void DictationLogger::forgetCachedRows() {
    std::lock_guard<std::mutex> guard(rowCacheLock_);
    archiveRows_ = RowCache{};
    liveRows_ = RowCache{};
}

std::string DictationLogger::formatHistoryText(const std::vector<json>& entries, bool markdown) {
    std::vector<std::string> lines;
    if (markdown) {
        lines.push_back("# Ondira Dictation History");
        lines.push_back("");
    }
    for (const auto& entry : entries) {
        const std::string date = stringValue(entry, "date");
        const std::string time = stringValue(entry, "time");
        const std::string app = stringValue(entry, "app");
        if (markdown) {
            lines.push_back("### " + date + " " + time + " \xE2\x80\x94 " + app);
            lines.push_back("");
        } else {
            lines.push_back("[" + date + " " + time + "] " + app);
        }
        lines.push_back(stringValue(entry, "text"));
        lines.push_back("");
    }
    return text::join(lines, "\n");
}

std::string DictationLogger::renderExport(const std::vector<json>& entries, ExportFormat format) {
    switch (format) {
        case ExportFormat::json: {
            json array = json::array();
            for (const auto& entry : entries) array.push_back(entry);
            return compact(array, 2) + "\n";
        }
        case ExportFormat::txt: return formatHistoryText(entries, false);
        case ExportFormat::md: return formatHistoryText(entries, true);
    }
    return {};
}

std::string DictationLogger::exportHistory(ExportFormat format) const { return renderExport(readAllEntries(), format); }

std::vector<HistoryView::LogEntry> DictationLogger::historyPage(const std::vector<HistoryView::LogEntry>& rows, int offset,
                                                                int limit) {
    const long long count = static_cast<long long>(rows.size());
    if (limit < 1 || offset < 0 || offset >= count) return {};
    const long long end = std::min<long long>(static_cast<long long>(offset) + limit, count);
    return {rows.begin() + offset, rows.begin() + static_cast<std::ptrdiff_t>(end)};
}

std::vector<HistoryView::LogEntry> DictationLogger::searchHistory(const std::vector<HistoryView::LogEntry>& rows,
                                                                  std::string_view query) {
    return HistoryView::searchHistory(rows, query, std::numeric_limits<int>::max()).matches;
}

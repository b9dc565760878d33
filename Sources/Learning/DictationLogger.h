#pragma once
// The dictation history: one compact JSON object a line in
// dictation_log.jsonl, with one rotated archive dictation_log.1.jsonl beside
// it. Every write, rotation and deletion runs on the logger's serial queue
// and, since the app and the command line may both write, under one lock
// across processes (the live log's StoreLock) that covers both files.
// Readers elsewhere open the files by name and look keys up, skipping lines
// that don't parse.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "Learning/HistoryView.h"
#include "Platform/Queues.h"

class DictationLogger {
public:
    using json = nlohmann::json;
    using Clock = std::chrono::system_clock;

    static constexpr std::uint64_t maxBytes = 5'242'880;       // rotate at this size or more
    static constexpr double archiveMaxAgeSeconds = 2'592'000;  // drop an archive older than 30 days
    static constexpr const char* unknownEngine = "unknown";
    static constexpr const char* loggingEnabledKey = "ondira_logging_enabled";
    static constexpr const char* queueLabel = "com.ondira.dictationlog";
    static constexpr std::size_t entryKeyPrefixLength = 40;

    // Names one history line for deletion.
    struct EntryKey {
        std::string date;        // "yyyy-MM-dd"
        std::string time;        // "HH:mm:ss"
        std::string textPrefix;  // the first prefixLen characters of the text
        EntryKey(std::string date, std::string time, std::string_view text, std::size_t prefixLen = entryKeyPrefixLength);
        bool operator==(const EntryKey&) const = default;
    };

    enum class ExportFormat { json, txt, md };
    static std::optional<ExportFormat> exportFormat(std::string_view rawValue);
    static const char* rawValue(ExportFormat format);

    // What a deletion took out of the history, for everything derived from it.
    struct Deletion {
        enum class Scope { all, oneEntry };
        Scope scope = Scope::all;
        std::optional<std::string> removedText;  // the deleted entry's text (oneEntry)
    };
    using DeletionObserver = std::function<void(const Deletion&)>;

    // The process-wide logger in AppPaths::applicationSupport(). Creating it
    // registers the default true for ondira_logging_enabled.
    static DictationLogger& shared();
    // A logger over `directory` (tests and tools); the shared one uses Application Support.
    explicit DictationLogger(std::filesystem::path directory);
    ~DictationLogger();
    DictationLogger(const DictationLogger&) = delete;
    DictationLogger& operator=(const DictationLogger&) = delete;

    const std::filesystem::path& historyFileURL() const { return logURL_; }
    const std::filesystem::path& archiveURL() const { return archiveURL_; }

    // Read afresh from the settings store on every use.
    bool isLoggingEnabled() const;
    void setLoggingEnabled(bool enabled);

    // Returns at once. The completion runs exactly once: on the caller's
    // thread when nothing is to be written (logging off, blank text), else on
    // the logger's queue after the write attempt.
    void append(const std::string& text, double durationSecs, double latencySecs, double transcriptionSecs,
                const std::string& engineIdentifier, std::function<void()> completion = {});
    // Same, with the application name and date given (the dictation road
    // captures both when the dictation completes).
    void append(const std::string& text, const std::string& appName, Clock::time_point date, double durationSecs,
                double latencySecs, double transcriptionSecs, const std::string& engineIdentifier,
                std::function<void()> completion = {});

    // The object of one line; none when the trimmed text is empty.
    static std::optional<json> makeEntry(std::string_view text, std::string_view appName, Clock::time_point date,
                                         double durationSecs, double latencySecs, double transcriptionSecs,
                                         std::string_view engineIdentifier);

    // Both run on the logger's queue (inline when already on it).
    void rotateIfNeeded();
    // Serialises `entry` and appends it as one line; false when nothing was written.
    bool appendLine(const json& entry);

    // Sizes and counts, read directly from the files.
    std::uint64_t historySizeBytes() const;
    int historyEntryCount() const;

    // Synchronous on the logger's queue; never call them from the queue's own work.
    bool deleteAllHistory();
    bool deleteOneEntry(const std::string& date, const std::string& time, const std::string& text);

    // Everything derived from the history (the personal model's corpus and
    // the like) subscribes here and drops what a deletion took out. Observers
    // run on the deleting thread after the files have changed.
    int addDeletionObserver(DeletionObserver observer);
    void removeDeletionObserver(int token);

    // Every entry that parses as a JSON object: archive first, then the live file.
    std::vector<json> readAllEntries() const;
    // The same, with what could not be read: a file that is there but is not
    // a readable regular file within the size bound, and lines of a file that
    // are not a JSON object (torn, garbled, not UTF-8).
    struct HistoryRead {
        struct SkippedLines {
            std::filesystem::path file;
            std::size_t count = 0;
        };
        std::vector<json> entries;
        std::vector<std::string> unreadableFiles;  // a sentence naming each file
        std::vector<SkippedLines> skippedLines;    // files with lines left out
    };
    HistoryRead readHistory() const;
    // The same as hub rows, oldest first. Rows already read are kept, so a
    // refresh after an append parses only the new lines; deletions drop them.
    std::vector<HistoryView::LogEntry> readAllRows() const;
    // The same with what could not be read, as readHistory() tells it.
    struct RowsRead {
        std::vector<HistoryView::LogEntry> rows;
        std::vector<std::string> unreadableFiles;  // a sentence naming each file
        std::size_t linesLeftOut = 0;              // lines that are not a JSON object
    };
    RowsRead readRows() const;
    std::string exportHistory(ExportFormat format) const;

    // Pure helpers.
    struct Removal {
        std::vector<std::string> lines;
        bool removed = false;
    };
    static Removal removingOneEntry(const std::vector<std::string>& lines, const EntryKey& key);
    static std::string formatHistoryText(const std::vector<json>& entries, bool markdown);
    static std::string renderExport(const std::vector<json>& entries, ExportFormat format);
    // Rows in file order; [offset, min(offset + limit, count)), empty when out of range.
    static std::vector<HistoryView::LogEntry> historyPage(const std::vector<HistoryView::LogEntry>& rows, int offset,
                                                          int limit);
    // Every match, newest first.
    static std::vector<HistoryView::LogEntry> searchHistory(const std::vector<HistoryView::LogEntry>& rows,
                                                            std::string_view query);

private:
    struct RowCache {
        bool valid = false;
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        std::uint64_t consumed = 0;  // bytes read, through the last "\n"
        std::vector<HistoryView::LogEntry> rows;
        std::size_t skipped = 0;  // cached lines that are not a JSON object
    };
    void collectRows(const std::filesystem::path& path, RowCache& cache, RowsRead& out) const;
    void forgetCachedRows();
    void notifyDeletion(const Deletion& deletion);

    std::filesystem::path logURL_;
    std::filesystem::path archiveURL_;
    mutable std::mutex rowCacheLock_;
    mutable RowCache archiveRows_;
    mutable RowCache liveRows_;
    std::mutex observersLock_;
    std::map<int, DeletionObserver> observers_;
    int nextObserverToken_ = 1;
    // Last, so it is destroyed first: pending writes finish while the rest is alive.
    platform::SerialQueue fileQueue_;
};

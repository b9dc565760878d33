#pragma once
// The staging buffer: finished dictations collected for review instead of
// being typed at once, then committed as one text. Persisted in staging.json.
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct StagingEntry {
    std::string id;  // canonical upper-case UUID text
    std::string text;
    std::chrono::system_clock::time_point createdAt;  // whole seconds once stored
    bool polished = false;
    bool operator==(const StagingEntry&) const = default;
};

struct StagingLimits {
    int maxEntries = 200;
    long long maxTotalBytes = 2000000;  // UTF-8 bytes of all texts
    static StagingLimits defaults() { return {}; }
};

struct StagingAppendResult {
    // writeFailed: the file could not be written, so nothing was staged.
    enum class Kind { appended, rejectedEntryCap, rejectedByteCap, writeFailed };
    Kind kind = Kind::appended;
    std::string id;  // for appended
    bool operator==(const StagingAppendResult&) const = default;
    bool isAppended() const { return kind == Kind::appended; }

    // What the user is told when the text went out another way; none when appended.
    std::optional<std::string> fallbackMessage(const StagingLimits& limits = StagingLimits::defaults()) const;
    // "appended(<UUID>)", "rejectedEntryCap", "rejectedByteCap".
    std::string description() const;
};

enum class StagingJoiner { space, newline, blankLine };

class StagingBuffer {
public:
    static StagingBuffer& shared();
    static std::filesystem::path defaultStorageFile();

    explicit StagingBuffer(StagingLimits limits = StagingLimits::defaults());
    StagingBuffer(std::filesystem::path storageURL, StagingLimits limits);
    StagingBuffer(const StagingBuffer&) = delete;
    StagingBuffer& operator=(const StagingBuffer&) = delete;

    StagingAppendResult append(const std::string& text, bool polished,
                               std::chrono::system_clock::time_point at = std::chrono::system_clock::now());
    std::string takeAll(StagingJoiner joiner);
    std::string take(const std::vector<std::string>& ids, StagingJoiner joiner);
    std::string composed(StagingJoiner joiner) const;
    static std::string compose(const std::vector<StagingEntry>& entries, StagingJoiner joiner);
    bool move(const std::string& id, long long toIndex);
    // The new text must fit the byte cap like an append; false otherwise.
    bool replaceText(const std::string& id, const std::string& text);
    bool remove(const std::string& id);
    void clear();
    std::vector<StagingEntry> allEntries() const;
    std::size_t count() const;
    bool isEmpty() const;
    void reload();

    // Whether the last write of the file succeeded.
    bool lastWriteSucceeded() const;

    // Called after every change that reached the file, whoever made it (a
    // dictation, the hub, the menu's commit), on the thread that made it,
    // with the buffer's lock held: it may only hand the news on.
    void setChangeObserver(std::function<void()> observer);

    const std::filesystem::path& storageURL() const { return storageURL_; }
    const StagingLimits& limits() const { return limits_; }

    static std::string encode(const std::vector<StagingEntry>& entries);
    // Every entry that decodes, in order; the elements that do not go to
    // `unreadable` when given. None when the text is not a JSON array.
    static std::optional<std::vector<StagingEntry>> decode(const std::string& json, nlohmann::json* unreadable = nullptr);

private:
    bool persistLocked();
    void loadLocked();

    mutable std::mutex lock_;
    std::vector<StagingEntry> entries_;
    nlohmann::json unreadable_ = nlohmann::json::array();  // stored elements that did not decode, kept as they were
    bool loadFailed_ = false;                              // the file could not be read (nor moved aside): never written over
    std::filesystem::path storageURL_;
    StagingLimits limits_;
    bool lastWriteOk_ = true;
    std::function<void()> changeObserver_;
};

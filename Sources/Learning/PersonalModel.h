#pragma once
// The personal speech model: a trigram language model estimated from the
// user's own dictation history, with pronunciations for its words, that the
// recogniser interpolates with its stock model. This class decides when to
// rebuild, reads the corpus, compiles and validates the model, records what
// happened, and reports it.
//
// Files, all in <Application Support>/personal_model:
//   training_data.sflm  the exported corpus (one phrase and its count a line);
//                       present only during a build or after a failed compile
//   model.bin           the compiled model, in the recogniser's binary form
//   vocabulary.bin      one line per model word: the word and its phones
//   metadata.json       CacheMetadata of the last successful build
//   build_outcome.json  BuildOutcome of the last attempt
//   last_attach.json    AttachRecord of the last request that carried the model
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace platform {
class SerialQueue;
}

class PersonalModel {
public:
    using json = nlohmann::json;

    enum class RequestKind { streamingBuffer, audioFile, dictationTranscriber };
    static const char* rawValue(RequestKind kind);
    // The road that carried the model, in words a user recognises.
    static const char* roadText(RequestKind kind);
    static std::optional<RequestKind> requestKind(std::string_view rawValue);

    // What the recogniser needs to load the personal model.
    struct Configuration {
        std::string languageModelPath;  // model.bin
        std::string dictionaryPath;     // vocabulary.bin
        std::string modelVersion;       // changes with every build, so a loaded copy is replaced
    };

    static inline constexpr const char* enabledDefaultsKey = "ondira_personal_model_enabled";
    static inline constexpr const char* modelIdentifier = "com.ondira.personalmodel";
    static inline constexpr const char* attachQueueLabel = "com.ondira.personalmodel.attachrecord";
    static inline constexpr std::int64_t rebuildThreshold = 200;

    struct CacheMetadata {
        std::int64_t entryCountAtBuild = 0;
        std::string localeIdentifier;
        double builtAtTimestamp = 0;
        std::string modelVersion;
    };
    struct BuildOutcome {
        bool succeeded = false;
        double attemptedAtTimestamp = 0;
        // The phrases compiled into the model; negative when not recorded
        // (a record from before the history's phrases were counted apart).
        std::int64_t phraseCount = 0;
        std::string localeIdentifier;
        double durationSeconds = 0;
        std::optional<std::string> failureReason;
        // The distinct phrases read from the history, before those made only
        // of words the stock model already expects were left out.
        std::optional<std::int64_t> phrasesRead;
    };
    struct PhraseCounts {
        std::int64_t read = 0;
        std::int64_t compiled = 0;
    };
    struct AttachRecord {
        double attachedAtTimestamp = 0;
        std::string localeIdentifier;
        RequestKind requestKind = RequestKind::audioFile;
        std::string modelVersion;
        bool operator==(const AttachRecord&) const = default;
        std::string description() const;
    };
    struct AttachObservation {
        enum class Kind { never, current, stale };
        Kind kind = Kind::never;
        std::optional<AttachRecord> record;         // current
        std::string observedVersion;                // stale
        std::optional<std::string> currentVersion;  // stale
        bool operator==(const AttachObservation&) const = default;
        std::string description() const;
    };
    struct Status {
        bool enabled = false;
        std::string currentLocale;
        std::int64_t corpusEntries = 0;
        std::optional<std::uint64_t> modelBytes;
        std::optional<std::uint64_t> vocabularyBytes;
        std::optional<std::int64_t> cachedEntryCount;
        std::optional<std::string> cachedLocale;
        std::optional<std::string> cachedModelVersion;
        std::optional<double> builtAtTimestamp;
        std::optional<std::uint64_t> leftoverTrainingAssetBytes;
        std::optional<BuildOutcome> lastOutcome;
        std::optional<AttachRecord> lastAttach;
        double nowTimestamp = 0;
    };
    struct CorpusEntry {
        std::string text;
        std::string description() const;
    };
    class BuildError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
        static BuildError corpusEmpty() { return BuildError("corpus produced no usable phrases"); }
    };
    // Where model words get their phones: the stock dictionary of the
    // locale's installed model, then a guess for words it lacks. The
    // recogniser supplies both; without them words have no pronunciation.
    struct PronunciationSources {
        std::function<std::optional<std::filesystem::path>(const std::string& localeIdentifier)> stockDictionary;
        std::function<std::string(const std::string& word)> guess;
        // The locale's stock language model, which tells the build which
        // history words the recogniser already expects; without it every
        // phrase of the history goes into the model.
        std::function<std::optional<std::filesystem::path>(const std::string& localeIdentifier)> stockLanguageModel;
    };

    // Created on first use: registers the default of the switch and follows
    // deletions from the history.
    static PersonalModel& shared();

    static bool isEnabled();
    static void setEnabled(bool enabled);

    // Called on a background thread each time the model's files or its
    // attach record changed (a build ended, the model was removed, a
    // recognition attached it), so a window showing the status can show it
    // again. One observer; setting another replaces it.
    static void setChangeObserver(std::function<void()> observer);

    // The model directory, created when asked for.
    static std::filesystem::path directory();

    // ---- Corpus ----
    // Control characters become spaces; runs of spaces collapse; blank -> none.
    static std::optional<std::string> cleanCorpusText(std::string_view text);
    static std::optional<std::string> sanitizePhrase(std::string_view text) { return cleanCorpusText(text); }
    // One history line -> its cleaned "text" member.
    static std::optional<std::string> corpusText(std::string_view logLine);
    static std::optional<std::string> extractText(std::string_view logLine) { return corpusText(logLine); }
    static std::optional<CorpusEntry> parseCorpusLine(std::string_view logLine);
    // Usable lines of the archive and the live history.
    static std::int64_t corpusEntryCount();
    // Phrase -> number of history lines that gave it, in first-seen order.
    static std::vector<std::pair<std::string, std::int64_t>> readCorpus();

    // ---- Rules ----
    static std::string normalizedLocale(std::string_view identifier);
    static bool localesMatch(std::string_view a, std::string_view b);
    static bool shouldRebuild(bool cacheFilesPresent, std::optional<std::int64_t> cachedEntryCount,
                              std::int64_t currentEntryCount, const std::optional<std::string>& cachedLocale,
                              const std::string& currentLocale, std::int64_t threshold);
    // The one attach predicate: the recogniser's accessor and the report use it.
    static bool isAttachable(bool enabled, bool modelPresent, bool vocabularyPresent,
                             const std::optional<std::string>& cachedLocale, const std::string& currentLocale);
    static bool isAttachable(const Status& status);
    static AttachObservation classifyAttachObservation(const std::optional<AttachRecord>& record,
                                                       const std::optional<std::string>& currentModelVersion);
    static std::string redactHomeDirectory(const std::string& text, const std::string& home);

    // ---- Records ----
    static json toJSON(const CacheMetadata& value);
    static json toJSON(const BuildOutcome& value);
    static json toJSON(const AttachRecord& value);
    static std::optional<CacheMetadata> cacheMetadata(const json& value);
    static std::optional<BuildOutcome> buildOutcome(const json& value);
    static std::optional<AttachRecord> attachRecord(const json& value);
    static std::optional<CacheMetadata> readMetadata();

    // ---- Attachment ----
    std::optional<Configuration> preparedConfiguration(const std::string& localeIdentifier) const;
    // Writes last_attach.json on its own serial queue; returns at once.
    void recordAttachment(const std::string& localeIdentifier, RequestKind kind);
    // Blocks until the attach records asked for so far are written.
    void drainAttachRecords();

    // ---- Build ----
    void setPronunciationSources(PronunciationSources sources);
    // Starts the rebuild decision on a low-priority thread of its own; never
    // waits, never throws. A request while a build runs returns at once.
    void rebuildIfNeededInBackground(const std::string& currentLocaleIdentifier);
    // The rebuild decision on the calling thread. True when a build ran.
    bool rebuildIfNeeded(const std::string& currentLocaleIdentifier);
    bool isBuilding() const;
    // Reads the history, compiles the model and swaps it in; how many
    // phrases were read and how many of them were compiled. Throws
    // BuildError (or std::exception) and then leaves the files of the
    // previous model as they were.
    PhraseCounts build(std::int64_t entryCount, const std::string& localeIdentifier);
    // The history was emptied: nothing may be learned from it any more.
    static void removeAllModelFiles();
    // What a deletion from the history does to the model: deleting all
    // removes it, deleting an entry rebuilds it without that entry.
    static void historyDeleted(bool all);

    // ---- Status ----
    Status currentStatus(const std::string& currentLocale, bool enabled, double now) const;
    static std::vector<std::string> statusLines(const Status& status);
    static std::string ageText(double seconds);
    static std::string sizeText(std::uint64_t bytes);
    // A count read from a file; a negative one (a wrapped or hand-edited value) is "unknown".
    static std::string countText(std::int64_t count);

private:
    PersonalModel();
    platform::SerialQueue& attachQueue();
    mutable std::mutex stateLock_;
    bool isBuilding_ = false;
    PronunciationSources sources_;
    std::unique_ptr<platform::SerialQueue> attachQueue_;
};

#pragma once
// corrections.jsonl: one line per correction the user made ("heard" into
// "written"), from an edit the hub observed or an explicit dictionary add.
// Repeated corrections become learned substitutions and dictionary suggestions.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Queues.h"
#include "Platform/StoreRecovery.h"
#include "Base/WordMatch.h"

enum class CorrectionSource { explicitDictionaryAdd, observedEdit };

namespace CorrectionSources {
const char* rawValue(CorrectionSource source);
std::optional<CorrectionSource> fromRawValue(std::string_view raw);
const char* caseName(CorrectionSource source);  // "explicitDictionaryAdd"
}  // namespace CorrectionSources

struct CorrectionRecord {
    std::string heard;
    std::string written;
    std::string context;
    std::string app;
    std::int64_t ts = 0;
    CorrectionSource source = CorrectionSource::explicitDictionaryAdd;
    bool operator==(const CorrectionRecord&) const = default;
};

struct CorrectionSuggestion {
    std::string heard;
    std::string written;
    bool operator==(const CorrectionSuggestion&) const = default;
};

class CorrectionLog {
public:
    struct LearnedSubstitution {
        std::string heard;
        std::string written;
        bool operator==(const LearnedSubstitution&) const = default;
    };
    struct LearnedSubstitutionDetail {
        std::string heard;
        std::string written;
        int count = 0;
        bool operator==(const LearnedSubstitutionDetail&) const = default;
    };
    // When the file passes maxLines lines it is cut to its newest keepLines.
    struct Limits {
        std::size_t maxLines = 50000;
        std::size_t keepLines = 40000;
    };

    static constexpr int minLearnedOccurrences = 3;
    static constexpr int maxLearnedSubstitutions = 200;
    static constexpr std::size_t maxContextCharacters = 200;

    static CorrectionLog& shared();
    // corrections.jsonl in Application Support (the isolated one under a self-test).
    static std::filesystem::path logFileURL();

    explicit CorrectionLog(std::filesystem::path logURL);
    CorrectionLog(std::filesystem::path logURL, Limits limits);
    CorrectionLog(const CorrectionLog&) = delete;
    CorrectionLog& operator=(const CorrectionLog&) = delete;

    const std::filesystem::path& logURL() const { return logURL_; }

    // Appends one line; returns once it is on disk. Blank heard or written
    // (after trimming) writes nothing; both are stored as passed in. Returns
    // why the record could not be kept (a sentence naming the file), or none.
    std::optional<std::string> record(const std::string& heard, const std::string& written, const std::string& context,
                                      const std::string& app, CorrectionSource source);
    std::vector<CorrectionRecord> all();
    // Removes every record of the pair (trimmed, lower-cased comparison).
    int deleteRecords(const std::string& heard, const std::string& written);

    // Pairs seen at least three times, at most 200, none that is already a
    // dictionary term; most frequent first. Read afresh on every call.
    std::vector<LearnedSubstitution> learnedSubstitutions();
    std::vector<LearnedSubstitutionDetail> learnedSubstitutionsForReview();
    std::vector<CorrectionSuggestion> suggestions(int minCount);

    static std::vector<CorrectionRecord> parseRecords(std::string_view content);
    // How the file loads, and what is salvaged from one that does not.
    static const platform::StoreFormat& format();
    static std::vector<LearnedSubstitution> computeLearnedSubstitutions(const std::vector<CorrectionRecord>& records,
                                                                        int minCount, int cap,
                                                                        const std::vector<std::string>& excludingFromTerms);
    static std::vector<LearnedSubstitutionDetail> computeLearnedSubstitutionsForReview(
        const std::vector<CorrectionRecord>& records, int minCount, int cap,
        const std::vector<std::string>& excludingFromTerms);
    static std::vector<CorrectionSuggestion> computeSuggestions(const std::vector<CorrectionRecord>& records, int minCount,
                                                                const std::vector<std::string>& existingFromTerms);

private:
    // Everything below runs on fileQueue_ only.
    bool appendLocked(const std::string& line, std::string* error);
    void enforceSizeCapLocked();
    const std::vector<CorrectionRecord>& recordsLocked();
    static std::shared_ptr<const std::vector<std::string>> dictionaryFromTerms();

    std::filesystem::path logURL_;
    Limits limits_;
    platform::SerialQueue fileQueue_;
    // The parsed file and the learned list, kept only while the file on disk
    // is byte-for-byte the one they came from (same inode, size and times).
    mutable std::mutex cacheLock_;  // guards the learned list for the fast path below
    WordMatch::FileStamp cachedStamp_;
    std::vector<CorrectionRecord> cachedRecords_;
    bool learnedValid_ = false;
    std::shared_ptr<const std::vector<std::string>> learnedExclusions_;
    std::vector<LearnedSubstitution> cachedLearned_;
};

// Printed forms used by reports and self-test messages.
std::string describe(const CorrectionRecord& record);
std::string describe(const std::vector<CorrectionSuggestion>& suggestions);
std::string describe(const std::vector<CorrectionLog::LearnedSubstitution>& rules);
std::string describe(const CorrectionLog::LearnedSubstitutionDetail& row);
std::string describe(const std::vector<CorrectionLog::LearnedSubstitutionDetail>& rows);

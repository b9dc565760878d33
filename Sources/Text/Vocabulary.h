#pragma once
// The personal dictionary (dictionary.json) and the enabled vocabulary packs:
// spoken forms replaced by written forms on word boundaries, with the case of
// the match carried over. Their written forms also bias recognition.
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "Learning/CorrectionLog.h"
#include "Platform/StoreRecovery.h"
#include "Platform/Unicode.h"

class Vocabulary {
public:
    // One {"from","to"} object of dictionary.json, as read or to be written.
    using Term = std::map<std::string, std::string>;
    struct MergeResult {
        std::vector<Term> merged;
        int added = 0;
        int skipped = 0;
    };

    static constexpr const char* packsEnabledKey = "ondira_vocab_packs_enabled";

    static Vocabulary& shared();
    Vocabulary();
    Vocabulary(const Vocabulary&) = delete;
    Vocabulary& operator=(const Vocabulary&) = delete;

    std::string apply(std::string_view text);
    void reloadDictionary();
    // The written form of every active entry, packs first, duplicates kept.
    std::vector<std::string> getContextTerms() const;

    // dictionary.json's well-formed objects in file order, unchanged.
    static std::vector<Term> loadRawTerms();
    // Just their spoken forms; the same list object while the file is unchanged.
    static std::shared_ptr<const std::vector<std::string>> rawFromTerms();

    // Adds or replaces (case-insensitively by "from") one term, then records
    // it as an explicit correction. A file that does not load is moved aside
    // first (its readable terms kept); false (nothing written or recorded)
    // when the file cannot be read at all or not written. A term added whose
    // correction could not be recorded is still true; `correctionProblem`,
    // when given, then says why.
    bool addTerm(const std::string& from, const std::string& to, std::string* correctionProblem = nullptr);
    // False when nothing was written (no such term, or the file could not be
    // read as a list of terms or not written).
    bool deleteTerm(const std::string& from);
    // The same, telling an absent term from a failure.
    platform::StoreRemoval removeTerm(const std::string& from);
    std::vector<CorrectionSuggestion> pendingCorrectionSuggestions(int minCount = CorrectionLog::minLearnedOccurrences);

    static std::optional<std::vector<Term>> validateImportPayload(const nlohmann::json& payload);
    static MergeResult mergeImportedTerms(const std::vector<Term>& existing, const std::vector<Term>& imported);
    // Merged into what the file holds under its lock; absent when the file
    // could not be read as a list of terms or the write failed.
    std::optional<MergeResult> importTerms(const std::vector<Term>& terms);

    // Pack names are file names: only [A-Za-z0-9_-]+ can name a pack.
    static bool isValidPackName(std::string_view name);
    // The bundle's vocab_packs/<name>.json, else Application Support's; else none.
    static std::optional<std::filesystem::path> resolvePackFileURL(const std::string& name);
    static std::vector<std::string> enabledPackNames();
    // The written form to insert for a match, with the match's case carried over.
    static std::string casedReplacement(const std::string& to, std::string_view matched);

private:
    struct Entry {
        std::string from;  // lower-cased spoken form
        std::string to;
        std::string folded;  // case-folded spoken form, to skip texts that can't match
        std::string firstToken;
        std::shared_ptr<const platform::text::Regex> pattern;
    };
    struct Snapshot {
        std::vector<Entry> entries;         // first-appearance order
        std::vector<std::size_t> byLength;  // longest spoken form first, stable
        std::string signature;
    };

    std::shared_ptr<const Snapshot> snapshot() const;
    static std::string signatureOf(const std::vector<std::string>& names);

    mutable std::mutex lock_;
    std::shared_ptr<const Snapshot> snapshot_;
};

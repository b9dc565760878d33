#pragma once
// The local clean-up of a dictation under the global rule: voice commands,
// then, by processing mode, fillers, the dictionary, learned substitutions,
// capitalisation and the content guard. Synchronous and purely local.
#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Learning/CorrectionLog.h"
#include "Text/ProcessingMode.h"

class RegexCleaner;
class Vocabulary;

class PolishEngine {
public:
    static constexpr double contentPreservationThreshold = 0.5;

    static PolishEngine& shared();

    std::string polish(std::string_view rawText, const std::optional<std::string>& appName = std::nullopt);
    ProcessingMode mode() const { return mode_.load(); }
    // Accepts a mode name in any letter case; any other name changes nothing.
    void setMode(const std::string& name);

    // Whole-word, case-insensitive replacement of each learned heard form,
    // longest first, carrying a leading capital over.
    static std::string applyLearnedSubstitutions(std::string_view text,
                                                 const std::vector<CorrectionLog::LearnedSubstitution>& substitutions);
    // The cleaned text, unless the clean-up emptied it or kept fewer than half
    // of the words: then the source.
    static std::string guardContentPreserved(const std::string& source, const std::string& cleaned);

    PolishEngine(RegexCleaner& cleaner, Vocabulary& vocabulary, CorrectionLog& corrections);
    PolishEngine(const PolishEngine&) = delete;
    PolishEngine& operator=(const PolishEngine&) = delete;

private:
    void loadConfig();

    RegexCleaner& regexCleaner_;
    Vocabulary& vocabulary_;
    CorrectionLog& corrections_;
    std::atomic<ProcessingMode> mode_{ProcessingMode::balanced};
};

#include "Text/PolishEngine.h"

#include "Base/AppPaths.h"
#include "Platform/FileIO.h"
#include "Platform/Log.h"
#include "Platform/Unicode.h"
#include "Text/RegexCleaner.h"
#include "Text/VoiceCommands.h"
#include "Text/Vocabulary.h"
#include "Base/WordMatch.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <memory>

namespace text = platform::text;

PolishEngine& PolishEngine::shared() {
    static PolishEngine* instance =
        new PolishEngine(RegexCleaner::shared(), Vocabulary::shared(), CorrectionLog::shared());  // never released
    return *instance;
}

PolishEngine::PolishEngine(RegexCleaner& cleaner, Vocabulary& vocabulary, CorrectionLog& corrections)
    : regexCleaner_(cleaner), vocabulary_(vocabulary), corrections_(corrections) {
    loadConfig();
}

void PolishEngine::loadConfig() {
    // Exact match only: "Polish" in the file leaves the default in force.
    if (auto stored = AppPaths::readConfigValue("processing_mode")) {
        if (auto mode = ProcessingModes::fromRawValue(*stored)) mode_ = *mode;
    }
}

void PolishEngine::setMode(const std::string& name) {
    auto mode = ProcessingModes::fromRawValue(text::lowercased(name));
    if (!mode) return;
    mode_ = *mode;
    AppPaths::writeConfigValue("processing_mode", ProcessingModes::rawValue(*mode));
    platform::log("PolishEngine", std::string("Switched processing mode to: ") + ProcessingModes::rawValue(*mode));
}

namespace {
std::string uppercasingLowercaseFirst(const std::string& s) {
    if (s.empty()) return s;
    auto [first, rest] = WordMatch::splitFirstCharacter(s);
    if (!WordMatch::isLowercaseCharacter(first)) return s;
    return text::uppercased(first) + rest;
}
}  // namespace

std::string PolishEngine::polish(std::string_view rawText, const std::optional<std::string>&) {
    const std::string trimmed = text::trimmed(rawText);
    if (trimmed.empty()) return {};
    const std::string resolved = VoiceCommands::resolve(trimmed);
    if (resolved.empty()) return {};
    const ProcessingMode current = mode_.load();
    if (current == ProcessingMode::fast) return resolved;
    std::string cleaned = regexCleaner_.stripFillers(resolved);
    cleaned = vocabulary_.apply(cleaned);
    cleaned = applyLearnedSubstitutions(cleaned, corrections_.learnedSubstitutions());
    if (current == ProcessingMode::polish) cleaned = uppercasingLowercaseFirst(cleaned);
    return guardContentPreserved(resolved, cleaned);
}

std::string PolishEngine::guardContentPreserved(const std::string& source, const std::string& cleaned) {
    const std::string trimmedSource = text::trimmed(source);
    const std::string trimmedCleaned = text::trimmed(cleaned);
    if (trimmedCleaned.empty() && !trimmedSource.empty()) return source;
    const std::size_t sourceWords = text::splitWords(trimmedSource).size();
    if (sourceWords == 0) return cleaned;
    const double ratio = static_cast<double>(text::splitWords(trimmedCleaned).size()) / static_cast<double>(sourceWords);
    return ratio < contentPreservationThreshold ? source : cleaned;
}

std::string PolishEngine::applyLearnedSubstitutions(std::string_view input,
                                                    const std::vector<CorrectionLog::LearnedSubstitution>& substitutions) {
    std::string result(input);
    if (result.empty() || substitutions.empty()) return result;
    // Match offsets are only meaningful on well-formed text.
    if (!text::isValidUTF8(result)) result = text::sanitizeUTF8(result);
    std::vector<std::size_t> order(substitutions.size());
    std::vector<std::size_t> lengths(substitutions.size());
    for (std::size_t i = 0; i < substitutions.size(); ++i) {
        order[i] = i;
        lengths[i] = WordMatch::characterCount(substitutions[i].heard);
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return lengths[a] > lengths[b]; });

    WordMatch::TokenIndex tokens(result);
    for (std::size_t index : order) {
        const std::string& rawHeard = substitutions[index].heard;
        // Most learned forms never occur in a given dictation: rule them out
        // before trimming, folding or compiling anything.
        if (!tokens.mayContainForm(WordMatch::trimmedFast(rawHeard))) continue;
        const std::string heard = WordMatch::trimmedFast(rawHeard);
        const std::string written = WordMatch::trimmedFast(substitutions[index].written);
        if (heard.empty() || written.empty()) continue;
        auto pattern = WordMatch::literalPattern(heard);
        if (!pattern) continue;
        auto matches = pattern->matches(result);
        if (matches.empty()) continue;
        auto [writtenFirst, writtenRest] = WordMatch::splitFirstCharacter(written);
        const bool writtenStartsLower = WordMatch::isLowercaseCharacter(writtenFirst);
        const std::string capitalised = text::uppercased(writtenFirst) + writtenRest;
        const std::string source = result;
        for (auto it = matches.rbegin(); it != matches.rend(); ++it) {
            std::string_view matched = std::string_view(source).substr(it->range.begin, it->range.length());
            const bool matchStartsUpper = WordMatch::isUppercaseCharacter(WordMatch::splitFirstCharacter(matched).first);
            const std::string& inserted = matchStartsUpper && writtenStartsLower ? capitalised : written;
            result.replace(it->range.begin, it->range.length(), inserted);
            tokens.noteInsertion(inserted);
        }
    }
    return result;
}

#include "Text/TextPipeline.h"

#include "Platform/Unicode.h"
#include "Text/PolishEngine.h"
#include "Text/Snippets.h"

namespace TextPipeline {

bool isPerApplicationRule(const AppRule& rule) { return rule.bundleID != AppRules::globalDefaultBundleID; }

std::string applyPostTranscriptionPipeline(std::string_view text, const AppRule& rule, const Snippets& snippets) {
    if (!isPerApplicationRule(rule)) return snippets.expand(text);
    std::string cleaned = AppRules::apply(rule, text);
    if (!rule.polishEnabled) return cleaned;
    return snippets.expand(cleaned);
}

std::string cleanUpDictation(std::string_view recognized, bool rawMode, const AppRule& rule, PolishEngine& engine,
                             const Snippets& snippets) {
    if (rawMode) return platform::text::trimmed(recognized);
    if (!isPerApplicationRule(rule)) return applyPostTranscriptionPipeline(engine.polish(recognized), rule, snippets);
    return applyPostTranscriptionPipeline(recognized, rule, snippets);
}

}  // namespace TextPipeline

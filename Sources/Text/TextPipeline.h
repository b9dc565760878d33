#pragma once
// The clean-up a recognised dictation goes through before delivery: raw
// dictations are only trimmed; an application with its own rule runs that
// rule's short chain; everything else runs the polish engine; snippets expand
// last, except under a rule that turned clean-up off (a shell must receive
// exactly what was said).
#include <string>
#include <string_view>

#include "Text/AppRules.h"

class PolishEngine;
class Snippets;

namespace TextPipeline {

bool isPerApplicationRule(const AppRule& rule);

// The step after recognition and polish: the per-application chain when the
// rule is one, then snippet expansion over the store's current candidates.
std::string applyPostTranscriptionPipeline(std::string_view text, const AppRule& rule, const Snippets& snippets);

// The whole clean-up of one dictation.
std::string cleanUpDictation(std::string_view recognized, bool rawMode, const AppRule& rule, PolishEngine& engine,
                             const Snippets& snippets);

}  // namespace TextPipeline

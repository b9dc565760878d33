#include "Learning/ScreenContext.h"

#include "Platform/Unicode.h"

#include <limits>
#include <unordered_set>

namespace ScreenContext {

std::vector<std::string> merge(const std::vector<std::string>& dictionaryTerms,
                               const std::vector<std::string>& screenTerms, std::int64_t totalCap) {
    std::unordered_set<std::string> seen;
    std::vector<std::string> result;
    for (const auto& term : dictionaryTerms) {
        if (term.empty()) continue;
        if (!seen.insert(platform::text::lowercased(term)).second) continue;
        result.push_back(term);
    }
    const auto kept = static_cast<std::int64_t>(result.size());
    // Saturate instead of overflowing for extreme caps.
    std::int64_t budget = totalCap < std::numeric_limits<std::int64_t>::min() + kept ? std::numeric_limits<std::int64_t>::min()
                                                                                       : totalCap - kept;
    if (budget < 1 || screenTerms.empty()) return result;
    std::int64_t added = 0;
    for (const auto& term : screenTerms) {
        if (term.empty()) continue;
        if (added >= budget) break;
        if (!seen.insert(platform::text::lowercased(term)).second) continue;
        result.push_back(term);
        ++added;
    }
    return result;
}

std::vector<std::string> harvestTerms() { return {}; }

}  // namespace ScreenContext

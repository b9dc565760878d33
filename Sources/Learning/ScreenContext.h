#pragma once
// Terms that bias recognition towards what the user is looking at, and the
// rule that combines them with the user's dictionary terms.
#include <cstdint>
#include <string>
#include <vector>

namespace ScreenContext {

inline constexpr int maxTerms = 100;

// Dictionary terms first, never cut; screen terms fill what budget is left.
// Duplicates (compared lower-cased) are dropped, the first casing wins.
std::vector<std::string> merge(const std::vector<std::string>& dictionaryTerms,
                               const std::vector<std::string>& screenTerms, std::int64_t totalCap);

// Terms harvested from the focused element of the frontmost application.
// Harvesting from the screen is not part of this build yet: no terms.
std::vector<std::string> harvestTerms();

}  // namespace ScreenContext

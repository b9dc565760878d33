#pragma once
// Terms that bias recognition towards what the user is looking at: the
// identifiers, names and acronyms in the text of the focused element of the
// frontmost application, and the rule that combines them with the user's
// dictionary terms.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class InsertionTarget;

namespace ScreenContext {

inline constexpr const char* enabledDefaultsKey = "ondira_screen_context_enabled";
inline constexpr int maxTerms = 100;
// The longest a harvest waits for the accessibility read.
inline constexpr double budgetSeconds = 0.05;
// A harvest for the same application within this time reuses the last terms.
inline constexpr double cacheSeconds = 4.0;
inline constexpr std::size_t maxTextCharacters = 20000;

// Shared by the waiting harvester and the read it started: the read stores
// its text only while the harvester still waits, so a late answer changes
// nothing.
struct ReadBox {
    std::mutex lock;
    std::optional<std::string> result;
    bool closed = false;
};

// Reads the standard settings store; absent means on.
bool isEnabled();

// The terms of a text, in text order, at most `cap`; see the implementation
// for which tokens count.
std::vector<std::string> extractTerms(const std::string& text, std::int64_t cap);

// Dictionary terms first, never cut; screen terms fill what budget is left.
// Duplicates (compared lower-cased) are dropped, the first casing wins.
std::vector<std::string> merge(const std::vector<std::string>& dictionaryTerms, const std::vector<std::string>& screenTerms,
                               std::int64_t totalCap);

// Terms harvested from the focused element of the frontmost application, at
// most maxTerms; empty when switched off or nothing could be read within the
// budget. Any thread; blocks at most about budgetSeconds.
std::vector<std::string> harvestTerms();

// The focused text within `budgetSeconds`, or none when the read did not
// answer in time (the read goes on alone and its answer is dropped).
std::optional<std::string> readFocusedText(double budgetSeconds);

// Checks name the frontmost application and script the focused field
// themselves (empty / nullptr restore the desktop's), and forget the cache.
void setApplicationKeyForTesting(std::function<std::string()> applicationKey);
void setFocusedFieldForTesting(std::shared_ptr<InsertionTarget> field);
void resetCacheForTesting();

}  // namespace ScreenContext

#pragma once
// What a dictionary term or a snippet may hold, checked the same way for the
// command line and the hub before anything is stored.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace StoreInput {

// A spoken form (a dictionary term's "from", a snippet's trigger) is one line
// of words; what it is replaced by may span lines (a signature, an address).
inline constexpr std::size_t maxSpokenCharacters = 100;
inline constexpr std::size_t maxWrittenCharacters = 1000;
inline constexpr std::size_t maxExpansionCharacters = 20000;

// None when the pair may be stored; else the sentence that says why not,
// e.g. "invalid dictionary term (empty or whitespace-only)".
std::optional<std::string> validateTerm(std::string_view heard, std::string_view written);
std::optional<std::string> validateSnippet(std::string_view trigger, std::string_view expansion);

}  // namespace StoreInput

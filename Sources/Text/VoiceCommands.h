#pragma once
// Spoken punctuation and editing ("period", "new paragraph", "scratch that")
// turned into marks, breaks, capitals and deletions. A pure function.
#include <string>
#include <string_view>
#include <unordered_set>

namespace VoiceCommands {
std::string resolve(std::string_view text);
// Words after which a command word is just a word ("the period").
const std::unordered_set<std::string>& determiners();
}  // namespace VoiceCommands

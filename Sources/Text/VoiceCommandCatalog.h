#pragma once
// The user-facing list of voice commands, shown by onboarding, the hub and the
// command-line help. Documentation only: the resolver does not read it.
#include <string>
#include <vector>

namespace VoiceCommandCatalog {
struct Entry {
    std::string phrase;
    std::string effect;
};
const std::vector<Entry>& entries();
// Where in a dictation the editing commands act, in the words the help, the
// hub and the tour all use; each phrase is set between `open` and `close`.
std::string placementNote(const std::string& open = "\u201C", const std::string& close = "\u201D");
}  // namespace VoiceCommandCatalog

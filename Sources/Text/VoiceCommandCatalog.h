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
}  // namespace VoiceCommandCatalog

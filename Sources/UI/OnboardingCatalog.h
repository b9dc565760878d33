#pragma once
// What onboarding teaches: the five features a new user should know about,
// each a title and one sentence. Pure content; the window shows it as is.
#include <string>
#include <vector>

namespace OnboardingCatalog {
struct Highlight {
    std::string title;
    std::string detail;
};
// Personal Dictionary, Snippets, Per-App Rules, Voice Commands, Command Line.
std::vector<Highlight> featureHighlights();
// The spoken commands the voice-command highlight quotes as examples, taken
// from the catalog so it never names one the program doesn't have.
std::vector<std::string> voiceCommandExamples();
}  // namespace OnboardingCatalog

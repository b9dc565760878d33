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
// Code is written between backticks; `command` is what runs the command line.
std::vector<Highlight> featureHighlights(const std::string& command);
// The same, naming the command that runs this program from a shell.
std::vector<Highlight> featureHighlights();
// A highlight's text as Pango markup: code between backticks in a
// monospaced face, everything else escaped.
std::string markup(const std::string& text);
// The spoken commands the voice-command highlight quotes as examples, taken
// from the catalog so it never names one the program doesn't have.
std::vector<std::string> voiceCommandExamples();
}  // namespace OnboardingCatalog

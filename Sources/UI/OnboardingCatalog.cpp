#include "UI/OnboardingCatalog.h"

#include "Base/CommandLineTool.h"
#include "Platform/LinuxNames.h"
#include "Platform/Unicode.h"
#include "Text/VoiceCommandCatalog.h"

namespace OnboardingCatalog {

std::vector<std::string> voiceCommandExamples() {
    // A mark, a break and an edit: one of each kind the resolver handles.
    static const char* const wanted[] = {"period", "new paragraph", "scratch that"};
    std::vector<std::string> out;
    for (const char* phrase : wanted)
        for (const auto& entry : VoiceCommandCatalog::entries())
            if (entry.phrase == phrase) out.push_back(entry.phrase);
    return out;
}

std::vector<Highlight> featureHighlights() { return featureHighlights(CommandLineTool::current().command); }

std::string markup(const std::string& text) {
    std::string out;
    bool code = false;
    std::size_t from = 0;
    for (;;) {
        const std::size_t tick = text.find('`', from);
        out += platform::text::escapedMarkup(std::string_view(text).substr(from, tick - from));
        if (tick == std::string::npos) break;
        out += code ? "</tt>" : "<tt>";
        code = !code;
        from = tick + 1;
    }
    // An unpaired backtick would leave the markup open (and the label blank).
    if (code) out += "</tt>";
    return out;
}

std::vector<Highlight> featureHighlights(const std::string& command) {
    std::string examples;
    const auto phrases = voiceCommandExamples();
    for (std::size_t i = 0; i < phrases.size(); ++i) {
        if (i > 0) examples += i + 1 == phrases.size() ? " or " : ", ";
        examples += "\u201C" + phrases[i] + "\u201D";
    }
    return {
        {"Personal Dictionary",
         "Teach Ondira words it mishears \u2014 names, jargon, acronyms. Manage entries with `" + command + " dict add`."},
        {"Snippets",
         "Speak a short trigger and have it expand into boilerplate text you use often. Manage with `" + command + " snippets add`."},
        {"Per-App Rules",
         "Ondira adapts formatting automatically to the app you're dictating into \u2014 no per-app setup needed."},
        {"Voice Commands", "Say things like " + examples +
                               " \u2014 Ondira turns them into real punctuation and edits, not literal words. " +
                               VoiceCommandCatalog::placementNote() + " Run `" + command + " help` for the full list."},
        {"Command Line", std::string("Script Ondira from a ") + LinuxNames::terminalName + " \u2014 run `" + command +
                             " help` to see every command."},
    };
}

}  // namespace OnboardingCatalog

#include "Text/VoiceCommandCatalog.h"

namespace VoiceCommandCatalog {
const std::vector<Entry>& entries() {
    static const std::vector<Entry> list = {
        {"period", "Types a period (.)"},
        {"comma", "Types a comma (,)"},
        {"question mark", "Types a question mark (?)"},
        {"exclamation point", "Types an exclamation point (!)"},
        {"new line", "Starts a new line"},
        {"new paragraph", "Starts a new paragraph (blank line between)"},
        {"open quote", "Types an opening quotation mark (\")"},
        {"close quote", "Types a closing quotation mark (\")"},
        {"all caps", "Types the next word in ALL CAPS"},
        {"cap that", "Capitalizes the first letter of the last word"},
        {"scratch that", "Deletes the sentence said before it in the same dictation"},
        {"delete last word", "Deletes only the last word"},
    };
    return list;
}

std::string placementNote(const std::string& open, const std::string& close) {
    // The resolver takes these back only as the last two words: said inside
    // a sentence ("scratch that itch") they are ordinary words. "delete last
    // word" is the one editing command that acts wherever it is said.
    auto q = [&](const char* phrase) { return open + phrase + close; };
    return q("scratch that") + ", " + q("delete that") + " and " + q("cap that") +
           " act only as the last words of a dictation; said anywhere else they are typed as words. " +
           q("delete last word") + " acts wherever it is said.";
}
}  // namespace VoiceCommandCatalog

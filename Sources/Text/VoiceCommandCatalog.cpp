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
}  // namespace VoiceCommandCatalog

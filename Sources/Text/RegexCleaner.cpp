#include "Text/RegexCleaner.h"

#include "Base/WordMatch.h"

namespace text = platform::text;
using Regex = text::Regex;

RegexCleaner& RegexCleaner::shared() {
    static RegexCleaner* instance = new RegexCleaner();  // never released
    return *instance;
}

// The patterns are constants: a failure to compile one throws at start-up,
// which is a programming error, not a runtime condition.
RegexCleaner::RegexCleaner()
    : fillerRegex_(R"(\b(erm+|hmm+|um+|uh+|ah+|er)\b[,]?)", Regex::caseInsensitive),
      openerRegex_(R"(^\s*(?:you know|i mean|kind of|sort of|like)\s*,\s*)", Regex::caseInsensitive),
      doubledRegex_(R"(\b((?:you know|i mean|kind of|sort of|like))\b(?:\s*,\s*|\s+)\1\b)", Regex::caseInsensitive),
      parentheticalRegex_(R"(,\s*(?:you know|i mean|kind of|sort of|like)\s*,)", Regex::caseInsensitive),
      spacesRegex_("  +") {}

namespace {
std::string trimCommas(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && s[b] == ',') ++b;
    while (e > b && s[e - 1] == ',') --e;
    return std::string(s.substr(b, e - b));
}
}  // namespace

std::string RegexCleaner::stripFillers(std::string_view input) const {
    if (input.empty()) return std::string(input);
    std::string s = fillerRegex_.replaceAll(input, "");
    s = doubledRegex_.replaceAll(s, "$1");
    s = parentheticalRegex_.replaceAll(s, ",");
    s = openerRegex_.replaceAll(s, "");
    s = spacesRegex_.replaceAll(s, " ");
    s = text::trimmed(s);
    s = trimCommas(s);
    s = text::trimmedWhitespace(s);
    if (s.empty()) return s;
    auto [first, rest] = WordMatch::splitFirstCharacter(s);
    return text::uppercased(first) + rest;
}

#include "Text/VoiceCommands.h"

#include "Platform/Unicode.h"
#include "Base/WordMatch.h"

#include <vector>

namespace text = platform::text;

namespace VoiceCommands {

const std::unordered_set<std::string>& determiners() {
    static const std::unordered_set<std::string> set = {"the", "a",   "an",  "this",  "that", "these", "those",
                                                        "its", "his", "her", "their", "our",  "my",    "your"};
    return set;
}

namespace {

struct Atom {
    std::string text;
    bool glueLeft = false;
    bool glueRight = false;
};

// While the text is split into words, breaks travel as these two separators.
const std::string kParagraphMarker = "\u2029";
const std::string kLineMarker = "\u2028";
const std::string kParagraph = "\n\n";
const std::string kLine = "\n";

std::string replaceAllLiteral(std::string s, std::string_view from, std::string_view to) {
    std::size_t pos = 0;
    while ((pos = s.find(from, pos)) != std::string::npos) {
        s.replace(pos, from.size(), to);
        pos += to.size();
    }
    return s;
}

bool isSentenceEnd(const Atom& atom) {
    return atom.text == "." || atom.text == "!" || atom.text == "?" || atom.text == kParagraph || atom.text == kLine;
}

bool isBreakMarker(const std::string& word) { return word == kParagraphMarker || word == kLineMarker; }

// The last atom with the guard's punctuation trimmed off both ends.
std::string guardWord(const std::string& s) {
    static constexpr std::string_view punctuation = ".,!?:;\"()-";
    std::size_t b = 0, e = s.size();
    while (b < e && punctuation.find(s[b]) != std::string_view::npos) ++b;
    while (e > b && punctuation.find(s[e - 1]) != std::string_view::npos) --e;
    return WordMatch::lowercasedFast(s.substr(b, e - b));
}

struct PairCommand {
    const char* first;
    const char* second;
    const char* atom;
    bool glueLeft, glueRight;
    enum { set, unchanged } capitalise;
};

const PairCommand kPairs[] = {
    {"new", "paragraph", "\n\n", true, true, PairCommand::set},
    {"new", "line", "\n", true, true, PairCommand::set},
    {"next", "line", "\n", true, true, PairCommand::set},
    {"question", "mark", "?", true, false, PairCommand::set},
    {"exclamation", "mark", "!", true, false, PairCommand::set},
    {"exclamation", "point", "!", true, false, PairCommand::set},
    {"open", "quote", "\"", false, true, PairCommand::unchanged},
    {"close", "quote", "\"", true, false, PairCommand::unchanged},
    {"open", "paren", "(", false, true, PairCommand::unchanged},
    {"close", "paren", ")", true, false, PairCommand::unchanged},
};

struct WordCommand {
    const char* word;
    const char* atom;
    bool glueLeft, glueRight;
    bool setsCapitalise;
};

const WordCommand kWords[] = {
    {"period", ".", true, false, true},     {"comma", ",", true, false, false}, {"colon", ":", true, false, false},
    {"semicolon", ";", true, false, false}, {"hyphen", "-", true, true, false}, {"dash", "-", false, false, false},
};

}  // namespace

std::string resolve(std::string_view input) {
    if (input.empty()) return std::string(input);
    std::string prepared = replaceAllLiteral(std::string(input), "\n\n", " " + kParagraphMarker + " ");
    prepared = replaceAllLiteral(std::move(prepared), "\n", " " + kLineMarker + " ");

    std::vector<std::string> words;
    for (std::size_t start = 0; start < prepared.size();) {
        std::size_t space = prepared.find(' ', start);
        if (space == std::string::npos) space = prepared.size();
        if (space > start) words.push_back(prepared.substr(start, space - start));
        start = space + 1;
    }
    std::vector<std::string> lower;
    lower.reserve(words.size());
    for (const auto& w : words) lower.push_back(WordMatch::lowercasedFast(w));

    const std::size_t n = words.size();
    auto is = [&](std::size_t i, const char* w) { return i < n && lower[i] == w; };

    std::vector<Atom> atoms;
    bool capitaliseNext = true;
    bool changed = false;
    bool endedEarly = false;

    std::size_t i = 0;
    while (i < n) {
        if (words[i] == kParagraphMarker || words[i] == kLineMarker) {
            atoms.push_back({words[i] == kParagraphMarker ? kParagraph : kLine, true, true});
            capitaliseNext = true;
            ++i;
            continue;
        }
        const bool lastTwo = i + 2 == n;
        if (lastTwo && !atoms.empty() && (is(i, "scratch") || is(i, "delete")) && is(i + 1, "that")) {
            if (isSentenceEnd(atoms.back())) atoms.pop_back();
            while (!atoms.empty() && !isSentenceEnd(atoms.back())) atoms.pop_back();
            endedEarly = true;
            break;
        }
        if (lastTwo && !atoms.empty() && is(i, "cap") && is(i + 1, "that")) {
            Atom& last = atoms.back();
            if (!last.text.empty()) {
                auto [first, rest] = WordMatch::splitFirstCharacter(last.text);
                last.text = text::uppercased(first) + rest;
            }
            endedEarly = true;
            break;
        }
        if (!atoms.empty() && is(i, "delete") && is(i + 1, "last") && is(i + 2, "word")) {
            atoms.pop_back();
            changed = true;
            i += 3;
            continue;
        }
        const bool guarded = !atoms.empty() && determiners().count(guardWord(atoms.back().text)) > 0;
        bool handled = false;
        if (!guarded) {
            // "all caps" before a break would otherwise upper-case the break
            // marker itself and leak it into the text; it stays two words then.
            if (is(i, "all") && is(i + 1, "caps") && i + 2 < n && !isBreakMarker(words[i + 2])) {
                atoms.push_back({text::uppercased(words[i + 2]), false, false});
                capitaliseNext = false;
                changed = true;
                i += 3;
                continue;
            }
            for (const auto& pair : kPairs) {
                if (is(i, pair.first) && is(i + 1, pair.second)) {
                    atoms.push_back({pair.atom, pair.glueLeft, pair.glueRight});
                    if (pair.capitalise == PairCommand::set) capitaliseNext = true;
                    changed = true;
                    i += 2;
                    handled = true;
                    break;
                }
            }
            if (!handled) {
                for (const auto& word : kWords) {
                    if (is(i, word.word)) {
                        atoms.push_back({word.atom, word.glueLeft, word.glueRight});
                        if (word.setsCapitalise) capitaliseNext = true;
                        changed = true;
                        i += 1;
                        handled = true;
                        break;
                    }
                }
            }
        }
        if (handled) continue;
        std::string word = words[i];
        if (capitaliseNext && !word.empty()) {
            auto [first, rest] = WordMatch::splitFirstCharacter(word);
            word = text::uppercased(first) + rest;
            capitaliseNext = false;
        }
        atoms.push_back({std::move(word), false, false});
        ++i;
    }

    if (!endedEarly && !changed) return std::string(input);

    std::string out;
    for (std::size_t k = 0; k < atoms.size(); ++k) {
        if (k > 0 && !atoms[k - 1].glueRight && !atoms[k].glueLeft) out += ' ';
        out += atoms[k].text;
    }
    return out;
}

}  // namespace VoiceCommands

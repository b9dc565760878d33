#include "Learning/ScreenContext.h"

#include <unicode/uchar.h>
#include "Platform/Unicode.h"

#include <chrono>
#include <limits>
#include <set>
#include <unordered_set>

#include "Base/AppPaths.h"
#include "Platform/Insertion.h"
#include "Platform/FrontmostApp.h"
#include "Platform/Queues.h"
#include "Platform/SettingsStore.h"

namespace ScreenContext {

namespace text = platform::text;
using Clock = std::chrono::steady_clock;

namespace {

// Common words that are no vocabulary even when capitalised mid-sentence
// ("I", "Monday" is a name; "However", "Thanks" are not).
const std::unordered_set<std::string>& commonWords() {
    static const std::unordered_set<std::string> words = {
        "the",     "and",    "for",     "are",     "but",   "not",    "you",    "all",    "any",    "can",    "had",
        "her",     "was",    "one",     "our",     "out",   "day",    "get",    "has",    "him",    "his",    "how",
        "man",     "new",    "now",     "old",     "see",   "two",    "way",    "who",    "did",    "its",    "let",
        "put",     "say",    "she",     "too",     "use",   "this",   "that",   "with",   "have",   "from",   "they",
        "will",    "would",  "there",   "their",   "what",  "about",  "which",  "when",   "make",   "like",   "time",
        "just",    "know",   "take",    "into",    "year",  "your",   "good",   "some",   "could",  "them",   "than",
        "then",    "look",   "only",    "come",    "over",  "think",  "also",   "back",   "after",  "work",   "first",
        "well",    "even",   "want",    "because", "these", "give",   "most",   "please", "thanks", "thank",  "hello",
        "dear",    "yes",    "okay",    "however", "here",  "where",  "why",    "while",  "should", "must",   "may",
        "might",   "shall",  "very",    "much",    "many",  "more",   "less",   "each",   "every",  "other",  "such",
        "same",    "both",   "few",     "own",     "again", "once",   "before", "under",  "above",  "below",  "between",
        "through", "during", "without", "within",  "upon",  "since",  "until",  "still",  "yet",    "done",   "see",
        "note",    "todo",   "fixme",   "true",    "false", "null",   "none",   "nil",    "void",   "return", "if",
        "else",    "let",    "var",     "func",    "class", "struct", "import", "end",    "begin"};
    return words;
}

bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool isLower(char c) { return c >= 'a' && c <= 'z'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHexDigit(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// A hash, an address or an id: hexadecimal digits only, with at least one
// digit (letter-only words such as "deadbeef" are judged as words).
bool isHexBlob(const std::string& token) {
    bool digit = false;
    for (char c : token) {
        if (!isHexDigit(c)) return false;
        digit = digit || isDigit(c);
    }
    return digit && token.size() >= 6;
}

// The token begins a sentence: only blanks (or nothing) since the start of
// the text, a line or the end of a sentence.
bool isSentenceStart(const std::string& source, std::size_t begin) {
    std::size_t i = begin;
    while (i > 0) {
        const char c = source[i - 1];
        if (c == ' ' || c == '\t' || c == '"' || c == '\'' || c == '(') {
            --i;
            continue;
        }
        return c == '.' || c == '!' || c == '?' || c == '\n' || c == '\r' || c == ':';
    }
    return true;
}

// A letter or digit outside ASCII next to the match means the match is
// only a piece of a longer word ("caf" of "café").
bool touchesForeignWord(const std::string& source, std::size_t begin, std::size_t end) {
    auto letterAt = [&](std::size_t at, bool before) {
        if (before) {
            if (at == 0) return false;
            std::size_t i = at - 1;
            while (i > 0 && (static_cast<unsigned char>(source[i]) & 0xC0) == 0x80) --i;
            const std::u32string cp = text::toUTF32(std::string_view(source).substr(i, at - i));
            return !cp.empty() && cp[0] >= 0x80 && u_isalnum(static_cast<UChar32>(cp[0]));
        }
        if (at >= source.size()) return false;
        std::size_t len = 1;
        while (at + len < source.size() && (static_cast<unsigned char>(source[at + len]) & 0xC0) == 0x80) ++len;
        const std::u32string cp = text::toUTF32(std::string_view(source).substr(at, len));
        return !cp.empty() && cp[0] >= 0x80 && u_isalnum(static_cast<UChar32>(cp[0]));
    };
    return letterAt(begin, true) || letterAt(end, false);
}

bool isAcronymCandidate(const std::string& token) {
    std::size_t letters = 0;
    for (char c : token) {
        if (isLower(c)) return false;
        if (isUpper(c)) ++letters;
    }
    return letters >= 3;
}

// Whether a token is worth offering to the recogniser.
bool classify(const std::string& source, const std::string& token, std::size_t begin) {
    if (token.size() < 3) return false;
    if (isHexBlob(token)) return false;
    const bool dotted = token.find('.') != std::string::npos;
    const bool underscored = token.find('_') != std::string::npos;
    bool caseTransition = false, hasDigit = false, hasLetter = false;
    for (std::size_t i = 0; i < token.size(); ++i) {
        hasDigit = hasDigit || isDigit(token[i]);
        hasLetter = hasLetter || isUpper(token[i]) || isLower(token[i]);
        if (i > 0 && isLower(token[i - 1]) && isUpper(token[i])) caseTransition = true;
    }
    if (!hasLetter) return false;
    if (dotted || underscored || caseTransition) return true;  // identifiers and paths
    if (isAcronymCandidate(token)) return true;                // SCHW, FIX, HTTP2
    if (hasDigit) return true;                                 // v2beta, mp3, h264
    const std::string lower = text::lowercased(token);
    if (commonWords().count(lower)) return false;
    // A capitalised word is a name unless it only starts a sentence.
    if (isUpper(token[0])) return !isSentenceStart(source, begin);
    return false;  // an ordinary lower-case word
}

struct Sources {
    std::mutex lock;
    std::function<std::string()> applicationKey;
    std::shared_ptr<InsertionTarget> field;
};
Sources& sources() {
    static Sources* s = new Sources();
    return *s;
}

struct Cache {
    std::mutex lock;
    std::optional<std::string> key;
    std::vector<std::string> terms;
    Clock::time_point at{};
};
Cache& cache() {
    static Cache* c = new Cache();
    return *c;
}

// One read at a time: a read stuck in a slow application delays only the
// reads queued behind it, and those callers have stopped waiting anyway.
platform::SerialQueue& readQueue() {
    static auto* queue = new platform::SerialQueue("com.ondira.screencontext.read", platform::QoS::userInitiated);
    return *queue;
}

std::string currentApplicationKey() {
    {
        std::lock_guard<std::mutex> guard(sources().lock);
        if (sources().applicationKey) return sources().applicationKey();
    }
    const auto app = platform::frontmostApplication();
    if (!app) return "unknown";
    if (!app->applicationID.empty()) return app->applicationID;
    if (!app->displayName.empty()) return app->displayName;
    return "unknown";
}

}  // namespace

bool isEnabled() {
    platform::SettingsStore::registerDefaults({{enabledDefaultsKey, true}});
    return AppPaths::standardDefaults()->boolValue(enabledDefaultsKey);
}

std::vector<std::string> extractTerms(const std::string& input, std::int64_t cap) {
    if (input.empty() || cap < 1) return {};
    std::string source = text::prefixGraphemes(input, maxTextCharacters);
    static const auto url = text::Regex::make(R"((https?://\S+)|(www\.\S+))", text::Regex::caseInsensitive);
    static const auto identifier = text::Regex::make(R"([A-Za-z_][A-Za-z0-9_]*(?:\.[A-Za-z0-9_]+)*)");
    if (!url || !identifier) return {};
    source = url->replaceAllLiteral(source, " ");
    if (text::trimmed(source).empty()) return {};
    std::vector<std::string> terms;
    std::set<std::string> seen;
    for (const auto& match : identifier->matches(source)) {
        if (static_cast<std::int64_t>(terms.size()) >= cap) break;
        const std::size_t begin = match.range.begin, end = match.range.end;
        if (touchesForeignWord(source, begin, end)) continue;
        // Part of an e-mail address or a longer hyphenated/dotted name: not a term of its own.
        if (begin > 0 && (source[begin - 1] == '@' || isDigit(source[begin - 1]))) continue;
        const std::string token = source.substr(begin, end - begin);
        if (!classify(source, token, begin)) continue;
        if (!seen.insert(text::lowercased(token)).second) continue;
        terms.push_back(token);
    }
    return terms;
}

std::vector<std::string> merge(const std::vector<std::string>& dictionaryTerms, const std::vector<std::string>& screenTerms,
                               std::int64_t totalCap) {
    std::unordered_set<std::string> seen;
    std::vector<std::string> result;
    for (const auto& term : dictionaryTerms) {
        if (term.empty()) continue;
        if (!seen.insert(text::lowercased(term)).second) continue;
        result.push_back(term);
    }
    const auto kept = static_cast<std::int64_t>(result.size());
    // Saturate instead of overflowing for extreme caps.
    std::int64_t budget = totalCap < std::numeric_limits<std::int64_t>::min() + kept
                              ? std::numeric_limits<std::int64_t>::min()
                              : totalCap - kept;
    if (budget < 1 || screenTerms.empty()) return result;
    std::int64_t added = 0;
    for (const auto& term : screenTerms) {
        if (term.empty()) continue;
        if (added >= budget) break;
        if (!seen.insert(text::lowercased(term)).second) continue;
        result.push_back(term);
        ++added;
    }
    return result;
}

std::optional<std::string> readFocusedText(double budget) {
    auto box = std::make_shared<ReadBox>();
    auto done = std::make_shared<platform::Semaphore>(0);
    std::shared_ptr<InsertionTarget> source;
    {
        std::lock_guard<std::mutex> guard(sources().lock);
        source = sources().field;
    }
    // The same focus reading text insertion uses.
    if (!source) source = platform::desktopInsertionTarget();
    readQueue().async([box, done, source] {
        std::optional<std::string> found;
        if (source) {
            found = source->focusedValue();
            if (!found || found->empty()) found = source->focusedSelectedText();
            if (found && found->empty()) found.reset();
        }
        {
            std::lock_guard<std::mutex> guard(box->lock);
            if (!box->closed) box->result = std::move(found);
        }
        done->signal();
    });
    done->wait(budget);
    std::lock_guard<std::mutex> guard(box->lock);
    box->closed = true;
    return box->result;
}

std::vector<std::string> harvestTerms() {
    if (!isEnabled()) return {};
    const std::string key = currentApplicationKey();
    {
        std::lock_guard<std::mutex> guard(cache().lock);
        if (cache().key && *cache().key == key &&
            std::chrono::duration<double>(Clock::now() - cache().at).count() < cacheSeconds)
            return cache().terms;
    }
    const std::optional<std::string> focused = readFocusedText(budgetSeconds);
    std::vector<std::string> terms =
        focused && !focused->empty() ? extractTerms(*focused, maxTerms) : std::vector<std::string>{};
    std::lock_guard<std::mutex> guard(cache().lock);
    cache().key = key;
    cache().terms = terms;
    cache().at = Clock::now();
    return terms;
}

void setApplicationKeyForTesting(std::function<std::string()> applicationKey) {
    {
        std::lock_guard<std::mutex> guard(sources().lock);
        sources().applicationKey = std::move(applicationKey);
    }
    resetCacheForTesting();
}

void setFocusedFieldForTesting(std::shared_ptr<InsertionTarget> field) {
    {
        std::lock_guard<std::mutex> guard(sources().lock);
        sources().field = std::move(field);
    }
    resetCacheForTesting();
}

void resetCacheForTesting() {
    std::lock_guard<std::mutex> guard(cache().lock);
    cache().key.reset();
    cache().terms.clear();
}

}  // namespace ScreenContext

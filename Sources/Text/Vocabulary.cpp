#include "Text/Vocabulary.h"

#include "Base/AppPaths.h"
#include "Base/DictionaryFile.h"
#include "Platform/Bundle.h"
#include "Platform/FileIO.h"
#include "Platform/Log.h"
#include "Platform/StoreRecovery.h"
#include "Base/WordMatch.h"

#include <algorithm>
#include <functional>
#include <sys/stat.h>
#include <unicode/uchar.h>
#include <unordered_map>

namespace fs = std::filesystem;
namespace text = platform::text;
using json = nlohmann::json;

namespace {

// The signature of a pack list no real list can equal.
const std::string kUnloadedSignature = std::string(1, '\0') + "unloaded";

std::string valueOr(const Vocabulary::Term& term, const char* key) {
    auto it = term.find(key);
    return it == term.end() ? std::string() : it->second;
}

// Changes dictionary.json under its lock file (so concurrent changes from
// several processes never lose one another), writing through a temporary file
// so a crash or a full disk never leaves it half-written, keeping the mode the
// file already had (or `newMode`, an import's). A file that does not load is
// moved aside first and the change applies to what it still held. `edit`
// returns false when there is nothing to write. False when the file could not
// be read or not written.
bool changeDictionary(const std::function<bool(std::vector<Vocabulary::Term>&)>& edit,
                      std::optional<unsigned> newMode = std::nullopt) {
    const fs::path file = AppPaths::dictionaryFile();
    unsigned mode = 0600;
    struct stat st {};
    if (newMode) mode = *newMode;
    else if (::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) mode = st.st_mode & 07777;
    bool refused = false;
    const bool written = platform::updateStore(
        file, DictionaryFile::format(),
        [&](const platform::FileRead& current) -> std::optional<std::string> {
            std::optional<std::vector<Vocabulary::Term>> terms;
            if (current.outcome == platform::FileRead::Outcome::missing) terms.emplace();
            else if (current.ok()) terms = DictionaryFile::parse(current.bytes);
            if (!terms) {
                platform::log("Vocabulary", "Not changing the dictionary: " + current.error);
                refused = true;
                return std::nullopt;
            }
            if (!edit(*terms)) return std::nullopt;
            try {
                return DictionaryFile::encode(*terms);
            } catch (const std::exception&) {
                refused = true;
                return std::nullopt;
            }
        },
        mode);
    return written && !refused;
}

}  // namespace

Vocabulary& Vocabulary::shared() {
    static Vocabulary* instance = new Vocabulary();  // never released
    return *instance;
}

Vocabulary::Vocabulary() {
    auto empty = std::make_shared<Snapshot>();
    empty->signature = kUnloadedSignature;
    snapshot_ = std::move(empty);
    reloadDictionary();
}

std::shared_ptr<const Vocabulary::Snapshot> Vocabulary::snapshot() const {
    std::lock_guard<std::mutex> guard(lock_);
    return snapshot_;
}

std::string Vocabulary::signatureOf(const std::vector<std::string>& names) {
    return text::join(names, std::string(1, '\x01'));
}

std::vector<std::string> Vocabulary::enabledPackNames() {
    auto names = AppPaths::userDefaults()->stringArray(packsEnabledKey);
    return names ? *names : std::vector<std::string>{};
}

bool Vocabulary::isValidPackName(std::string_view name) {
    if (name.empty()) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

std::optional<fs::path> Vocabulary::resolvePackFileURL(const std::string& name) {
    if (!isValidPackName(name)) return std::nullopt;
    const std::string fileName = name + ".json";
    std::error_code ec;
    if (auto resources = platform::Bundle::resourceURL()) {
        fs::path bundled = *resources / "vocab_packs" / fileName;
        if (fs::is_regular_file(bundled, ec)) return bundled;
    }
    fs::path local = AppPaths::applicationSupport() / "vocab_packs" / fileName;
    if (fs::is_regular_file(local, ec)) return local;
    return std::nullopt;
}

void Vocabulary::reloadDictionary() {
    const std::vector<std::string> packs = enabledPackNames();
    auto next = std::make_shared<Snapshot>();
    next->signature = signatureOf(packs);

    std::vector<std::string> keys;
    std::unordered_map<std::string, std::string> written;
    auto put = [&](const std::string& spoken, const std::string& to) {
        std::string key = text::lowercased(spoken);
        if (written.find(key) == written.end()) keys.push_back(key);
        written[key] = to;
    };

    for (const auto& name : packs) {
        auto file = resolvePackFileURL(name);
        if (!file) continue;
        auto bytes = platform::readFile(*file);
        if (!bytes) continue;
        try {
            json root = json::parse(*bytes);
            if (!root.is_object()) continue;
            auto terms = root.find("terms");
            if (terms == root.end() || !terms->is_array()) continue;
            if (!std::all_of(terms->begin(), terms->end(), [](const json& t) { return t.is_string(); })) continue;
            for (const auto& t : *terms) put(t.get<std::string>(), t.get<std::string>());
        } catch (const std::exception&) {
            continue;
        }
    }
    for (const auto& term : loadRawTerms()) put(term.at("from"), term.at("to"));

    for (const auto& key : keys) {
        // An empty spoken form would match nowhere useful; it is left out.
        if (key.empty()) continue;
        Entry entry;
        entry.from = key;
        entry.to = written[key];
        entry.folded = WordMatch::foldedFast(key);
        entry.firstToken = WordMatch::firstToken(entry.folded);
        entry.pattern = WordMatch::literalPattern(key);
        next->entries.push_back(std::move(entry));
    }
    std::vector<std::size_t> lengths;
    lengths.reserve(next->entries.size());
    for (std::size_t i = 0; i < next->entries.size(); ++i) {
        next->byLength.push_back(i);
        lengths.push_back(text::graphemeCount(next->entries[i].from));
    }
    std::stable_sort(next->byLength.begin(), next->byLength.end(),
                     [&](std::size_t a, std::size_t b) { return lengths[a] > lengths[b]; });

    std::lock_guard<std::mutex> guard(lock_);
    snapshot_ = std::move(next);
}

std::vector<std::string> Vocabulary::getContextTerms() const {
    std::vector<std::string> terms;
    for (const auto& entry : snapshot()->entries) terms.push_back(entry.to);
    return terms;
}

std::string Vocabulary::casedReplacement(const std::string& to, std::string_view matched) {
    if (to.empty()) return to;
    if (to != text::lowercased(to)) return to;  // capitals of its own are deliberate
    if (!WordMatch::hasLetter(matched)) return to;
    bool allUpper = true;
    for (char32_t c : text::toUTF32(matched)) {
        if (!u_isalpha(static_cast<UChar32>(c))) continue;
        if (!(u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_UPPERCASE) || u_istitle(static_cast<UChar32>(c)))) {
            allUpper = false;
            break;
        }
    }
    if (allUpper) return text::uppercased(to);
    auto [matchedFirst, matchedRest] = WordMatch::splitFirstCharacter(matched);
    auto [toFirst, toRest] = WordMatch::splitFirstCharacter(to);
    if (WordMatch::isUppercaseCharacter(matchedFirst) && WordMatch::hasLetter(toFirst))
        return text::uppercased(toFirst) + toRest;
    return to;
}

std::string Vocabulary::apply(std::string_view input) {
    if (signatureOf(enabledPackNames()) != snapshot()->signature) reloadDictionary();
    const auto snap = snapshot();
    // Match offsets are only meaningful on well-formed text.
    std::string result = text::isValidUTF8(input) ? std::string(input) : text::sanitizeUTF8(input);
    if (snap->entries.empty()) return result;
    WordMatch::TokenIndex index(result);
    for (std::size_t position : snap->byLength) {
        const Entry& entry = snap->entries[position];
        if (!entry.pattern) continue;
        if (!index.mayContain(entry.folded, entry.firstToken)) continue;
        auto matches = entry.pattern->matches(result);
        if (matches.empty()) continue;
        const std::string source = result;
        for (auto it = matches.rbegin(); it != matches.rend(); ++it) {
            std::string_view matched = std::string_view(source).substr(it->range.begin, it->range.length());
            const std::string inserted = casedReplacement(entry.to, matched);
            result.replace(it->range.begin, it->range.length(), inserted);
            index.noteInsertion(inserted);
        }
    }
    return result;
}

std::vector<Vocabulary::Term> Vocabulary::loadRawTerms() { return *DictionaryFile::rawTerms().terms; }

std::shared_ptr<const std::vector<std::string>> Vocabulary::rawFromTerms() { return DictionaryFile::rawTerms().froms; }

bool Vocabulary::addTerm(const std::string& from, const std::string& to, std::string* correctionProblem) {
    const std::string key = text::lowercased(from);
    const bool written = changeDictionary([&](std::vector<Term>& terms) {
        std::erase_if(terms, [&](const Term& term) { return text::lowercased(valueOr(term, "from")) == key; });
        terms.push_back({{"from", from}, {"to", to}});
        return true;
    });
    if (!written) return false;
    reloadDictionary();
    const auto problem = CorrectionLog::shared().record(from, to, "", "Ondira", CorrectionSource::explicitDictionaryAdd);
    if (problem && correctionProblem) *correctionProblem = *problem;
    return true;
}

bool Vocabulary::deleteTerm(const std::string& from) { return removeTerm(from) == platform::StoreRemoval::removed; }

platform::StoreRemoval Vocabulary::removeTerm(const std::string& from) {
    const std::string key = text::lowercased(from);
    bool removed = false;
    const bool ok = changeDictionary([&](std::vector<Term>& terms) {
        removed = std::erase_if(terms, [&](const Term& term) { return text::lowercased(valueOr(term, "from")) == key; }) > 0;
        return removed;
    });
    if (!ok) return platform::StoreRemoval::failed;
    if (!removed) return platform::StoreRemoval::notFound;
    reloadDictionary();
    return platform::StoreRemoval::removed;
}

std::vector<CorrectionSuggestion> Vocabulary::pendingCorrectionSuggestions(int minCount) {
    return CorrectionLog::shared().suggestions(minCount);
}

std::optional<std::vector<Vocabulary::Term>> Vocabulary::validateImportPayload(const json& payload) {
    if (!payload.is_array()) return std::nullopt;
    std::vector<Term> terms;
    for (const auto& item : payload) {
        if (!item.is_object()) return std::nullopt;
        auto from = item.find("from");
        auto to = item.find("to");
        if (from == item.end() || to == item.end() || !from->is_string() || !to->is_string()) return std::nullopt;
        terms.push_back({{"from", from->get<std::string>()}, {"to", to->get<std::string>()}});
    }
    return terms;
}

Vocabulary::MergeResult Vocabulary::mergeImportedTerms(const std::vector<Term>& existing,
                                                       const std::vector<Term>& imported) {
    MergeResult result;
    result.merged = existing;
    std::vector<std::string> seen;
    for (const auto& term : existing)
        if (term.count("from")) seen.push_back(text::lowercased(term.at("from")));
    for (const auto& term : imported) {
        if (!term.count("from") || !term.count("to")) {
            ++result.skipped;
            continue;
        }
        std::string key = text::lowercased(term.at("from"));
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
            ++result.skipped;
            continue;
        }
        result.merged.push_back({{"from", term.at("from")}, {"to", term.at("to")}});
        seen.push_back(std::move(key));
        ++result.added;
    }
    return result;
}

std::optional<Vocabulary::MergeResult> Vocabulary::importTerms(const std::vector<Term>& terms) {
    std::optional<MergeResult> result;
    const bool ok = changeDictionary(
        [&](std::vector<Term>& existing) {
            result = mergeImportedTerms(existing, terms);
            existing = result->merged;
            return result->added > 0;
        },
        0600);
    if (!ok) return std::nullopt;
    if (result && result->added > 0) reloadDictionary();
    return result;
}

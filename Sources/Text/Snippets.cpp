#include "Text/Snippets.h"

#include "Base/AppPaths.h"
#include "Platform/FileIO.h"
#include "Platform/Log.h"
#include "Platform/StoreRecovery.h"
#include "Platform/Unicode.h"
#include "Base/WordMatch.h"

#include <nlohmann/json.hpp>
#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <memory>

namespace fs = std::filesystem;
namespace text = platform::text;
using json = nlohmann::json;

Snippets& Snippets::shared() {
    static Snippets* instance = new Snippets();  // never released
    return *instance;
}

fs::path Snippets::storageFile() { return AppPaths::applicationSupportFile("snippets.json"); }

Snippets::Snippets() : writeQueue_("com.ondira.snippets.write") { reload(); }

namespace {

// snippets.json loads when it is blank or a JSON array of objects; from one
// that does not, every object that still parses is salvaged.
std::optional<json> snippetArray(std::string_view bytes) {
    if (platform::isBlank(bytes)) return json::array();
    json root = json::parse(bytes, nullptr, false);
    if (root.is_discarded() || !root.is_array() ||
        !std::all_of(root.begin(), root.end(), [](const json& item) { return item.is_object(); }))
        return std::nullopt;
    return root;
}

const platform::StoreFormat& snippetsFormat() {
    static const platform::StoreFormat format{
        [](std::string_view bytes) { return snippetArray(bytes).has_value(); },
        [](std::string_view bytes) {
            json kept = json::array();
            for (auto& item : platform::salvageJSON(bytes))
                if (item.is_object()) kept.push_back(std::move(item));
            return kept.dump(2, ' ', false, json::error_handler_t::replace);
        },
    };
    return format;
}

}  // namespace

Snippets::Loaded Snippets::loadSnippets(const fs::path& file) {
    Loaded loaded;
    const platform::StoreRead read = platform::readStore(file, snippetsFormat());
    loaded.setAside = read.setAside;
    if (!read.file.ok()) {
        if (read.file.outcome != platform::FileRead::Outcome::missing) loaded.error = read.file.error;
        return loaded;
    }
    for (const auto& item : snippetArray(read.file.bytes).value_or(json::array())) {
        auto trigger = item.find("trigger");
        auto expansion = item.find("expansion");
        if (trigger == item.end() || !trigger->is_string() || expansion == item.end() || !expansion->is_string()) continue;
        loaded.rows.push_back({{"trigger", trigger->get<std::string>()}, {"expansion", expansion->get<std::string>()}});
    }
    return loaded;
}

std::vector<Snippets::Row> Snippets::loadRawSnippets(const fs::path& file) { return loadSnippets(file).rows; }

std::vector<Snippets::Candidate> Snippets::buildCandidates(const std::vector<Snippet>& snippets) {
    std::vector<Candidate> out;
    for (const auto& s : snippets) {
        if (text::trimmed(s.trigger).empty()) continue;
        out.push_back({text::lowercased(s.trigger), text::graphemeCount(s.trigger), s.expansion});
    }
    std::stable_sort(out.begin(), out.end(), [](const Candidate& a, const Candidate& b) { return a.length > b.length; });
    return out;
}

void Snippets::reload() {
    std::vector<Snippet> pairs;
    for (auto& row : loadRawSnippets(storageFile())) pairs.push_back({row["trigger"], row["expansion"]});
    auto built = buildCandidates(pairs);
    std::lock_guard<std::mutex> guard(candidatesLock_);
    candidates_ = std::move(built);
}

std::vector<Snippets::Candidate> Snippets::candidates() const {
    std::lock_guard<std::mutex> guard(candidatesLock_);
    return candidates_;
}

namespace {

// The file as a list of snippet objects to change, under the store's lock
// (a file that did not load has been moved aside and salvaged by then).
// Missing is an empty list; a file that could not be read at all is none.
std::optional<json> editableArray(const platform::FileRead& current) {
    if (current.outcome == platform::FileRead::Outcome::missing) return json::array();
    std::optional<json> array;
    if (current.ok()) array = snippetArray(current.bytes);
    if (!array) platform::log("Snippets", "Not changing snippets: " + current.error);
    return array;
}

std::string triggerOf(const json& item) {
    auto trigger = item.find("trigger");
    return trigger != item.end() && trigger->is_string() ? trigger->get<std::string>() : std::string();
}

// Removes every snippet whose trigger equals `trigger` case-insensitively;
// every other object is kept as it is, keys and all.
std::size_t removeTrigger(json& array, const std::string& trigger) {
    const std::size_t before = array.size();
    json kept = json::array();
    for (auto& item : array)
        if (!text::equalsIgnoringCase(triggerOf(item), trigger)) kept.push_back(std::move(item));
    array = std::move(kept);
    return before - array.size();
}

}  // namespace

bool Snippets::change(const std::function<bool(json&)>& edit) {
    bool refused = false;
    bool written = platform::updateStore(
        storageFile(), snippetsFormat(),
        [&](const platform::FileRead& current) -> std::optional<std::string> {
            auto array = editableArray(current);
            if (!array) {
                refused = true;
                return std::nullopt;
            }
            if (!edit(*array)) return std::nullopt;
            try {
                return array->dump(2);
            } catch (const std::exception&) {
                refused = true;
                return std::nullopt;
            }
        },
        0600);
    return written && !refused;
}

bool Snippets::addSnippet(const std::string& trigger, const std::string& expansion) {
    if (text::trimmed(trigger).empty()) return false;
    bool written = false;
    writeQueue_.sync([&] {
        written = change([&](json& array) {
            removeTrigger(array, trigger);
            array.push_back({{"trigger", trigger}, {"expansion", expansion}});
            return true;
        });
    });
    if (written) reload();
    return written;
}

bool Snippets::deleteSnippet(const std::string& trigger) { return removeSnippet(trigger) != platform::StoreRemoval::failed; }

platform::StoreRemoval Snippets::removeSnippet(const std::string& trigger) {
    bool ok = false;
    std::size_t removed = 0;
    writeQueue_.sync([&] {
        ok = change([&](json& array) {
            removed = removeTrigger(array, trigger);
            return removed > 0;
        });
    });
    reload();
    if (!ok) return platform::StoreRemoval::failed;
    return removed > 0 ? platform::StoreRemoval::removed : platform::StoreRemoval::notFound;
}

std::string Snippets::expand(std::string_view input) const { return expand(input, candidates()); }

std::string Snippets::expand(std::string_view input, const std::vector<Snippet>& snippets) {
    return expand(input, buildCandidates(snippets));
}

namespace {

bool isWordCharacter(std::string_view character) {
    if (character.empty()) return false;
    const auto c0 = static_cast<unsigned char>(character[0]);
    if (c0 < 0x80) return (c0 >= 'a' && c0 <= 'z') || (c0 >= 'A' && c0 <= 'Z') || (c0 >= '0' && c0 <= '9') || c0 == '_';
    const std::u32string u = text::toUTF32(character);
    const auto c = static_cast<UChar32>(u.front());
    return u_isalpha(c) || (U_GET_GC_MASK(c) & U_GC_N_MASK) != 0;
}

// The text split into user-perceived characters (as byte ranges).
std::vector<std::string_view> characters(std::string_view s) {
    std::vector<std::string_view> out;
    bool ascii = std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) {
        out.reserve(s.size());
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') {
                out.push_back(s.substr(i, 2));
                ++i;
            } else {
                out.push_back(s.substr(i, 1));
            }
        }
        return out;
    }
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) return {s};
    it->setText(u);
    std::size_t byte = 0;
    int32_t prev = 0;
    for (int32_t p = it->next(); p != icu::BreakIterator::DONE; p = it->next()) {
        std::string piece;
        u.tempSubString(prev, p - prev).toUTF8String(piece);
        out.push_back(s.substr(byte, piece.size()));
        byte += piece.size();
        prev = p;
    }
    return out;
}

// Whether `span` lower-cased equals `lower`; ASCII compares in place.
bool sameIgnoringCase(std::string_view span, const std::string& lower) {
    bool ascii = true;
    for (unsigned char c : span) ascii = ascii && c < 0x80;
    if (!ascii) return WordMatch::lowercasedFast(span) == lower;
    if (span.size() != lower.size()) return false;
    for (std::size_t k = 0; k < span.size(); ++k) {
        auto c = static_cast<unsigned char>(span[k]);
        if ((c >= 'A' && c <= 'Z' ? c + 32 : c) != static_cast<unsigned char>(lower[k])) return false;
    }
    return true;
}

}  // namespace

std::string Snippets::expand(std::string_view input, const std::vector<Candidate>& candidates) {
    if (candidates.empty()) return std::string(input);
    // Character boundaries are only meaningful on well-formed text.
    if (!text::isValidUTF8(input)) return expand(text::sanitizeUTF8(input), candidates);
    const auto chars = characters(input);
    if (chars.empty()) return std::string(input);
    std::string out;
    out.reserve(input.size());
    const std::size_t n = chars.size();
    std::size_t i = 0;
    while (i < n) {
        if (i > 0 && isWordCharacter(chars[i - 1])) {
            out += chars[i];
            ++i;
            continue;
        }
        bool matched = false;
        for (const auto& c : candidates) {
            const std::size_t L = c.length;
            if (L < 1 || i + L > n) continue;
            if (i + L < n && isWordCharacter(chars[i + L])) continue;
            const auto lead = static_cast<unsigned char>(chars[i][0]);
            const auto want = static_cast<unsigned char>(c.triggerLower[0]);
            if (lead < 0x80 && want < 0x80 && (lead >= 'A' && lead <= 'Z' ? lead + 32 : lead) != want) continue;
            const char* begin = chars[i].data();
            const char* end = chars[i + L - 1].data() + chars[i + L - 1].size();
            const std::string_view span(begin, static_cast<std::size_t>(end - begin));
            if (!sameIgnoringCase(span, c.triggerLower)) continue;
            out += c.expansion;
            i += L;
            matched = true;
            break;
        }
        if (!matched) {
            out += chars[i];
            ++i;
        }
    }
    return out;
}

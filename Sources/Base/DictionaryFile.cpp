#include "Base/DictionaryFile.h"

#include "Base/AppPaths.h"
#include "Base/WordMatch.h"
#include "Platform/FileIO.h"

#include <mutex>
#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace DictionaryFile {

namespace {

std::optional<Term> termOf(const json& item) {
    if (!item.is_object()) return std::nullopt;
    Term term;
    for (auto it = item.begin(); it != item.end(); ++it) {
        if (!it.value().is_string()) return std::nullopt;
        term[it.key()] = it.value().get<std::string>();
    }
    return term;
}

}  // namespace

std::string encode(const std::vector<Term>& terms) {
    json array = json::array();
    for (const auto& term : terms) {
        json object = json::object();
        for (const auto& [k, v] : term) object[k] = v;
        array.push_back(std::move(object));
    }
    return array.dump(2);
}

std::optional<std::vector<Term>> parse(std::string_view bytes) {
    if (platform::isBlank(bytes)) return std::vector<Term>{};
    json root = json::parse(bytes, nullptr, false);
    if (root.is_discarded() || !root.is_array()) return std::nullopt;
    std::vector<Term> terms;
    for (const auto& item : root) {
        auto term = termOf(item);
        if (!term) return std::nullopt;
        terms.push_back(std::move(*term));
    }
    return terms;
}

const platform::StoreFormat& format() {
    static const platform::StoreFormat dictionary{
        [](std::string_view bytes) { return parse(bytes).has_value(); },
        [](std::string_view bytes) {
            std::vector<Term> kept;
            for (const auto& item : platform::salvageJSON(bytes))
                if (auto term = termOf(item)) kept.push_back(std::move(*term));
            return encode(kept);
        },
    };
    return dictionary;
}

// Read on every dictation (learned substitutions exclude these forms), so
// the parsed file is kept while the file on disk stays the same one.
RawTerms rawTerms() {
    static std::mutex cacheLock;
    static WordMatch::FileStamp cachedStamp;
    static RawTerms cached;
    const fs::path file = AppPaths::dictionaryFile();
    WordMatch::FileStamp stamp = WordMatch::stampOf(file.string());
    {
        std::lock_guard<std::mutex> guard(cacheLock);
        if (stamp.exists && stamp == cachedStamp && cached.terms) return cached;
    }
    auto terms = std::make_shared<std::vector<Term>>();
    auto froms = std::make_shared<std::vector<std::string>>();
    RawTerms fresh;
    if (stamp.exists) {
        const platform::StoreRead read = platform::readStore(file, format());
        fresh.setAside = read.setAside;
        // A file moved aside was replaced by its salvage: a new version.
        if (read.setAside) stamp = WordMatch::stampOf(file.string());
        if (!read.file.ok() && read.file.outcome != platform::FileRead::Outcome::missing) fresh.error = read.file.error;
        if (read.file.ok()) {
            for (const auto& term : parse(read.file.bytes).value_or(std::vector<Term>{})) {
                auto from = term.find("from");
                auto to = term.find("to");
                if (from == term.end() || to == term.end()) continue;
                terms->push_back({{"from", from->second}, {"to", to->second}});
                froms->push_back(from->second);
            }
        }
    }
    fresh.terms = std::move(terms);
    fresh.froms = std::move(froms);
    std::lock_guard<std::mutex> guard(cacheLock);
    cachedStamp = stamp;
    cached = fresh;
    // The move aside is told once; later reads of the same version do not repeat it.
    cached.setAside.reset();
    return fresh;
}
}  // namespace DictionaryFile

#include "Base/DictionaryFile.h"

#include "Base/AppPaths.h"
#include "Base/WordMatch.h"
#include "Platform/FileIO.h"

#include <mutex>
#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace DictionaryFile {

// Read on every dictation (learned substitutions exclude these forms), so
// the parsed file is kept while the file on disk stays the same one.
RawTerms rawTerms() {
    static std::mutex cacheLock;
    static WordMatch::FileStamp cachedStamp;
    static RawTerms cached;
    const fs::path file = AppPaths::dictionaryFile();
    const WordMatch::FileStamp stamp = WordMatch::stampOf(file.string());
    {
        std::lock_guard<std::mutex> guard(cacheLock);
        if (stamp.exists && stamp == cachedStamp && cached.terms) return cached;
    }
    auto terms = std::make_shared<std::vector<Term>>();
    auto froms = std::make_shared<std::vector<std::string>>();
    if (stamp.exists) {
        if (auto bytes = platform::readFile(file)) {
            json root = json::parse(*bytes, nullptr, false);
            if (!root.is_discarded() && root.is_array()) {
                for (const auto& item : root) {
                    if (!item.is_object()) continue;
                    auto from = item.find("from");
                    auto to = item.find("to");
                    if (from == item.end() || to == item.end() || !from->is_string() || !to->is_string()) continue;
                    terms->push_back({{"from", from->get<std::string>()}, {"to", to->get<std::string>()}});
                    froms->push_back(from->get<std::string>());
                }
            }
        }
    }
    RawTerms fresh{std::move(terms), std::move(froms)};
    std::lock_guard<std::mutex> guard(cacheLock);
    cachedStamp = stamp;
    cached = fresh;
    return fresh;
}
}  // namespace DictionaryFile

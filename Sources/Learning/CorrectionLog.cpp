#include "Learning/CorrectionLog.h"

#include "Base/AppPaths.h"
#include "Platform/AppendLog.h"
#include "Platform/FileIO.h"
#include "Platform/StoreRecovery.h"
#include "Platform/Unicode.h"
#include "Platform/UUID.h"
#include "Base/DictionaryFile.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace fs = std::filesystem;
namespace text = platform::text;
using json = nlohmann::json;

namespace CorrectionSources {
const char* rawValue(CorrectionSource source) {
    return source == CorrectionSource::observedEdit ? "observed_edit" : "explicit_dictionary_add";
}
std::optional<CorrectionSource> fromRawValue(std::string_view raw) {
    if (raw == "explicit_dictionary_add") return CorrectionSource::explicitDictionaryAdd;
    if (raw == "observed_edit") return CorrectionSource::observedEdit;
    return std::nullopt;
}
const char* caseName(CorrectionSource source) {
    return source == CorrectionSource::observedEdit ? "observedEdit" : "explicitDictionaryAdd";
}
}  // namespace CorrectionSources

CorrectionLog& CorrectionLog::shared() {
    static CorrectionLog* instance = new CorrectionLog(logFileURL());  // never released
    return *instance;
}

fs::path CorrectionLog::logFileURL() { return AppPaths::applicationSupportFile("corrections.jsonl"); }

CorrectionLog::CorrectionLog(fs::path logURL) : CorrectionLog(std::move(logURL), Limits{}) {}

CorrectionLog::CorrectionLog(fs::path logURL, Limits limits)
    : logURL_(std::move(logURL)), limits_(limits), fileQueue_("com.ondira.correctionlog", platform::QoS::utility) {}

std::optional<std::string> CorrectionLog::record(const std::string& heard, const std::string& written,
                                                 const std::string& context, const std::string& app,
                                                 CorrectionSource source) {
    if (text::trimmed(heard).empty() || text::trimmed(written).empty()) return std::nullopt;
    json object = {{"heard", heard},
                   {"written", written},
                   {"context", text::prefixGraphemes(context, maxContextCharacters)},
                   {"app", app},
                   {"ts", static_cast<std::int64_t>(std::time(nullptr))},
                   {"source", CorrectionSources::rawValue(source)}};
    std::string line;
    try {
        line = object.dump();  // throws on text that isn't valid UTF-8
    } catch (const std::exception&) {
        return "the correction is not valid UTF-8 text";
    }
    line += '\n';
    std::optional<std::string> problem;
    fileQueue_.sync([&] {
        // A file that does not load is moved aside before the line is added,
        // or the new record would join what nobody can read. One that could
        // not be read or moved (unreadable, not a regular file) stays as it
        // is, and the record is not added to it.
        const platform::StoreRead read = platform::readStore(logURL_, format());
        using Outcome = platform::FileRead::Outcome;
        if (read.file.outcome != Outcome::ok && read.file.outcome != Outcome::missing) {
            problem = read.file.error;
            return;
        }
        std::string error;
        if (!appendLocked(line, &error)) {
            problem = error;
            return;
        }
        enforceSizeCapLocked();
    });
    return problem;
}

bool CorrectionLog::appendLocked(const std::string& line, std::string* error) {
    return platform::appendRecordLine(logURL_, line, error);
}

namespace {
std::vector<std::string_view> nonEmptyLines(std::string_view content) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start <= content.size()) {
        std::size_t nl = content.find('\n', start);
        if (nl == std::string_view::npos) nl = content.size();
        if (nl > start) lines.push_back(content.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

std::string objectLines(std::string_view content) {
    std::string kept;
    for (std::string_view line : nonEmptyLines(content)) {
        json object = json::parse(line, nullptr, false);
        if (object.is_discarded() || !object.is_object()) continue;
        kept += line;
        kept += '\n';
    }
    return kept;
}
}  // namespace

// A torn or garbled line costs only itself; the file loads while any line is
// a record object (or it is blank). One where none is, was never ours.
const platform::StoreFormat& CorrectionLog::format() {
    static const platform::StoreFormat lines{
        [](std::string_view bytes) { return platform::isBlank(bytes) || !objectLines(bytes).empty(); },
        [](std::string_view bytes) { return objectLines(bytes); },
    };
    return lines;
}

void CorrectionLog::enforceSizeCapLocked() {
    // Under the store's lock, which appenders in other processes take too: a
    // record appended between this read and the rename would otherwise be lost.
    platform::updateFile(logURL_, [&](const platform::FileRead& current) -> std::optional<std::string> {
        if (!current.ok()) return std::nullopt;
        auto lines = nonEmptyLines(current.bytes);
        if (lines.size() <= limits_.maxLines) return std::nullopt;
        std::string kept;
        for (std::size_t i = lines.size() - std::min(limits_.keepLines, lines.size()); i < lines.size(); ++i) {
            kept += lines[i];
            kept += '\n';
        }
        return kept;
    });
}

std::vector<CorrectionRecord> CorrectionLog::parseRecords(std::string_view content) {
    std::vector<CorrectionRecord> records;
    for (std::string_view line : nonEmptyLines(content)) {
        json object = json::parse(line, nullptr, false);
        if (object.is_discarded() || !object.is_object()) continue;
        auto heard = object.find("heard");
        auto written = object.find("written");
        auto ts = object.find("ts");
        auto source = object.find("source");
        if (heard == object.end() || !heard->is_string() || written == object.end() || !written->is_string()) continue;
        if (ts == object.end() || !ts->is_number_integer() || source == object.end() || !source->is_string()) continue;
        auto kind = CorrectionSources::fromRawValue(source->get<std::string>());
        if (!kind) continue;
        CorrectionRecord record;
        record.heard = heard->get<std::string>();
        record.written = written->get<std::string>();
        auto context = object.find("context");
        if (context != object.end() && context->is_string()) record.context = context->get<std::string>();
        auto app = object.find("app");
        if (app != object.end() && app->is_string()) record.app = app->get<std::string>();
        record.ts = ts->get<std::int64_t>();
        record.source = *kind;
        records.push_back(std::move(record));
    }
    return records;
}

const std::vector<CorrectionRecord>& CorrectionLog::recordsLocked() {
    const WordMatch::FileStamp stamp = WordMatch::stampOf(logURL_.string());
    {
        std::lock_guard<std::mutex> guard(cacheLock_);
        if (stamp == cachedStamp_ && stamp.exists) return cachedRecords_;
        learnedValid_ = false;
        cachedStamp_ = {};
    }
    cachedRecords_.clear();
    if (!stamp.exists) return cachedRecords_;
    // A line that is not valid UTF-8 fails to parse and is skipped alone.
    const platform::StoreRead read = platform::readStore(logURL_, format());
    if (!read.file.ok()) return cachedRecords_;
    cachedRecords_ = parseRecords(read.file.bytes);
    std::lock_guard<std::mutex> guard(cacheLock_);
    cachedStamp_ = stamp;
    return cachedRecords_;
}

std::vector<CorrectionRecord> CorrectionLog::all() {
    std::vector<CorrectionRecord> out;
    fileQueue_.sync([&] { out = recordsLocked(); });
    return out;
}

int CorrectionLog::deleteRecords(const std::string& heard, const std::string& written) {
    const std::string wantHeard = text::lowercased(text::trimmed(heard));
    const std::string wantWritten = text::lowercased(text::trimmed(written));
    int removed = 0;
    fileQueue_.sync([&] {
        int dropped = 0;
        const bool ok = platform::updateFile(logURL_, [&](const platform::FileRead& current) -> std::optional<std::string> {
            if (!current.ok()) return std::nullopt;
            std::string kept;
            for (std::string_view line : nonEmptyLines(current.bytes)) {
                json object = json::parse(line, nullptr, false);
                if (!object.is_discarded() && object.is_object()) {
                    auto h = object.find("heard");
                    auto w = object.find("written");
                    if (h != object.end() && h->is_string() && w != object.end() && w->is_string() &&
                        text::lowercased(text::trimmed(h->get<std::string>())) == wantHeard &&
                        text::lowercased(text::trimmed(w->get<std::string>())) == wantWritten) {
                        ++dropped;
                        continue;
                    }
                }
                kept += line;
                kept += '\n';
            }
            if (dropped == 0) return std::nullopt;
            return kept;
        });
        if (ok) removed = dropped;
    });
    return removed;
}

namespace {

struct Group {
    std::string heard;    // as first recorded, trimmed
    std::string written;  // as first recorded, trimmed
    std::string key;      // normalised heard
    int count = 0;
    std::size_t firstSeen = 0;
};

std::string normalised(const std::string& s) { return WordMatch::lowercasedFast(text::trimmed(s)); }

// Groups by the trimmed, lower-cased (heard, written) pair and keeps the
// groups seen at least minCount times whose heard isn't an excluded term,
// most frequent first, ties in order of first appearance.
std::vector<Group> rankedGroups(const std::vector<CorrectionRecord>& records, int minCount,
                                const std::vector<std::string>& excluded) {
    std::vector<Group> groups;
    std::unordered_map<std::string, std::size_t> index;
    for (const auto& record : records) {
        std::string h = normalised(record.heard);
        std::string w = normalised(record.written);
        std::string key = h;
        key += '\x1F';
        key += w;
        auto [it, inserted] = index.emplace(std::move(key), groups.size());
        if (inserted) groups.push_back({text::trimmed(record.heard), text::trimmed(record.written), h, 0, groups.size()});
        ++groups[it->second].count;
    }
    std::vector<std::string> excludedKeys;
    for (const auto& term : excluded) excludedKeys.push_back(normalised(term));
    std::vector<Group> kept;
    for (auto& group : groups) {
        if (group.count < minCount) continue;
        if (std::find(excludedKeys.begin(), excludedKeys.end(), group.key) != excludedKeys.end()) continue;
        kept.push_back(std::move(group));
    }
    std::stable_sort(kept.begin(), kept.end(), [](const Group& a, const Group& b) { return a.count > b.count; });
    return kept;
}

}  // namespace

std::vector<CorrectionLog::LearnedSubstitution> CorrectionLog::computeLearnedSubstitutions(
    const std::vector<CorrectionRecord>& records, int minCount, int cap, const std::vector<std::string>& excluding) {
    std::vector<LearnedSubstitution> out;
    for (const auto& group : rankedGroups(records, minCount, excluding)) {
        if (static_cast<int>(out.size()) >= cap) break;
        out.push_back({group.heard, group.written});
    }
    return out;
}

std::vector<CorrectionLog::LearnedSubstitutionDetail> CorrectionLog::computeLearnedSubstitutionsForReview(
    const std::vector<CorrectionRecord>& records, int minCount, int cap, const std::vector<std::string>& excluding) {
    std::vector<LearnedSubstitutionDetail> out;
    for (const auto& group : rankedGroups(records, minCount, excluding)) {
        if (static_cast<int>(out.size()) >= cap) break;
        out.push_back({group.heard, group.written, group.count});
    }
    return out;
}

std::vector<CorrectionSuggestion> CorrectionLog::computeSuggestions(const std::vector<CorrectionRecord>& records,
                                                                    int minCount, const std::vector<std::string>& existing) {
    std::vector<CorrectionSuggestion> out;
    for (const auto& group : rankedGroups(records, minCount, existing)) out.push_back({group.heard, group.written});
    return out;
}

std::shared_ptr<const std::vector<std::string>> CorrectionLog::dictionaryFromTerms() {
    return DictionaryFile::rawTerms().froms;
}

std::vector<CorrectionLog::LearnedSubstitution> CorrectionLog::learnedSubstitutions() {
    const auto excluded = dictionaryFromTerms();
    {
        // Every dictation asks; while neither file changed, the answer stands
        // without a trip through the file queue.
        const WordMatch::FileStamp stamp = WordMatch::stampOf(logURL_.string());
        std::lock_guard<std::mutex> guard(cacheLock_);
        if (learnedValid_ && stamp.exists && stamp == cachedStamp_ && learnedExclusions_ == excluded) return cachedLearned_;
    }
    std::vector<LearnedSubstitution> out;
    fileQueue_.sync([&] {
        const auto& records = recordsLocked();
        std::lock_guard<std::mutex> guard(cacheLock_);
        // The exclusion list is one shared object per version of dictionary.json.
        if (!learnedValid_ || learnedExclusions_ != excluded) {
            cachedLearned_ = computeLearnedSubstitutions(records, minLearnedOccurrences, maxLearnedSubstitutions, *excluded);
            learnedExclusions_ = excluded;
            learnedValid_ = true;
        }
        out = cachedLearned_;
    });
    return out;
}

std::vector<CorrectionLog::LearnedSubstitutionDetail> CorrectionLog::learnedSubstitutionsForReview() {
    const auto excluded = dictionaryFromTerms();
    std::vector<LearnedSubstitutionDetail> out;
    fileQueue_.sync([&] {
        out =
            computeLearnedSubstitutionsForReview(recordsLocked(), minLearnedOccurrences, maxLearnedSubstitutions, *excluded);
    });
    return out;
}

std::vector<CorrectionSuggestion> CorrectionLog::suggestions(int minCount) {
    const auto excluded = dictionaryFromTerms();
    std::vector<CorrectionSuggestion> out;
    fileQueue_.sync([&] { out = computeSuggestions(recordsLocked(), minCount, *excluded); });
    return out;
}

namespace {
std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default: out += c;
        }
    }
    return out + "\"";
}
template <typename T, typename F>
std::string listOf(const std::vector<T>& items, F each) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += ", ";
        out += each(items[i]);
    }
    return out + "]";
}
}  // namespace

std::string describe(const CorrectionRecord& r) {
    return "CorrectionRecord(heard: " + quoted(r.heard) + ", written: " + quoted(r.written) +
           ", context: " + quoted(r.context) + ", app: " + quoted(r.app) + ", ts: " + std::to_string(r.ts) +
           ", source: " + CorrectionSources::caseName(r.source) + ")";
}
std::string describe(const std::vector<CorrectionSuggestion>& items) {
    return listOf(items, [](const CorrectionSuggestion& s) {
        return "CorrectionSuggestion(heard: " + quoted(s.heard) + ", written: " + quoted(s.written) + ")";
    });
}
std::string describe(const std::vector<CorrectionLog::LearnedSubstitution>& items) {
    return listOf(items, [](const CorrectionLog::LearnedSubstitution& s) {
        return "LearnedSubstitution(heard: " + quoted(s.heard) + ", written: " + quoted(s.written) + ")";
    });
}
std::string describe(const CorrectionLog::LearnedSubstitutionDetail& d) {
    return "LearnedSubstitutionDetail(heard: " + quoted(d.heard) + ", written: " + quoted(d.written) +
           ", count: " + std::to_string(d.count) + ")";
}
std::string describe(const std::vector<CorrectionLog::LearnedSubstitutionDetail>& items) {
    return listOf(items, [](const CorrectionLog::LearnedSubstitutionDetail& d) { return describe(d); });
}

#include "UI/BridgePayload.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <set>

#include "Base/SystemFloor.h"
#include "Platform/LinuxNames.h"
#include "Platform/Unicode.h"
#include "Platform/UUID.h"
#include "Text/StoreInput.h"

namespace text = platform::text;

namespace BridgePayload {

namespace {

const json* member(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::optional<std::string> stringMember(const json& object, const char* key) {
    const json* v = member(object, key);
    if (!v || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
}

std::optional<bool> boolMember(const json& object, const char* key) {
    const json* v = member(object, key);
    if (!v || !v->is_boolean()) return std::nullopt;
    return v->get<bool>();
}

// A text that is not blank after trimming white space and line ends.
std::optional<std::string> nonBlankString(const json& object, const char* key) {
    auto s = stringMember(object, key);
    if (!s || text::trimmed(*s).empty()) return std::nullopt;
    return s;
}

// A UUID in canonical form, given back upper-case like the staging ids.
std::optional<std::string> uuidMember(const json& object, const char* key) {
    auto s = stringMember(object, key);
    if (!s || !platform::isUUID(*s)) return std::nullopt;
    return text::uppercased(*s);
}

// An integer-valued JSON number that fits, never a text such as "2".
std::optional<long long> integerMember(const json& object, const char* key) {
    const json* v = member(object, key);
    if (!v) return std::nullopt;
    if (v->is_number_integer()) return v->get<long long>();
    if (v->is_number_float()) {
        const double d = v->get<double>();
        if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > 9.0e15) return std::nullopt;
        return static_cast<long long>(d);
    }
    return std::nullopt;
}

bool isShippedRule(const std::string& bundleID) {
    static const std::set<std::string> ids = [] {
        std::set<std::string> s;
        for (const auto& r : AppRules::builtInDefaults()) s.insert(r.bundleID);
        return s;
    }();
    return ids.count(bundleID) > 0;
}

bool isShippedProfile(const std::string& id) {
    static const std::set<std::string> ids = [] {
        std::set<std::string> s;
        for (const auto& p : Profiles::builtInDefaults()) s.insert(p.id);
        return s;
    }();
    return ids.count(id) > 0;
}

// The name a recogniser path has in the history today.
std::string currentEngineName(const std::string& stored) {
    for (const auto& alias : LinuxNames::engineIdentifierAliases)
        if (stored == alias.stored) return alias.current;
    return stored;
}

// A page bound from the page: anything negative is as good as -1 (an empty
// page), and nothing is larger than a history can be.
int clampedInt(long long v) { return static_cast<int>(std::clamp<long long>(v, -1, 1'000'000'000)); }

double number(const json& object, const char* key) {
    const json* v = member(object, key);
    return v && v->is_number() ? v->get<double>() : 0.0;
}

}  // namespace

std::optional<json> object(std::string_view body) {
    if (!text::isValidUTF8(body)) return std::nullopt;
    json parsed = json::parse(body.begin(), body.end(), nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
    return parsed;
}

// MARK: - Rules

std::optional<AppRule> parseRuleSet(std::string_view body) {
    auto o = object(body);
    if (!o) return std::nullopt;
    auto bundleID = nonBlankString(*o, "bundleID");
    auto displayName = stringMember(*o, "displayName");
    auto polish = boolMember(*o, "polishEnabled");
    auto caps = boolMember(*o, "autoCapitalizeEnabled");
    auto dictionary = boolMember(*o, "dictionaryEnabled");
    auto never = boolMember(*o, "neverDictate");
    if (!bundleID || !displayName || !polish || !caps || !dictionary || !never) return std::nullopt;
    AppRule rule{*bundleID, *displayName, *polish, *caps, *dictionary, *never, std::nullopt};
    if (auto profile = stringMember(*o, "profileID")) {
        std::string trimmed = text::trimmed(*profile);
        if (!trimmed.empty()) rule.profileID = trimmed;
    }
    return rule;
}

std::optional<std::string> ruleBundleID(std::string_view body) {
    auto o = object(body);
    if (!o) return std::nullopt;
    return nonBlankString(*o, "bundleID");
}

std::vector<AppRule> upsertRule(const AppRule& rule, std::vector<AppRule> into) {
    for (auto& existing : into) {
        if (existing.bundleID == rule.bundleID) {
            existing = rule;
            return into;
        }
    }
    into.push_back(rule);
    return into;
}

std::vector<AppRule> removeRule(const std::string& bundleID, std::vector<AppRule> from) {
    from.erase(std::remove_if(from.begin(), from.end(), [&](const AppRule& r) { return r.bundleID == bundleID; }),
               from.end());
    return from;
}

json ruleRow(const AppRule& rule) {
    return json{{"bundleID", rule.bundleID},
                {"displayName", rule.displayName},
                {"polishEnabled", rule.polishEnabled},
                {"autoCapitalizeEnabled", rule.autoCapitalizeEnabled},
                {"dictionaryEnabled", rule.dictionaryEnabled},
                {"neverDictate", rule.neverDictate},
                {"isDefault", isShippedRule(rule.bundleID)},
                {"profileID", rule.profileID ? json(*rule.profileID) : json(nullptr)}};
}

json ruleRows(const std::vector<AppRule>& rules) {
    json rows = json::array();
    for (const auto& r : rules) rows.push_back(ruleRow(r));
    return rows;
}

// MARK: - Profiles

std::optional<ProfileDraft> parseProfileCreate(std::string_view body) {
    auto o = object(body);
    if (!o) return std::nullopt;
    auto name = stringMember(*o, "name");
    auto polish = boolMember(*o, "polishEnabled");
    auto caps = boolMember(*o, "autoCapitalizeEnabled");
    auto dictionary = boolMember(*o, "dictionaryEnabled");
    if (!name || !polish || !caps || !dictionary) return std::nullopt;
    ProfileDraft draft{*name, ProcessingMode::balanced, *polish, *caps, *dictionary};
    if (auto mode = stringMember(*o, "mode"))
        if (auto parsed = ProcessingModes::fromRawValue(*mode)) draft.mode = *parsed;
    return draft;
}

std::optional<ProfileRename> parseProfileRename(std::string_view body) {
    auto o = object(body);
    if (!o) return std::nullopt;
    auto id = stringMember(*o, "id");
    auto name = stringMember(*o, "name");
    if (!id || id->empty() || !name) return std::nullopt;
    return ProfileRename{*id, *name};
}

std::optional<std::string> parseProfileDelete(std::string_view body) {
    auto o = object(body);
    if (!o) return std::nullopt;
    auto id = stringMember(*o, "id");
    if (!id || id->empty()) return std::nullopt;
    return id;
}

json profileRow(const Profile& profile) {
    return json{{"id", profile.id},
                {"name", profile.name},
                {"mode", ProcessingModes::rawValue(profile.mode)},
                {"polishEnabled", profile.polishEnabled},
                {"autoCapitalizeEnabled", profile.autoCapitalizeEnabled},
                {"dictionaryEnabled", profile.dictionaryEnabled},
                {"isBuiltIn", isShippedProfile(profile.id)}};
}

json profileRows(const std::vector<Profile>& profiles) {
    json rows = json::array();
    for (const auto& p : profiles) rows.push_back(profileRow(p));
    return rows;
}

std::string describe(const ProfileDraft& draft) {
    auto b = [](bool v) { return v ? "true" : "false"; };
    return std::string("ProfileDraft(name: ") + json(draft.name).dump() +
           ", mode: " + ProcessingModes::rawValue(draft.mode) + ", polishEnabled: " + b(draft.polishEnabled) +
           ", autoCapitalizeEnabled: " + b(draft.autoCapitalizeEnabled) +
           ", dictionaryEnabled: " + b(draft.dictionaryEnabled) + ")";
}

// MARK: - Snippets

std::optional<SnippetSet> parseSnippetSet(std::string_view body) {
    auto o = object(body);
    if (!o) return std::nullopt;
    auto trigger = nonBlankString(*o, "trigger");
    auto expansion = stringMember(*o, "expansion");
    if (!trigger || !expansion || StoreInput::validateSnippet(*trigger, *expansion)) return std::nullopt;
    return SnippetSet{*trigger, *expansion};
}

std::optional<DictAdd> parseDictAdd(std::string_view body) {
    auto o = object(body);
    if (!o) return std::nullopt;
    auto from = stringMember(*o, "from");
    auto to = stringMember(*o, "to");
    if (!from || !to) return std::nullopt;
    DictAdd add{text::trimmed(*from), text::trimmed(*to)};
    if (StoreInput::validateTerm(add.from, add.to)) return std::nullopt;
    return add;
}

std::string logExcerpt(std::string_view payload, std::size_t maxBytes) {
    if (payload.size() <= maxBytes) return std::string(payload);
    // Cut at a character boundary, never inside a UTF-8 sequence.
    std::size_t cut = maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(payload[cut]) & 0xC0) == 0x80) --cut;
    return std::string(payload.substr(0, cut)) + "\u2026 (" + std::to_string(payload.size()) + " bytes)";
}

std::optional<std::string> parseSnippetDelete(std::string_view body) {
    auto o = object(body);
    if (!o) return std::nullopt;
    return nonBlankString(*o, "trigger");
}

// MARK: - Staging

std::optional<StagingJoiner> parseStagingJoiner(std::string_view word) {
    if (word == "space") return StagingJoiner::space;
    if (word == "newline") return StagingJoiner::newline;
    if (word == "blankLine") return StagingJoiner::blankLine;
    return std::nullopt;
}

const char* joinerName(StagingJoiner joiner) {
    switch (joiner) {
        case StagingJoiner::space: return "space";
        case StagingJoiner::newline: return "newline";
        case StagingJoiner::blankLine: return "blankLine";
    }
    return "space";
}

std::optional<StagingEdit> parseStagingEdit(std::string_view body) {
    auto o = object(body);
    if (!o) return std::nullopt;
    auto id = uuidMember(*o, "id");
    auto t = stringMember(*o, "text");
    if (!id || !t) return std::nullopt;
    return StagingEdit{*id, *t};
}

std::optional<std::string> parseStagingDelete(std::string_view body) {
    auto o = object(body);
    if (!o) return std::nullopt;
    return uuidMember(*o, "id");
}

std::optional<StagingMove> parseStagingMove(std::string_view body) {
    auto o = object(body);
    if (!o) return std::nullopt;
    auto id = uuidMember(*o, "id");
    auto index = integerMember(*o, "toIndex");
    if (!id || !index) return std::nullopt;
    return StagingMove{*id, *index};
}

std::optional<StagingCommit> parseStagingCommit(std::string_view body) {
    auto o = object(body);
    if (!o) return std::nullopt;
    const json* ids = member(*o, "ids");
    if (!ids || !ids->is_array() || ids->empty()) return std::nullopt;
    StagingCommit commit;
    for (const auto& item : *ids) {
        if (!item.is_string() || !platform::isUUID(item.get<std::string>())) return std::nullopt;
        commit.ids.push_back(text::uppercased(item.get<std::string>()));
    }
    auto joinerWord = stringMember(*o, "joiner");
    if (!joinerWord) return std::nullopt;
    auto joiner = parseStagingJoiner(*joinerWord);
    if (!joiner) return std::nullopt;
    commit.joiner = *joiner;
    return commit;
}

json stagingRows(const std::vector<StagingEntry>& entries) {
    json rows = json::array();
    for (const auto& e : entries) rows.push_back(json{{"id", e.id}, {"text", e.text}, {"polished", e.polished}});
    return rows;
}

// MARK: - Engines

std::optional<bool> parseEngineSet(std::string_view body) {
    auto o = object(body);
    if (!o) return std::nullopt;
    return boolMember(*o, "useDictationTranscriber");
}

std::map<std::string, EngineUsage> engineUsageStats(const std::vector<json>& entries) {
    struct Sum {
        long long count = 0;
        long long measured = 0;
        double ratios = 0;
    };
    std::map<std::string, Sum> sums;
    for (const auto& entry : entries) {
        if (!entry.is_object()) continue;
        auto engine = stringMember(entry, "engine");
        if (!engine || engine->empty()) continue;
        Sum& s = sums[currentEngineName(*engine)];
        ++s.count;
        const double secs = number(entry, "secs");
        const double transcribeSecs = number(entry, "transcribe_secs");
        if (secs > 0 && transcribeSecs > 0) {
            ++s.measured;
            s.ratios += secs / transcribeSecs;
        }
    }
    std::map<std::string, EngineUsage> out;
    for (const auto& [engine, s] : sums) {
        EngineUsage usage{s.count, std::nullopt};
        if (s.measured > 0) usage.avgRealTimeFactor = s.ratios / static_cast<double>(s.measured);
        out[engine] = usage;
    }
    return out;
}

json engineDescriptorRows(bool isModernAvailable, const std::map<std::string, EngineUsage>& stats) {
    struct Descriptor {
        const char* id;
        const char* engineIdentifier;
        const char* label;
        bool modern;
    };
    // Every path runs on the device; the system they need is the one the
    // program itself needs.
    static const Descriptor descriptors[] = {
        {"speechTranscriber", LinuxNames::engineContextDecoder, "Whole-take decoder", true},
        {"dictationTranscriber", LinuxNames::enginePersonalDecoder, "Whole-take decoder with personal model", true},
        {"legacy", LinuxNames::engineIncrementalDecoder, "Incremental decoder", false},
    };
    json rows = json::array();
    for (const auto& d : descriptors) {
        auto it = stats.find(d.engineIdentifier);
        rows.push_back(
            json{{"id", d.id},
                 {"engineIdentifier", d.engineIdentifier},
                 {"label", d.label},
                 {"minOSVersion", SystemFloor::minimumSystemVersion()},
                 {"selectable", d.modern ? isModernAvailable : !isModernAvailable},
                 {"onDevice", true},
                 {"sampleCount", it == stats.end() ? 0LL : it->second.sampleCount},
                 {"avgRealTimeFactor",
                  it != stats.end() && it->second.avgRealTimeFactor ? json(*it->second.avgRealTimeFactor) : json(nullptr)}});
    }
    return rows;
}

// MARK: - History

json logEntryRow(const LogEntry& e) {
    return json{{"time", e.time}, {"date", e.date}, {"app", e.app}, {"text", e.text}, {"words", e.words}};
}

json logEntryRows(const std::vector<LogEntry>& entries) {
    json rows = json::array();
    for (const auto& e : entries) rows.push_back(logEntryRow(e));
    return rows;
}

std::optional<HistoryQuery> parseHistoryQuery(std::string_view body) {
    auto o = object(body);
    if (!o) return std::nullopt;
    auto offset = integerMember(*o, "offset");
    auto limit = integerMember(*o, "limit");
    if (!offset || !limit) return std::nullopt;
    return HistoryQuery{clampedInt(*offset), clampedInt(*limit)};
}

std::optional<HistoryDeleteOne> parseHistoryDeleteOne(std::string_view body, int defaultLimit) {
    auto o = object(body);
    if (!o) return std::nullopt;
    auto date = stringMember(*o, "date");
    auto time = stringMember(*o, "time");
    auto t = stringMember(*o, "text");
    if (!date || !time || !t) return std::nullopt;
    HistoryDeleteOne d{*date, *time, *t, 0, defaultLimit};
    if (auto offset = integerMember(*o, "offset")) d.offset = clampedInt(*offset);
    if (auto limit = integerMember(*o, "limit")) d.limit = clampedInt(*limit);
    return d;
}

// MARK: - Statistics

namespace {

// "yyyy-MM-dd" one calendar day earlier, by the civil calendar.
std::string previousDay(const std::string& day) {
    int y = 0, m = 0, d = 0;
    if (std::sscanf(day.c_str(), "%d-%d-%d", &y, &m, &d) != 3) return {};
    using namespace std::chrono;
    const year_month_day ymd{year{y}, month{static_cast<unsigned>(m)}, std::chrono::day{static_cast<unsigned>(d)}};
    if (!ymd.ok()) return {};
    const year_month_day prev{sys_days{ymd} - days{1}};
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u", static_cast<int>(prev.year()),
                  static_cast<unsigned>(prev.month()), static_cast<unsigned>(prev.day()));
    return buffer;
}

}  // namespace

std::string todayKey() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[16];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d", &local);
    return buffer;
}

int streak(const std::vector<LogEntry>& rows, const std::string& today) {
    std::set<std::string> days;
    for (const auto& r : rows) days.insert(r.date);
    std::string day = today;
    if (!days.count(day)) day = previousDay(day);
    int count = 0;
    while (!day.empty() && days.count(day)) {
        ++count;
        day = previousDay(day);
    }
    return count;
}

json statisticsPayload(const std::vector<LogEntry>& rows, const std::string& today) {
    long long words = 0;
    long long todayWords = 0;
    std::map<std::string, long long> perApp;
    std::map<std::string, std::pair<long long, long long>> perDay;  // dictations, words
    for (const auto& r : rows) {
        words += r.words;
        if (r.date == today) todayWords += r.words;
        ++perApp[r.app];
        auto& day = perDay[r.date];
        ++day.first;
        day.second += r.words;
    }
    json apps = json::array();
    for (const auto& [app, n] : perApp) apps.push_back(json{{"app", app}, {"n", n}});
    // The chart: the last 30 days that have dictations, oldest first.
    json chart = json::array();
    auto first =
        perDay.size() > chartDays ? std::next(perDay.begin(), static_cast<long>(perDay.size() - chartDays)) : perDay.begin();
    for (auto it = first; it != perDay.end(); ++it)
        chart.push_back(json{{"date", it->first}, {"count", it->second.first}, {"words", it->second.second}});
    json recent = json::array();
    for (auto it = rows.rbegin(); it != rows.rend() && recent.size() < recentRows; ++it)
        recent.push_back(json{{"time", it->time}, {"app", it->app}, {"text", it->text}});
    return json{{"total", static_cast<long long>(rows.size())},
                {"words", words},
                {"streak", streak(rows, today)},
                {"todayWords", todayWords},
                {"hoursSaved", static_cast<double>(words) * minutesSavedPerWord / 60.0},
                {"typingWpm", typingWpm},
                {"speakingWpm", speakingWpm},
                {"perApp", apps},
                {"chart", chart},
                {"recent", recent}};
}

}  // namespace BridgePayload

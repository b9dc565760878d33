#pragma once
// The hub bridge's payloads: the parsers of the message bodies the page
// sends and the rows the program sends back. All pure: no store, no GTK.
// Every parser reads a JSON object and gives nothing for anything else (not
// JSON, not an object, a missing key or one of the wrong type); none throws.
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "Learning/HistoryView.h"
#include "Learning/PersonalModel.h"
#include "Text/AppRules.h"
#include "Text/ProcessingMode.h"
#include "Text/StagingBuffer.h"

namespace BridgePayload {
using json = nlohmann::json;

// The body as a JSON object, or nothing.
std::optional<json> object(std::string_view body);

// --- rules ---
// rules_set: non-blank "bundleID", "displayName", the four flags; a blank,
// missing or non-text "profileID" leaves the rule unbound.
std::optional<AppRule> parseRuleSet(std::string_view body);
inline std::optional<AppRule> appRule(std::string_view body) { return parseRuleSet(body); }
// rules_delete: the non-blank "bundleID".
std::optional<std::string> ruleBundleID(std::string_view body);
// The first rule of the same bundle id replaced in place, else appended.
std::vector<AppRule> upsertRule(const AppRule& rule, std::vector<AppRule> into);
std::vector<AppRule> removeRule(const std::string& bundleID, std::vector<AppRule> from);
// Eight keys; "isDefault" when a shipped rule has the bundle id; "profileID" null when unbound.
json ruleRow(const AppRule& rule);
json ruleRows(const std::vector<AppRule>& rules);

// --- profiles ---
struct ProfileDraft {
    std::string name;  // as sent; the handler normalises it
    ProcessingMode mode = ProcessingMode::balanced;
    bool polishEnabled = true;
    bool autoCapitalizeEnabled = true;
    bool dictionaryEnabled = true;
    bool operator==(const ProfileDraft&) const = default;
};
// A missing or unknown "mode" gives balanced; the three flags are required.
std::optional<ProfileDraft> parseProfileCreate(std::string_view body);
inline std::optional<ProfileDraft> profileDraft(std::string_view body) { return parseProfileCreate(body); }
struct ProfileRename {
    std::string id;
    std::string name;
    bool operator==(const ProfileRename&) const = default;
};
std::optional<ProfileRename> parseProfileRename(std::string_view body);
inline std::optional<ProfileRename> profileRename(std::string_view body) { return parseProfileRename(body); }
std::optional<std::string> parseProfileDelete(std::string_view body);
inline std::optional<std::string> profileID(std::string_view body) { return parseProfileDelete(body); }
// Seven keys; "isBuiltIn" when a shipped profile has the id.
json profileRow(const Profile& profile);
json profileRows(const std::vector<Profile>& profiles);
std::string describe(const ProfileDraft& draft);

// --- dictionary ---
// dict_add: "from" and "to", trimmed, passing StoreInput::validateTerm.
struct DictAdd {
    std::string from;
    std::string to;
    bool operator==(const DictAdd&) const = default;
};
std::optional<DictAdd> parseDictAdd(std::string_view body);

// A payload as the log shows it: whole up to `maxBytes`, else cut there
// with its length noted, so a huge body never floods the log.
std::string logExcerpt(std::string_view payload, std::size_t maxBytes = 200);

// --- snippets ---
struct SnippetSet {
    std::string trigger;
    std::string expansion;
    bool operator==(const SnippetSet&) const = default;
};
// The trigger and expansion must pass StoreInput::validateSnippet.
std::optional<SnippetSet> parseSnippetSet(std::string_view body);
std::optional<std::string> parseSnippetDelete(std::string_view body);

// --- staging ---
struct StagingEdit {
    std::string id;
    std::string text;
};
struct StagingMove {
    std::string id;
    long long toIndex = 0;
};
struct StagingCommit {
    std::vector<std::string> ids;
    StagingJoiner joiner = StagingJoiner::space;
};
std::optional<StagingJoiner> parseStagingJoiner(std::string_view word);
std::optional<StagingEdit> parseStagingEdit(std::string_view body);
std::optional<std::string> parseStagingDelete(std::string_view body);
std::optional<StagingMove> parseStagingMove(std::string_view body);
std::optional<StagingCommit> parseStagingCommit(std::string_view body);
const char* joinerName(StagingJoiner joiner);
// {"id" (canonical upper-case UUID), "text", "polished"} per entry.
json stagingRows(const std::vector<StagingEntry>& entries);

// --- engines ---
std::optional<bool> parseEngineSet(std::string_view body);
struct EngineUsage {
    long long sampleCount = 0;
    std::optional<double> avgRealTimeFactor;
    bool operator==(const EngineUsage&) const = default;
};
// By engine identifier as the history writes it today (older names of the
// same recogniser paths are counted under their current name).
std::map<std::string, EngineUsage> engineUsageStats(const std::vector<json>& entries);
// The three recogniser paths, the two whole-take ones selectable only when
// `isModernAvailable`, the incremental one only when not.
json engineDescriptorRows(bool isModernAvailable, const std::map<std::string, EngineUsage>& stats);

// --- history ---
using LogEntry = HistoryView::LogEntry;
json logEntryRow(const LogEntry& entry);
json logEntryRows(const std::vector<LogEntry>& entries);
// history_query: {"offset", "limit"} as integers; history_search: {"query", "cap"?}.
struct HistoryQuery {
    int offset = 0;
    int limit = 0;
};
std::optional<HistoryQuery> parseHistoryQuery(std::string_view body);
// history_delete_one: {"date", "time", "text"} of the row, and optionally the
// "offset" and "limit" of the page to answer with (else 0 and `defaultLimit`).
struct HistoryDeleteOne {
    std::string date;
    std::string time;
    std::string text;
    int offset = 0;
    int limit = 0;
};
std::optional<HistoryDeleteOne> parseHistoryDeleteOne(std::string_view body, int defaultLimit);

// --- statistics ---
// The ten-key object of window.ondiraSetStats. `today` is "yyyy-MM-dd".
json statisticsPayload(const std::vector<LogEntry>& rowsOldestFirst, const std::string& today);
// Consecutive days with a dictation, counted back from today (or from
// yesterday when today has none yet).
int streak(const std::vector<LogEntry>& rows, const std::string& today);
// Today's local date, "yyyy-MM-dd".
std::string todayKey();
inline constexpr double minutesSavedPerWord = 0.018333333333333333;
inline constexpr int typingWpm = 40;
inline constexpr int speakingWpm = 150;
inline constexpr std::size_t chartDays = 30;
inline constexpr std::size_t recentRows = 20;

// --- personal model ---
// window.onPersonalModel: "enabled", "attached" (the model's own attach rule,
// never the enabled flag alone) and "lines" (its status report, verbatim).
json personalModelPayload(const PersonalModel::Status& status);

}  // namespace BridgePayload

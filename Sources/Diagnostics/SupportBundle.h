#pragma once
// The support bundle: one plain-text file a user can read before sending it,
// with the facts that explain a problem (versions, desktop, sound server,
// speech models, settings, the doctor's findings), the fault log and
// statistics of the dictation history. It never holds dictated text, the
// names of the applications dictated into, or the user's home path.
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace SupportBundle {

inline constexpr const char* header = "ONDIRA SUPPORT BUNDLE";
inline constexpr const char* fileNamePrefix = "ondira-support-bundle-";
inline constexpr std::size_t recentFaultCount = 20;
inline constexpr std::size_t maxFaultValueLength = 300;

struct Meta {
    std::string appVersion;
    std::string buildNumber;
    std::string builtAt;
    std::string osVersion;  // the distribution's name and release
    std::string kernel;
    std::string desktop;      // the desktop environment's name
    std::string sessionType;  // "x11", "wayland" or "none"
    std::string soundServer;
    std::vector<std::string> speechModels;  // installed model identifiers
    std::string engineIdentifier;           // the engine of the newest dictation
    std::string hotkeyModeLabel;
    bool loggingEnabled = true;
    bool accessibilityGranted = false;
    bool microphoneGranted = false;
    int vocabularyTermCount = 0;
    int snippetCount = 0;
    int appRuleCount = 0;
    // Settings that change what a dictation does, as label and value.
    std::vector<std::pair<std::string, std::string>> settings;
    std::vector<std::string> doctorLines;
    std::vector<std::string> regressionLines;  // the regression gate's verdict
    std::optional<std::string> selfTestSummary;
    // What runs this program from a shell, for the self-test hint.
    std::string command = "ondira";
    std::string helpURL;
    std::string homeDirectoryPath;
    std::time_t generatedAt = 0;
};

struct DictationAggregate {
    std::int64_t entryCount = 0;
    std::optional<std::int64_t> oldestTs;
    std::optional<std::int64_t> newestTs;
    std::optional<double> latencyP50;
    std::optional<double> latencyP90;
    std::optional<double> latencyP99;
    std::int64_t totalWords = 0;
    std::map<std::string, std::int64_t> engineCounts;
};

// The fault log keeps a timeline: faults, and events such as launches that
// are not faults. The bundle shows the two apart.
struct FaultSummary {
    std::int64_t totalCount = 0;  // every record that reads, faults and events
    std::map<std::string, std::int64_t> countsByKind;  // faults
    // The newest faults, oldest of them first, with home paths redacted.
    std::vector<std::string> recent;
    std::map<std::string, std::int64_t> eventCountsByKind;
    std::vector<std::string> recentEvents;  // the same, for events
    std::int64_t faultCount() const;
    std::int64_t eventCount() const { return totalCount - faultCount(); }
};
// Kinds the log records as events, not faults: "launch", "onboarding_completed".
bool isEventKind(const std::string& kind);

// Lines of a JSON-lines file; none for no path or a file that can't be read.
std::vector<std::string> readLines(const std::optional<std::filesystem::path>& url);

// Statistics of history lines: a line counts when it is a JSON object with
// an integer "ts". Percentiles take the sorted latency at index
// min(n − 1, floor(p × n)).
DictationAggregate aggregateDictation(const std::vector<std::string>& lines);

// Counts per kind and the newest records. Home paths are redacted; a value
// that repeats any of `privateTexts` (dictated text or application names)
// is withheld.
FaultSummary summarizeFaults(const std::vector<std::string>& lines, const std::string& homeDirectoryPath,
                             const std::vector<std::string>& privateTexts = {});

// The bundle's text.
std::string assemble(const Meta& meta, const std::vector<std::string>& dictationLines,
                     const std::vector<std::string>& faultLines);

// "ondira-support-bundle-" + local "yyyyMMdd-HHmmss" + ".txt".
std::string fileName(std::time_t at);
// Writes `text` atomically into `directory` (created when missing) under
// fileName(now); returns the file. Throws std::runtime_error on failure.
std::filesystem::path write(const std::string& text, const std::filesystem::path& directory,
                            std::time_t now = std::time(nullptr));

// What the application adds from the layers above this one.
struct LiveExtras {
    std::vector<std::string> doctorLines;
    std::vector<std::pair<std::string, std::string>> settings;
};

// The live facts of this machine and installation.
Meta collectMeta(const std::optional<std::string>& selfTestSummary, const LiveExtras& extras);
// Collects, assembles and writes the bundle into `directory`; returns the
// file written. Throws std::runtime_error when writing fails.
std::filesystem::path generateAndWrite(const std::filesystem::path& directory,
                                       const std::optional<std::string>& selfTestSummary, const LiveExtras& extras = {});

}  // namespace SupportBundle

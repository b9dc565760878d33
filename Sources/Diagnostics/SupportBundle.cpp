#include "Diagnostics/SupportBundle.h"

#include "Base/AppPaths.h"
#include "Base/CommandLineTool.h"
#include "Base/Branding.h"
#include "Base/FaultLog.h"
#include "Diagnostics/HomeRedaction.h"
#include "Diagnostics/LogLines.h"
#include "Diagnostics/RegressionGate.h"
#include "Engine/SphinxRecognizer.h"
#include "Input/HotkeyTypes.h"
#include "Learning/DictationEntry.h"
#include "Learning/DictationLogger.h"
#include "Platform/Bundle.h"
#include "Platform/FileIO.h"
#include "Platform/SystemReadiness.h"
#include "Platform/Unicode.h"
#include "Text/AppRules.h"
#include "Text/Snippets.h"
#include "Text/Vocabulary.h"

#include <sys/stat.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace SupportBundle {

namespace {

std::optional<json> parseObject(const std::string& line) {
    if (line.empty()) return std::nullopt;
    json value = json::parse(line, nullptr, false);
    if (value.is_discarded() || !value.is_object()) return std::nullopt;
    return value;
}

std::string localTime(std::time_t at, const char* format) {
    std::tm tm{};
    ::localtime_r(&at, &tm);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, format, &tm);
    return buffer;
}

std::string seconds(const std::optional<double>& value) {
    if (!value) return "n/a";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3fs", *value);
    return buffer;
}

// The value at index min(n − 1, floor(p × n)) of an ascending list.
double nearestRank(const std::vector<double>& sorted, double p) {
    const auto index = static_cast<std::size_t>(std::floor(p * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size() - 1, index)];
}

// The "text" and "app" values of the history, so that no fault record can
// carry them into the bundle.
std::vector<std::string> privateTextsOf(const std::vector<std::string>& dictationLines) {
    std::vector<std::string> texts;
    for (const auto& line : dictationLines) {
        const auto object = parseObject(line);
        if (!object) continue;
        for (const char* key : {"text", "app"}) {
            const auto it = object->find(key);
            if (it == object->end() || !it->is_string()) continue;
            const std::string value = platform::text::trimmed(it->get<std::string>());
            if (value.size() >= 3) texts.push_back(value);
        }
    }
    return texts;
}

std::string faultValueText(const json& value) { return value.is_string() ? value.get<std::string>() : value.dump(); }

}  // namespace

std::vector<std::string> readLines(const std::optional<fs::path>& url) { return Diagnostics::readLogLines(url); }

DictationAggregate aggregateDictation(const std::vector<std::string>& lines) {
    DictationAggregate aggregate;
    std::vector<double> latencies;
    for (const auto& line : lines) {
        const auto object = parseObject(line);
        if (!object) continue;
        const auto entry = DictationEntry::fromRecord(*object);
        if (!entry) continue;
        ++aggregate.entryCount;
        const std::int64_t ts = entry->ts;
        aggregate.oldestTs = std::min(aggregate.oldestTs.value_or(ts), ts);
        aggregate.newestTs = std::max(aggregate.newestTs.value_or(ts), ts);
        aggregate.totalWords += entry->words;
        ++aggregate.engineCounts[entry->engine];
        if (entry->latency) latencies.push_back(*entry->latency);
    }
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        aggregate.latencyP50 = nearestRank(latencies, 0.5);
        aggregate.latencyP90 = nearestRank(latencies, 0.9);
        aggregate.latencyP99 = nearestRank(latencies, 0.99);
    }
    return aggregate;
}

bool isEventKind(const std::string& kind) { return kind == "launch" || kind == "onboarding_completed"; }

std::int64_t FaultSummary::faultCount() const {
    std::int64_t n = 0;
    for (const auto& [kind, count] : countsByKind) n += count;
    return n;
}

FaultSummary summarizeFaults(const std::vector<std::string>& lines, const std::string& homeDirectoryPath,
                             const std::vector<std::string>& privateTexts) {
    FaultSummary summary;
    std::vector<std::string> rendered, renderedEvents;
    for (const auto& line : lines) {
        const auto object = parseObject(line);
        if (!object) continue;
        const auto kind = object->find("kind");
        const std::string kindText = kind != object->end() && kind->is_string() ? kind->get<std::string>() : "unknown";
        ++summary.totalCount;
        const bool event = isEventKind(kindText);
        ++(event ? summary.eventCountsByKind : summary.countsByKind)[kindText];

        const auto ts = object->find("ts");
        std::string text = ts != object->end() && ts->is_number_integer()
                               ? localTime(static_cast<std::time_t>(ts->get<long long>()), "%Y-%m-%d %H:%M:%S")
                               : std::string("(no time)");
        text += " " + kindText;
        for (const auto& [key, value] : object->items()) {
            if (key == "ts" || key == "kind") continue;
            std::string valueText = faultValueText(value);
            const bool isPrivate = std::any_of(privateTexts.begin(), privateTexts.end(),
                                               [&](const std::string& p) { return valueText.find(p) != std::string::npos; });
            if (isPrivate) {
                valueText = "[withheld: it repeats text from the dictation history]";
            } else {
                valueText = Diagnostics::redactHomePaths(valueText, homeDirectoryPath);
                if (valueText.size() > maxFaultValueLength) valueText = valueText.substr(0, maxFaultValueLength) + "…";
            }
            text += " " + key + "=" + valueText;
        }
        (event ? renderedEvents : rendered).push_back(platform::text::sanitizeUTF8(text));
    }
    const auto newest = [](const std::vector<std::string>& all) {
        const std::size_t keep = std::min(all.size(), recentFaultCount);
        return std::vector<std::string>(all.end() - static_cast<std::ptrdiff_t>(keep), all.end());
    };
    summary.recent = newest(rendered);
    summary.recentEvents = newest(renderedEvents);
    return summary;
}

std::string assemble(const Meta& meta, const std::vector<std::string>& dictationLines,
                     const std::vector<std::string>& faultLines) {
    std::vector<std::string> out;
    const auto section = [&](const std::string& title) {
        out.push_back("");
        out.push_back("== " + title + " ==");
    };
    const auto item = [&](const std::string& label, const std::string& value) { out.push_back(label + ": " + value); };

    out.push_back(header);
    item("Generated", localTime(meta.generatedAt, "%Y-%m-%d %H:%M:%S %z"));
    item("Help", meta.helpURL);
    out.push_back("This file holds no dictated text, no application names and no home-folder path.");
    out.push_back("Read it before you send it with your question.");

    section("Application");
    item("Version", meta.appVersion + " (build " + meta.buildNumber + ")");
    item("Built", meta.builtAt.empty() ? "unknown" : meta.builtAt);
    item("Engine of the newest dictation", meta.engineIdentifier.empty() ? "none yet" : meta.engineIdentifier);
    item("Hotkey", meta.hotkeyModeLabel);
    item("Self-test",
         meta.selfTestSummary ? *meta.selfTestSummary : "not evaluated this session (run: " + meta.command + " --self-test)");

    section("System");
    item("Operating system", meta.osVersion);
    item("Kernel", meta.kernel);
    item("Desktop", meta.desktop + " (session type " + meta.sessionType + ")");
    item("Sound server", meta.soundServer);
    item("Speech models", meta.speechModels.empty() ? "none installed" : platform::text::join(meta.speechModels, ", "));
    item("Microphone input", meta.microphoneGranted ? "available" : "NOT available");
    item("Accessibility bus", meta.accessibilityGranted ? "reachable" : "NOT reachable");

    section("Settings");
    item("History logging", meta.loggingEnabled ? "on" : "off");
    for (const auto& [label, value] : meta.settings) item(label, value);

    section("Customization");
    item("Vocabulary terms", std::to_string(meta.vocabularyTermCount));
    item("Snippets", std::to_string(meta.snippetCount));
    item("Per-app rules", std::to_string(meta.appRuleCount));

    if (!meta.doctorLines.empty()) {
        section("Doctor");
        out.insert(out.end(), meta.doctorLines.begin(), meta.doctorLines.end());
    }

    section("Dictation history (statistics only)");
    const DictationAggregate aggregate = aggregateDictation(dictationLines);
    item("Entries", std::to_string(aggregate.entryCount));
    if (aggregate.entryCount > 0) {
        item("Oldest", localTime(static_cast<std::time_t>(*aggregate.oldestTs), "%Y-%m-%d %H:%M:%S"));
        item("Newest", localTime(static_cast<std::time_t>(*aggregate.newestTs), "%Y-%m-%d %H:%M:%S"));
        item("Words", std::to_string(aggregate.totalWords));
        item("Latency p50 / p90 / p99",
             seconds(aggregate.latencyP50) + " / " + seconds(aggregate.latencyP90) + " / " + seconds(aggregate.latencyP99));
        std::vector<std::string> engines;
        for (const auto& [engine, count] : aggregate.engineCounts) engines.push_back(engine + " " + std::to_string(count));
        item("Engines", platform::text::join(engines, ", "));
    }

    if (!meta.regressionLines.empty()) {
        section("Regression gate (recent dictations against earlier ones)");
        out.insert(out.end(), meta.regressionLines.begin(), meta.regressionLines.end());
    }

    const FaultSummary faults = summarizeFaults(faultLines, meta.homeDirectoryPath, privateTextsOf(dictationLines));
    const auto listing = [&](const std::map<std::string, std::int64_t>& counts, const std::vector<std::string>& recent) {
        if (counts.empty()) return;
        std::vector<std::string> kinds;
        for (const auto& [kind, count] : counts) kinds.push_back(kind + " " + std::to_string(count));
        item("By kind", platform::text::join(kinds, ", "));
        out.push_back("Newest " + std::to_string(recent.size()) + ", oldest first:");
        for (const auto& line : recent) out.push_back("  " + line);
    };
    section("Events (launches and setup)");
    item("Total events recorded", std::to_string(faults.eventCount()));
    listing(faults.eventCountsByKind, faults.recentEvents);
    section("Faults");
    item("Total faults recorded", std::to_string(faults.faultCount()));
    listing(faults.countsByKind, faults.recent);
    out.push_back("");

    // Every line above is redacted once more as a whole, so a home path in a
    // doctor line or a setting can't slip through either.
    return Diagnostics::redactHomePaths(platform::text::join(out, "\n"), meta.homeDirectoryPath);
}

std::string fileName(std::time_t at) { return fileNamePrefix + localTime(at, "%Y%m%d-%H%M%S") + ".txt"; }

fs::path write(const std::string& text, const fs::path& directory, std::time_t now) {
    std::error_code ec;
    fs::create_directories(directory, ec);
    if (!platform::isDirectory(directory)) {
        throw std::runtime_error("the folder " + directory.string() + " does not exist and could not be created");
    }
    const fs::path file = directory / fileName(now);
    std::string error;
    if (!platform::atomicWrite(file, text, 0600, &error)) {
        throw std::runtime_error("could not write " + file.string() + ": " + error);
    }
    return file;
}

Meta collectMeta(const std::optional<std::string>& selfTestSummary, const LiveExtras& extras) {
    namespace readiness = platform::readiness;
    Meta meta;
    meta.appVersion = Branding::version;
    meta.buildNumber = Branding::buildNumber;
    struct stat st {};
    if (::stat(platform::Bundle::executablePath().c_str(), &st) == 0)
        meta.builtAt = localTime(st.st_mtime, "%Y-%m-%d %H:%M:%S");

    meta.osVersion = "unknown";
    // /etc/os-release is usually a link to /usr/lib/os-release; the log reader
    // follows no links, so the target is read when the link can't be.
    auto osRelease = Diagnostics::readLogLines(fs::path("/etc/os-release"), 64 * 1024);
    if (osRelease.empty()) osRelease = Diagnostics::readLogLines(fs::path("/usr/lib/os-release"), 64 * 1024);
    for (const auto& line : osRelease) {
        if (platform::text::hasPrefix(line, "PRETTY_NAME=")) {
            std::string value = line.substr(12);
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
            meta.osVersion = value;
        }
    }
    utsname names{};
    if (::uname(&names) == 0) meta.kernel = std::string(names.sysname) + " " + names.release + " " + names.machine;
    meta.desktop = platform::environment("XDG_CURRENT_DESKTOP").value_or("");
    if (meta.desktop.empty()) meta.desktop = platform::environment("DESKTOP_SESSION").value_or("unknown");
    meta.sessionType = readiness::probeDisplaySession().type;

    const readiness::SoundServer sound = readiness::probeSoundServer(2.0);
    meta.soundServer = sound.reachable ? sound.name + (sound.version.empty() ? "" : " " + sound.version)
                                       : "not reachable (" + sound.error + ")";
    meta.microphoneGranted = sound.reachable && sound.defaultSourceExists;
    meta.accessibilityGranted = readiness::probeAccessibilityBus().reachable;
    for (const auto& model : SphinxModels::installed()) meta.speechModels.push_back(model.localeIdentifier);

    const std::string hotkey = AppPaths::readConfigValue("hotkey").value_or("fn");
    const auto mode = HotkeyModes::fromRawValue(hotkey);
    meta.hotkeyModeLabel = mode ? HotkeyModes::title(*mode) : "'" + hotkey + "' (not a known hotkey)";

    meta.loggingEnabled = DictationLogger::shared().isLoggingEnabled();
    const auto live = RegressionGate::readDictationEntries(AppPaths::dictationLogFile());
    if (!live.empty()) meta.engineIdentifier = live.back().engine;

    meta.vocabularyTermCount = static_cast<int>(Vocabulary::loadRawTerms().size());
    meta.snippetCount = static_cast<int>(Snippets::loadRawSnippets().size());
    meta.appRuleCount = static_cast<int>(AppRules::loadStoredOverrides(AppPaths::userDefaults()).size());
    meta.settings = extras.settings;
    meta.doctorLines = extras.doctorLines;
    meta.regressionLines = RegressionGate::summaryLines(RegressionGate::evaluateLiveLogs());
    meta.selfTestSummary = selfTestSummary;
    meta.helpURL = Branding::helpURL;
    meta.command = CommandLineTool::current().command;
    meta.homeDirectoryPath = platform::userHome().string();
    meta.generatedAt = std::time(nullptr);
    return meta;
}

fs::path generateAndWrite(const fs::path& directory, const std::optional<std::string>& selfTestSummary,
                          const LiveExtras& extras) {
    const Meta meta = collectMeta(selfTestSummary, extras);
    // Paths are looked up afresh, so the bundle reads the files of the
    // Application Support in force now.
    std::vector<std::string> dictationLines = readLines(RegressionGate::historyArchiveFile());
    const auto live = readLines(AppPaths::dictationLogFile());
    dictationLines.insert(dictationLines.end(), live.begin(), live.end());
    const std::string text = assemble(meta, dictationLines, readLines(FaultLog::faultsFileURL()));
    return write(text, directory, meta.generatedAt);
}

}  // namespace SupportBundle

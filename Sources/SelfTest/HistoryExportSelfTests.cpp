#include "Base/AppPaths.h"
#include "Learning/DictationLogger.h"
#include "Platform/FileIO.h"
#include "SelfTest/DictationLogSelfTests.h"
#include "SelfTest/SelfTest.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace HistoryExportSelfTests {

namespace {
using DictationLogSelfTests::bracketed;
using DictationLogSelfTests::resetLogs;

const std::string kLineA = R"({"date":"2026-08-25","time":"10:00:00","text":"first entry this second"})";
const std::string kLineB = R"({"date":"2026-08-25","time":"10:00:00","text":"second entry same second"})";
const std::string kLineK = R"({"date":"2026-08-25","time":"10:00:00","text":"keep me"})";

fs::path liveLog() { return AppPaths::applicationSupport() / "dictation_log.jsonl"; }
fs::path archiveLog() { return AppPaths::applicationSupport() / "dictation_log.1.jsonl"; }

void writeBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string readText(const fs::path& path) { return platform::readFile(path).value_or(""); }

json entry(const char* date, const char* time, const char* app, const char* text) {
    return {{"date", date}, {"time", time}, {"app", app}, {"text", text}};
}
}  // namespace

std::vector<SelfTestCase> cases() {
    DictationLogger* logger = &DictationLogger::shared();
    std::vector<SelfTestCase> out;

    out.push_back(
        {"formatHistoryText(markdown:false) prints a date/time/app header then the text",
         "dropping the date/time/app line, or printing `text` before the header, would fail this "
         "exact-string match",
         [] {
             const std::string expected = "[2026-08-25 10:00:00] Notes\nhello world\n";
             const std::string got =
                 DictationLogger::formatHistoryText({entry("2026-08-25", "10:00:00", "Notes", "hello world")}, false);
             if (got == expected) return SelfTestOutcome::pass();
             return SelfTestOutcome::fail("formatHistoryText(markdown:false): expected " + expected + ", got " + got);
         }});

    out.push_back({"formatHistoryText(markdown:true) emits a top-level heading and a ### row per entry",
                   "removing the `# Ondira Dictation History` heading or the `###` per-entry heading would fail this", [] {
                       const std::string got =
                           DictationLogger::formatHistoryText({entry("2026-08-25", "10:00:00", "Notes", "hi")}, true);
                       if (got.rfind("# Ondira Dictation History", 0) == 0 &&
                           got.find("### 2026-08-25 10:00:00 \xE2\x80\x94 Notes") != std::string::npos &&
                           got.find("hi") != std::string::npos) {
                           return SelfTestOutcome::pass();
                       }
                       return SelfTestOutcome::fail("got:\n" + got);
                   }});

    out.push_back({"removingOneEntry removes exactly the matching (date,time,text-prefix) line",
                   "matching on date and time alone, without the text prefix, would remove the wrong one of two "
                   "entries made in the same second",
                   [] {
                       const DictationLogger::EntryKey key("2026-08-25", "10:00:00", "second entry same second", 40);
                       auto result = DictationLogger::removingOneEntry({kLineA, kLineB}, key);
                       if (!result.removed) {
                           return SelfTestOutcome::fail("reported removed=false for a line that should have matched");
                       }
                       if (result.lines != std::vector<std::string>{kLineA}) {
                           return SelfTestOutcome::fail("expected only lineA to remain, got: " + bracketed(result.lines));
                       }
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"removingOneEntry reports removed=false and returns every line unchanged when nothing matches",
                   "a filter that removes the first line whatever it holds would still report a removal and silently "
                   "drop good data",
                   [] {
                       const DictationLogger::EntryKey key("2099-01-01", "00:00:00", "nothing matches this", 40);
                       auto result = DictationLogger::removingOneEntry({kLineK}, key);
                       if (result.removed) {
                           return SelfTestOutcome::fail("reported removed=true when no line should have matched");
                       }
                       if (result.lines != std::vector<std::string>{kLineK}) {
                           return SelfTestOutcome::fail("removingOneEntry with no match: expected " + bracketed({kLineK}) +
                                                        ", got " + bracketed(result.lines));
                       }
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"deleteOneEntry removes only the targeted line from the live file and preserves 0600",
                   "rewriting in place instead of through a temporary file and a replace, or forgetting to set 0600 "
                   "after the replace, would corrupt the history on a crash or leave it world-readable",
                   [logger] {
                       resetLogs();
                       writeBytes(liveLog(),
                                  "{\"date\":\"2026-08-25\",\"time\":\"09:00:00\",\"text\":\"keep this one\"}\n"
                                  "{\"date\":\"2026-08-25\",\"time\":\"10:00:00\",\"text\":\"delete this one\"}\n");
                       ::chmod(liveLog().c_str(), 0600);
                       const bool result = logger->deleteOneEntry("2026-08-25", "10:00:00", "delete this one");
                       const std::string content = readText(liveLog());
                       struct stat st {};
                       const int mode = ::stat(liveLog().c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
                       resetLogs();
                       if (!result) return SelfTestOutcome::fail("deleteOneEntry() returned false for an entry that exists");
                       if (content.find("delete this one") != std::string::npos) {
                           return SelfTestOutcome::fail("targeted line is still present after deleteOneEntry()");
                       }
                       if (content.find("keep this one") == std::string::npos) {
                           return SelfTestOutcome::fail(
                               "the OTHER line was lost too — deleteOneEntry() must remove at most one line");
                       }
                       if (mode != 0600) {
                           char message[96];
                           std::snprintf(message, sizeof message, "expected 0o600 after deleteOneEntry(), got 0o%o",
                                         static_cast<unsigned>(mode));
                           return SelfTestOutcome::fail(message);
                       }
                       return SelfTestOutcome::pass();
                   }});

    out.push_back(
        {"deleteOneEntry falls through to the rotated archive when the entry is not in the live file",
         "looking only at the live file would leave an entry that lives in the rotated archive undeletable", [logger] {
             resetLogs();
             writeBytes(liveLog(), "{\"date\":\"2026-08-24\",\"time\":\"08:00:00\",\"text\":\"only in live\"}\n");
             writeBytes(archiveLog(), "{\"date\":\"2026-08-20\",\"time\":\"07:00:00\",\"text\":\"only in archive\"}\n");
             const bool result = logger->deleteOneEntry("2026-08-20", "07:00:00", "only in archive");
             const std::string archive = readText(archiveLog());
             const std::string live = readText(liveLog());
             resetLogs();
             if (!result) {
                 return SelfTestOutcome::fail(
                     "deleteOneEntry() did not find/remove an entry that lives only in the rotated archive");
             }
             if (archive.find("only in archive") != std::string::npos) {
                 return SelfTestOutcome::fail("archive still contains the targeted entry");
             }
             if (live.find("only in live") == std::string::npos) {
                 return SelfTestOutcome::fail("the live file's unrelated entry was disturbed by an archive-only delete");
             }
             return SelfTestOutcome::pass();
         }});
    return out;
}

}  // namespace HistoryExportSelfTests

ONDIRA_SELFTEST_SUITE("HistoryExport", HistoryExportSelfTests::cases);

#pragma once
// The bodies of the commands, one function each, reached by the dispatcher
// through one table. A body prints its own output (printLine) and failures
// (printError) and returns the exit status: 0 success, 1 failure.
//
// What each prints when it succeeds:
//   history        one metadata line per dictation (its text only with
//                  --text), or a JSON array of historyRecord objects
//   stats          dictations, words and latency percentiles, or the
//                  statsJSONObject
//   dictAdd        "added: " + heard + " -> " + written
//   dictRemove     "removed: " + heard (also when there was no such term)
//   snippetsAdd    "added snippet: " + trigger; a refused trigger prints
//                  "invalid snippet trigger (empty or whitespace-only)" to
//                  standard error and returns 1
//   snippetsRemove "removed snippet: " + trigger
//   doctor         one line per fact of doctorLines()
//   privacyReport  privacyReportLines of every live privacy check, then
//                  what the update check contacts; 0 whatever the verdicts
//   transcribe     the transcript (txt, srt or vtt) on standard output, or
//                  nothing with --out; a failure prints "Transcription
//                  failed: " + why to standard error and returns 1
// A body whose subsystem this build lacks says "<command>: not available in
// this build yet" on standard error and returns 1.
#include <string>

#include "CLI/OndiraCLI.h"

namespace OndiraCLI {

struct CommandBodies {
    int (*history)(const HistoryOptions& options);
    int (*dictList)(bool json);
    int (*dictAdd)(const std::string& heard, const std::string& written);
    int (*dictRemove)(const std::string& heard);
    int (*snippetsList)(bool json);
    int (*snippetsAdd)(const std::string& trigger, const std::string& expansion);
    int (*snippetsRemove)(const std::string& trigger);
    int (*stats)(bool json);
    int (*transcribe)(const TranscribeOptions& options);
    int (*doctor)();
    int (*privacyReport)();
    int (*personalModel)();
};

const CommandBodies& commandBodies();

int runPrivacyReport();

}  // namespace OndiraCLI

#include "CLI/OndiraCLI.h"

#include "CLI/HistoryCommands.h"
#include "CLI/TextCommands.h"
#include "CLI/TranscribeCommand.h"

namespace OndiraCLI {

namespace {

// A command whose subsystem this build does not have yet says so and fails.
int notAvailable(const std::string& command) {
    printError(command + ": not available in this build yet");
    return 1;
}

int privacyReport() { return notAvailable("--privacy-report"); }
int personalModel() { return notAvailable("--personal-model"); }

int doctor() {
    const DoctorState state = gatherDoctorState();
    for (const auto& line : doctorLines(state)) printLine(line);
    return doctorReady(state) ? 0 : 1;
}

}  // namespace

const CommandBodies& commandBodies() {
    static const CommandBodies table = {
        runHistory,        runDictList,   runDictAdd, runDictRemove, runSnippetsList, runSnippetsAdd,
        runSnippetsRemove, runStats,      runTranscribe, doctor,     privacyReport,   personalModel,
    };
    return table;
}

}  // namespace OndiraCLI

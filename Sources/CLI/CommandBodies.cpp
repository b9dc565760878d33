#include "CLI/OndiraCLI.h"

#include "CLI/HistoryCommands.h"
#include "CLI/TextCommands.h"
#include "CLI/TranscribeCommand.h"
#include "Learning/PersonalModel.h"

#include <chrono>

namespace OndiraCLI {

namespace {

// A command whose subsystem this build does not have yet says so and fails.
int notAvailable(const std::string& command) {
    printError(command + ": not available in this build yet");
    return 1;
}

int privacyReport() { return notAvailable("--privacy-report"); }
int personalModel() {
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const PersonalModel::Status status =
        PersonalModel::shared().currentStatus(recognitionLocaleIdentifier(), PersonalModel::isEnabled(), now);
    for (const auto& line : PersonalModel::statusLines(status)) printLine(line);
    return 0;
}

int doctor() {
    for (const auto& line : doctorLines(gatherDoctorState())) printLine(line);
    return 0;
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

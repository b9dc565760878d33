#include "CLI/CommandBodies.h"

#include "CLI/HistoryCommands.h"

namespace OndiraCLI {

namespace {

// A command whose subsystem this build does not have yet says so and fails.
int notAvailable(const std::string& command) {
    printError(command + ": not available in this build yet");
    return 1;
}

int dictList(bool) { return notAvailable("dict list"); }
int dictAdd(const std::string&, const std::string&) { return notAvailable("dict add"); }
int dictRemove(const std::string&) { return notAvailable("dict remove"); }
int snippetsList(bool) { return notAvailable("snippets list"); }
int snippetsAdd(const std::string&, const std::string&) { return notAvailable("snippets add"); }
int snippetsRemove(const std::string&) { return notAvailable("snippets remove"); }
int transcribe(const TranscribeOptions&) { return notAvailable("transcribe"); }
int privacyReport() { return notAvailable("--privacy-report"); }
int personalModel() { return notAvailable("--personal-model"); }

int doctor() {
    for (const auto& line : doctorLines(gatherDoctorState())) printLine(line);
    return 0;
}

}  // namespace

const CommandBodies& commandBodies() {
    static const CommandBodies table = {
        runHistory,     dictList, dictAdd,    dictRemove, snippetsList,  snippetsAdd,
        snippetsRemove, runStats, transcribe, doctor,   privacyReport, personalModel,
    };
    return table;
}

}  // namespace OndiraCLI

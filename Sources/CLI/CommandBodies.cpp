#include "CLI/OndiraCLI.h"

#include "CLI/HistoryCommands.h"
#include "CLI/PrivacyReportCommand.h"
#include "CLI/TextCommands.h"
#include "CLI/TranscribeCommand.h"
#include "Learning/PersonalModel.h"

#include <chrono>

namespace OndiraCLI {

namespace {

int personalModel() {
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const PersonalModel::Status status =
        PersonalModel::shared().currentStatus(recognitionLocaleIdentifier(), PersonalModel::isEnabled(), now);
    for (const auto& line : PersonalModel::statusLines(status)) printLine(line);
    return 0;
}

int doctor() {
    const DoctorState state = gatherDoctorState();
    for (const auto& line : doctorLines(state)) printLine(line);
    return doctorReady(state) ? 0 : 1;
}

}  // namespace

const CommandBodies& commandBodies() {
    static const CommandBodies table = {
        runHistory,        runDictList, runDictAdd,    runDictRemove, runSnippetsList,  runSnippetsAdd,
        runSnippetsRemove, runStats,    runTranscribe, doctor,        runPrivacyReport, personalModel,
    };
    return table;
}

}  // namespace OndiraCLI

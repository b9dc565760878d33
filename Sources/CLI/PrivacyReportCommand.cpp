// `ondira --privacy-report`: every privacy self-check with its measured
// figures, the same checks and numbers the hub's privacy panel shows.
#include "CLI/PrivacyReportCommand.h"

#include "CLI/OndiraCLI.h"
#include "Diagnostics/PrivacyProbe.h"
#include "Update/UpdateChecker.h"

namespace OndiraCLI {

int runPrivacyReport() {
    // This process is the command line, never a dictation in progress.
    for (const auto& line : PrivacyProbe::privacyReportLines(PrivacyProbe::runLiveChecks(false))) printLine(line);
    printLine(PrivacyProbe::updateCheckStatement(UpdateChecker::defaultManifestURL(),
                                                 UpdateChecker::shared().automaticChecksEnabled()));
    return 0;
}

}  // namespace OndiraCLI

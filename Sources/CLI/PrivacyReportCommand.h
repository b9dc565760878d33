#pragma once
// `ondira --privacy-report`: privacyReportLines of every live privacy check,
// then what the update check contacts. Returns 0 whatever the verdicts.
namespace OndiraCLI {
int runPrivacyReport();
}  // namespace OndiraCLI

#include "Entry/ProcessEntry.h"

#include "App/Roads.h"
#include "CLI/OndiraCLI.h"
#include "SelfTest/SelfTest.h"

#include <algorithm>

namespace {
bool present(const std::vector<std::string>& args, const char* sw) {
    return std::find(args.begin(), args.end(), sw) != args.end();
}
}  // namespace

EntryRoad chooseEntryRoad(const std::vector<std::string>& args) {
    if (present(args, "--self-test")) return EntryRoad::selfTest;
    if (present(args, "--polish-smoke-test")) return EntryRoad::polishSmokeTest;
    if (present(args, "--hud-demo")) return EntryRoad::hudDemo;
    const bool micCheck = present(args, "--mic-check");
    if (!micCheck && args.size() >= 2 && OndiraCLI::isSubcommand(args[1])) return EntryRoad::commandLine;
    if (!micCheck) return EntryRoad::menuBarApplication;
    return EntryRoad::micCheck;
}

const char* entryRoadName(EntryRoad road) {
    switch (road) {
        case EntryRoad::selfTest: return "selfTest";
        case EntryRoad::polishSmokeTest: return "polishSmokeTest";
        case EntryRoad::hudDemo: return "hudDemo";
        case EntryRoad::commandLine: return "commandLine";
        case EntryRoad::menuBarApplication: return "menuBarApplication";
        case EntryRoad::micCheck: return "micCheck";
    }
    return "?";
}

int runEntryRoad(EntryRoad road, int argc, char** argv) {
    switch (road) {
        case EntryRoad::selfTest: return SelfTestRunner::runAll() ? 0 : 1;
        case EntryRoad::polishSmokeTest: return Roads::runPolishSmokeTest();
        case EntryRoad::hudDemo: return Roads::runHudDemo(argc, argv);
        case EntryRoad::commandLine: return OndiraCLI::run(std::vector<std::string>(argv + 1, argv + argc));
        case EntryRoad::menuBarApplication: return Roads::runMenuBarApplication(argc, argv);
        case EntryRoad::micCheck: return Roads::runMicCheck();
    }
    return 1;
}

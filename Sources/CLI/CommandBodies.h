#pragma once
// The bodies of the commands, one function each, reached by the dispatcher
// through one table. A body prints its own output and failures and returns
// the exit status.
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

}  // namespace OndiraCLI

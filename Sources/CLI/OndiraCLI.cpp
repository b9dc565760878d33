#include "CLI/OndiraCLI.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <unordered_set>

namespace OndiraCLI {

namespace {
const std::unordered_set<std::string>& commandWords() {
    static const std::unordered_set<std::string> words = {"history", "dict",       "snippets", "stats",
                                                          "doctor",  "transcribe", "help"};
    return words;
}
}  // namespace

bool isSubcommand(const std::string& word) {
    return commandWords().count(word) > 0 || word == "--help" || word == "-h" || word == "--privacy-report" ||
           word == "--personal-model";
}

std::string usageText() {
    return "Usage: Ondira <command> [options]\n"
           "\n"
           "Commands: history, dict, snippets, stats, doctor, transcribe, --privacy-report, --personal-model\n"
           "\n"
           "Exit status: 0 success, 2 usage error, 1 other failure.";
}

void printError(const std::string& message) {
    std::string line = message + "\n";
    std::fflush(stdout);
    ssize_t unused = ::write(STDERR_FILENO, line.data(), line.size());
    (void)unused;
}

int run(const std::vector<std::string>& arguments) {
    if (arguments.empty()) {
        printError("no command given");
        printError("");
        printError(usageText());
        return 2;
    }
    const std::string& word = arguments[0];
    if (word == "help" || word == "--help" || word == "-h") {
        if (arguments.size() > 1) {
            printError("help takes no arguments");
            printError("");
            printError(usageText());
            return 2;
        }
        std::cout << usageText() << "\n" << std::flush;
        return 0;
    }
    printError(word + ": not available yet");
    return 1;
}

}  // namespace OndiraCLI

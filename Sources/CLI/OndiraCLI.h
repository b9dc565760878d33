#pragma once
// The command-line interface of the main executable.
#include <string>
#include <vector>

namespace OndiraCLI {
// True for a command word or one of "--help", "-h", "--privacy-report", "--personal-model".
bool isSubcommand(const std::string& word);
// `arguments` are the words after the program path. Returns 0, 1 or 2.
int run(const std::vector<std::string>& arguments);
std::string usageText();
// The message and one newline to standard error, in one write.
void printError(const std::string& message);
}  // namespace OndiraCLI

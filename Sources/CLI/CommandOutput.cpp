#include "CLI/CommandOutput.h"

#include "CLI/OndiraCLI.h"
#include "Platform/Unicode.h"

namespace OndiraCLI {

int printJSON(const nlohmann::json& value, const std::string& failure) {
    std::string text;
    try {
        text = value.dump(2);
    } catch (const nlohmann::json::exception&) {
        printError(failure);
        return 1;
    }
    printLine(text);
    return 0;
}

void printIndented(const std::string& text) {
    for (const auto& line : platform::text::splitLines(text)) printLine("    " + line);
}

}  // namespace OndiraCLI

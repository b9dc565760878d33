#include "CLI/TextCommands.h"

#include "Base/AppPaths.h"
#include "CLI/CommandOutput.h"
#include "CLI/OndiraCLI.h"
#include "Platform/Unicode.h"
#include "Text/Snippets.h"
#include "Text/Vocabulary.h"

#include <algorithm>
#include <map>
#include <vector>

namespace OndiraCLI {

namespace {

using Pairs = std::vector<std::map<std::string, std::string>>;

std::string valueOf(const std::map<std::string, std::string>& row, const std::string& key) {
    const auto it = row.find(key);
    return it == row.end() ? std::string() : it->second;
}

// One "<first> -> <second>" line per pair; a second value spanning several
// lines continues indented beneath.
int printPairs(const Pairs& rows, const std::string& first, const std::string& second, bool json,
               const std::string& jsonFailure, const std::string& none) {
    if (json) {
        nlohmann::json array = nlohmann::json::array();
        for (const auto& row : rows) array.push_back({{first, valueOf(row, first)}, {second, valueOf(row, second)}});
        return printJSON(array, jsonFailure);
    }
    if (rows.empty()) {
        printLine(none);
        return 0;
    }
    for (const auto& row : rows) {
        const auto lines = platform::text::splitLines(valueOf(row, second));
        printLine(valueOf(row, first) + " -> " + lines.front());
        if (lines.size() > 1) {
            printIndented(platform::text::join(std::vector<std::string>(lines.begin() + 1, lines.end()), "\n"));
        }
    }
    return 0;
}

}  // namespace

int runDictList(bool json) {
    return printPairs(Vocabulary::loadRawTerms(), "from", "to", json, "failed to encode dictionary as JSON",
                      "(no dictionary terms)");
}

int runDictAdd(const std::string& heard, const std::string& written) {
    if (!Vocabulary::shared().addTerm(heard, written)) {
        printError("could not save the dictionary (" + AppPaths::dictionaryFile().string() + ")");
        return 1;
    }
    printLine("added: " + heard + " -> " + written);
    return 0;
}

int runDictRemove(const std::string& heard) {
    const auto terms = Vocabulary::loadRawTerms();
    const std::string key = platform::text::lowercased(heard);
    const bool present = std::any_of(terms.begin(), terms.end(), [&](const auto& term) {
        return platform::text::lowercased(valueOf(term, "from")) == key;
    });
    // Removing a term that is not there succeeds; one that is there and stays is a failure.
    if (present && !Vocabulary::shared().deleteTerm(heard)) {
        printError("could not save the dictionary (" + AppPaths::dictionaryFile().string() + ")");
        return 1;
    }
    printLine("removed: " + heard);
    return 0;
}

int runSnippetsList(bool json) {
    return printPairs(Snippets::loadRawSnippets(), "trigger", "expansion", json, "failed to encode snippets as JSON",
                      "(no snippets)");
}

int runSnippetsAdd(const std::string& trigger, const std::string& expansion) {
    if (platform::text::trimmed(trigger).empty()) {
        printError("invalid snippet trigger (empty or whitespace-only)");
        return 1;
    }
    if (!Snippets::shared().addSnippet(trigger, expansion)) {
        printError("could not save snippets (" + Snippets::storageFile().string() + ")");
        return 1;
    }
    printLine("added snippet: " + trigger);
    return 0;
}

int runSnippetsRemove(const std::string& trigger) {
    if (!Snippets::shared().deleteSnippet(trigger)) {
        printError("could not save snippets (" + Snippets::storageFile().string() + ")");
        return 1;
    }
    printLine("removed snippet: " + trigger);
    return 0;
}

}  // namespace OndiraCLI

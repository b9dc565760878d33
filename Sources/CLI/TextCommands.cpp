#include "CLI/TextCommands.h"

#include "Base/AppPaths.h"
#include "Base/DictionaryFile.h"
#include "CLI/CommandOutput.h"
#include "CLI/OndiraCLI.h"
#include "Platform/Unicode.h"
#include "Text/Snippets.h"
#include "Text/StoreInput.h"
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
    const DictionaryFile::RawTerms read = DictionaryFile::rawTerms();
    if (read.error) {
        printError("could not read the dictionary: " + *read.error);
        return 1;
    }
    return printPairs(*read.terms, "from", "to", json, "failed to encode dictionary as JSON", "(no dictionary terms)");
}

int runDictAdd(const std::string& heard, const std::string& written) {
    if (const auto problem = StoreInput::validateTerm(heard, written)) {
        printError(*problem);
        return 1;
    }
    std::string correctionProblem;
    if (!Vocabulary::shared().addTerm(heard, written, &correctionProblem)) {
        printError("could not save the dictionary (" + AppPaths::dictionaryFile().string() + ")");
        return 1;
    }
    printLine("added: " + heard + " -> " + written);
    // The term is in the dictionary, which is what was asked; the record that
    // teaches corrections is not, and the user hears where the file is.
    if (!correctionProblem.empty()) printError("the correction was not recorded: " + correctionProblem);
    return 0;
}

int runDictRemove(const std::string& heard) {
    switch (Vocabulary::shared().removeTerm(heard)) {
        case platform::StoreRemoval::removed: printLine("removed: " + heard); return 0;
        case platform::StoreRemoval::notFound: printError("not found: " + heard); return 1;
        case platform::StoreRemoval::failed: break;
    }
    printError("could not save the dictionary (" + AppPaths::dictionaryFile().string() + ")");
    return 1;
}

int runSnippetsList(bool json) {
    const Snippets::Loaded read = Snippets::loadSnippets();
    if (read.error) {
        printError("could not read snippets: " + *read.error);
        return 1;
    }
    return printPairs(read.rows, "trigger", "expansion", json, "failed to encode snippets as JSON", "(no snippets)");
}

int runSnippetsAdd(const std::string& trigger, const std::string& expansion) {
    if (const auto problem = StoreInput::validateSnippet(trigger, expansion)) {
        printError(*problem);
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
    switch (Snippets::shared().removeSnippet(trigger)) {
        case platform::StoreRemoval::removed: printLine("removed snippet: " + trigger); return 0;
        case platform::StoreRemoval::notFound: printError("snippet not found: " + trigger); return 1;
        case platform::StoreRemoval::failed: break;
    }
    printError("could not save snippets (" + Snippets::storageFile().string() + ")");
    return 1;
}

}  // namespace OndiraCLI

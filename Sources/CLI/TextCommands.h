#pragma once
// `dict` and `snippets`: the personal dictionary and the snippets, listed,
// added to and removed from, through the same stores the dictation road uses.
#include <string>

namespace OndiraCLI {

int runDictList(bool json);
int runDictAdd(const std::string& heard, const std::string& written);
int runDictRemove(const std::string& heard);
int runSnippetsList(bool json);
int runSnippetsAdd(const std::string& trigger, const std::string& expansion);
int runSnippetsRemove(const std::string& trigger);

}  // namespace OndiraCLI

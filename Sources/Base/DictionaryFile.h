#pragma once
// dictionary.json as every reader sees it: the clean-up chain applies its
// terms and the correction log leaves them out of what it learns, so both
// read the one parsed copy kept while the file on disk stays the same.
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace DictionaryFile {

using Term = std::map<std::string, std::string>;

struct RawTerms {
    std::shared_ptr<const std::vector<Term>> terms;         // every {"from", "to"} pair of strings
    std::shared_ptr<const std::vector<std::string>> froms;  // their spoken forms, same order
};

// The pairs that read; entries of any other shape are passed over. One shared
// object per version of the file, so callers may compare pointers.
RawTerms rawTerms();

}  // namespace DictionaryFile

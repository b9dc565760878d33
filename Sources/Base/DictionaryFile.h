#pragma once
// dictionary.json as every reader sees it: the clean-up chain applies its
// terms and the correction log leaves them out of what it learns, so both
// read the one parsed copy kept while the file on disk stays the same.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/StoreRecovery.h"

namespace DictionaryFile {

using Term = std::map<std::string, std::string>;

struct RawTerms {
    std::shared_ptr<const std::vector<Term>> terms;         // every {"from", "to"} pair of strings
    std::shared_ptr<const std::vector<std::string>> froms;  // their spoken forms, same order
    // Why the file could not be read, when it could not (it is left where it is).
    std::optional<std::string> error;
    // Where this read moved a file that did not load (the terms are what it still held).
    std::optional<std::filesystem::path> setAside;
};

// The pairs that read; entries of any other shape are passed over. One shared
// object per version of the file, so callers may compare pointers. A file
// that does not load is moved aside first (see platform::readStore).
RawTerms rawTerms();

// The file loads when it is blank or a JSON array of objects whose values are
// all strings; from one that does not, every such object is salvaged.
const platform::StoreFormat& format();
// The file's text for `terms`; throws on text that is not valid UTF-8.
std::string encode(const std::vector<Term>& terms);
// The objects of bytes that load; none for bytes that do not.
std::optional<std::vector<Term>> parse(std::string_view bytes);

}  // namespace DictionaryFile

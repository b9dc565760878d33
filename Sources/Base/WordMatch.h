#pragma once
// Whole-word literal matching shared by the dictionary and the learned
// substitutions, plus the small character tests the clean-up chain needs.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <bitset>
#include <deque>
#include <unordered_set>

#include "Platform/Unicode.h"

namespace WordMatch {

// ICU's \w: alphabetic, marks, decimal digits, connector punctuation, ZWJ/ZWNJ.
bool isRegexWordCharacter(char32_t c);

// The pattern that finds `spoken` as a whole token, case-insensitively:
// "\b" on an edge that is a word character, a look-around on an edge that is
// not (so "c++" and ".net" still match). Compiled once per distinct spoken
// form and shared; nullptr for an empty form or one ICU refuses.
std::shared_ptr<const platform::text::Regex> literalPattern(std::string_view spoken);

// The pattern text itself, for tests and diagnostics ("" for an empty form).
std::string literalPatternSource(std::string_view spoken);

// The whole words (runs of \w characters) of a case-folded text, to tell in
// one lookup whether a spoken form can occur at all: a whole-token match of
// a form needs its first word to be one of the text's words.
class TokenIndex {
public:
    // `text` is the text being rewritten; it must outlive the index.
    explicit TokenIndex(const std::string& text);
    // After a replacement spliced `inserted` into the text: its words join the
    // index. Words that were replaced stay, which only costs a wasted search.
    void noteInsertion(std::string_view inserted);
    bool mayContain(std::string_view foldedForm, std::string_view formFirstToken) const;
    // The same test for a form as spoken (any case); no allocation for ASCII.
    bool mayContainForm(std::string_view form) const;

private:
    void addTokens(std::string_view folded);
    static std::size_t quickKey(std::string_view token);
    bool quickReject(std::string_view token) const { return !bits_[quickKey(token)]; }

    const std::string& text_;
    std::deque<std::string> storage_;
    std::unordered_set<std::string_view> tokens_;
    std::bitset<4096> bits_;
    mutable std::string folded_;
    mutable bool foldedStale_ = true;
};
// The leading run of word characters of a folded form ("" when it starts
// with another character, such as ".net").
std::string firstToken(std::string_view folded);

// ASCII-fast lower-casing (full Unicode mapping for anything else).
std::string lowercasedFast(std::string_view s);
// Case folding used to pre-screen texts before a case-insensitive search:
// when the folded text doesn't contain the folded form, no match exists.
std::string foldedFast(std::string_view s);

// trimmed() and graphemeCount() with a fast path for ASCII text.
std::string trimmedFast(std::string_view s);
std::size_t characterCount(std::string_view s);

// First user-perceived character and the rest.
std::pair<std::string, std::string> splitFirstCharacter(std::string_view s);
bool isLowercaseCharacter(std::string_view character);
bool isUppercaseCharacter(std::string_view character);
// A character with no case distinction at all, i.e. not a letter in this sense.
bool hasLetter(std::string_view s);

// Identity of a file on disk, for caches that must notice every rewrite.
struct FileStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t mtimeNanos = 0;
    std::int64_t ctimeNanos = 0;
    bool operator==(const FileStamp&) const = default;
};
FileStamp stampOf(const std::string& path);

}  // namespace WordMatch

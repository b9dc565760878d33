#pragma once
// The recogniser's word space: how any text (a dictionary term, a screen
// term, a dictated phrase) becomes the lower-case words its dictionary and
// language models spell. One rule for every source, so a word learned from
// the history is the same word the context terms name.
#include <string>
#include <vector>

namespace RecognizerWords {
// Runs of ASCII letters and apostrophes, lower-cased, with leading and
// trailing apostrophes removed; words with letters beyond ASCII are dropped
// (they are outside the phone set), digits and punctuation separate words.
std::vector<std::string> of(const std::string& text);
}  // namespace RecognizerWords

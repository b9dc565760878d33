#include "Learning/RecognizerWords.h"

#include <algorithm>
#include <cctype>

namespace RecognizerWords {

std::vector<std::string> of(const std::string& text) {
    std::vector<std::string> words;
    std::string current;
    bool foreign = false;
    auto flush = [&] {
        while (!current.empty() && current.front() == '\'') current.erase(current.begin());
        while (!current.empty() && current.back() == '\'') current.pop_back();
        if (!foreign && !current.empty() && current.find_first_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos)
            words.push_back(current);
        current.clear();
        foreign = false;
    };
    for (unsigned char c : text) {
        if (std::isalpha(c) || c == '\'') {
            current += static_cast<char>(std::tolower(c));
        } else if (c >= 0x80) {
            foreign = true;  // letters beyond ASCII are outside this phone set
            current += static_cast<char>(c);
        } else {
            flush();
        }
    }
    flush();
    return words;
}

}  // namespace RecognizerWords

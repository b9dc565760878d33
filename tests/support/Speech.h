#pragma once
// Test speech made at test time with flite, and a tolerant word check.
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace testspeech {

// Speaks `text` into a 16 kHz WAV file. False when flite is missing.
inline bool synthesize(const std::string& text, const std::filesystem::path& out, const std::string& voice = "kal16") {
    const std::string command = "flite -voice " + voice + " -t '" + text + "' -o '" + out.string() + "' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0 && std::filesystem::exists(out);
}

inline std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    std::string w;
    while (in >> w) {
        for (char& c : w) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        out.push_back(w);
    }
    return out;
}

// Word error rate of `heard` against `expected` (edit distance over words).
inline double wordErrorRate(const std::string& expected, const std::string& heard) {
    auto e = words(expected), h = words(heard);
    std::vector<std::vector<std::size_t>> d(e.size() + 1, std::vector<std::size_t>(h.size() + 1));
    for (std::size_t i = 0; i <= e.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= h.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= e.size(); ++i)
        for (std::size_t j = 1; j <= h.size(); ++j)
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (e[i - 1] == h[j - 1] ? 0 : 1)});
    return e.empty() ? 0.0 : static_cast<double>(d[e.size()][h.size()]) / static_cast<double>(e.size());
}

// The share of expected words that were heard.
inline double wordsHeard(const std::string& expected, const std::string& heard) {
    auto e = words(expected);
    auto hv = words(heard);
    std::multiset<std::string> h(hv.begin(), hv.end());
    std::size_t found = 0;
    for (const auto& w : e)
        if (auto it = h.find(w); it != h.end()) {
            ++found;
            h.erase(it);
        }
    return e.empty() ? 1.0 : static_cast<double>(found) / static_cast<double>(e.size());
}

}  // namespace testspeech

#pragma once
// Test speech made at test time with flite, and a tolerant word check.
#include <cctype>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
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

// `speech` (any rate) at 48 kHz stereo float, with band noise between 9 and
// 20 kHz mixed in: the hiss of a cheap microphone, above the speech band the
// recogniser listens to. `noisePeak` is the noise's peak amplitude against
// full scale (0.05 is 5 %); 0 gives the clean speech at 48 kHz. The noise is
// a sum of tones 10 Hz apart with random phases, so nothing of it lies below
// 9 kHz. False when ffmpeg is missing.
inline bool withBandNoise(const std::filesystem::path& speech, const std::filesystem::path& out, double noisePeak,
                          unsigned seed = 1) {
    constexpr int rate = 48000;
    const std::filesystem::path raw = out.string() + ".f32";
    const std::string command =
        "ffmpeg -v quiet -y -i '" + speech.string() + "' -ar 48000 -ac 1 -f f32le '" + raw.string() + "'";
    if (std::system(command.c_str()) != 0) return false;
    std::ifstream in(raw, std::ios::binary);
    std::vector<float> mono;
    for (float f; in.read(reinterpret_cast<char*>(&f), sizeof f);) mono.push_back(f);
    std::filesystem::remove(raw);
    if (mono.empty()) return false;

    std::vector<double> noise(mono.size(), 0.0);
    if (noisePeak > 0) {
        const double pi = std::acos(-1.0);
        std::mt19937 random(seed);
        std::uniform_real_distribution<double> phase(0, 2 * pi);
        for (int hz = 9000; hz <= 20000; hz += 10) {
            // A phasor turned by the tone's step: no sine per sample.
            std::complex<double> value = std::polar(1.0, phase(random));
            const std::complex<double> step = std::polar(1.0, 2 * pi * hz / rate);
            for (double& n : noise) {
                n += value.imag();
                value *= step;
            }
        }
        double peak = 0;
        for (double n : noise) peak = std::max(peak, std::abs(n));
        for (double& n : noise) n *= noisePeak / peak;
    }

    std::vector<float> stereo(mono.size() * 2);
    for (std::size_t i = 0; i < mono.size(); ++i) stereo[2 * i] = stereo[2 * i + 1] = mono[i] + static_cast<float>(noise[i]);
    auto u32 = [](std::uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
    auto u16 = [](std::uint16_t v) { return std::string{char(v), char(v >> 8)}; };
    const auto bytes = static_cast<std::uint32_t>(stereo.size() * sizeof(float));
    std::string header = "RIFF" + u32(36 + bytes) + "WAVEfmt " + u32(16) + u16(3) + u16(2) + u32(rate) + u32(rate * 8) +
                         u16(8) + u16(32) + "data" + u32(bytes);
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    file.write(header.data(), static_cast<std::streamsize>(header.size()));
    file.write(reinterpret_cast<const char*>(stereo.data()), bytes);
    return static_cast<bool>(file);
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

// The words of inserted text: lower case, without the clean-up's punctuation.
inline std::string plainWords(const std::string& text) {
    std::string out;
    for (char c : text)
        out += std::isalnum(static_cast<unsigned char>(c)) || c == '\''
                   ? static_cast<char>(std::tolower(static_cast<unsigned char>(c)))
                   : ' ';
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

#pragma once
// Speech fixtures rendered at test time: flite speaks a sentence to WAV and
// ffmpeg's command-line tool re-encodes it into the container under test.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <filesystem>
#include <string>
#include <type_traits>
#include <vector>

namespace speechfixtures {

inline std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

inline bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// Speaks `text` with a flite voice (kal16, slt, awb) into a WAV file.
inline bool speak(const std::string& text, const std::string& voice, const std::filesystem::path& wav) {
    return run("flite -voice " + voice + " -t " + shellQuote(text) + " -o " + shellQuote(wav.string()));
}

// Re-encodes `input` with the given ffmpeg arguments placed before the output.
inline bool encode(const std::filesystem::path& input, const std::string& arguments, const std::filesystem::path& output) {
    return run("ffmpeg -hide_banner -loglevel error -y -i " + shellQuote(input.string()) + " " + arguments + " " +
               shellQuote(output.string()));
}

// Joins WAV files one after another into one WAV file.
inline bool concatenate(const std::vector<std::filesystem::path>& parts, const std::filesystem::path& output) {
    std::string inputs, filter;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        inputs += " -i " + shellQuote(parts[i].string());
        filter += "[" + std::to_string(i) + ":a]";
    }
    filter += "concat=n=" + std::to_string(parts.size()) + ":v=0:a=1[out]";
    return run("ffmpeg -hide_banner -loglevel error -y" + inputs + " -filter_complex " + shellQuote(filter) +
               " -map '[out]' -ar 16000 -ac 1 " + shellQuote(output.string()));
}

// A mono WAV of exactly these samples (16-bit PCM or 32-bit float), written directly.
template <typename Sample>
inline void writeMonoWav(const std::filesystem::path& path, const std::vector<Sample>& samples, int rate) {
    static_assert(std::is_same_v<Sample, std::int16_t> || std::is_same_v<Sample, float>);
    constexpr std::uint16_t width = sizeof(Sample);
    const auto bytes = static_cast<std::uint32_t>(samples.size() * width);
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + bytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(std::is_same_v<Sample, float> ? 3 : 1);  // IEEE float or PCM
    u16(1);
    u32(static_cast<std::uint32_t>(rate));
    u32(static_cast<std::uint32_t>(rate * width));
    u16(width);
    u16(width * 8);
    out.write("data", 4);
    u32(bytes);
    out.write(reinterpret_cast<const char*>(samples.data()), bytes);
}

// A 16-bit mono WAV of exactly these samples, written directly.
inline void writeWavSamples(const std::filesystem::path& path, const std::vector<std::int16_t>& samples, int rate = 16000) {
    writeMonoWav(path, samples, rate);
}

// A 16-bit mono WAV of a quiet tone (or silence) written directly.
inline void writeWav(const std::filesystem::path& path, double seconds, double amplitude = 0.1, int rate = 16000) {
    const auto frames = static_cast<std::uint32_t>(seconds * rate);
    std::vector<std::int16_t> samples(frames);
    for (std::uint32_t i = 0; i < frames; ++i)
        samples[i] = static_cast<std::int16_t>(amplitude * 32767 * std::sin(2 * M_PI * 440.0 * i / rate));
    writeWavSamples(path, samples, rate);
}

}  // namespace speechfixtures

#include "Engine/FileTranscriber.h"
#include <ostream>
namespace FileTranscriber {
inline void PrintTo(const Segment& s, std::ostream* os) {
    *os << "\"" << s.text << "\" " << s.startSeconds << "-" << s.endSeconds;
}
}  // namespace FileTranscriber

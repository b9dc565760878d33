// The microphone's 48 kHz stereo blocks converted to the recogniser's 16 kHz
// mono, as the capture tap does it (1,024-frame blocks, one output buffer
// each):
//   - aliasing: 1 s of a 12 kHz tone; whatever reaches the output lies in
//     0-8 kHz and is fold-back, reported against the tone's own energy
//     (alias_dB, lower is better; the whole take in alias_whole_dB);
//   - processor time per second of audio (cpu_ms_per_audio_s), median and max
//     over repetitions.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <random>
#include <vector>

#include "Engine/AudioBuffers.h"

namespace {

constexpr double inputRate = 48000;
constexpr std::size_t tapFrames = 1024;
const AudioFormat stereo{inputRate, 2};
const AudioFormat target{16000.0, 1};

// Interleaved stereo with the same signal in both channels.
std::vector<float> stereoOf(const std::vector<float>& mono) {
    std::vector<float> out(mono.size() * 2);
    for (std::size_t i = 0; i < mono.size(); ++i) out[2 * i] = out[2 * i + 1] = mono[i];
    return out;
}

// Runs `interleaved` through one converter block by block, as the tap does.
std::vector<float> convertTake(const std::vector<float>& interleaved) {
    auto converter = AudioConverter::make(stereo, target);
    std::vector<float> produced;
    const std::size_t frames = interleaved.size() / 2;
    for (std::size_t at = 0; at + tapFrames <= frames; at += tapFrames) {
        auto input = AudioPCMBuffer::fromInterleaved(stereo, interleaved.data() + 2 * at, tapFrames);
        auto output = AudioPCMBuffer::make(target, tapFrames * 16000 / static_cast<std::size_t>(inputRate) + 1);
        converter->convert(*input, *output, nullptr);
        produced.insert(produced.end(), output->channelData(0), output->channelData(0) + output->frameLength());
    }
    return produced;
}

double meanSquare(const std::vector<float>& samples, std::size_t skip = 0) {
    double sum = 0;
    for (std::size_t i = skip; i + skip < samples.size(); ++i) sum += static_cast<double>(samples[i]) * samples[i];
    return samples.size() <= 2 * skip ? 0.0 : sum / static_cast<double>(samples.size() - 2 * skip);
}

void BM_TwelveKilohertzToneFoldBack(benchmark::State& state) {
    const double pi = std::acos(-1.0);
    std::vector<float> tone(static_cast<std::size_t>(inputRate));
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = 0.5f * static_cast<float>(std::sin(2 * pi * 12000.0 * static_cast<double>(i) / inputRate));
    const auto interleaved = stereoOf(tone);
    double aliasDb = 0, wholeDb = 0;
    for (auto _ : state) {
        const auto out = convertTake(interleaved);
        // Switching a tone on and off spreads its energy over every band
        // (about -47 dB of it below 8 kHz for one second); the middle of the
        // take, 0.1 s in from either end, shows what the filter lets through.
        aliasDb = 10 * std::log10(std::max(meanSquare(out, 1600), 1e-30) / meanSquare(tone));
        wholeDb = 10 * std::log10(std::max(meanSquare(out), 1e-30) / meanSquare(tone));
    }
    state.counters["alias_dB"] = aliasDb;
    state.counters["alias_whole_dB"] = wholeDb;
}
BENCHMARK(BM_TwelveKilohertzToneFoldBack)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_ConversionCpuPerSecondOfAudio(benchmark::State& state) {
    // Ten seconds of noise: every filter path is busy.
    std::mt19937 random(7);
    std::uniform_real_distribution<float> uniform(-0.5f, 0.5f);
    std::vector<float> interleaved(static_cast<std::size_t>(10 * inputRate) * 2);
    for (float& s : interleaved) s = uniform(random);
    const auto threadCpuMs = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return 1e3 * static_cast<double>(t.tv_sec) + 1e-6 * static_cast<double>(t.tv_nsec);
    };
    const double started = threadCpuMs();
    for (auto _ : state) benchmark::DoNotOptimize(convertTake(interleaved));
    state.counters["cpu_ms_per_audio_s"] = (threadCpuMs() - started) / (10.0 * static_cast<double>(state.iterations()));
}
BENCHMARK(BM_ConversionCpuPerSecondOfAudio)
    ->Repetitions(9)
    ->ComputeStatistics("max", [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); })
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

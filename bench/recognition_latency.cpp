// Key-up latency of dictation: the time from the end of a take (capture
// stops) to its TranscriptionResult, for takes of 5, 15 and 60 seconds fed
// at real-time pace, all on one core, on both roads a take can take: the
// context decoder alone (path 0), and the road the personal model takes,
// with the live preview's decoder beside the take's (path 1). The take is
// decoded while it is being recorded, so this time should not grow with the
// take. Also the real-time factor of recognising a whole recorded file with
// warm decoders.
//
// Test speech is made with flite at start-up. Run as:
//   build/bench/bench_recognition_latency --benchmark_repetitions=5
#include "Base/AppPaths.h"
#include "Engine/SpeechEngine.h"
#include "Engine/SphinxRecognizer.h"

#include <benchmark/benchmark.h>
#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "Platform/FileIO.h"
#include "Platform/UUID.h"

namespace fs = std::filesystem;

namespace {

fs::path workDir;
std::vector<float> speech;  // 16 kHz mono, one second of silence between phrases

void makeSpeech() {
    workDir = platform::temporaryDirectory() / ("bench-" + platform::newUUID());
    fs::create_directories(workDir);
    const char* phrases[] = {"please send the report to the team by friday", "the quick brown fox jumped over the lazy dog",
                             "we should meet for lunch next week", "can you call me back this afternoon"};
    int i = 0;
    for (const char* phrase : phrases) {
        fs::path out = workDir / ("p" + std::to_string(i++) + ".wav");
        std::string cmd = std::string("flite -voice kal16 -t '") + phrase + "' -o '" + out.string() + "'";
        if (std::system(cmd.c_str()) != 0) continue;
        auto file = AudioFile::openForReading(out, nullptr);
        if (!file) continue;
        auto samples = file->readMonoFloat(nullptr);
        speech.insert(speech.end(), samples.begin(), samples.end());
        speech.insert(speech.end(), 16000, 0.0f);
    }
}

// `seconds` of speech, repeating the phrases.
std::vector<float> take(double seconds) {
    std::vector<float> out;
    const auto want = static_cast<std::size_t>(seconds * 16000);
    while (out.size() < want && !speech.empty())
        out.insert(out.end(), speech.begin(),
                   speech.begin() + static_cast<std::ptrdiff_t>(std::min(speech.size(), want - out.size())));
    return out;
}

void BM_KeyUpToText(benchmark::State& state) {
    const double seconds = static_cast<double>(state.range(0));
    SpeechEngine::setDictationTranscriberEnabled(state.range(1) == 1);
    const std::vector<float> samples = take(seconds);
    const AudioFormat format{16000.0, 1};
    auto& engine = SpeechEngine::shared();
    int live = 0;
    std::vector<double> latencies;
    for (auto _ : state) {
        const fs::path recording = workDir / ("take-" + platform::newUUID() + ".wav");
        auto stream = AudioBufferStream::make();
        SystemTime stoppedAt{};
        std::thread capture([&] {
            std::shared_ptr<AudioFile> file = AudioFile::createForWriting(recording, format, nullptr);
            auto next = std::chrono::steady_clock::now();
            for (std::size_t at = 0; at < samples.size(); at += 1024) {
                const std::size_t n = std::min<std::size_t>(1024, samples.size() - at);
                auto buffer = AudioPCMBuffer::fromInterleaved(format, samples.data() + at, n);
                file->write(*buffer, nullptr);
                stream->yield(buffer);
                next += std::chrono::microseconds(static_cast<long>(1e6 * static_cast<double>(n) / 16000.0));
                std::this_thread::sleep_until(next);
            }
            file.reset();
            stoppedAt = std::chrono::system_clock::now();
            stream->finish();
        });
        const int before = engine.liveDecodeCount();
        auto outcome = engine.transcribeStreaming(stream, recording, {}, std::nullopt, nullptr);
        const SystemTime done = std::chrono::system_clock::now();
        capture.join();
        live += engine.liveDecodeCount() - before;
        latencies.push_back(std::chrono::duration<double>(done - stoppedAt).count());
        state.SetIterationTime(latencies.back());
        benchmark::DoNotOptimize(outcome.result.text);
        fs::remove(recording);
    }
    state.counters["live_decodes"] = live;
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) state.counters["median_ms"] = 1000 * latencies[latencies.size() / 2];
    if (!latencies.empty()) state.counters["max_ms"] = 1000 * latencies.back();
}
BENCHMARK(BM_KeyUpToText)
    ->ArgsProduct({{5, 15, 60}, {0, 1}})
    ->ArgNames({"seconds", "path"})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

void BM_WholeFileRealTimeFactor(benchmark::State& state) {
    const std::vector<float> samples = take(15);
    const fs::path recording = workDir / "whole.wav";
    {
        std::shared_ptr<AudioFile> file = AudioFile::createForWriting(recording, AudioFormat{16000.0, 1}, nullptr);
        auto buffer = AudioPCMBuffer::fromInterleaved(AudioFormat{16000.0, 1}, samples.data(), samples.size());
        file->write(*buffer, nullptr);
    }
    auto& engine = SpeechEngine::shared();
    engine.transcribeDetailed(recording, {});  // warm
    double processing = 0, audio = 0;
    for (auto _ : state) {
        auto result = engine.transcribeDetailed(recording, {});
        processing += result.transcriptionSeconds;
        audio += result.audioSeconds;
    }
    state.counters["rtf"] = audio > 0 ? processing / audio : 0;
}
BENCHMARK(BM_WholeFileRealTimeFactor)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    // One core for everything: capture, live decoding and the key-up finish.
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    sched_setaffinity(0, sizeof one, &one);
    makeSpeech();
    // Settings of this run only: the road is chosen per benchmark.
    ::setenv(AppPaths::selfTestStateDirVariable, (workDir / "state").c_str(), 1);
    if (auto model = SphinxModels::forLocale("en_US")) DecoderPool::shared().prewarm(*model, 2);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    fs::remove_all(workDir, ec);
    return 0;
}

// How long a file transcription takes and how much memory it needs, for a
// 10-minute recording (and 30- and 60-minute ones, to show that memory does
// not grow with the file): recognised one window at a time and with every core, and
// decoded alone (a recogniser that does nothing) to show the decoder's share.
//
// Each run happens in a child process so its peak resident memory is its own.
// Counters: audio_s, rtf (wall time / audio time), cpu_rtf (processor time /
// audio time), peak_rss_MB.
#include "Engine/FileTranscriber.h"
#include "Engine/SphinxWindowRecognizer.h"
#include "Platform/UUID.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace fs = std::filesystem;
using namespace FileTranscriber;

namespace {

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// Speech from three voices, looped to the wanted length (WAV and MP3).
struct Fixtures {
    fs::path dir;
    Fixtures() {
        dir = fs::temp_directory_path() / ("ondira-bench-" + platform::newUUID());
        fs::create_directories(dir);
        const char* sentences[][2] = {
            {"kal16", "The quick brown fox jumps over the lazy dog. Please send the quarterly report to the team today."},
            {"slt", "Once upon a time there was a small village near the river. The people grew wheat and corn."},
            {"awb", "Please remember to call the doctor on Monday morning and ask about the results of the test."},
        };
        std::string inputs, filter;
        for (int i = 0; i < 3; ++i) {
            const fs::path part = dir / ("part" + std::to_string(i) + ".wav");
            run(std::string("flite -voice ") + sentences[i][0] + " -t '" + sentences[i][1] + "' -o " + part.string());
            inputs += " -i " + part.string();
            filter += "[" + std::to_string(i) + ":a]";
        }
        run("ffmpeg -y" + inputs + " -filter_complex '" + filter + "concat=n=3:v=0:a=1[out]' -map '[out]' -ar 16000 -ac 1 " +
            (dir / "base.wav").string());
        for (int minutes : {10, 30, 60}) {
            const std::string stem = (dir / ("speech" + std::to_string(minutes))).string();
            run("ffmpeg -y -stream_loop -1 -i " + (dir / "base.wav").string() + " -t " + std::to_string(minutes * 60) +
                " -c:a pcm_s16le " + stem + ".wav");
            run("ffmpeg -y -i " + stem + ".wav -c:a libmp3lame -b:a 64k " + stem + ".mp3");
        }
    }
    ~Fixtures() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    fs::path file(int minutes, const char* ext) const { return dir / ("speech" + std::to_string(minutes) + "." + ext); }
};

const Fixtures& fixtures() {
    static Fixtures f;
    return f;
}

struct NullRecognizer : WindowRecognizer {
    std::vector<Segment> recognize(const std::vector<float>& samples) override {
        return {{"x", 0, static_cast<double>(samples.size()) / windowSampleRate}};
    }
};

Engine decodeOnlyEngine() {
    Engine e;
    e.prepare = [](const std::string&, const std::vector<std::string>&) -> RecognizerFactory {
        return [] { return std::make_unique<NullRecognizer>(); };
    };
    return e;
}

struct ChildResult {
    double seconds = 0;
    double audioSeconds = 0;
    long peakKB = 0;
    double cpuSeconds = 0;
    bool ok = false;
    std::size_t words = 0;
};

// Transcribes in a child process; the parent reads wall time, length and the
// child's peak resident set.
ChildResult transcribeInChild(const fs::path& file, unsigned workers, bool decodeOnly) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        ChildResult r;
        try {
            Engine engine = decodeOnly ? decodeOnlyEngine() : SphinxWindowRecognizer::engine();
            engine.parallelWindows = workers;
            auto start = std::chrono::steady_clock::now();
            auto result = transcribeFile(file, {}, "en_US", defaultChunkSeconds, defaultOverlapSeconds,
                                         std::make_shared<CancellationToken>(), nullptr, engine);
            r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            r.audioSeconds = result.audioSeconds;
            r.words = result.segments.size();
            r.ok = true;
        } catch (...) {}
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        r.peakKB = usage.ru_maxrss;
        r.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        (void)!write(fds[1], &r, sizeof r);
        _exit(0);
    }
    close(fds[1]);
    ChildResult r;
    if (read(fds[0], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) r = {};
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return r;
}

void report(benchmark::State& state, const ChildResult& r) {
    if (!r.ok) {
        state.SkipWithError("transcription failed");
        return;
    }
    state.SetIterationTime(r.seconds);
    state.counters["audio_s"] = r.audioSeconds;
    state.counters["rtf"] = r.seconds / r.audioSeconds;
    state.counters["peak_rss_MB"] = static_cast<double>(r.peakKB) / 1024.0;
    state.counters["segments"] = static_cast<double>(r.words);
    // Processor time per second of audio: what the wall-clock factor would be
    // on one idle core, whatever else the machine was running.
    state.counters["cpu_rtf"] = r.cpuSeconds / r.audioSeconds;
}

// Args: minutes, workers (0 = one per core).
void BM_TranscribeWav(benchmark::State& state) {
    const fs::path file = fixtures().file(static_cast<int>(state.range(0)), "wav");
    for (auto _ : state) report(state, transcribeInChild(file, static_cast<unsigned>(state.range(1)), false));
    state.counters["workers"] = state.range(1) ? static_cast<double>(state.range(1)) : std::thread::hardware_concurrency();
}
BENCHMARK(BM_TranscribeWav)
    ->ArgNames({"minutes", "workers"})
    ->Args({10, 1})
    ->Args({10, 0})
    ->Args({30, 0})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// Decoding alone: the MP3 decoder and resampler streaming window by window.
void BM_DecodeOnlyMp3(benchmark::State& state) {
    const fs::path file = fixtures().file(static_cast<int>(state.range(0)), "mp3");
    for (auto _ : state) report(state, transcribeInChild(file, 1, true));
}
BENCHMARK(BM_DecodeOnlyMp3)
    ->ArgName("minutes")
    ->Arg(10)
    ->Arg(30)
    ->Arg(60)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

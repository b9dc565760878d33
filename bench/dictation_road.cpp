// The dictation road as a user times it, in a desktop session with a sound
// server (run it inside tests/support/test-session):
//   - key-up to text in a focused field, for 5 s and 30 s takes of speech
//     played into the sound server while the hotkey is held (XTest);
//   - launch to hotkeys armed;
//   - resident memory of the idle application;
//   - word error rate of spoken sentences played at 48 kHz, clean and with
//     band noise between 9 and 20 kHz at 5 % and 30 % of full scale (the
//     argument, in per cent).
// Ondira and the test text window are found next to this program's build.
#include <benchmark/benchmark.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Platform/UUID.h"
#include "support/Speech.h"

extern char** environ;
namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

namespace {

const fs::path buildDir = fs::canonical("/proc/self/exe").parent_path().parent_path();
const fs::path workDir = fs::temp_directory_path() / ("ondira-bench-road-" + platform::newUUID());

std::string fileText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool waitUntil(double seconds, const std::function<bool()>& condition, double step = 0.002) {
    const auto deadline = Steady::now() + std::chrono::duration<double>(seconds);
    while (Steady::now() < deadline && !condition()) std::this_thread::sleep_for(std::chrono::duration<double>(step));
    return condition();
}

pid_t spawn(const std::vector<std::string>& args, const fs::path& output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!output.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void end(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

// Ondira with a home of its own; answers its process id once its hotkeys are armed.
struct App {
    fs::path home = workDir / ("home-" + platform::newUUID());
    fs::path log = workDir / ("ondira-" + platform::newUUID() + ".log");
    pid_t pid = -1;
    double armedAfter = -1;
    App() {
        fs::create_directories(home);
        const auto started = Steady::now();
        pid = spawn({"/usr/bin/env", "HOME=" + home.string(), "XDG_CONFIG_HOME=" + (home / ".config").string(),
                     "XDG_DATA_HOME=" + (home / ".local/share").string(), (buildDir / "Ondira.bundle/Ondira").string()},
                    log);
        if (waitUntil(
                30, [&] { return fileText(log).find("Hotkey & Audio initialized") != std::string::npos; }, 0.001))
            armedAfter = std::chrono::duration<double>(Steady::now() - started).count();
    }
    ~App() { end(pid); }
    long residentKiB() const {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
        return -1;
    }
};

std::string phrase(double seconds) {
    // About 2.7 words a second in the flite voice.
    const std::vector<std::string> sentences = {"please send the report to the team by friday",
                                                "the quick brown fox jumped over the lazy dog",
                                                "we should meet for lunch next week", "can you call me back this afternoon"};
    std::string text;
    for (std::size_t i = 0; static_cast<double>(std::count(text.begin(), text.end(), ' ')) < seconds * 2.6; ++i)
        text += sentences[i % sentences.size()] + " ";
    return text;
}

// Ondira armed with its hub up, and a focused text field of another
// application: where a dictation lands. `field` is empty when either did not
// come up.
struct Desk {
    App app;
    fs::path field;
    pid_t window = -1;
    Display* display = nullptr;
    KeyCode key = 0;
    Desk() {
        if (app.armedAfter < 0) return;
        waitUntil(10, [&] { return fileText(app.log).find("Showing the dashboard hub.") != std::string::npos; });
        std::this_thread::sleep_for(std::chrono::seconds(2));  // the recogniser loads at launch
        const fs::path file = workDir / ("field-" + platform::newUUID() + ".txt");
        window = spawn({(buildDir / "tests/ondira_test_textwindow").string(), file.string()}, {});
        if (!waitUntil(15, [&] { return fs::exists(file.string() + ".ready"); })) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        display = XOpenDisplay(nullptr);
        if (!display) return;
        key = XKeysymToKeycode(display, XK_Control_R);
        field = file;
    }
    ~Desk() {
        if (display) XCloseDisplay(display);
        end(window);
    }
    std::string text() const { return fileText(field); }
    // Holds the hotkey while `speech` plays and `tail` seconds after it;
    // answers the moment of key-up.
    Steady::time_point dictate(const fs::path& speech, double tail) {
        XTestFakeKeyEvent(display, key, True, CurrentTime);
        XFlush(display);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::system(("paplay '" + speech.string() + "'").c_str());
        std::this_thread::sleep_for(std::chrono::duration<double>(tail));
        const auto keyUp = Steady::now();
        XTestFakeKeyEvent(display, key, False, CurrentTime);
        XFlush(display);
        return keyUp;
    }
};

void BM_KeyUpToTextInField(benchmark::State& state) {
    const double seconds = static_cast<double>(state.range(0));
    fs::create_directories(workDir);
    const fs::path speech = workDir / ("speech-" + std::to_string(state.range(0)) + ".wav");
    std::system(("flite -voice kal16 -t '" + phrase(seconds) + "' -o '" + speech.string() + "'").c_str());
    Desk desk;
    if (desk.field.empty()) {
        state.SkipWithError("Ondira or the text field did not start");
        return;
    }
    std::vector<double> latencies;
    for (auto _ : state) {
        const std::string before = desk.text();
        const auto keyUp = desk.dictate(speech, 0.2);
        const bool landed = waitUntil(
            30, [&] { return desk.text().size() > before.size() + 10; }, 0.001);
        const double latency = std::chrono::duration<double>(Steady::now() - keyUp).count();
        if (!landed) {
            state.SkipWithError("no text arrived in the field");
            break;
        }
        latencies.push_back(latency);
        state.SetIterationTime(latency);
        std::this_thread::sleep_for(std::chrono::milliseconds(800));  // the insertion settles
    }
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        state.counters["median_ms"] = 1000 * latencies[latencies.size() / 2];
        state.counters["max_ms"] = 1000 * latencies.back();
    }
}
BENCHMARK(BM_KeyUpToTextInField)->Arg(5)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KeyUpToTextInField)->Arg(30)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_LaunchToHotkeysArmed(benchmark::State& state) {
    fs::create_directories(workDir);
    std::vector<double> times;
    long rss = -1;
    for (auto _ : state) {
        App app;
        if (app.armedAfter < 0) {
            state.SkipWithError("Ondira did not start");
            break;
        }
        times.push_back(app.armedAfter);
        state.SetIterationTime(app.armedAfter);
        std::this_thread::sleep_for(std::chrono::seconds(4));  // idle: hub shown, recogniser loaded
        rss = app.residentKiB();
    }
    std::sort(times.begin(), times.end());
    if (!times.empty()) state.counters["median_ms"] = 1000 * times[times.size() / 2];
    state.counters["idle_rss_MiB"] = static_cast<double>(rss) / 1024.0;
}
void BM_WordErrorRateUnderBandNoise(benchmark::State& state) {
    const std::vector<std::string> sentences = {"could you move the budget review to next tuesday afternoon",
                                                "please send the report to the team by friday",
                                                "we should meet for lunch next week",
                                                "can you call me back this afternoon",
                                                "the meeting has been moved to the main conference room",
                                                "remember to buy milk and bread on the way home",
                                                "i will finish the draft before the end of the day",
                                                "let us schedule a quick call with the design team"};
    fs::create_directories(workDir);
    std::vector<fs::path> takes;
    for (std::size_t i = 0; i < sentences.size(); ++i) {
        const fs::path clean = workDir / ("sentence-" + std::to_string(i) + ".wav");
        const fs::path played = workDir / ("sentence-" + std::to_string(i) + "-" + std::to_string(state.range(0)) + ".wav");
        if (!testspeech::synthesize(sentences[i], clean) ||
            !testspeech::withBandNoise(clean, played, static_cast<double>(state.range(0)) / 100.0,
                                       static_cast<unsigned>(i + 1))) {
            state.SkipWithError("flite or ffmpeg is missing");
            return;
        }
        takes.push_back(played);
    }
    Desk desk;
    if (desk.field.empty()) {
        state.SkipWithError("Ondira or the text field did not start");
        return;
    }
    double errors = 0, words = 0;
    int perfect = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < takes.size(); ++i) {
            const std::string before = desk.text();
            desk.dictate(takes[i], 0.3);
            waitUntil(
                15, [&] { return desk.text().size() > before.size(); }, 0.01);
            std::this_thread::sleep_for(std::chrono::milliseconds(800));  // the insertion settles
            const std::string heard = testspeech::plainWords(desk.text().substr(before.size()));
            const double expected = static_cast<double>(testspeech::words(sentences[i]).size());
            const double wer = testspeech::wordErrorRate(sentences[i], heard);
            errors += wer * expected;
            words += expected;
            perfect += wer == 0;
            std::fprintf(stderr, "[%d %%] %.2f  %s  <-  %s\n", static_cast<int>(state.range(0)), wer, heard.c_str(),
                         sentences[i].c_str());
        }
    }
    state.counters["wer_pct"] = words > 0 ? 100 * errors / words : 100;
    state.counters["word_perfect"] = perfect;
    state.counters["takes"] = static_cast<double>(takes.size());
}
BENCHMARK(BM_WordErrorRateUnderBandNoise)->Arg(0)->Arg(5)->Arg(30)->Iterations(1)->Unit(benchmark::kSecond);

BENCHMARK(BM_LaunchToHotkeysArmed)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

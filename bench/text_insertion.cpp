// Time from the call to a 200-character dictation standing in a real GTK text
// field of another process, by paste and by typing (with the insertion's own
// verdict). Needs an X display with the accessibility bus, e.g.:
//   tests/support/test-session build/bench-session build/bench/bench_text_insertion
// The field is the tests' text window (build/tests/ondira_test_textwindow,
// or $ONDIRA_TEXTWINDOW).
#include "Input/TextInjector.h"
#include "Platform/X11/DesktopInsertion.h"
#include "Platform/FileIO.h"
#include "Platform/Queues.h"
#include "Platform/Unicode.h"
#include "Platform/UUID.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <benchmark/benchmark.h>
#include <glib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

// 200 characters of dictation, with accents and punctuation.
std::string sampleText() {
    std::string base = "Dictated text, naïve café style: the quarterly numbers look strong — send the report today. ";
    std::string out;
    while (platform::text::graphemeCount(out) < 200) out += base;
    return platform::text::prefixGraphemes(out, 200);
}

fs::path helperPath() {
    if (auto env = platform::environment("ONDIRA_TEXTWINDOW"); env && !env->empty()) return *env;
    char self[4096] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    return fs::path(std::string(self, n > 0 ? static_cast<std::size_t>(n) : 0)).parent_path().parent_path() / "tests" /
           "ondira_test_textwindow";
}

struct Field {
    fs::path dir = platform::temporaryDirectory() / ("ondira-bench-" + platform::newUUID());
    fs::path file = dir / "field.txt";
    GPid pid = 0;
    Display* keyboard = XOpenDisplay(nullptr);
    Field() {
        fs::create_directories(dir);
        std::string helper = helperPath().string(), path = file.string();
        char* argv[] = {helper.data(), path.data(), nullptr};
        g_spawn_async(nullptr, argv, nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid, nullptr);
        platform::MainQueue::pump(15.0, [&] { return fs::exists(path + ".ready"); });
        platform::MainQueue::pump(0.3);
    }
    ~Field() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (keyboard) XCloseDisplay(keyboard);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    bool ok() const { return keyboard && fs::exists(file.string() + ".ready"); }
    std::string text() const {
        auto bytes = platform::readFile(file);
        return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
    }
    // Ctrl+A, BackSpace: an empty field for the next round.
    void clear() {
        auto key = [&](KeySym sym, bool down) {
            XTestFakeKeyEvent(keyboard, XKeysymToKeycode(keyboard, sym), down, 0);
        };
        key(XK_Control_L, true);
        key(XK_a, true);
        key(XK_a, false);
        key(XK_Control_L, false);
        key(XK_BackSpace, true);
        key(XK_BackSpace, false);
        XSync(keyboard, False);
        platform::MainQueue::pump(3.0, [&] { return text().empty(); });
    }
};

void insertionRound(benchmark::State& state, bool paste) {
    Field field;
    if (!field.ok()) {
        state.SkipWithError("no X display or text window");
        return;
    }
    auto desktop = std::make_shared<platform::DesktopInsertion>();
    TextInjector injector(desktop);
    const std::string text = sampleText();
    for (auto _ : state) {
        std::optional<InjectionOutcome> outcome;
        injector.inject(text, paste, [&](InjectionOutcome o) { outcome = o; });
        // Landed when the field holds the text and the injector has judged it.
        platform::MainQueue::pump(10.0, [&] { return outcome.has_value() && field.text() == text; });
        if (field.text() != text || outcome != InjectionOutcome::confirmed()) {
            state.SkipWithError("the text did not land");
            break;
        }
        state.PauseTiming();
        field.clear();
        state.ResumeTiming();
    }
}

void BM_Insert200CharactersByPaste(benchmark::State& state) { insertionRound(state, true); }
void BM_Insert200CharactersByTyping(benchmark::State& state) { insertionRound(state, false); }
BENCHMARK(BM_Insert200CharactersByPaste)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();
BENCHMARK(BM_Insert200CharactersByTyping)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

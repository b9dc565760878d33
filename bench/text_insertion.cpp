// Time from the call to a 200-character dictation standing in a real GTK text
// field of another process, by paste and by typing (with the insertion's own
// verdict), and how long the main loop stood still meanwhile: a 5 ms timer on
// the main loop measures its own lateness, and the worst lateness of each
// insertion is what a tray menu or the indicator's animation would have
// suffered (counters stall_median_ms and stall_max_ms over the insertions).
// The user's clipboard holds a text and an image, so a paste saves and
// restores both. Needs an X display with the accessibility bus, e.g.:
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
#include <gtk/gtk.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <vector>

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

// A timer on the main loop that notes how much later than asked it runs.
class MainLoopProbe {
public:
    static constexpr int tickMs = 5;
    MainLoopProbe() : last_(std::chrono::steady_clock::now()), source_(g_timeout_add(tickMs, tick, this)) {}
    ~MainLoopProbe() { g_source_remove(source_); }
    MainLoopProbe(const MainLoopProbe&) = delete;
    MainLoopProbe& operator=(const MainLoopProbe&) = delete;
    void reset() {
        last_ = std::chrono::steady_clock::now();
        worstMs_ = 0;
    }
    // The worst lateness since reset(), the stall still running included.
    double worstStallMs() const { return std::max(worstMs_, sinceLastMs(std::chrono::steady_clock::now()) - tickMs); }

private:
    double sinceLastMs(std::chrono::steady_clock::time_point now) const {
        return std::chrono::duration<double, std::milli>(now - last_).count();
    }
    static gboolean tick(gpointer data) {
        auto* self = static_cast<MainLoopProbe*>(data);
        const auto now = std::chrono::steady_clock::now();
        self->worstMs_ = std::max(self->worstMs_, self->sinceLastMs(now) - tickMs);
        self->last_ = now;
        return G_SOURCE_CONTINUE;
    }
    std::chrono::steady_clock::time_point last_;
    double worstMs_ = 0;
    guint source_;
};

// A running product has GTK up and its windows realized (the indicator, the
// tray menu) long before the first dictation: that start-up is not part of
// any insertion, so it happens before the timed rounds.
void warmUpLikeTheProduct() {
    static const bool done = [] {
        if (!gtk_init_check(nullptr, nullptr)) return false;
        GtkWidget* window = gtk_offscreen_window_new();
        gtk_widget_show_all(window);
        gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
        platform::MainQueue::pump(0.1);
        return true;
    }();
    (void)done;
}

struct Field {
    fs::path dir = platform::temporaryDirectory() / ("ondira-bench-" + platform::newUUID());
    fs::path file = dir / "field.txt";
    GPid pid = 0;
    Display* keyboard = XOpenDisplay(nullptr);
    Field() {
        fs::create_directories(dir);
        std::string helper = helperPath().string(), path = file.string(), clipboard = "--clipboard";
        char* argv[] = {helper.data(), path.data(), clipboard.data(), nullptr};
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
        auto key = [&](KeySym sym, bool down) { XTestFakeKeyEvent(keyboard, XKeysymToKeycode(keyboard, sym), down, 0); };
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
    warmUpLikeTheProduct();
    Field field;
    if (!field.ok()) {
        state.SkipWithError("no X display or text window");
        return;
    }
    auto desktop = std::make_shared<platform::DesktopInsertion>();
    TextInjector injector(desktop);
    const std::string text = sampleText();
    MainLoopProbe probe;
    std::vector<double> stalls;
    for (auto _ : state) {
        std::optional<InjectionOutcome> outcome;
        probe.reset();
        injector.inject(text, paste, [&](InjectionOutcome o) { outcome = o; });
        // Landed when the field holds the text and the injector has judged it.
        platform::MainQueue::pump(10.0, [&] { return outcome.has_value() && field.text() == text; });
        stalls.push_back(probe.worstStallMs());
        if (field.text() != text || outcome != InjectionOutcome::confirmed()) {
            state.SkipWithError("the text did not land");
            break;
        }
        state.PauseTiming();
        // The restore of the user's clipboard finishes the insertion.
        platform::MainQueue::pump(0.2);
        stalls.back() = std::max(stalls.back(), probe.worstStallMs());
        field.clear();
        state.ResumeTiming();
    }
    std::sort(stalls.begin(), stalls.end());
    if (!stalls.empty()) {
        state.counters["stall_median_ms"] = stalls[stalls.size() / 2];
        state.counters["stall_max_ms"] = stalls.back();
    }
}

void BM_Insert200CharactersByPaste(benchmark::State& state) { insertionRound(state, true); }
void BM_Insert200CharactersByTyping(benchmark::State& state) { insertionRound(state, false); }
BENCHMARK(BM_Insert200CharactersByPaste)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();
BENCHMARK(BM_Insert200CharactersByTyping)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

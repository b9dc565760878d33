// The hub window in the real engine over a history of 100,000 dictations:
// from show() (or a page load) to the moment the page shows the statistics
// and the first history page. Needs a display: run it inside
// tests/support/test-session. Each repetition is one show, so the median and
// the max are over single shows.
#include <benchmark/benchmark.h>

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdlib>

#include "Base/AppPaths.h"
#include "LargeHistory.h"
#include "Platform/Bundle.h"
#include "Platform/Queues.h"
#include "UI/HubWindowController.h"
#include "support/EvaluateScript.h"
#include "support/FakeHub.h"

namespace {

// The page's answer to one script, waited for on the main loop.
std::string evaluate(const std::string& script) {
    return evaluateScript(HubWindowController::shared().webView(), script).value_or("");
}

const char* kPainted =
    "(function(){try{return document.getElementById('stat-total').textContent !== '–' && "
    "document.querySelectorAll('#history-list > li').length > 0;}catch(e){return false;}})()";
const char* kBlank =
    "document.getElementById('stat-total').textContent = '–';"
    "document.getElementById('history-list').textContent = ''; true";

void waitPainted() {
    for (int i = 0; i < 20000 && evaluate(kPainted) != "true"; ++i) platform::MainQueue::pump(0.001);
}

struct Setup {
    std::unique_ptr<bench::LargeHistory> history;
    Setup() {
        history = std::make_unique<bench::LargeHistory>();
        // The shared logger reads the large history from a private data directory.
        const auto home = history->dir / "home";
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
        ::unsetenv(AppPaths::selfTestStateDirVariable);
        std::filesystem::copy_file(history->dir / "dictation_log.jsonl", AppPaths::dictationLogFile());
        platform::MainQueue::markCurrentThreadAsMain();
        platform::Bundle::overrideBundleDirectory(std::filesystem::path(ONDIRA_BUNDLE_DIR));
        if (!gtk_init_check(nullptr, nullptr)) {
            std::fprintf(stderr, "no display: run inside tests/support/test-session\n");
            std::exit(1);
        }
        HubWindowController::shared().setHost(std::make_unique<FakeHubHost>());
        HubWindowController::shared().show();
        platform::MainQueue::pump(60, [] { return HubWindowController::shared().isPageLoaded(); });
        waitPainted();
    }
};

Setup& setup() {
    static Setup s;
    return s;
}

double maxOf(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

// A hidden hub shown again: its loaded page gets fresh statistics and history.
void BM_HubShowToStatsAndHistoryPainted(benchmark::State& state) {
    setup();
    auto& hub = HubWindowController::shared();
    for (auto _ : state) {
        state.PauseTiming();
        hub.hide();
        evaluate(kBlank);
        state.ResumeTiming();
        hub.show();
        waitPainted();
    }
}
BENCHMARK(BM_HubShowToStatsAndHistoryPainted)
    ->Iterations(1)
    ->Repetitions(15)
    ->ComputeStatistics("max", maxOf)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The page loaded afresh (as at the first show): load, scripts, first answers.
void BM_HubPageLoadToStatsAndHistoryPainted(benchmark::State& state) {
    setup();
    auto* view = HubWindowController::shared().webView();
    for (auto _ : state) {
        webkit_web_view_reload(view);
        // The old document answers until the new one has loaded.
        platform::MainQueue::pump(10, [] { return !HubWindowController::shared().isPageLoaded(); });
        platform::MainQueue::pump(30, [] { return HubWindowController::shared().isPageLoaded(); });
        waitPainted();
    }
}
BENCHMARK(BM_HubPageLoadToStatsAndHistoryPainted)
    ->Iterations(1)
    ->Repetitions(10)
    ->ComputeStatistics("max", maxOf)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

// The hub over a history of 100,000 dictations, measured the way the page
// sees it: from the message the page posts to the script that answers it
// (the rows, the page or the search, the JSON and the hop back to the main
// thread). Each repetition is one request, so the median and the max are
// over single answers.
#include <benchmark/benchmark.h>

#include "LargeHistory.h"
#include "Platform/Queues.h"
#include "UI/HubBridge.h"
#include "support/FakeHub.h"

namespace {

struct Hub {
    bench::LargeHistory& history;
    FakeHubEmitter emitter;
    FakeHubHost host;
    std::shared_ptr<HubBridge> bridge;

    explicit Hub(bench::LargeHistory& h) : history(h) {
        platform::MainQueue::markCurrentThreadAsMain();
        HubStores stores;
        stores.history = h.logger.get();
        bridge = HubBridge::create(emitter, host, stores);
    }

    // Posts one message and runs the main queue until its answer arrived.
    void ask(const std::string& body) {
        const std::size_t before = emitter.scripts.size();
        bridge->handleMessage(body);
        platform::MainQueue::pump(10.0, [&] { return emitter.scripts.size() > before; });
        if (emitter.scripts.size() == before) std::abort();
        emitter.scripts.clear();
    }
};

bench::LargeHistory& largeHistory() {
    static bench::LargeHistory h;
    return h;
}

Hub& hub() {
    static Hub h(largeHistory());
    return h;
}

double maxOf(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

void BM_HubFirstHistoryPage(benchmark::State& state) {
    const std::string body = "history_query:{\"offset\":0,\"limit\":" + std::to_string(state.range(0)) + "}";
    hub().ask(body);  // the rows are read once per process, as after the first show
    for (auto _ : state) hub().ask(body);
}
BENCHMARK(BM_HubFirstHistoryPage)
    ->Arg(100)
    ->Arg(2000)
    ->Iterations(1)
    ->Repetitions(30)
    ->ComputeStatistics("max", maxOf)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

void BM_HubSearch(benchmark::State& state) {
    const std::string body =
        std::string("history_search:{\"query\":\"") + (state.range(0) ? "quarterly report" : "zebra") + "\"}";
    hub().ask(body);
    for (auto _ : state) hub().ask(body);
}
BENCHMARK(BM_HubSearch)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Repetitions(30)
    ->ComputeStatistics("max", maxOf)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

void BM_HubStatistics(benchmark::State& state) {
    hub().ask("stats_query");
    for (auto _ : state) hub().ask("stats_query");
}
BENCHMARK(BM_HubStatistics)
    ->Iterations(1)
    ->Repetitions(30)
    ->ComputeStatistics("max", maxOf)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// The history view over a large history: 100,000 dictations (about 30 MB of
// JSON lines). Loading the rows, the first page, a substring search, and an
// append that has to rotate the live file at its size limit.
#include "Learning/DictationLogger.h"
#include "Learning/HistoryView.h"
#include "Platform/FileIO.h"
#include "Platform/UUID.h"
#include "LargeHistory.h"

#include <benchmark/benchmark.h>

#include <fstream>
#include <random>

namespace fs = std::filesystem;

namespace {

using bench::LargeHistory;

LargeHistory& history() {
    static LargeHistory h;
    return h;
}

// The first read of a process: every line parsed.
void BM_LoadRowsFromFile(benchmark::State& state) {
    auto& h = history();
    state.counters["file_MB"] = static_cast<double>(h.logger->historySizeBytes()) / 1e6;
    for (auto _ : state) {
        DictationLogger cold(h.dir);
        benchmark::DoNotOptimize(cold.readAllRows());
    }
}
BENCHMARK(BM_LoadRowsFromFile)->Unit(benchmark::kMillisecond);

// What the history view pays on a refresh after a dictation: the one new
// line is parsed, the rest comes from the rows already read.
void BM_LoadRowsAfterOneAppend(benchmark::State& state) {
    auto& h = history();
    auto entry = DictationLogger::makeEntry("one more dictation for the list", "Mail", DictationLogger::Clock::now(), 3, 0.5,
                                            0.3, "engine");
    const std::string line = entry->dump() + "\n";
    h.logger->readAllRows();
    for (auto _ : state) {
        state.PauseTiming();
        // Written past the logger, which would rotate a file this large.
        std::ofstream(h.logger->historyFileURL(), std::ios::app | std::ios::binary) << line;
        state.ResumeTiming();
        benchmark::DoNotOptimize(h.logger->readAllRows());
    }
}
BENCHMARK(BM_LoadRowsAfterOneAppend)->Unit(benchmark::kMillisecond);

// A page as the view shows it after a refresh: rows, then the newest page.
void BM_FirstPageIncludingRefresh(benchmark::State& state) {
    auto& h = history();
    h.logger->readAllRows();
    for (auto _ : state) {
        auto rows = h.logger->readAllRows();
        benchmark::DoNotOptimize(HistoryView::paginateHistory(rows, 0, 100));
    }
}
BENCHMARK(BM_FirstPageIncludingRefresh)->Unit(benchmark::kMillisecond);

void BM_FirstPage(benchmark::State& state) {
    auto& h = history();
    for (auto _ : state) benchmark::DoNotOptimize(HistoryView::paginateHistory(h.rows, 0, 100));
}
BENCHMARK(BM_FirstPage)->Unit(benchmark::kMillisecond);

void BM_SearchSubstring(benchmark::State& state) {
    auto& h = history();
    const char* query = state.range(0) ? "QUARTERLY report" : "zebra";
    for (auto _ : state) benchmark::DoNotOptimize(HistoryView::searchHistory(h.rows, query, 200));
}
BENCHMARK(BM_SearchSubstring)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_SearchNonASCIIQuery(benchmark::State& state) {
    auto& h = history();
    for (auto _ : state) benchmark::DoNotOptimize(HistoryView::searchHistory(h.rows, "MÜLLER", 200));
}
BENCHMARK(BM_SearchNonASCIIQuery)->Unit(benchmark::kMillisecond);

void BM_EntryCount(benchmark::State& state) {
    auto& h = history();
    for (auto _ : state) benchmark::DoNotOptimize(h.logger->historyEntryCount());
}
BENCHMARK(BM_EntryCount)->Unit(benchmark::kMillisecond);

// One append that finds the live file at the limit: move it to the archive,
// then create the new live file, write and sync.
void BM_AppendWithRotation(benchmark::State& state) {
    const fs::path dir = platform::temporaryDirectory() / ("ondira-bench-rotate-" + platform::newUUID());
    fs::create_directories(dir);
    DictationLogger logger(dir);
    auto entry = DictationLogger::makeEntry("a dictated sentence of ordinary length for the history", "Mail",
                                            DictationLogger::Clock::now(), 4, 0.5, 0.3, "engine");
    for (auto _ : state) {
        state.PauseTiming();
        { std::ofstream(logger.historyFileURL(), std::ios::trunc); }
        fs::resize_file(logger.historyFileURL(), DictationLogger::maxBytes);
        state.ResumeTiming();
        logger.appendLine(*entry);
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}
BENCHMARK(BM_AppendWithRotation)->Unit(benchmark::kMillisecond);

void BM_AppendWithoutRotation(benchmark::State& state) {
    const fs::path dir = platform::temporaryDirectory() / ("ondira-bench-append-" + platform::newUUID());
    fs::create_directories(dir);
    DictationLogger logger(dir);
    auto entry = DictationLogger::makeEntry("a dictated sentence of ordinary length for the history", "Mail",
                                            DictationLogger::Clock::now(), 4, 0.5, 0.3, "engine");
    for (auto _ : state) logger.appendLine(*entry);
    std::error_code ec;
    fs::remove_all(dir, ec);
}
BENCHMARK(BM_AppendWithoutRotation)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

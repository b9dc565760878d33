// Throughput of the streamed SHA-256 of a download, and the memory it holds:
// one 1 MiB buffer whatever the file's size.
#include "Platform/FileIO.h"
#include "Platform/UUID.h"
#include "Update/ChecksumVerifier.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

std::filesystem::path makeFile(std::size_t bytes) {
    const auto path = platform::temporaryDirectory() / ("ondira-bench-sha-" + platform::newUUID());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::string block(1 << 20, 'x');
    for (std::size_t written = 0; written < bytes; written += block.size()) {
        platform::writeAll(fd, std::string_view(block.data(), std::min(block.size(), bytes - written)));
    }
    ::close(fd);
    return path;
}

long maxResidentKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void BM_StreamedSHA256(benchmark::State& state) {
    const std::size_t bytes = static_cast<std::size_t>(state.range(0)) << 20;
    const auto file = makeFile(bytes);
    const long before = maxResidentKiB();
    for (auto _ : state) {
        auto result = ChecksumVerifier::sha256Hex(file);
        benchmark::DoNotOptimize(result.hex);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
    state.counters["peak_rss_growth_KiB"] = static_cast<double>(maxResidentKiB() - before);
    std::filesystem::remove(file);
}

}  // namespace

BENCHMARK(BM_StreamedSHA256)->Arg(8)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();

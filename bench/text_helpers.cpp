// How fast the shared ICU helpers run on a dictation-sized text.
#include "Platform/Unicode.h"

#include <benchmark/benchmark.h>

namespace {
const char* kSample =
    "so um I think the quarterly EBITDA numbers look strong and uh we should send the report to the team today";

void BM_WordBoundaryReplace(benchmark::State& state) {
    platform::text::Regex re("\\bebitda\\b", platform::text::Regex::caseInsensitive);
    for (auto _ : state) benchmark::DoNotOptimize(re.replaceAllLiteral(kSample, "EBITDA"));
}
BENCHMARK(BM_WordBoundaryReplace);

void BM_Trim(benchmark::State& state) {
    std::string s = std::string("  \n\t") + kSample + " \n";
    for (auto _ : state) benchmark::DoNotOptimize(platform::text::trimmed(s));
}
BENCHMARK(BM_Trim);
}  // namespace

BENCHMARK_MAIN();

// The full clean-up of a typical dictation in each processing mode, with a
// well-used account: 500 dictionary terms, 200 learned corrections and 100
// snippets in force.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "Base/AppPaths.h"
#include "Platform/FileIO.h"
#include "Platform/UUID.h"
#include "Text/PolishEngine.h"
#include "Text/RegexCleaner.h"
#include "Text/Snippets.h"
#include "Text/TextPipeline.h"
#include "Text/Vocabulary.h"
#include "Text/VoiceCommands.h"

namespace fs = std::filesystem;

namespace {

// About sixty words, with fillers, spoken punctuation, dictionary terms,
// learned corrections and one snippet trigger.
const char* kDictation =
    "um so I talked to the kubernetes team this morning comma and uh they said the grafana dashboards "
    "for the postgres cluster are, you know, still showing stale data period we should recieve the fix by "
    "friday but teh rollout plan needs a review from jira first period can you like, ping them and "
    "share the terraform diff question mark thanks brb";

struct Fixture {
    fs::path root;
    Fixture() {
        root = platform::temporaryDirectory() / ("ondira-bench-" + platform::newUUID());
        fs::create_directories(root);
        ::setenv(AppPaths::selfTestStateDirVariable, root.c_str(), 1);

        std::string dictionary = "[";
        const char* real[] = {"kubernetes", "grafana", "postgres", "jira", "terraform"};
        for (int i = 0; i < 500; ++i) {
            std::string from = i < 5 ? real[i] : "term" + std::to_string(i) + (i % 7 == 0 ? " phrase" : "");
            std::string to = i < 5 ? std::string(1, static_cast<char>(std::toupper(from[0]))) + from.substr(1)
                                   : "Term-" + std::to_string(i);
            dictionary += std::string(i ? "," : "") + "{\"from\":\"" + from + "\",\"to\":\"" + to + "\"}";
        }
        dictionary += "]";
        std::ofstream(AppPaths::dictionaryFile()) << dictionary;

        std::ofstream corrections(AppPaths::applicationSupportFile("corrections.jsonl"));
        for (int i = 0; i < 200; ++i) {
            std::string heard = i == 0 ? "recieve" : i == 1 ? "teh" : "misheard" + std::to_string(i);
            std::string written = i == 0 ? "receive" : i == 1 ? "the" : "meant" + std::to_string(i);
            for (int k = 0; k < 3; ++k)
                corrections << "{\"heard\":\"" << heard << "\",\"written\":\"" << written
                            << "\",\"context\":\"\",\"app\":\"A\",\"ts\":1,\"source\":\"observed_edit\"}\n";
        }
        corrections.close();

        std::string snippets = "[";
        for (int i = 0; i < 100; ++i) {
            std::string trigger = i == 0 ? "brb" : "snip" + std::to_string(i);
            snippets += std::string(i ? "," : "") + "{\"trigger\":\"" + trigger + "\",\"expansion\":\"Expansion " +
                        std::to_string(i) + "\"}";
        }
        snippets += "]";
        std::ofstream(Snippets::storageFile()) << snippets;
        Vocabulary::shared().reloadDictionary();
    }
    ~Fixture() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_CleanUp(benchmark::State& state, const char* mode) {
    fixture();
    static Snippets snippets;
    PolishEngine engine(RegexCleaner::shared(), Vocabulary::shared(), CorrectionLog::shared());
    engine.setMode(mode);
    std::string out;
    for (auto _ : state) {
        out = TextPipeline::cleanUpDictation(kDictation, false, AppRules::globalDefault(), engine, snippets);
        benchmark::DoNotOptimize(out);
    }
    state.SetLabel(out.substr(0, 60));
}
BENCHMARK_CAPTURE(BM_CleanUp, fast, "fast")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_CleanUp, balanced, "balanced")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_CleanUp, polish, "polish")->Unit(benchmark::kMicrosecond);

// The steps on their own, to show where a dictation's time goes.
void BM_Step_VoiceCommands(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(VoiceCommands::resolve(kDictation));
}
BENCHMARK(BM_Step_VoiceCommands)->Unit(benchmark::kMicrosecond);

void BM_Step_Fillers(benchmark::State& state) {
    const std::string resolved = VoiceCommands::resolve(kDictation);
    for (auto _ : state) benchmark::DoNotOptimize(RegexCleaner::shared().stripFillers(resolved));
}
BENCHMARK(BM_Step_Fillers)->Unit(benchmark::kMicrosecond);

void BM_Step_Dictionary(benchmark::State& state) {
    fixture();
    const std::string cleaned = RegexCleaner::shared().stripFillers(VoiceCommands::resolve(kDictation));
    for (auto _ : state) benchmark::DoNotOptimize(Vocabulary::shared().apply(cleaned));
}
BENCHMARK(BM_Step_Dictionary)->Unit(benchmark::kMicrosecond);

void BM_Step_LearnedSubstitutions(benchmark::State& state) {
    fixture();
    const std::string cleaned = RegexCleaner::shared().stripFillers(VoiceCommands::resolve(kDictation));
    for (auto _ : state)
        benchmark::DoNotOptimize(
            PolishEngine::applyLearnedSubstitutions(cleaned, CorrectionLog::shared().learnedSubstitutions()));
}
BENCHMARK(BM_Step_LearnedSubstitutions)->Unit(benchmark::kMicrosecond);

void BM_Step_Snippets(benchmark::State& state) {
    fixture();
    static Snippets snippets;
    const std::string cleaned = RegexCleaner::shared().stripFillers(VoiceCommands::resolve(kDictation));
    for (auto _ : state) benchmark::DoNotOptimize(snippets.expand(cleaned));
}
BENCHMARK(BM_Step_Snippets)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

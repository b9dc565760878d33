// What the personal speech model and the screen-context terms are worth, and
// what they cost.
//
// - Word error rate on a term-heavy set: sentences full of names and jargon
//   the stock model does not know, drawn from a fixture history, spoken by
//   the flite voices kal16, slt and awb; decoded with the stock model alone,
//   with the personal model built from that history, with the terms the
//   screen harvest takes from a fixture text field, and with both. The same
//   for a general-speech set of ordinary sentences, which must not get worse.
// - Build time (wall and CPU) and peak memory of a build from 1,000 and
//   10,000 history entries, each build in a child process forked before the
//   recogniser is loaded, so its peak is its own.
// - Key-up -> text latency of 5 s takes decoded live, with and without the
//   model attached, and the one-off cost of attaching it.
//
// Run as: build/bench/bench_personal_model --benchmark_repetitions=5
// (bounded: about two minutes on one core).
#include "Base/AppPaths.h"
#include "Engine/AudioBuffers.h"
#include "Engine/SphinxRecognizer.h"
#include "Learning/PersonalModel.h"
#include "Learning/ScreenContext.h"
#include "Platform/FileIO.h"
#include "Platform/Insertion.h"
#include "Platform/UUID.h"

#include "support/Speech.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

// ---- Fixtures ----

// What this user dictates: their team, their stack, their customers.
const std::vector<std::string> termHistory = {
    "deploy the kubectl rollout to grafana",
    "ask zendaya about the quarkus upgrade",
    "the terraform plan touches nginx and istio",
    "page ximena when the pgbouncer pool is full",
    "move the rabbitmq queue behind argocd",
    "tomasz owns the datadog dashboards",
    "send the okta invite to bartosz",
    "supabase and vercel bills are due friday",
    "open a jira ticket for the figma export",
    "dragomir rewrote the kotlin service in postgres",
    "redis keeps the webpack cache warm",
    "anika reviews the tailwind migration",
    "yusuf will restart the kubectl proxy",
    "grafana alerts go to zendaya and tomasz",
    "the istio gateway fronts nginx",
    "argocd syncs the terraform state every hour",
    "ximena and anika are on call this week",
    "bartosz fixed the pgbouncer timeout",
    "the quarkus build broke the vercel preview",
    "dragomir moved datadog logs to redis",
};
// Spoken test sentences: some the user said before, some new mixes of the same words.
const std::vector<std::string> termSentences = {
    "deploy the kubectl rollout to grafana",
    "ask zendaya about the quarkus upgrade",
    "page ximena when the pgbouncer pool is full",
    "tomasz owns the datadog dashboards",
    "dragomir rewrote the kotlin service in postgres",
    "anika reviews the tailwind migration",
    "ask tomasz about the istio gateway",
    "bartosz will restart the argocd sync",
    "the terraform plan for redis is ready",
    "send the figma export to yusuf",
};
const std::vector<std::string> generalSentences = {
    "please send the report to the team by friday", "we should meet for lunch next week",
    "can you call me back this afternoon",          "the weather was lovely on our trip to the coast",
    "i think the meeting went well overall",        "let me know if you need anything else",
    "she bought two tickets for the concert",       "the children played in the garden all morning",
};
// The text field the user is looking at while dictating.
const std::string screenField =
    "Incident review with Zendaya, Tomasz, Ximena and Bartosz. Dragomir owns the Quarkus service; Anika "
    "and Yusuf own Tailwind. Stack: Kubectl, Grafana, Istio, Nginx, Terraform, ArgoCD, PgBouncer, RabbitMQ, "
    "Datadog, Okta, Supabase, Vercel, Jira, Figma, Kotlin, Postgres, Redis, Webpack.";
const char* const voices[] = {"kal16", "slt", "awb"};

// The field the user looks at; nothing else of the desktop is used.
class FixtureField : public InsertionTarget {
public:
    SecureInputState secureInputState() override { return SecureInputState::inactive; }
    std::optional<std::string> focusedValue() override { return screenField; }
    std::optional<std::string> focusedSelectedText() override { return std::nullopt; }
    bool insertAtFocus(const std::string&) override { return false; }
    void typeText(const std::string&) override {}
    void snapshotClipboard(std::function<void(ClipboardSnapshot)> done) override { done({}); }
    void setClipboardText(const std::string&) override {}
    std::optional<std::string> clipboardText() override { return std::nullopt; }
    bool clipboardStillHolds(const std::string&) override { return false; }
    void restoreClipboard(const ClipboardSnapshot&) override {}
    void sendPasteShortcut() override {}
};

fs::path workDir;
SphinxModel stock;

struct Utterance {
    std::string text;
    std::vector<std::int16_t> samples;
};
std::vector<Utterance> termSet, generalSet;

std::vector<std::int16_t> speak(const std::string& text, const std::string& voice) {
    const fs::path out = workDir / ("u-" + platform::newUUID() + ".wav");
    if (!testspeech::synthesize(text, out, voice)) return {};
    auto file = AudioFile::openForReading(out, nullptr);
    if (!file) return {};
    std::vector<std::int16_t> samples(8000, 0);  // half a second of silence each side
    for (float f : file->readMonoFloat(nullptr))
        samples.push_back(static_cast<std::int16_t>(std::clamp(f, -1.0f, 1.0f) * 32767.0f));
    samples.insert(samples.end(), 8000, 0);
    return samples;
}

std::string decode(SphinxDecoder& decoder, const std::vector<std::int16_t>& samples) {
    decoder.startUtterance();
    decoder.process(samples.data(), samples.size());
    return decoder.finishUtterance();
}

void writeHistory(const std::vector<std::string>& texts) {
    std::string lines;
    for (const auto& t : texts) lines += json{{"ts", 1}, {"text", t}}.dump() + "\n";
    platform::atomicWrite(AppPaths::applicationSupport() / "dictation_log.jsonl", lines);
    std::error_code ec;
    fs::remove_all(AppPaths::applicationSupport() / "personal_model", ec);
}

// A history of `count` entries: the term phrases now and then, the rest
// ordinary sentences of dictionary words, so the vocabulary grows as a real one does.
std::vector<std::string> syntheticHistory(std::size_t count) {
    static std::vector<std::string> dictionary;
    if (dictionary.empty()) {
        std::ifstream in(stock.dictionary);
        for (std::string line; std::getline(in, line);) {
            const std::string word = line.substr(0, line.find(' '));
            if (word.find_first_not_of("abcdefghijklmnopqrstuvwxyz") == std::string::npos && word.size() > 2)
                dictionary.push_back(word);
        }
    }
    std::mt19937 random(42);
    std::uniform_int_distribution<std::size_t> pick(0, std::min<std::size_t>(dictionary.size(), 20000) - 1);
    std::uniform_int_distribution<int> length(4, 14);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < count; ++i) {
        if (i % 10 == 0) {
            out.push_back(termHistory[i / 10 % termHistory.size()]);
            continue;
        }
        std::string sentence;
        for (int n = length(random); n > 0; --n)
            sentence += (sentence.empty() ? "" : " ") + dictionary[pick(random) * 7 % dictionary.size()];
        out.push_back(sentence);
    }
    return out;
}

void setUp() {
    workDir = platform::temporaryDirectory() / ("bench-personal-" + platform::newUUID());
    fs::create_directories(workDir);
    ::setenv(AppPaths::selfTestStateDirVariable, workDir.c_str(), 1);
    auto model = SphinxModels::forLocale("en_US");
    if (!model) {
        std::fprintf(stderr, "no en_US speech model installed\n");
        std::exit(1);
    }
    stock = *model;
    PersonalModel::setEnabled(true);
    PersonalModel::shared().setPronunciationSources(
        {[](const std::string&) -> std::optional<fs::path> { return stock.dictionary; },
         [](const std::string& word) { return Pronunciations::guess(word); },
         [](const std::string&) -> std::optional<fs::path> { return stock.languageModel; }});
    for (const char* voice : voices) {
        for (const auto& s : termSentences) termSet.push_back({s, speak(s, voice)});
        for (const auto& s : generalSentences) generalSet.push_back({s, speak(s, voice)});
    }
}

std::optional<PersonalModel::Configuration> buildFromTermHistory() {
    // The history as a user would have it: each phrase a few times.
    std::vector<std::string> history;
    for (int i = 0; i < 5; ++i) history.insert(history.end(), termHistory.begin(), termHistory.end());
    writeHistory(history);
    PersonalModel::shared().rebuildIfNeeded("en_US");
    return PersonalModel::shared().preparedConfiguration("en_US");
}

std::vector<std::string> screenTerms() {
    ScreenContext::setFocusedFieldForTesting(std::make_shared<FixtureField>());
    ScreenContext::setApplicationKeyForTesting([] { return std::string("bench.fixture.field"); });
    auto terms = ScreenContext::harvestTerms();
    ScreenContext::setFocusedFieldForTesting(nullptr);
    return terms;
}

double wer(SphinxDecoder& decoder, const std::vector<Utterance>& set) {
    std::size_t wrong = 0, total = 0;
    for (const auto& u : set) {
        const std::size_t n = testspeech::words(u.text).size();
        wrong += static_cast<std::size_t>(
            std::lround(testspeech::wordErrorRate(u.text, decode(decoder, u.samples)) * static_cast<double>(n)));
        total += n;
    }
    return total ? 100.0 * static_cast<double>(wrong) / static_cast<double>(total) : 0.0;
}

// ---- Benchmarks ----

// Each build runs in a child: the wall time and the child's own peak memory.
void BM_Build(benchmark::State& state) {
    const auto entries = static_cast<std::size_t>(state.range(0));
    writeHistory(syntheticHistory(entries));
    // What a child that builds nothing peaks at: the copy of this process.
    double cpu = 0;
    auto childPeak = [&cpu](bool build) -> std::pair<double, long> {
        const auto start = Clock::now();
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (build) {
                try {
                    std::error_code ec;
                    fs::remove_all(PersonalModel::directory(), ec);
                    PersonalModel::shared().build(PersonalModel::corpusEntryCount(), "en_US");
                } catch (...) {
                    ::_exit(1);
                }
            }
            ::_exit(0);
        }
        int status = 0;
        struct rusage usage {};
        ::wait4(pid, &status, 0, &usage);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
        return {WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1.0, usage.ru_maxrss};
    };
    const long baseline = childPeak(false).second;
    long peak = 0;
    for (auto _ : state) {
        auto [seconds, kilobytes] = childPeak(true);
        if (seconds < 0) {
            state.SkipWithError("build failed");
            return;
        }
        state.SetIterationTime(seconds);
        state.counters["cpu_s"] = cpu;
        peak = std::max(peak, kilobytes);
    }
    state.counters["peak_MB"] = static_cast<double>(peak) / 1024.0;
    state.counters["peak_over_idle_MB"] = static_cast<double>(peak - baseline) / 1024.0;
    state.counters["model_KB"] = static_cast<double>(fs::file_size(PersonalModel::directory() / "model.bin")) / 1024.0;
}
BENCHMARK(BM_Build)->Arg(1000)->Arg(10000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_WordErrorRate(benchmark::State& state) {
    auto decoder = SphinxDecoder::create(stock, nullptr);
    const auto personal = buildFromTermHistory();
    const std::vector<std::string> screen = screenTerms();
    if (!decoder || !personal || screen.empty()) {
        state.SkipWithError("no decoder, no personal model or no screen terms");
        return;
    }
    for (auto _ : state) {
        decoder->configure({}, std::nullopt);
        state.counters["term_stock"] = wer(*decoder, termSet);
        state.counters["general_stock"] = wer(*decoder, generalSet);
        decoder->configure({}, personal);
        state.counters["term_personal"] = wer(*decoder, termSet);
        state.counters["general_personal"] = wer(*decoder, generalSet);
        decoder->configure(screen, std::nullopt);
        state.counters["term_screen"] = wer(*decoder, termSet);
        decoder->configure(screen, personal);
        state.counters["term_both"] = wer(*decoder, termSet);
        state.counters["general_both"] = wer(*decoder, generalSet);
    }
    state.counters["screen_terms"] = static_cast<double>(screen.size());
}
BENCHMARK(BM_WordErrorRate)->Iterations(1)->Repetitions(1)->Unit(benchmark::kSecond);

// Key-up -> text: a 5 s take decoded as it arrives; what is left when the key
// comes up is finishing its last segment. Arg 1: with the personal model attached.
void BM_KeyUpToText(benchmark::State& state) {
    const bool attached = state.range(0) == 1;
    static std::optional<PersonalModel::Configuration> personal = buildFromTermHistory();
    static std::vector<std::string> screen = screenTerms();
    std::vector<std::int16_t> take;
    for (std::size_t i = 0; take.size() < 5 * 16000; ++i)
        take.insert(take.end(), termSet[i % termSet.size()].samples.begin(), termSet[i % termSet.size()].samples.end());
    take.resize(5 * 16000);
    auto decoder = SphinxDecoder::create(stock, nullptr);
    const auto configureStart = Clock::now();
    decoder->configure(screen, attached ? personal : std::nullopt);
    state.counters["attach_ms"] = 1000.0 * std::chrono::duration<double>(Clock::now() - configureStart).count();
    for (auto _ : state) {
        decoder->startUtterance();
        decoder->process(take.data(), take.size());
        const auto keyUp = Clock::now();
        benchmark::DoNotOptimize(decoder->finishUtterance());
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - keyUp).count());
    }
}
BENCHMARK(BM_KeyUpToText)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(10)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("max", [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); });

}  // namespace

int main(int argc, char** argv) {
    setUp();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    fs::remove_all(workDir, ec);
    return 0;
}

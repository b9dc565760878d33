#include "Learning/PersonalModel.h"

#include "Base/AppPaths.h"
#include "Engine/SphinxRecognizer.h"
#include "Learning/NgramEstimator.h"
#include "Platform/FileIO.h"
#include "Platform/Unicode.h"

#include <gtest/gtest.h>
#include <sphinxbase/err.h>
#include <sphinxbase/logmath.h>
#include <sphinxbase/ngram_model.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <future>
#include <fstream>
#include <map>
#include <sstream>

#include "Engine/AudioBuffers.h"
#include "support/Speech.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

// A history full of words the stock dictionary lacks, in a private state directory.
class PersonalModelBuild : public ::testing::Test {
protected:
    TempDir dir{"ondira-personal-"};
    ScopedEnv isolation{AppPaths::selfTestStateDirVariable, dir.path.string()};
    fs::path support;
    fs::path model;

    void SetUp() override {
        support = AppPaths::applicationSupport();
        model = PersonalModel::directory();
        PersonalModel::setEnabled(true);
        PersonalModel::shared().setPronunciationSources(
            {[](const std::string& locale) -> std::optional<fs::path> {
                 auto m = SphinxModels::forLocale(locale);
                 return m ? std::optional<fs::path>(m->dictionary) : std::nullopt;
             },
             [](const std::string& word) { return Pronunciations::guess(word); },
             [](const std::string& locale) -> std::optional<fs::path> {
                 auto m = SphinxModels::forLocale(locale);
                 return m ? std::optional<fs::path>(m->languageModel) : std::nullopt;
             }});
    }
    void writeHistory(const std::vector<std::string>& texts) {
        std::string lines;
        for (const auto& t : texts) lines += json{{"ts", 1}, {"text", t}}.dump() + "\n";
        ASSERT_TRUE(platform::atomicWrite(support / "dictation_log.jsonl", lines));
    }
    std::string read(const std::string& name) { return platform::readFile(model / name).value_or(""); }
    bool exists(const std::string& name) { return platform::fileExists(model / name); }
    std::vector<std::string> leftovers() {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(model))
            if (platform::text::hasSuffix(e.path().filename().string(), ".partial")) out.push_back(e.path().filename());
        return out;
    }
};

const std::vector<std::string> jargon = {
    "deploy the kubectl rollout to grafana", "ask zendaya about the quarkus upgrade",  "the terraform plan touches nginx",
    "page oksana when prometheus alerts",    "merge the kubectl rollout before lunch", "grafana shows the quarkus latency",
};

TEST_F(PersonalModelBuild, CompilesAModelTheRecogniserLoadsWithEveryWordPronounced) {
    writeHistory(jargon);
    ASSERT_TRUE(PersonalModel::shared().rebuildIfNeeded("en_US"));
    const auto outcome = PersonalModel::buildOutcome(json::parse(read("build_outcome.json")));
    ASSERT_TRUE(outcome);
    ASSERT_TRUE(outcome->succeeded) << outcome->failureReason.value_or("");
    EXPECT_EQ(outcome->phraseCount, 6);
    EXPECT_FALSE(exists("training_data.sflm"));
    EXPECT_TRUE(leftovers().empty());

    const auto config = PersonalModel::shared().preparedConfiguration("en-us");
    ASSERT_TRUE(config);
    EXPECT_EQ(config->modelVersion, PersonalModel::readMetadata()->modelVersion);
    // The recogniser's own reader takes the binary model and knows the words.
    err_set_logfp(nullptr);
    logmath_t* lmath = logmath_init(1.0001, 0, 0);
    ngram_model_t* lm = ngram_model_read(nullptr, config->languageModelPath.c_str(), NGRAM_AUTO, lmath);
    ASSERT_NE(lm, nullptr);
    EXPECT_NE(ngram_wid(lm, "kubectl"), ngram_unknown_wid(lm));
    // A trigram of the history scores better than the same words shuffled.
    const int32 seen = ngram_score(lm, "rollout", "kubectl", "the", nullptr);
    const int32 shuffled = ngram_score(lm, "the", "kubectl", "rollout", nullptr);
    EXPECT_GT(seen, shuffled);
    ngram_model_free(lm);
    logmath_free(lmath);

    const std::string vocabulary = read("vocabulary.bin");
    for (const char* word : {"kubectl", "grafana", "zendaya", "quarkus", "oksana", "the"})
        EXPECT_NE(vocabulary.find(std::string("\n") + word + " "), std::string::npos) << word << "\n" << vocabulary;
}

// The recogniser writes the binary model itself, with whatever umask the
// process has; every file of the model is the user's alone all the same.
TEST_F(PersonalModelBuild, EveryFileOfTheModelIsPrivateUnderAnOpenUmask) {
    writeHistory(jargon);
    const mode_t before = ::umask(022);
    const bool built = PersonalModel::shared().rebuildIfNeeded("en_US");
    ::umask(before);
    ASSERT_TRUE(built);
    ASSERT_TRUE(exists("model.bin"));
    for (const auto& entry : fs::directory_iterator(model)) {
        struct stat st {};
        ASSERT_EQ(::lstat(entry.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 077, 0u) << entry.path().filename() << " is open to others";
    }
}

// Phrases of everyday words, however often said, stay out of the model: they
// would only make those words likelier than the stock model has them. The
// phrases with the user's terms go in, everyday words and all.
TEST_F(PersonalModelBuild, LearnsThePhrasesWithTermsNotTheEverydayOnes) {
    std::vector<std::string> history = jargon;
    for (int i = 0; i < 20; ++i) history.push_back("see you at the coffee machine on monday");
    writeHistory(history);
    ASSERT_TRUE(PersonalModel::shared().rebuildIfNeeded("en_US"));
    const std::string vocabulary = read("vocabulary.bin");
    for (const char* word : {"kubectl", "quarkus", "the", "before", "lunch"})
        EXPECT_NE(vocabulary.find(std::string("\n") + word + " "), std::string::npos) << word << "\n" << vocabulary;
    for (const char* word : {"coffee", "machine", "monday"})
        EXPECT_EQ(vocabulary.find(std::string("\n") + word + " "), std::string::npos) << word << "\n" << vocabulary;
    // The record counts the phrases read and, apart, the ones compiled.
    const auto outcome = PersonalModel::buildOutcome(json::parse(read("build_outcome.json")));
    ASSERT_TRUE(outcome && outcome->succeeded);
    EXPECT_EQ(outcome->phrasesRead, 7);
    EXPECT_EQ(outcome->phraseCount, 6);
}

// A compile that fails part-way (here: the vocabulary cannot be written)
// leaves the model of the previous build attached and nothing half-written.
TEST_F(PersonalModelBuild, AFailedCompileLeavesThePreviousModelInPlace) {
    writeHistory(jargon);
    ASSERT_TRUE(PersonalModel::shared().rebuildIfNeeded("en_US"));
    const std::string oldModel = read("model.bin"), oldVocabulary = read("vocabulary.bin"), oldMeta = read("metadata.json");

    std::vector<std::string> grown = jargon;
    for (int i = 0; i < 250; ++i) grown.push_back("schedule the rabbitmq drill number " + std::to_string(i));
    writeHistory(grown);
    fs::create_directories(model / "vocabulary.bin.partial" / "blocker");
    EXPECT_THROW(PersonalModel::shared().build(256, "en_US"), std::exception);

    EXPECT_EQ(read("model.bin"), oldModel);
    EXPECT_EQ(read("vocabulary.bin"), oldVocabulary);
    EXPECT_EQ(read("metadata.json"), oldMeta);
    EXPECT_FALSE(exists("model.bin.partial"));
    EXPECT_FALSE(exists("model.arpa.partial"));
    EXPECT_TRUE(exists("training_data.sflm"));  // the receipt of a compile that threw
    EXPECT_TRUE(PersonalModel::shared().preparedConfiguration("en_US"));
}

TEST_F(PersonalModelBuild, DeletingHistoryInvalidatesTheModelBuiltFromIt) {
    std::vector<std::string> texts = jargon;
    texts.push_back("call ximena about the payroll");
    writeHistory(texts);
    ASSERT_TRUE(PersonalModel::shared().rebuildIfNeeded("en_US"));
    ASSERT_NE(read("vocabulary.bin").find("ximena "), std::string::npos);
    // Without new entries the model is current...
    EXPECT_FALSE(PersonalModel::shared().rebuildIfNeeded("en_US"));
    // ...until an entry is deleted: it is rebuilt without that entry.
    texts.pop_back();
    writeHistory(texts);
    EXPECT_TRUE(PersonalModel::shared().rebuildIfNeeded("en_US"));
    EXPECT_EQ(read("vocabulary.bin").find("ximena "), std::string::npos);

    // Deleting everything removes the model at once.
    PersonalModel::historyDeleted(true);
    EXPECT_FALSE(PersonalModel::shared().preparedConfiguration("en_US"));
    for (const char* name : {"model.bin", "vocabulary.bin", "metadata.json"}) EXPECT_FALSE(exists(name)) << name;
    // And a history emptied behind the app's back is noticed by the next decision.
    writeHistory(jargon);
    ASSERT_TRUE(PersonalModel::shared().rebuildIfNeeded("en_US"));
    fs::remove(support / "dictation_log.jsonl");
    EXPECT_FALSE(PersonalModel::shared().rebuildIfNeeded("en_US"));
    EXPECT_FALSE(exists("model.bin"));
}

TEST_F(PersonalModelBuild, AHistoryWithoutUsablePhrasesBuildsNothing) {
    writeHistory({"\n\t", "   "});
    // Nothing usable: no build at all.
    EXPECT_FALSE(PersonalModel::shared().rebuildIfNeeded("en_US"));
    EXPECT_THROW(PersonalModel::shared().build(1, "en_US"), PersonalModel::BuildError);
}

// The corpus is read like every store: a FIFO planted at the history gives no
// lines instead of hanging the reader, and a log over the store cap (one huge
// line) is passed over instead of filling the memory. The archive still counts.
TEST_F(PersonalModelBuild, CorpusReaderPassesOverFifosAndOversizedLogs) {
    std::string archive;
    for (const auto& t : jargon) archive += json{{"ts", 1}, {"text", t}}.dump() + "\n";
    ASSERT_TRUE(platform::atomicWrite(support / "dictation_log.1.jsonl", archive));
    const fs::path current = support / "dictation_log.jsonl";

    auto countWithin = [&](const char* what) {
        auto counted = std::async(std::launch::async, [] { return PersonalModel::corpusEntryCount(); });
        if (counted.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            // Free the reader stuck on the FIFO so the test can end.
            const int fd = ::open(current.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
            ADD_FAILURE() << what << ": the corpus reader hung";
        }
        return counted.get();
    };

    ASSERT_EQ(::mkfifo(current.c_str(), 0600), 0);
    EXPECT_EQ(countWithin("fifo"), static_cast<std::int64_t>(jargon.size()));

    fs::remove(current);
    {
        std::ofstream huge(current, std::ios::binary);
        // A record, then 80 MB without a line break: not a history this program wrote.
        huge << json{{"ts", 1}, {"text", "kubectl rollout"}}.dump() << "\n";
    }
    fs::resize_file(current, platform::maxStoreFileBytes + (16u << 20));
    EXPECT_EQ(countWithin("oversized"), static_cast<std::int64_t>(jargon.size()));
}

// The recogniser decodes with the model attached and hears the user's words.
// (Its vocabulary joins the dictionary without any kept model taking the
// words: pocketsphinx's n-gram models break once a few dozen were appended.)
TEST_F(PersonalModelBuild, TheAttachedModelLetsTheRecogniserHearTheUsersWords) {
    std::vector<std::string> history;
    for (const char* name : {"tomasz", "ximena", "dragomir", "bartosz", "yusuf", "anika"})
        for (const char* thing : {"kubectl", "grafana", "quarkus", "pgbouncer", "argocd", "datadog", "supabase"})
            history.push_back(std::string("ask ") + name + " about the " + thing + " upgrade");
    writeHistory(history);
    ASSERT_TRUE(PersonalModel::shared().rebuildIfNeeded("en_US"));
    const auto personal = PersonalModel::shared().preparedConfiguration("en_US");
    ASSERT_TRUE(personal);
    auto model = SphinxModels::forLocale("en_US");
    ASSERT_TRUE(model);
    auto decoder = SphinxDecoder::create(*model, nullptr);
    ASSERT_TRUE(decoder);
    const std::string sentence = "ask dragomir about the pgbouncer upgrade";
    ASSERT_TRUE(testspeech::synthesize(sentence, dir.path / "take.wav"));
    std::vector<std::int16_t> samples(8000, 0);
    for (float f : AudioFile::openForReading(dir.path / "take.wav", nullptr)->readMonoFloat(nullptr))
        samples.push_back(static_cast<std::int16_t>(std::clamp(f, -1.0f, 1.0f) * 32767.0f));
    samples.insert(samples.end(), 8000, 0);
    for (const auto& attached : {std::optional<PersonalModel::Configuration>(), personal}) {
        decoder->configure({}, attached);
        ASSERT_TRUE(decoder->startUtterance());
        ASSERT_TRUE(decoder->process(samples.data(), samples.size()));
        const std::string heard = decoder->finishUtterance();
        if (attached) {
            EXPECT_GE(testspeech::wordsHeard(sentence, heard), 0.8) << heard;
        }
    }
}

// Witten-Bell with correct back-off weights: for every context the sentences
// had, the probabilities of all words sum to one. After a history they never
// had (the empty context: the recogniser drops a history word the model
// lacks), only the share the stock model leaves the user's words.
TEST(NgramEstimator, EveryKnownContextIsAProbabilityDistribution) {
    const std::vector<NgramEstimator::Sentence> sentences = {
        {{"a", "b", "c"}, 3}, {{"a", "c"}, 1}, {{"b", "a", "b", "d"}, 2}, {{"d"}, 5}};
    const std::string arpa = NgramEstimator::arpa(sentences);
    std::map<std::vector<std::string>, std::pair<double, double>> grams;  // words -> (log10 p, log10 bo)
    std::istringstream in(arpa);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        double p;
        if (!(f >> p)) continue;
        std::vector<std::string> words;
        std::string w;
        double bo = 0;
        while (f >> w) words.push_back(w);
        if (!words.empty() && !words.back().empty() &&
            (std::isdigit(static_cast<unsigned char>(words.back()[0])) || words.back()[0] == '-')) {
            bo = std::stod(words.back());
            words.pop_back();
        }
        grams[words] = {p, bo};
    }
    std::function<double(std::vector<std::string>)> prob = [&](std::vector<std::string> ws) -> double {
        if (auto it = grams.find(ws); it != grams.end()) return std::pow(10.0, it->second.first);
        std::vector<std::string> context(ws.begin(), ws.end() - 1);
        double bo = 1.0;
        if (auto it = grams.find(context); it != grams.end()) bo = std::pow(10.0, it->second.second);
        return bo * prob(std::vector<std::string>(ws.begin() + 1, ws.end()));
    };
    const std::vector<std::string> vocab = {"a", "b", "c", "d", "</s>"};
    for (const std::vector<std::string>& context : std::vector<std::vector<std::string>>{
             {}, {"<s>"}, {"a"}, {"b"}, {"<s>", "a"}, {"a", "b"}, {"b", "a"}, {"c", "d"}}) {
        double sum = 0;
        for (const auto& w : vocab) {
            auto ws = context;
            ws.push_back(w);
            sum += prob(ws);
        }
        EXPECT_NEAR(sum, context.empty() ? NgramEstimator::unknownHistoryShare : 1.0, 1e-4)
            << platform::text::join(context, " ");
    }
}

}  // namespace

// Times and counts in the model's records are whatever the files hold: one
// no clock or build can produce reads as unknown, never as the number a cast
// wrapped it to.
TEST(PersonalModelStatus, NumbersOutOfRangeInStoredRecordsReadAsUnknown) {
    const double now = 1'800'000'000;
    struct Row {
        double builtAt;
        double took;
        std::int64_t count;
        const char* compiled;
        const char* attempt;
    };
    const Row rows[] = {
        {now - 30, 2.5, 12, "12 dictations, locale en-US, 30s ago", "SUCCEEDED, 30s ago, took 2.5s"},
        {-1e300, 1e300, -5, "unknown dictations, locale en-US, at an unknown time",
         "SUCCEEDED, at an unknown time, took an unknown time"},
        {1e300, -1, 0, "0 dictations, locale en-US, at an unknown time", "SUCCEEDED, at an unknown time, took an unknown time"},
        {NAN, INFINITY, -1, "unknown dictations, locale en-US, at an unknown time",
         "SUCCEEDED, at an unknown time, took an unknown time"},
    };
    for (const Row& r : rows) {
        PersonalModel::Status s;
        s.currentLocale = "en-US";
        s.cachedEntryCount = r.count;
        s.cachedLocale = "en-US";
        s.builtAtTimestamp = r.builtAt;
        s.lastOutcome = PersonalModel::BuildOutcome{true, r.builtAt, r.count, "en-US", r.took, std::nullopt, std::nullopt};
        s.nowTimestamp = now;
        const auto lines = PersonalModel::statusLines(s);
        auto value = [&](const std::string& label) {
            for (const auto& line : lines)
                if (line.rfind("  " + label, 0) == 0) return line.substr(26);
            return std::string("(missing)");
        };
        EXPECT_EQ(value("Built from"), r.compiled) << r.builtAt;
        EXPECT_EQ(value("Last build attempt"), r.attempt) << r.builtAt;
        EXPECT_EQ(value("Phrases compiled"), r.count < 0 ? "unknown" : std::to_string(r.count));
    }
}

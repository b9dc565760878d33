#include "Engine/SpeechEngine.h"
#include "Engine/SphinxRecognizer.h"

#include <gtest/gtest.h>

#include "support/RequireService.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "Learning/ScreenContext.h"
#include "Platform/Queues.h"

#include "support/FakeInsertionTarget.h"
#include "support/Speech.h"
#include "support/TempDir.h"
#include "unit/engine/SpeechFixtures.h"

namespace fs = std::filesystem;

namespace {

// Restores the engine's language and deadline whatever a test did.
struct EngineGuard {
    ~EngineGuard() {
        SpeechEngine::shared().resetLocaleToSystem();
        SpeechEngine::shared().expireAnalyzerDeadlineAfterAudioForTesting(std::nullopt);
    }
};

class Recognition : public ::testing::Test {
protected:
    void SetUp() override {
        ONDIRA_REQUIRE_SERVICE(!(SphinxModels::installed().empty()), "no pocketsphinx model installed");
        SpeechEngine::shared().resetLocaleToSystem();
    }
    fs::path speak(const std::string& text, const std::string& voice = "kal16") {
        fs::path out = dir / (voice + "-" + std::to_string(counter++) + ".wav");
        if (!testspeech::synthesize(text, out, voice)) ADD_FAILURE() << "flite could not speak: " << text;
        return out;
    }
    TempDir dir{"ondira-recognition-"};
    // Settings of this test only: tests run side by side in one session.
    ScopedEnv isolation{"ONDIRA_SELFTEST_STATE_DIR", (dir / "state").string()};
    int counter = 0;
    EngineGuard guard;
};

// Feeds a recording to the engine the way capture does: 1,024-frame blocks
// written to a new recording file and handed to the stream as they come.
void replayAsCapture(const fs::path& source, const fs::path& recording, const std::shared_ptr<AudioBufferStream>& stream) {
    auto input = AudioFile::openForReading(source, nullptr);
    ASSERT_TRUE(input);
    ASSERT_EQ(input->fileFormat().sampleRate, 16000.0);
    std::vector<float> samples = input->readMonoFloat(nullptr);
    std::shared_ptr<AudioFile> file = AudioFile::createForWriting(recording, AudioFormat{16000.0, 1}, nullptr);
    ASSERT_TRUE(file);
    for (std::size_t at = 0; at < samples.size(); at += 1024) {
        const std::size_t n = std::min<std::size_t>(1024, samples.size() - at);
        auto buffer = AudioPCMBuffer::fromInterleaved(AudioFormat{16000.0, 1}, samples.data() + at, n);
        ASSERT_TRUE(file->write(*buffer, nullptr));
        stream->yield(buffer);
    }
}

// The capture side of a live take, on its own thread, finishing the stream at the end.
std::thread captureThread(const fs::path& source, const fs::path& recording,
                          const std::shared_ptr<AudioBufferStream>& stream) {
    return std::thread([=] {
        replayAsCapture(source, recording, stream);
        stream->finish();
    });
}

// Partial text as the pill gets it, on the main queue. Some may still be on
// its way once the take has returned, so what collects it outlives the test.
struct ShownText {
    std::shared_ptr<std::vector<std::string>> texts = std::make_shared<std::vector<std::string>>();
    PartialTextCallback callback() const {
        return [texts = texts](const std::string& text) { texts->push_back(text); };
    }
};

// A live take of `source`, recorded into `recording`: what it gave, and how
// many takes were finished from the decode that ran beside them.
struct LiveTake {
    StreamingTranscriptionOutcome outcome;
    int finishedFromLiveDecode = 0;
};
LiveTake dictateLive(const fs::path& source, const fs::path& recording, std::optional<SystemTime> stoppedAt) {
    auto stream = AudioBufferStream::make();
    std::thread capture = captureThread(source, recording, stream);
    auto& engine = SpeechEngine::shared();
    const int before = engine.liveDecodeCount();
    LiveTake take{engine.transcribeStreaming(stream, recording, {}, stoppedAt, nullptr)};
    capture.join();
    take.finishedFromLiveDecode = engine.liveDecodeCount() - before;
    return take;
}

}  // namespace

TEST_F(Recognition, RecognisesTestPhrasesInEveryVoice) {
    const std::vector<std::string> phrases = {
        "please send the report to the team by friday",
        "the quick brown fox jumped over the lazy dog",
        "we should meet for lunch next week",
        "can you call me back this afternoon",
    };
    double errors = 0;
    int count = 0;
    for (const char* voice : {"kal16", "slt", "awb"}) {
        for (const auto& phrase : phrases) {
            fs::path wav = speak(phrase, voice);
            TranscriptionResult result = SpeechEngine::shared().transcribeDetailed(wav, {});
            EXPECT_GE(testspeech::wordsHeard(phrase, result.text), 0.7) << voice << ": " << result.text;
            EXPECT_EQ(result.engineIdentifier, EngineIdentifier::contextDecoder());
            EXPECT_FALSE(result.isTruncated);
            EXPECT_GT(result.audioSeconds, 1.0);
            EXPECT_EQ(result.sourceAudioURL, wav);
            errors += testspeech::wordErrorRate(phrase, result.text);
            ++count;
        }
    }
    std::printf("word error rate over %d takes: %.3f\n", count, errors / count);
    EXPECT_LT(errors / count, 0.15);
    ASSERT_TRUE(SpeechEngine::shared().lastResult());
}

TEST_F(Recognition, ContextTermTeachesAWordTheStockModelMisses) {
    const std::string phrase = "deploy the cluster with kubernetes tonight";
    fs::path wav = speak(phrase);
    auto plain = SpeechEngine::shared().transcribeDetailed(wav, {});
    auto biased = SpeechEngine::shared().transcribeDetailed(wav, {"Kubernetes"});
    EXPECT_EQ(plain.text.find("kubernetes"), std::string::npos) << plain.text;
    EXPECT_NE(biased.text.find("kubernetes"), std::string::npos) << biased.text;
    // The bias lasts only as long as the term is given.
    auto again = SpeechEngine::shared().transcribeDetailed(wav, {});
    EXPECT_EQ(again.text.find("kubernetes"), std::string::npos) << again.text;
}

TEST_F(Recognition, LanguageWithoutItsOwnModelIsRecognisedWithTheModelOfItsLanguage) {
    // en_GB has no model of its own: the whole-take path recognises it with
    // the installed English model, like the incremental decoder would.
    SpeechEngine::shared().setLocale("en_GB");
    const std::string phrase = "please send the report to the team by friday";
    auto result = SpeechEngine::shared().transcribeDetailed(speak(phrase), {});
    EXPECT_EQ(result.engineIdentifier, EngineIdentifier::contextDecoder());
    EXPECT_GE(testspeech::wordsHeard(phrase, result.text), 0.7) << result.text;
}

// Past its deadline the whole-take decode answers at once with what it has
// heard, marked as cut short, rather than starting a second decode of the
// take. Every road to that decode keeps those words, with or without anyone
// watching the partial text: the user reads what was said, not "No speech
// was detected". The deadline passes once the first sentence has been
// decoded (counted in audio, not by the clock), so a loaded machine cuts the
// take in the same place as an idle one.
TEST_F(Recognition, WholeTakeDecodeThatMissesItsDeadlineReturnsWhatItHasTruncated) {
    const std::string heard = "please send the report to the team by friday";
    const std::string cutOff = "the quick brown fox jumped over the lazy dog";
    const fs::path wav = speak(heard + ". " + cutOff);
    auto& engine = SpeechEngine::shared();
    engine.expireAnalyzerDeadlineAfterAudioForTesting(3.0);
    struct Road {
        const char* name;
        std::function<TranscriptionResult()> run;
    };
    const Road roads[] = {
        {"transcribe",
         [&] {
             engine.transcribe(wav, {});
             return engine.lastResult().value_or(TranscriptionResult{});
         }},
        {"transcribeDetailed", [&] { return engine.transcribeDetailed(wav, {}, std::nullopt); }},
        {"transcribeDetailed with partial text",
         [&] { return engine.transcribeDetailed(wav, {}, std::nullopt, [](const std::string&) {}); }},
        // A live take whose stream brought nothing: its live decode cannot
        // stand for the file, which is decoded whole instead.
        {"live take",
         [&] {
             auto stream = AudioBufferStream::make();
             stream->finish();
             return engine.transcribeStreaming(stream, wav, {}, std::nullopt, nullptr).result;
         }},
    };
    for (const Road& road : roads) {
        SCOPED_TRACE(road.name);
        const TranscriptionResult result = road.run();
        // A second decode would have answered as the incremental decoder.
        EXPECT_EQ(result.engineIdentifier, EngineIdentifier::contextDecoder()) << result.text;
        EXPECT_TRUE(result.isTruncated);
        EXPECT_GE(testspeech::wordsHeard(heard, result.text), 0.6) << result.text;
        EXPECT_LT(testspeech::wordsHeard("fox jumped over lazy dog", result.text), 0.4) << result.text;
    }
}

// Recognitions that overlap (a retry while the first decode still runs, the
// preview beside the live decode) each need a decoder. Once they are done,
// only as many stay loaded as the roads asked to keep warm: each holds about
// 95 MiB for as long as it is kept.
TEST_F(Recognition, DecodersBeyondTheWarmOnesAreFreedOnceGivenBack) {
    const std::optional<SphinxModel> model = SphinxModels::serving("en_US");
    ASSERT_TRUE(model);
    DecoderPool& pool = DecoderPool::shared();
    struct Row {
        int keepWarm;  // 0: as nobody asked
        int busyAtOnce;
        int keptAfter;
    };
    for (const Row row : {Row{0, 3, 1}, Row{2, 3, 2}}) {
        if (row.keepWarm) pool.keepWarm(*model, row.keepWarm);
        {
            std::vector<DecoderPool::Lease> leases;
            for (int i = 0; i < row.busyAtOnce; ++i) leases.push_back(pool.acquire(*model, nullptr));
            for (const auto& lease : leases) ASSERT_TRUE(lease);
            EXPECT_EQ(SphinxDecoder::liveCount(), row.busyAtOnce);
        }
        EXPECT_EQ(SphinxDecoder::liveCount(), row.keptAfter) << "keeping " << row.keepWarm;
    }
}

// The preview beside a live take gives its decoder back without finishing
// its utterance, so the user never waits for text nobody reads. The next
// borrower gets it finished, not a second decoder loaded beside it.
TEST_F(Recognition, ADecoderGivenBackUnfinishedIsLentAgainFinished) {
    const std::optional<SphinxModel> model = SphinxModels::serving("en_US");
    ASSERT_TRUE(model);
    DecoderPool& pool = DecoderPool::shared();
    DecoderPool::Lease lease = pool.acquire(*model, nullptr);
    ASSERT_TRUE(lease);
    const int loads = pool.loadCount();
    auto speech = AudioFile::openForReading(speak("please send the report to the team by friday"), nullptr);
    ASSERT_TRUE(speech);
    const std::vector<std::int16_t> samples = speech->readMono16(nullptr);
    ASSERT_TRUE(lease->startUtterance());
    // Stopped in the middle of the words, so finishing has work left to do.
    ASSERT_TRUE(lease->process(samples.data(), samples.size() / 2));
    lease.giveBackUnfinished();
    EXPECT_FALSE(lease);
    DecoderPool::Lease next = pool.acquire(*model, nullptr);
    ASSERT_TRUE(next);
    EXPECT_FALSE(next->inUtterance());
    EXPECT_EQ(pool.loadCount(), loads) << "a second decoder was loaded";
    EXPECT_EQ(SphinxDecoder::liveCount(), 1);
    // Finished, it decodes a take of its own from the start.
    next->configure({}, std::nullopt);
    ASSERT_TRUE(next->startUtterance());
    ASSERT_TRUE(next->process(samples.data(), samples.size()));
    const std::string text = next->finishUtterance();
    EXPECT_GE(testspeech::wordsHeard("please send the report to the team by friday", text), 0.8) << text;
}

// A take with nothing said finds no words in the live decode and falls back
// to the incremental decoder. That decode runs on the warm decoder: a second
// one would cost a load while the user waits and, kept, about 95 MiB more for
// the life of the program.
TEST_F(Recognition, SilentLiveTakeFallsBackOnTheWarmDecoderAndLeavesNoOther) {
    DecoderPool& pool = DecoderPool::shared();
    ASSERT_TRUE(SpeechEngine::shared().prewarmAndInstallModel("en_US"));
    platform::MainQueue::pump(120, [&] { return pool.loadCount() > 0; });
    ASSERT_GT(pool.loadCount(), 0) << "the model never loaded";
    const int loads = pool.loadCount();
    const int live = SphinxDecoder::liveCount();

    // Two seconds of a quiet room: a faint hiss, no speech.
    std::vector<std::int16_t> hiss(32000);
    std::uint32_t state = 12345;
    for (auto& sample : hiss) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<std::int16_t>(static_cast<int>(state >> 27) - 16);
    }
    const fs::path source = dir / "silence.wav";
    speechfixtures::writeWavSamples(source, hiss);
    const fs::path recording = dir / "recording.wav";
    auto stream = AudioBufferStream::make();
    std::thread capture = captureThread(source, recording, stream);
    try {
        auto outcome = SpeechEngine::shared().transcribeStreaming(stream, recording, {}, std::nullopt, nullptr);
        ADD_FAILURE() << "words heard in silence: " << outcome.result.text;
    } catch (const TranscriptionError& e) {
        EXPECT_EQ(e.kind, TranscriptionError::Kind::emptyTranscript) << e.diagnosticDetail();
    }
    capture.join();
    EXPECT_EQ(pool.loadCount(), loads) << "the fallback loaded a decoder of its own";
    EXPECT_EQ(SphinxDecoder::liveCount(), live) << "a second decoder outlived the take";
}

TEST_F(Recognition, RejectsMissingAndTooShortRecordings) {
    auto& engine = SpeechEngine::shared();
    const fs::path missing = dir / "missing.wav";
    try {
        engine.transcribeDetailed(missing, {});
        ADD_FAILURE() << "a missing file was recognised";
    } catch (const TranscriptionError& e) {
        EXPECT_EQ(e.diagnosticDetail(), "audioFileNotFound: " + missing.string());
    }
    EXPECT_FALSE(engine.lastResult());
    EXPECT_FALSE(engine.lastEndToEndLatencySeconds());

    struct Row {
        std::size_t frames;
        bool tooShort;
    };
    for (Row row : {Row{3040, true}, Row{3200, false}}) {  // 0.19 s and exactly 0.2 s of silence
        fs::path wav = dir / ("silence-" + std::to_string(row.frames) + ".wav");
        auto file = AudioFile::createForWriting(wav, AudioFormat{16000.0, 1}, nullptr);
        auto buffer = AudioPCMBuffer::make(AudioFormat{16000.0, 1}, row.frames);
        buffer->setFrameLength(row.frames);
        ASSERT_TRUE(file->write(*buffer, nullptr));
        file.reset();
        try {
            engine.transcribeDetailed(wav, {});
            EXPECT_FALSE(row.tooShort);
        } catch (const TranscriptionError& e) {
            EXPECT_EQ(e.kind == TranscriptionError::Kind::audioTooShort, row.tooShort) << e.diagnosticDetail();
        }
    }
}

TEST_F(Recognition, LiveTakeGivesTheTextOfItsFileAndFinishesFromTheLiveDecode) {
    const std::string phrase = "please send the report to the team by friday";
    const LiveTake take = dictateLive(speak(phrase), dir / "recording.wav", std::chrono::system_clock::now());
    EXPECT_FALSE(take.outcome.didStreamLive);
    EXPECT_EQ(take.finishedFromLiveDecode, 1);
    EXPECT_GE(testspeech::wordsHeard(phrase, take.outcome.result.text), 0.8) << take.outcome.result.text;
}

TEST_F(Recognition, LiveDecodeOfOtherAudioThanTheFileIsNotUsed) {
    fs::path heard = speak("the quick brown fox jumped over the lazy dog");
    const std::string written = "please send the report to the team by friday";
    fs::path fileSource = speak(written);
    fs::path recording = dir / "recording.wav";
    fs::path decoy = dir / "decoy.wav";
    auto stream = AudioBufferStream::make();
    std::thread capture = captureThread(heard, decoy, stream);
    fs::copy_file(fileSource, recording);
    auto& engine = SpeechEngine::shared();
    const int before = engine.liveDecodeCount();
    auto outcome = engine.transcribeStreaming(stream, recording, {}, std::nullopt, nullptr);
    capture.join();
    EXPECT_EQ(engine.liveDecodeCount(), before);
    EXPECT_GE(testspeech::wordsHeard(written, outcome.result.text), 0.8) << outcome.result.text;
}

// The screen is read when a take begins, for the decode that runs beside it.
// A second read at key-up would make the user wait for it and, when the
// field said something else by then, throw that decode away and decode the
// whole take again.
TEST_F(Recognition, ALiveTakeReadsTheScreenOnceAndFinishesFromItsLiveDecode) {
    struct ChangingField : FakeInsertionTarget {
        std::atomic<int> reads{0};
        std::optional<std::string> focusedValue() override {
            return ++reads == 1 ? "Ask Zendaya about grafanaDashboard" : "Ask OksanaPetrenko about quarkusRuntime";
        }
    };
    auto field = std::make_shared<ChangingField>();
    std::atomic<int> applications{0};
    ScreenContext::setFocusedFieldForTesting(field);
    // Every read finds another application, so none is answered from the
    // cache, as with a take longer than the cache keeps its terms.
    ScreenContext::setApplicationKeyForTesting([&] { return "org.example.App" + std::to_string(++applications); });
    struct Restore {
        ~Restore() {
            ScreenContext::setFocusedFieldForTesting(nullptr);
            ScreenContext::setApplicationKeyForTesting({});
        }
    } restore;

    const std::string phrase = "we should meet for lunch next week";
    const LiveTake take = dictateLive(speak(phrase), dir / "recording.wav", std::nullopt);
    EXPECT_EQ(field->reads.load(), 1);
    EXPECT_EQ(take.finishedFromLiveDecode, 1) << "the decode beside the take was thrown away";
    EXPECT_GE(testspeech::wordsHeard(phrase, take.outcome.result.text), 0.8) << take.outcome.result.text;
}

// On the default road the preview is the decode that runs beside the take,
// read while the key is still down and throttled like every other preview:
// the pill shows the words before the user lets go.
TEST_F(Recognition, DefaultRoadShowsLivePartialsWhileTheKeyIsDown) {
    const std::string phrase = "we should meet for lunch next week";
    const fs::path source = speak(phrase);
    const fs::path recording = dir / "recording.wav";
    auto stream = AudioBufferStream::make();
    auto& engine = SpeechEngine::shared();
    const int before = engine.liveDecodeCount();
    const ShownText shown;
    const std::vector<std::string>& partials = *shown.texts;
    StreamingTranscriptionOutcome outcome;
    std::thread take([&] {
        outcome = engine.transcribeStreaming(stream, recording, {}, std::nullopt, shown.callback());
    });
    replayAsCapture(source, recording, stream);
    // The key stays down until the pill has shown something.
    platform::MainQueue::pump(60, [&] { return !partials.empty(); });
    const std::vector<std::string> shownWhileDown = partials;
    stream->finish();
    take.join();
    ASSERT_FALSE(shownWhileDown.empty()) << "no partial text while the key was down";
    // What the decoder has heard so far (its first guesses may be other
    // words than the final ones), not a message about the wait.
    for (const std::string& text : shownWhileDown) EXPECT_NE(text, SpeechEngine::loadingModelText);
    EXPECT_FALSE(outcome.didStreamLive);
    EXPECT_EQ(engine.liveDecodeCount() - before, 1);
    EXPECT_EQ(outcome.result.engineIdentifier, EngineIdentifier::contextDecoder());
    EXPECT_GE(testspeech::wordsHeard(phrase, outcome.result.text), 0.8) << outcome.result.text;
}

// A take that ends before its decode has caught up (the decoder was still
// being made ready, as right after launch) goes on showing the words as the
// rest is decoded: the pill says what the take waits for, then what it heard.
TEST_F(Recognition, DefaultRoadGoesOnShowingWordsWhileTheDecodeCatchesUpAfterKeyUp) {
    std::string said;
    for (int i = 0; i < 2; ++i)
        said += "please send the report to the team by friday. the quick brown fox jumped over the lazy dog. "
                "we should meet for lunch next week. can you call me back this afternoon. ";
    const fs::path recording = dir / "recording.wav";
    auto stream = AudioBufferStream::make();
    // The key is up before the decode begins: every buffer is still queued.
    replayAsCapture(speak(said), recording, stream);
    stream->finish();
    const ShownText shown;
    const std::vector<std::string>& partials = *shown.texts;
    auto& engine = SpeechEngine::shared();
    const int before = engine.liveDecodeCount();
    const auto outcome = engine.transcribeStreaming(stream, recording, {}, std::nullopt, shown.callback());
    auto words = [&] {
        return std::any_of(partials.begin(), partials.end(),
                           [](const std::string& text) { return text != SpeechEngine::loadingModelText; });
    };
    platform::MainQueue::pump(10, words);
    EXPECT_TRUE(words()) << "the pill showed no words while the take was decoded";
    EXPECT_EQ(engine.liveDecodeCount() - before, 1);
    EXPECT_GE(testspeech::wordsHeard(said, outcome.result.text), 0.8) << outcome.result.text;
}

TEST_F(Recognition, DictationTranscriberPathShowsLivePartialsAndKeepsItsIdentifier) {
    SpeechEngine::setDictationTranscriberEnabled(true);
    const std::string phrase = "can you call me back this afternoon";
    fs::path source = speak(phrase);
    fs::path recording = dir / "recording.wav";
    auto stream = AudioBufferStream::make();
    std::thread capture = captureThread(source, recording, stream);
    const ShownText shown;
    const std::vector<std::string>& partials = *shown.texts;
    auto outcome = SpeechEngine::shared().transcribeStreaming(stream, recording, {}, std::nullopt, shown.callback());
    capture.join();
    platform::MainQueue::pump(0.5, [&] { return !partials.empty(); });
    EXPECT_TRUE(outcome.didStreamLive);
    EXPECT_FALSE(partials.empty());
    EXPECT_EQ(outcome.result.engineIdentifier, EngineIdentifier::personalDecoder());
    EXPECT_GE(testspeech::wordsHeard(phrase, outcome.result.text), 0.8) << outcome.result.text;
}

TEST_F(Recognition, WithoutInstalledModelsRecognitionIsNotAuthorised) {
    fs::path wav = speak("the quick brown fox jumped over the lazy dog");
    ScopedEnv noModels("ONDIRA_SPHINX_MODELDIR", (dir / "no-models").string());
    try {
        SpeechEngine::shared().transcribeDetailed(wav, {});
        ADD_FAILURE() << "recognised without a model";
    } catch (const TranscriptionError& e) {
        EXPECT_EQ(e.kind, TranscriptionError::Kind::notAuthorized) << e.diagnosticDetail();
    }
    EXPECT_FALSE(SpeechEngine::shared().prewarmAndInstallModel("en_US"));
    EXPECT_TRUE(SpeechEngine::availableLanguages("en_US").empty());
}

// Each warm decoder holds about 95 MiB for as long as the program runs: the
// launch warms one, and a take decodes on that one without loading another.
TEST_F(Recognition, LaunchKeepsOneDecoderWarmAndATakeLoadsNoOther) {
    using Clock = std::chrono::steady_clock;
    DecoderPool& pool = DecoderPool::shared();
    const int before = pool.loadCount();  // nonzero only when earlier tests of this process left decoders idle
    const auto asked = Clock::now();
    ASSERT_TRUE(SpeechEngine::shared().prewarmAndInstallModel("en_US"));
    double firstLoad = 10;
    if (before == 0) {
        platform::MainQueue::pump(120, [&] { return pool.loadCount() > 0; });
        ASSERT_EQ(pool.loadCount(), 1) << "the launch warms no decoder";
        firstLoad = std::chrono::duration<double>(Clock::now() - asked).count();
    }
    // A second warm decoder would follow straight after the first.
    std::this_thread::sleep_for(std::chrono::duration<double>(2 * firstLoad + 1));
    EXPECT_EQ(pool.loadCount(), std::max(before, 1)) << "more than one decoder kept warm";
    const std::string phrase = "we should meet for lunch next week";
    const TranscriptionResult result = SpeechEngine::shared().transcribeDetailed(speak(phrase), {});
    EXPECT_GE(testspeech::wordsHeard(phrase, result.text), 0.7) << result.text;
    EXPECT_EQ(pool.loadCount(), std::max(before, 1)) << "a take loaded a decoder of its own";
}

// The start of a take: what the decoders learned about the input (kept
// across launches, forgotten with another input, never written over when it
// did not load), the opening of a take heard through a mean that does not fit
// it, and a take that starts while the decoder is still being loaded.
#include "Engine/SpeechEngine.h"
#include "Engine/SphinxRecognizer.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "Base/AppPaths.h"
#include "Platform/FileIO.h"
#include "Platform/Queues.h"

#include "support/RequireService.h"
#include "support/Speech.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

class TakeOpening : public ::testing::Test {
protected:
    void SetUp() override {
        ONDIRA_REQUIRE_SERVICE(!(SphinxModels::installed().empty()), "no pocketsphinx model installed");
        InputAdaptation::forgetLoadedForTesting();
    }
    void TearDown() override { InputAdaptation::forgetLoadedForTesting(); }
    std::vector<std::int16_t> spoken(const std::string& text, const std::string& voice) {
        const fs::path wav = dir / (voice + "-" + std::to_string(counter++) + ".wav");
        if (!testspeech::synthesize(text, wav, voice)) ADD_FAILURE() << "flite could not speak: " << text;
        auto file = AudioFile::openForReading(wav, nullptr);
        return file ? file->readMono16(nullptr) : std::vector<std::int16_t>{};
    }
    // Every store file of the data folder but the locks.
    std::vector<fs::path> storeFiles() const {
        std::vector<fs::path> out;
        for (const auto& f : fs::directory_iterator(InputAdaptation::storePath().parent_path()))
            if (f.path().filename().string().rfind("input_adaptation", 0) == 0 && f.path().extension() != ".lock")
                out.push_back(f.path().filename());
        std::sort(out.begin(), out.end());
        return out;
    }
    TempDir dir{"ondira-opening-"};
    ScopedEnv isolation{"ONDIRA_SELFTEST_STATE_DIR", (dir / "state").string()};
    int counter = 0;
};

const std::vector<float> someValues = {38.5f, -4.0f, 0.5f,  4.0f,  2.0f,  -3.5f, -1.0f,
                                       -1.5f, -4.5f, -2.0f, -6.0f, -1.0f, 1.0f};

const InputAdaptation::Learned someMean{someValues, 1200};

}  // namespace

TEST_F(TakeOpening, LearnedMeanOutlivesTheLaunchAndIsForgottenWithAnotherInput) {
    InputAdaptation::useInput("alsa_input.usb-headset");
    InputAdaptation::learn("/models/en-us", someMean.mean, someMean.frames);
    InputAdaptation::saveSoon();
    InputAdaptation::waitForSave();

    InputAdaptation::forgetLoadedForTesting();  // a new launch
    InputAdaptation::useInput("alsa_input.usb-headset");
    EXPECT_EQ(InputAdaptation::learned("/models/en-us"), someMean);
    EXPECT_EQ(InputAdaptation::learned("/models/de-de"), std::nullopt);
    // No input known (no sound server answered): nothing is forgotten.
    for (const char* unknown : {"", "none"}) {
        InputAdaptation::useInput(unknown);
        EXPECT_EQ(InputAdaptation::learned("/models/en-us"), someMean) << "input \"" << unknown << "\"";
    }

    InputAdaptation::useInput("alsa_input.pci-builtin");
    EXPECT_EQ(InputAdaptation::learned("/models/en-us"), std::nullopt);
    InputAdaptation::saveSoon();
    InputAdaptation::waitForSave();
    InputAdaptation::forgetLoadedForTesting();
    EXPECT_EQ(InputAdaptation::learned("/models/en-us"), std::nullopt) << "the other input's mean came back";
}

TEST_F(TakeOpening, StoreThatDoesNotLoadIsMovedAsideAndLearningGoesOn) {
    for (const std::string& bad :
         {std::string("{\"version\":1,\"means\":"), std::string("[1,2,3]"), std::string("{\"version\":7,\"means\":{}}")}) {
        SCOPED_TRACE(bad);
        fs::remove_all(InputAdaptation::storePath().parent_path());
        fs::create_directories(InputAdaptation::storePath().parent_path());
        ASSERT_TRUE(platform::atomicWrite(InputAdaptation::storePath(), bad));
        InputAdaptation::forgetLoadedForTesting();
        EXPECT_EQ(InputAdaptation::learned("/models/en-us"), std::nullopt);
        const auto files = storeFiles();
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(files[0].string().rfind("input_adaptation.json.damaged-", 0), 0u) << files[0];
        EXPECT_EQ(platform::readFile(InputAdaptation::storePath().parent_path() / files[0]), bad);

        InputAdaptation::learn("/models/en-us", someMean.mean, someMean.frames);
        InputAdaptation::saveSoon();
        InputAdaptation::waitForSave();
        InputAdaptation::forgetLoadedForTesting();
        EXPECT_EQ(InputAdaptation::learned("/models/en-us"), someMean);
        EXPECT_EQ(platform::readFile(InputAdaptation::storePath().parent_path() / files[0]), bad)
            << "the unreadable store was written over";
    }
}

// A link or a FIFO at the store's path is someone else's: it is neither
// moved aside nor replaced by a save, and the link's target stays as it was.
TEST_F(TakeOpening, SomethingPlantedAtTheStorePathStaysPut) {
    const fs::path target = dir / "elsewhere.txt";
    const struct {
        const char* name;
        std::function<void(const fs::path&)> plant;
        std::function<bool(const fs::path&)> stillThere;
    } rows[] = {
        {"symlink", [&](const fs::path& p) { fs::create_symlink(target, p); },
         [&](const fs::path& p) { return fs::is_symlink(p) && fs::read_symlink(p) == target; }},
        {"fifo", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
         [](const fs::path& p) { return fs::is_fifo(fs::symlink_status(p)); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(InputAdaptation::storePath().parent_path());
        fs::create_directories(InputAdaptation::storePath().parent_path());
        ASSERT_TRUE(platform::atomicWrite(target, "not a record"));
        row.plant(InputAdaptation::storePath());
        InputAdaptation::forgetLoadedForTesting();
        EXPECT_EQ(InputAdaptation::learned("/models/en-us"), std::nullopt);
        InputAdaptation::learn("/models/en-us", someMean.mean, someMean.frames);
        InputAdaptation::saveSoon();
        InputAdaptation::waitForSave();
        EXPECT_TRUE(row.stillThere(InputAdaptation::storePath()));
        EXPECT_EQ(storeFiles(), std::vector<fs::path>{"input_adaptation.json"}) << "something was moved aside";
        EXPECT_EQ(platform::readFile(target), "not a record");
    }
}

// A take heard through a mean far from its own (the first take on a new
// microphone) loses its first words unless its opening is decoded again
// through its own mean, as the whole file would be.
TEST_F(TakeOpening, OpeningHeardThroughAForeignMeanIsDecodedAgainThroughItsOwn) {
    auto model = SphinxModels::forLocale("en_US");
    ASSERT_TRUE(model);
    auto decoder = SphinxDecoder::create(*model, nullptr);
    ASSERT_TRUE(decoder);
    struct Case {
        const char* text;
        const char* voice;
    };
    for (const Case& c :
         {Case{"the new server is ready for testing", "kal16"}, Case{"open the file and check the last line", "slt"}}) {
        SCOPED_TRACE(c.text);
        const std::vector<std::int16_t> samples = spoken(c.text, c.voice);
        ASSERT_GT(samples.size(), 24000u) << "less than the speech an opening needs";
        // A microphone of quite another colour learned last time.
        std::vector<float> foreign = someValues;
        for (std::size_t i = 1; i < foreign.size(); ++i) foreign[i] += (i % 2 ? 4.0f : -4.0f);
        InputAdaptation::forgetLoadedForTesting();
        fs::remove(InputAdaptation::storePath());
        InputAdaptation::learn(model->acousticModel.string(), foreign, 60);
        ASSERT_TRUE(decoder->startUtterance());
        for (std::size_t at = 0; at < samples.size(); at += 320)
            ASSERT_TRUE(decoder->process(samples.data() + at, std::min<std::size_t>(320, samples.size() - at)));
        const std::string heard = decoder->finishUtterance();
        EXPECT_LE(testspeech::wordErrorRate(c.text, heard), 0.15) << heard;
    }
}

// Right after launch the decoder is still loading: the take waits for that
// load rather than loading a second decoder beside it, and when it ended
// before the load did, the pill says what it waits for.
TEST_F(TakeOpening, TakeBeforeTheDecoderIsWarmWaitsForItsLoadAndSaysSo) {
    DecoderPool& pool = DecoderPool::shared();
    ONDIRA_REQUIRE_SERVICE(pool.loadCount() == 0, "an earlier test of this process loaded decoders");
    const std::vector<std::int16_t> samples = spoken("thank you for the quick reply", "kal16");
    const fs::path recording = dir / "take.wav";
    auto file = AudioFile::createForWriting(recording, AudioFormat{16000.0, 1}, nullptr);
    ASSERT_TRUE(file);
    std::vector<float> floats(samples.begin(), samples.end());
    for (float& f : floats) f /= 32768.0f;
    auto stream = AudioBufferStream::make();
    auto buffer = AudioPCMBuffer::fromInterleaved(AudioFormat{16000.0, 1}, floats.data(), floats.size());
    ASSERT_TRUE(file->write(*buffer, nullptr));
    file.reset();
    stream->yield(buffer);
    stream->finish();  // the key is up before the model is loaded

    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(SpeechEngine::shared().prewarmAndInstallModel("en_US"));
    std::vector<std::string> partials;
    const auto outcome = SpeechEngine::shared().transcribeStreaming(
        stream, recording, {}, std::nullopt, [&](const std::string& text) { partials.push_back(text); });
    // The take took about one load; a second load beside it would have landed by twice that.
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
    platform::MainQueue::pump(2 * took + 1, [&] { return pool.loadCount() > 1; });
    EXPECT_EQ(pool.loadCount(), 1) << "the take loaded a decoder beside the one loading for it";
    platform::MainQueue::pump(5, [&] { return !partials.empty(); });
    EXPECT_GE(testspeech::wordsHeard("thank you for the quick reply", outcome.result.text), 0.8) << outcome.result.text;
    ASSERT_FALSE(partials.empty()) << "the pill was not told what the take waits for";
    EXPECT_EQ(partials.front(), SpeechEngine::loadingModelText);
}

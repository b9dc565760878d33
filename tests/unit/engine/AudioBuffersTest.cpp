#include "Engine/AudioBuffers.h"
#include "Engine/MicrophoneRecorder.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <fstream>

#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {
const AudioFormat target{16000.0, 1};

std::vector<float> constant(std::size_t frames, float rms) { return std::vector<float>(frames, rms); }
}  // namespace

TEST(DisplayLevel, FollowsTheLevelCurveAndNeverExceedsOne) {
    struct Row {
        float rms;
        float level;
    };
    for (Row row :
         {Row{0.0f, 0.0f}, Row{0.002f, 0.0f}, Row{0.067f, 1.0f}, Row{0.5f, 1.0f}, Row{0.002f + 0.065f / 4, 0.5f}}) {
        auto samples = constant(1024, row.rms);
        EXPECT_NEAR(MicrophoneRecorder::displayLevel(samples.data(), samples.size()), row.level, 1e-4) << row.rms;
    }
    EXPECT_EQ(MicrophoneRecorder::displayLevel(nullptr, 0), 0.0f);
}

TEST(DisplayLevel, OutputCapacityIsTheTruncatedShareOfSixteenKilohertz) {
    EXPECT_EQ(MicrophoneRecorder::outputCapacity(1024, 48000), 341u);
    EXPECT_EQ(MicrophoneRecorder::outputCapacity(1024, 16000), 1024u);
    EXPECT_EQ(MicrophoneRecorder::outputCapacity(1024, 44100), 371u);
    EXPECT_EQ(MicrophoneRecorder::outputCapacity(0, 48000), 1u);
    EXPECT_EQ(MicrophoneRecorder::outputCapacity(1024, 0), 16384000u);  // a rate below 1 counts as 1
}

TEST(AudioConverter, SameFormatPassesSamplesThroughUnchanged) {
    auto converter = AudioConverter::make(target, target);
    ASSERT_TRUE(converter);
    std::vector<float> in = {0.1f, -0.2f, 0.3f, 0.25f};
    auto input = AudioPCMBuffer::fromInterleaved(target, in.data(), in.size());
    auto output = AudioPCMBuffer::make(target, 4);
    ASSERT_TRUE(converter->convert(*input, *output, nullptr));
    ASSERT_EQ(output->frameLength(), 4u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(output->channelData(0)[i], in[i]);
}

namespace {
// A take of `seconds` of a 0.5 tone in every channel, converted in tap-sized
// blocks (1,024 frames, the capture's output capacity) and then finished.
std::vector<float> convertTone(const AudioFormat& input, double hz, double seconds) {
    auto converter = AudioConverter::make(input, target);
    if (!converter) return {};
    const double pi = std::acos(-1.0);
    const auto channels = static_cast<std::size_t>(input.channels);
    const auto total = static_cast<std::size_t>(seconds * input.sampleRate);
    std::vector<float> produced;
    for (std::size_t t = 0; t < total;) {
        const std::size_t frames = std::min<std::size_t>(1024, total - t);
        std::vector<float> interleaved(frames * channels);
        for (std::size_t i = 0; i < frames; ++i, ++t)
            for (std::size_t c = 0; c < channels; ++c)
                interleaved[i * channels + c] =
                    0.5f * static_cast<float>(std::sin(2 * pi * hz * static_cast<double>(t) / input.sampleRate));
        auto buffer = AudioPCMBuffer::fromInterleaved(input, interleaved.data(), frames);
        auto output = AudioPCMBuffer::make(target, MicrophoneRecorder::outputCapacity(frames, input.sampleRate) + 1);
        if (!converter->convert(*buffer, *output, nullptr)) return {};
        produced.insert(produced.end(), output->channelData(0), output->channelData(0) + output->frameLength());
    }
    auto rest = converter->finish(nullptr);
    if (!rest) return {};
    produced.insert(produced.end(), rest->channelData(0), rest->channelData(0) + rest->frameLength());
    return produced;
}

double meanSquare(const std::vector<float>& samples, std::size_t skip = 0) {
    double sum = 0;
    for (std::size_t i = skip; i + skip < samples.size(); ++i) sum += static_cast<double>(samples[i]) * samples[i];
    return samples.size() <= 2 * skip ? 0.0 : sum / static_cast<double>(samples.size() - 2 * skip);
}
}  // namespace

TEST(AudioConverter, StereoFortyEightKilohertzBlocksBecomeContinuousSixteenKilohertzMono) {
    const auto produced = convertTone(AudioFormat{48000.0, 2}, 440.0, 47 * 1024 / 48000.0);
    // Nothing is held back or lost, the end of the take included: a third of
    // the input frames.
    EXPECT_NEAR(static_cast<double>(produced.size()), 47.0 * 1024 / 3, 1.0);
    // The tone survives: 440 Hz crosses zero 880 times a second.
    int crossings = 0;
    for (std::size_t i = 1; i < produced.size(); ++i) crossings += (produced[i - 1] < 0) != (produced[i] < 0);
    const double seconds = static_cast<double>(produced.size()) / 16000.0;
    EXPECT_NEAR(crossings / seconds, 880.0, 10.0);
    // Continuous across blocks: a skipped or repeated stretch would jump
    // further than the tone moves in one sample (0.5 x 2 pi x 440 / 16000 = 0.086).
    float jump = 0;
    for (std::size_t i = 1; i < produced.size(); ++i) jump = std::max(jump, std::abs(produced[i] - produced[i - 1]));
    EXPECT_LT(jump, 0.1f);
    // Two equal channels mix to the level of one.
    EXPECT_NEAR(10 * std::log10(meanSquare(produced) / 0.125), 0.0, 0.5);
}

TEST(AudioConverter, KeepsTheSpeechBandAndRejectsWhatWouldFoldIntoIt) {
    struct Row {
        double rate;
        double hz;
        double minDb, maxDb;  // output energy against the tone's
    };
    for (const Row& row : {Row{48000, 1000, -0.5, 0.5}, Row{44100, 3000, -0.5, 0.5}, Row{48000, 6500, -0.5, 0.5},
                           Row{48000, 12000, -200, -60}, Row{44100, 12000, -200, -60}, Row{48000, 8500, -200, -60},
                           Row{48000, 20000, -200, -60}}) {
        const auto produced = convertTone(AudioFormat{row.rate, 1}, row.hz, 1.0);
        ASSERT_FALSE(produced.empty()) << row.rate;
        // A tone switched on and off spreads energy over every band; the
        // steady middle shows what the filter lets through.
        const double db = 10 * std::log10(std::max(meanSquare(produced, 1600), 1e-30) / 0.125);
        EXPECT_GE(db, row.minDb) << row.hz << " Hz at " << row.rate;
        EXPECT_LE(db, row.maxDb) << row.hz << " Hz at " << row.rate;
    }
}

TEST(AudioConverter, RefusesABufferOfAnotherFormat) {
    auto converter = AudioConverter::make(AudioFormat{48000.0, 2}, target);
    std::vector<float> mono(16, 0.0f);
    auto input = AudioPCMBuffer::fromInterleaved(target, mono.data(), mono.size());
    auto output = AudioPCMBuffer::make(target, 16);
    std::string error;
    EXPECT_FALSE(converter->convert(*input, *output, &error));
    EXPECT_FALSE(error.empty());
}

TEST(AudioFile, WritesPrivateSixteenBitWavThatReadsBackAsWritten) {
    TempDir dir;
    const fs::path path = dir / "take.wav";
    std::string error;
    auto file = AudioFile::createForWriting(path, target, &error);
    ASSERT_TRUE(file) << error;
    std::vector<float> samples = {0.0f, 0.5f, -0.5f, 1.0f, -1.0f, 2.0f};
    auto buffer = AudioPCMBuffer::fromInterleaved(target, samples.data(), samples.size());
    ASSERT_TRUE(file->write(*buffer, nullptr));
    ASSERT_TRUE(file->write(*buffer, nullptr));
    file.reset();

    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 44 + 2 * 12);

    auto read = AudioFile::openForReading(path, &error);
    ASSERT_TRUE(read) << error;
    EXPECT_EQ(read->fileFormat(), target);
    EXPECT_EQ(read->length(), 12);
    auto back = read->readMono16(nullptr);
    const std::vector<std::int16_t> expected = {0, 16384, -16384, 32767, -32767, 32767};
    EXPECT_EQ(std::vector<std::int16_t>(back.begin(), back.begin() + 6), expected);
    EXPECT_DOUBLE_EQ(audioFileDuration(path), 12.0 / 16000.0);

    // A recording is never opened over an existing file.
    EXPECT_FALSE(AudioFile::createForWriting(path, target, &error));
}

TEST(AudioFile, MissingOrUnreadableFilesLastZeroSeconds) {
    TempDir dir;
    EXPECT_EQ(audioFileDuration(dir / "missing.wav"), 0.0);
    std::ofstream(dir / "junk.wav") << "not a wav file at all";
    EXPECT_EQ(audioFileDuration(dir / "junk.wav"), 0.0);
}

namespace {
struct CallLog : AudioEngineDelegate {
    std::vector<std::string> calls;
    void audioEngineDidUpdateRMS(float) override {}
    void audioEngineDidStartRecording() override { calls.push_back("start"); }
    void audioEngineDidStopRecording(const std::optional<fs::path>&, double) override { calls.push_back("stop"); }
    void audioEngineDidEncounterError(const AudioEngineError& e) override {
        calls.push_back("error " + e.diagnosticDetail());
    }
    void audioEngineDidInterrupt(const std::optional<fs::path>&, double, AudioInterruptionReason r) override {
        calls.push_back(r == AudioInterruptionReason::diskWriteFailure ? "interrupt disk"
                        : r == AudioInterruptionReason::engineFailure  ? "interrupt engine"
                                                                       : "interrupt route");
    }
};

// The engine with a delegate for one test, idle again afterwards.
struct Delegated {
    std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
    Delegated() { MicrophoneRecorder::shared().setDelegate(log); }
    ~Delegated() {
        MicrophoneRecorder::shared().stopRecording();
        MicrophoneRecorder::shared().setDelegate({});
    }
    void settle() {
        MicrophoneRecorder::shared().audioQueue().drain();
        platform::MainQueue::pump(0.3);
    }
};
}  // namespace

TEST(MicrophoneRecorder, AFailingDiskEndsTheTakeWithExactlyOneReport) {
    TempDir dir;
    std::shared_ptr<AudioFile> file = AudioFile::createForWriting(dir / "take.wav", target, nullptr);
    ASSERT_TRUE(file);
    // Writes past the header fail: the file may not grow.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit tiny = old;
    tiny.rlim_cur = 44;
    ::setrlimit(RLIMIT_FSIZE, &tiny);
    Delegated d;
    auto& engine = MicrophoneRecorder::shared();
    engine.beginCapture(file);
    file.reset();
    auto converter = AudioConverter::make(target, target);
    std::vector<float> samples(1024, 0.1f);
    auto buffer = AudioPCMBuffer::fromInterleaved(target, samples.data(), samples.size());
    for (int i = 0; i < 3; ++i) engine.handleTapBuffer(*buffer, *converter, 16000);
    d.settle();
    ::setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_FALSE(engine.isCapturing());
    const std::vector<std::string> expected = {"stop", "interrupt disk", "error diskWriteFailed: File too large"};
    EXPECT_EQ(d.log->calls, expected);
}

TEST(MicrophoneRecorder, AConversionErrorEndsTheTakeAsAnInterruption) {
    Delegated d;
    auto& engine = MicrophoneRecorder::shared();
    engine.beginCapture(nullptr);
    auto converter = AudioConverter::make(AudioFormat{48000.0, 2}, target);
    std::vector<float> samples(8, 0.1f);
    auto wrongFormat = AudioPCMBuffer::fromInterleaved(target, samples.data(), samples.size());
    engine.handleTapBuffer(*wrongFormat, *converter, 48000);
    engine.handleTapBuffer(*wrongFormat, *converter, 48000);
    d.settle();
    ASSERT_EQ(d.log->calls.size(), 3u);
    EXPECT_EQ(d.log->calls[1], "interrupt engine");
    // Reported as an interrupted take, not as a microphone that could not start.
    EXPECT_TRUE(d.log->calls[2].starts_with("error captureInterrupted: ")) << d.log->calls[2];
}

TEST(MicrophoneRecorder, ADeviceChangeWhileIdleOnlyResetsAndWhileRecordingEndsTheTake) {
    Delegated d;
    auto& engine = MicrophoneRecorder::shared();
    engine.handleConfigurationChange();
    d.settle();
    EXPECT_TRUE(d.log->calls.empty());
    engine.beginCapture(nullptr);
    engine.handleConfigurationChange();
    d.settle();
    const std::vector<std::string> expected = {"stop", "interrupt route", "error audioRouteChanged"};
    EXPECT_EQ(d.log->calls, expected);
}

TEST(AudioEngineError, MessagesAndDetails) {
    using K = AudioEngineError::Kind;
    struct Row {
        AudioEngineError error;
        const char* detail;
    };
    for (const Row& row :
         {Row{{K::recordingFileCreationFailed, "disk full"}, "recordingFileCreationFailed: disk full"},
          Row{{K::engineStartFailed, "busy"}, "engineStartFailed: busy"},
          Row{{K::diskWriteFailed, "io"}, "diskWriteFailed: io"},
          Row{{K::microphonePermissionDenied, {}}, "microphonePermissionDenied"},
          Row{{K::invalidInputFormat, {}}, "invalidInputFormat"}, Row{{K::converterUnavailable, {}}, "converterUnavailable"},
          Row{{K::audioRouteChanged, {}}, "audioRouteChanged"}, Row{{K::captureInterrupted, {}}, "captureInterrupted"},
          Row{{K::soundServerUnavailable, "refused"}, "soundServerUnavailable: refused"}}) {
        EXPECT_EQ(row.error.diagnosticDetail(), row.detail);
        EXPECT_FALSE(row.error.errorDescription().empty());
    }
    EXPECT_EQ(AudioEngineError({K::audioRouteChanged, {}}).errorDescription(),
              "Recording stopped because the audio device changed. Press the hotkey to continue.");
}

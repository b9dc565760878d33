// File transcription end to end: real speech in every container the issue
// names, the errors of broken inputs, and the window machinery (parallel
// windows, progress, cancellation, time-out) around the recogniser.
#include "Engine/FileTranscriber.h"
#include "Engine/SphinxWindowRecognizer.h"
#include "support/TempDir.h"
#include "unit/engine/SpeechFixtures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace FileTranscriber;
using Kind = TranscriptionFileError::Kind;

namespace {

const char* kSentence = "The quick brown fox jumps over the lazy dog near the river bank.";
const std::vector<std::string> kWords = {"quick", "brown", "fox", "over", "lazy", "dog", "river"};

int wordsFound(const std::string& text, const std::vector<std::string>& words) {
    int found = 0;
    for (const auto& w : words)
        if ((" " + text + " ").find(" " + w + " ") != std::string::npos) ++found;
    return found;
}

TranscriptionFileError transcribeExpectingError(const fs::path& path,
                                                const Engine& engine = SphinxWindowRecognizer::engine(),
                                                double chunk = defaultChunkSeconds, double overlap = defaultOverlapSeconds,
                                                const std::string& locale = "en_US") {
    try {
        transcribeFile(path, {}, locale, chunk, overlap, std::make_shared<CancellationToken>(), nullptr, engine);
    } catch (const TranscriptionFileError& e) {
        return e;
    }
    ADD_FAILURE() << "transcription of " << path << " did not fail";
    return TranscriptionFileError::of(Kind::cancelled);
}

// A recogniser that reports one word per window and lets a test act on each call.
struct ScriptedRecognizer : WindowRecognizer {
    std::function<void(int call)> onCall;
    std::shared_ptr<std::atomic<int>> calls;
    std::vector<Segment> recognize(const std::vector<float>& samples) override {
        int call = ++*calls;
        if (onCall) onCall(call);
        return {{"word" + std::to_string(call), 0.5, 1.0}};
    }
};

Engine scriptedEngine(std::shared_ptr<std::atomic<int>> calls, std::function<void(int)> onCall, unsigned parallel = 1) {
    Engine e;
    e.parallelWindows = parallel;
    e.prepare = [calls, onCall](const std::string&, const std::vector<std::string>&) -> RecognizerFactory {
        return [calls, onCall] {
            auto r = std::make_unique<ScriptedRecognizer>();
            r->calls = calls;
            r->onCall = onCall;
            return r;
        };
    };
    return e;
}

class FileTranscriberFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir("ondira-transcribe-");
        ASSERT_TRUE(speechfixtures::speak(kSentence, "kal16", wav()));
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }
    static fs::path wav() { return dir->path / "speech.wav"; }
    static TempDir* dir;
};
TempDir* FileTranscriberFiles::dir = nullptr;

TEST_F(FileTranscriberFiles, EveryContainerIsTranscribedWithTheSpokenWords) {
    struct Case {
        std::string name;
        std::string command;  // empty: the WAV itself
    };
    const fs::path d = dir->path;
    const std::string in = speechfixtures::shellQuote(wav().string());
    const std::vector<Case> cases = {
        {"speech.wav", ""},
        {"speech.mp3", "ffmpeg -y -i " + in + " -c:a libmp3lame -b:a 64k "},
        {"speech.flac", "ffmpeg -y -i " + in + " -c:a flac "},
        {"speech.M4A", "ffmpeg -y -i " + in + " -c:a aac -b:a 96k -f ipod "},
        {"speech.mp4", "ffmpeg -y -f lavfi -i color=c=black:s=160x120:r=10 -i " + in +
                           " -shortest -map 0:v -map 1:a -c:v mpeg4 -c:a aac -b:a 96k "},
        // Containers whose header gives no exact length: the length comes from their packets.
        {"noheader.mp3", "ffmpeg -y -i " + in + " -c:a libmp3lame -b:a 64k -write_xing 0 "},
        {"speech.aac", "ffmpeg -y -i " + in + " -c:a aac -b:a 96k -f adts "},
        {"speech.aiff", "ffmpeg -y -i " + in + " -ar 44100 -ac 2 "},
        {"speech.caf", "ffmpeg -y -i " + in + " -c:a pcm_s16le "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = c.command.empty() ? wav() : d / c.name;
        if (!c.command.empty()) {
            ASSERT_TRUE(speechfixtures::run(c.command + speechfixtures::shellQuote(file.string())));
        }
        FileTranscriptionResult result = transcribeFile(file, {}, "en_US", defaultChunkSeconds, defaultOverlapSeconds,
                                                        std::make_shared<CancellationToken>(), nullptr);
        EXPECT_GE(wordsFound(result.fullText, kWords), 5) << result.fullText;
        EXPECT_NEAR(result.audioSeconds, 4.0, 1.5);
        // A whole file is never taken for one cut short.
        EXPECT_FALSE(result.endsEarly()) << result.audioSeconds << " of " << result.claimedSeconds;
        EXPECT_EQ(result.engineIdentifier, engineIdentifier);
        EXPECT_EQ(result.sourceURL, file);
        ASSERT_FALSE(result.segments.empty());
        for (std::size_t i = 0; i < result.segments.size(); ++i) {
            EXPECT_LE(result.segments[i].startSeconds, result.segments[i].endSeconds);
            EXPECT_LE(result.segments[i].endSeconds, result.audioSeconds + 0.5);
            if (i) {
                EXPECT_GE(result.segments[i].startSeconds, result.segments[i - 1].startSeconds);
            }
        }
    }
}

TEST_F(FileTranscriberFiles, BrokenInputsGiveTheirErrors) {
    const fs::path d = dir->path;
    { std::ofstream(d / "text.mp3") << "These are the minutes of the meeting, not a recording.\n"; }
    { std::ofstream(d / "empty.mp3"); }
    {
        // A WAV whose header promises a format and then breaks off.
        std::ofstream out(d / "corrupt.wav", std::ios::binary);
        out.write("RIFF\x24\x00\x00\x00WAVEfmt \x10\x00\x00\x00\x01\x00", 22);
    }
    {
        std::ifstream speech(wav(), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(speech)), {});
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);  // scrambled throughout
        std::ofstream(d / "scrambled.flac", std::ios::binary) << bytes;
    }
    speechfixtures::writeWav(d / "headeronly.wav", 0);
    speechfixtures::writeWav(d / "silence.wav", 2.0, 0.0);
    fs::create_directories(d / "folder.wav");
    ASSERT_EQ(::mkfifo((d / "pipe.wav").c_str(), 0600), 0);

    const std::vector<std::pair<std::string, Kind>> cases = {
        {"text.mp3", Kind::unreadableAudio},     {"empty.mp3", Kind::emptyFile},
        {"corrupt.wav", Kind::unreadableAudio},  {"scrambled.flac", Kind::unreadableAudio},
        {"missing.wav", Kind::fileNotFound},     {"folder.wav", Kind::notAFile},
        {"headeronly.wav", Kind::emptyFile},     {"silence.wav", Kind::emptyTranscript},
        {"speech.ogg", Kind::unsupportedFormat}, {"pipe.wav", Kind::notRegularFile},
    };
    for (const auto& [name, kind] : cases) {
        SCOPED_TRACE(name);
        TranscriptionFileError e = transcribeExpectingError(d / name);
        EXPECT_EQ(e.kind(), kind) << e.diagnosticDetail();
    }
}

TEST_F(FileTranscriberFiles, LanguageWithoutAnInstalledModelStopsBeforeRecognition) {
    TranscriptionFileError e = transcribeExpectingError(wav(), SphinxWindowRecognizer::engine(), defaultChunkSeconds,
                                                        defaultOverlapSeconds, "zz_ZZ");
    EXPECT_EQ(e, TranscriptionFileError::onDeviceUnavailable("zz_ZZ"));
    EXPECT_NE(e.errorDescription().find("this language"), std::string::npos) << e.errorDescription();
}

// Window settings that would make the plan fall back to one window over the
// whole file are refused before anything is decoded.
TEST_F(FileTranscriberFiles, WindowSettingsAreValidated) {
    const std::vector<std::pair<double, double>> cases = {
        {240, 240}, {240, 300}, {0, 0}, {-10, 2}, {NAN, 2}, {240, NAN}, {240, -1}, {INFINITY, 2}, {300000, 2},
    };
    for (const auto& [chunk, overlap] : cases) {
        SCOPED_TRACE(std::to_string(chunk) + " / " + std::to_string(overlap));
        EXPECT_EQ(transcribeExpectingError(wav(), SphinxWindowRecognizer::engine(), chunk, overlap).kind(),
                  Kind::invalidWindow);
    }
}

// Several windows recognised one after another or side by side give the same
// segments; their overlaps don't repeat words, and progress runs in order.
TEST_F(FileTranscriberFiles, ParallelWindowsGiveTheSameTranscript) {
    const fs::path d = dir->path;
    ASSERT_TRUE(speechfixtures::speak("Please remember to call the doctor on Monday morning.", "slt", d / "b.wav"));
    ASSERT_TRUE(speechfixtures::speak("Once upon a time there was a small village.", "awb", d / "c.wav"));
    ASSERT_TRUE(speechfixtures::concatenate({wav(), d / "b.wav", d / "c.wav"}, d / "long.wav"));

    auto run = [&](unsigned parallel, std::vector<Progress>* progress) {
        Engine engine = SphinxWindowRecognizer::engine();
        engine.parallelWindows = parallel;
        return transcribeFile(
            d / "long.wav", {}, "en_US", 5.0, 1.0, std::make_shared<CancellationToken>(),
            [progress](const Progress& p) {
                if (progress) progress->push_back(p);
            },
            engine);
    };
    std::vector<Progress> progress;
    FileTranscriptionResult serial = run(1, &progress);
    FileTranscriptionResult parallel = run(4, nullptr);
    EXPECT_EQ(serial.segments, parallel.segments);
    EXPECT_EQ(serial.fullText, parallel.fullText);
    EXPECT_GE(wordsFound(serial.fullText, {"quick", "fox", "lazy", "doctor", "monday", "morning", "village"}), 5)
        << serial.fullText;

    // Windows are counted one at a time, in order, against the same total;
    // reports within a window keep its count.
    ASSERT_GE(progress.size(), 3u);
    int windowsDone = 0;
    for (const auto& p : progress) {
        EXPECT_TRUE(p.chunksCompleted == windowsDone || p.chunksCompleted == windowsDone + 1) << p.chunksCompleted;
        windowsDone = p.chunksCompleted;
        EXPECT_EQ(p.totalChunks, progress.back().chunksCompleted);
    }
    EXPECT_GE(windowsDone, 3);
    EXPECT_DOUBLE_EQ(progress.back().fractionComplete(), 1.0);
}

TEST_F(FileTranscriberFiles, CancellingDuringTheSecondWindowStopsBeforeTheThird) {
    const fs::path file = dir->path / "tone.wav";
    speechfixtures::writeWav(file, 15.0);
    auto token = std::make_shared<CancellationToken>();
    auto calls = std::make_shared<std::atomic<int>>(0);
    Engine engine = scriptedEngine(calls, [token](int call) {
        if (call == 2) token->cancel();
    });
    try {
        transcribeFile(file, {}, "en_US", 6.0, 1.0, token, nullptr, engine);
        ADD_FAILURE() << "expected cancelled";
    } catch (const TranscriptionFileError& e) {
        EXPECT_EQ(e.kind(), Kind::cancelled);
    }
    EXPECT_EQ(calls->load(), 2);
}

TEST_F(FileTranscriberFiles, RecognitionFailuresEndTheTranscription) {
    const fs::path file = dir->path / "tone.wav";
    speechfixtures::writeWav(file, 15.0);
    auto calls = std::make_shared<std::atomic<int>>(0);

    Engine failing = scriptedEngine(
        calls,
        [](int call) {
            if (call == 2) throw TranscriptionFileError::chunkTranscriptionFailed("decoder gave up");
        },
        2);
    EXPECT_EQ(transcribeExpectingError(file, failing, 6.0, 1.0),
              TranscriptionFileError::chunkTranscriptionFailed("decoder gave up"));

    // A window that hangs ends at its time-out; the caller isn't kept waiting.
    Engine hanging = scriptedEngine(calls, [](int) { std::this_thread::sleep_for(std::chrono::milliseconds(1500)); });
    hanging.timeoutForWindow = [](double) { return 0.2; };
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(transcribeExpectingError(file, hanging, 6.0, 1.0),
              TranscriptionFileError::chunkTranscriptionFailed("on-device recognition timed out"));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count(), 1.2);

    Engine noEngine;
    EXPECT_EQ(transcribeExpectingError(file, noEngine).kind(), Kind::engineUnavailable);
}

TEST(FileTranscriberWindowTimeout, IsFourTimesTheWindowWithinBounds) {
    EXPECT_EQ(recognitionTimeout(240), 600);
    EXPECT_EQ(recognitionTimeout(5), 30);
    EXPECT_EQ(recognitionTimeout(100), 400);
}

TEST(SphinxModels, LocalesFindTheInstalledModelOfTheirLanguage) {
    for (const char* id : {"en_US", "en-GB", "en", "C", "en_US.UTF-8"}) {
        SCOPED_TRACE(id);
        auto model = SphinxWindowRecognizer::modelFor(id);
        ASSERT_TRUE(model);
        EXPECT_TRUE(fs::is_regular_file(model->acousticModel / "mdef"));
        EXPECT_TRUE(fs::is_regular_file(model->languageModel));
        EXPECT_TRUE(fs::is_regular_file(model->dictionary));
    }
    EXPECT_FALSE(SphinxWindowRecognizer::modelFor("zz_ZZ"));

    // Region first, then the bare language, then another region.
    TempDir root("ondira-models-");
    for (const char* name : {"de", "de-at", "fr-ca"}) {
        fs::create_directories(root.path / name / "am");
        std::ofstream(root.path / name / "am" / "mdef");
        std::ofstream(root.path / name / (std::string(name) + ".lm.bin"));
        std::ofstream(root.path / name / (std::string(name) + ".dict"));
    }
    EXPECT_EQ(SphinxWindowRecognizer::modelFor("de_AT", root.path)->dictionary.filename(), "de-at.dict");
    EXPECT_EQ(SphinxWindowRecognizer::modelFor("de_DE", root.path)->dictionary.filename(), "de.dict");
    EXPECT_EQ(SphinxWindowRecognizer::modelFor("fr_FR", root.path)->dictionary.filename(), "fr-ca.dict");
    EXPECT_FALSE(SphinxWindowRecognizer::modelFor("it_IT", root.path));
}

}  // namespace

namespace {

// Each window gets exactly its stretch of the file, overlap included, and no
// more than one window's length, however the decoder hands its audio out.
int valueAt(std::int64_t i) { return (i % 2 ? 1 : -1) * static_cast<int>(8000 + i % 16000); }

TEST(FileTranscriberWindows, EachWindowHoldsExactlyItsStretchOfTheFile) {
    TempDir dir("ondira-windows-");
    const fs::path file = dir.path / "ramp.wav";
    const std::uint32_t frames = 16000 * 21 + 123;
    {
        // Never quiet (so a window stays one utterance), and each sample tells its position.
        std::vector<std::int16_t> samples(frames);
        for (std::uint32_t i = 0; i < frames; ++i) samples[i] = static_cast<std::int16_t>(valueAt(i));
        speechfixtures::writeWavSamples(file, samples);
    }
    struct Window {
        float first;
        std::size_t size;
    };
    auto seen = std::make_shared<std::vector<Window>>();
    struct Capture : WindowRecognizer {
        std::shared_ptr<std::vector<Window>> seen;
        std::vector<Segment> recognize(const std::vector<float>& samples) override {
            seen->push_back({samples.empty() ? 0.f : samples.front(), samples.size()});
            return {{"w", 0, 1}};
        }
    };
    Engine engine;
    engine.parallelWindows = 1;
    engine.prepare = [seen](const std::string&, const std::vector<std::string>&) -> RecognizerFactory {
        return [seen] {
            auto c = std::make_unique<Capture>();
            c->seen = seen;
            return c;
        };
    };
    auto result = transcribeFile(file, {}, "en_US", 6.0, 1.5, nullptr, nullptr, engine);
    EXPECT_NEAR(result.audioSeconds, frames / 16000.0, 1e-9);

    const auto plan = planChunks(frames / 16000.0, 6.0, 1.5);
    ASSERT_EQ(seen->size(), plan.size());
    for (std::size_t k = 0; k < plan.size(); ++k) {
        SCOPED_TRACE(k);
        const auto first = static_cast<std::int64_t>(plan[k].startSeconds * 16000);
        const auto last = static_cast<std::int64_t>(plan[k].endSeconds * 16000);
        EXPECT_FLOAT_EQ((*seen)[k].first, static_cast<float>(valueAt(first)) / 32768.0f);
        EXPECT_EQ((*seen)[k].size, static_cast<std::size_t>(k + 1 == plan.size() ? frames - first : last - first));
        EXPECT_LE((*seen)[k].size, 6u * 16000u);
    }
}

// Pauses split a window into utterances that tile it exactly.
TEST(FileTranscriberWindows, UtterancesAreCutInPausesAndNeverTooLong) {
    auto tone = [](std::size_t n) {
        std::vector<float> v(n);
        for (std::size_t i = 0; i < n; ++i) v[i] = 0.3f * static_cast<float>(std::sin(i * 0.2));
        return v;
    };
    auto cat = [](std::vector<std::vector<float>> parts) {
        std::vector<float> out;
        for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    const std::vector<float> pause(16000 / 2, 0.0f), blip(16000 / 10, 0.0f);
    struct Case {
        std::string name;
        std::vector<float> samples;
        std::vector<std::pair<std::size_t, std::size_t>> expected;
    };
    const std::vector<Case> cases = {
        {"empty", {}, {}},
        {"one utterance", tone(32000), {{0, 32000}}},
        {"a half-second pause", cat({tone(32000), pause, tone(16000)}), {{0, 36000}, {36000, 56000}}},
        {"a pause too short to cut", cat({tone(32000), blip, tone(16000)}), {{0, 49600}}},
        {"leading and trailing silence stay with their neighbours", cat({pause, tone(16000), pause}), {{0, 32000}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(utteranceSpans(c.samples), c.expected);
    }

    // 70 s without a pause: stretches of 15...30 s that tile the whole.
    const auto spans = utteranceSpans(tone(70 * 16000));
    ASSERT_EQ(spans.size(), 3u);
    std::size_t at = 0;
    for (const auto& [begin, end] : spans) {
        EXPECT_EQ(begin, at);
        EXPECT_LE(end - begin, 30u * 16000u);
        at = end;
    }
    EXPECT_EQ(at, 70u * 16000u);
}

}  // namespace

namespace {

// Small valid files whose headers were then made to lie. Each is transcribed
// in a child with a memory ceiling and an alarm, so a regression fails here
// instead of eating the machine.
struct ChildOutcome {
    bool finished = false;  // exited on its own within the alarm and the memory ceiling
    int kind = -1;          // TranscriptionFileError::Kind, or -1 for a transcript
    std::string detail;
    double audioSeconds = 0;
    double seconds = 0;
};

std::uint64_t virtualMemoryBytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7)) * 1024;
    return 0;
}

ChildOutcome transcribeInBoundedChild(const fs::path& file, const Engine& engine) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    const auto begin = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        // What the process holds now plus half a gigabyte: a decoder that
        // believes a lying header needs several.
        const rlim_t ceiling = virtualMemoryBytes() + (512ull << 20);
        rlimit limit{ceiling, ceiling};
        ::setrlimit(RLIMIT_AS, &limit);
        ::alarm(20);
        std::string report;
        try {
            auto result =
                transcribeFile(file, {}, "en_US", defaultChunkSeconds, defaultOverlapSeconds, nullptr, nullptr, engine);
            report = "-1\n" + std::to_string(result.audioSeconds) + "\n";
        } catch (const TranscriptionFileError& e) {
            report = std::to_string(static_cast<int>(e.kind())) + "\n0\n" + e.payload();
        }
        [[maybe_unused]] auto written = ::write(fds[1], report.data(), report.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string report;
    char buffer[512];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) report.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ChildOutcome outcome;
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    outcome.finished = WIFEXITED(status) && WEXITSTATUS(status) == 0 && !report.empty();
    if (!outcome.finished) return outcome;
    std::istringstream in(report);
    in >> outcome.kind >> outcome.audioSeconds;
    in.ignore(1);
    std::getline(in, outcome.detail, '\0');
    return outcome;
}

std::string readBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

void writeBytes(const fs::path& file, const std::string& bytes) { std::ofstream(file, std::ios::binary) << bytes; }

TEST(FileTranscriberLyingHeaders, CostTimeAndMemoryOfWhatTheFileHolds) {
    TempDir dir("ondira-lying-");
    const fs::path speech = dir / "speech.wav";
    ASSERT_TRUE(speechfixtures::speak("The quick brown fox jumps.", "kal16", speech));
    ASSERT_TRUE(speechfixtures::encode(speech, "-c:a flac", dir / "speech.flac"));
    ASSERT_TRUE(speechfixtures::encode(speech, "-c:a libmp3lame -b:a 64k", dir / "speech.mp3"));
    const double realSeconds = static_cast<double>(fs::file_size(speech) - 44) / 32000.0;

    // The WAV's format chunk says 1 Hz (offset 24, little-endian).
    std::string wav = readBytes(speech);
    ASSERT_EQ(wav.substr(12, 4), "fmt ");
    wav.replace(24, 4, std::string("\x01\x00\x00\x00", 4));
    writeBytes(dir / "onehertz.wav", wav);

    // The FLAC stream info says 1 Hz: 20 bits from byte 18 of the file.
    std::string flac = readBytes(dir / "speech.flac");
    ASSERT_EQ(flac.substr(0, 4), "fLaC");
    flac[18] = 0;
    flac[19] = 0;
    flac[20] = static_cast<char>(0x10 | (flac[20] & 0x0F));
    writeBytes(dir / "onehertz.flac", flac);

    // The MP3's Info frame claims 0xFFFFFFFF frames.
    std::string mp3 = readBytes(dir / "speech.mp3");
    std::size_t info = mp3.find("Info");
    if (info == std::string::npos) info = mp3.find("Xing");
    ASSERT_NE(info, std::string::npos);
    ASSERT_TRUE(mp3[info + 7] & 0x01);  // the frame-count field is present
    mp3.replace(info + 8, 4, std::string(4, '\xFF'));
    writeBytes(dir / "endless.mp3", mp3);

    auto calls = std::make_shared<std::atomic<int>>(0);
    const Engine engine = scriptedEngine(calls, nullptr, 2);
    struct Case {
        std::string name;
        int kind;  // -1: a transcript of the real length
    };
    const std::vector<Case> cases = {
        {"onehertz.wav", static_cast<int>(Kind::unreadableAudio)},
        {"onehertz.flac", static_cast<int>(Kind::unreadableAudio)},
        {"endless.mp3", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ChildOutcome outcome = transcribeInBoundedChild(dir / c.name, engine);
        ASSERT_TRUE(outcome.finished) << "killed by the alarm or the memory ceiling after " << outcome.seconds << " s";
        EXPECT_LT(outcome.seconds, 10.0);
        EXPECT_EQ(outcome.kind, c.kind) << outcome.detail;
        if (c.kind == static_cast<int>(Kind::unreadableAudio)) {
            EXPECT_NE(outcome.detail.find("sample rate"), std::string::npos) << outcome.detail;
        } else {
            EXPECT_NEAR(outcome.audioSeconds, realSeconds, 0.2);
        }
    }
}

// A 32-bit float WAV: a tone with pauses, and NaN and infinite samples in
// it. They are heard as silence: the transcription ends, and the recogniser
// never sees a sample that is not a number.
TEST(FileTranscriberNonFiniteSamples, AreHeardAsSilence) {
    TempDir dir("ondira-nonfinite-");
    const fs::path file = dir / "float.wav";
    std::vector<float> samples;
    for (int part = 0; part < 3; ++part) {
        for (int i = 0; i < 16000; ++i) samples.push_back(0.3f * static_cast<float>(std::sin(i * 0.2)));
        samples.insert(samples.end(), 8000, 0.0f);
    }
    samples[100] = std::numeric_limits<float>::quiet_NaN();
    samples[20000] = std::numeric_limits<float>::infinity();
    samples[30000] = -std::numeric_limits<float>::infinity();
    speechfixtures::writeMonoWav(file, samples, 16000);
    struct FiniteOnly : WindowRecognizer {
        std::vector<Segment> recognize(const std::vector<float>& window) override {
            for (float v : window)
                if (!std::isfinite(v)) throw TranscriptionFileError::chunkTranscriptionFailed("a sample is not a number");
            return {{"tone", 0.1, 0.5}};
        }
    };
    Engine engine;
    engine.parallelWindows = 2;
    engine.prepare = [](const std::string&, const std::vector<std::string>&) -> RecognizerFactory {
        return [] { return std::make_unique<FiniteOnly>(); };
    };
    const ChildOutcome outcome = transcribeInBoundedChild(file, engine);
    ASSERT_TRUE(outcome.finished) << "killed by the alarm or the memory ceiling after " << outcome.seconds << " s";
    EXPECT_EQ(outcome.kind, -1) << outcome.detail;
    EXPECT_NEAR(outcome.audioSeconds, samples.size() / 16000.0, 0.05);
}

// A cancel reaches the transcription while an utterance is still being
// recognised: it ends at once instead of waiting for that utterance.
TEST(FileTranscriberCancel, IsHeardWhileAnUtteranceIsRecognised) {
    TempDir dir("ondira-cancel-");
    const fs::path file = dir / "tone.wav";
    speechfixtures::writeWav(file, 3.0);
    auto token = std::make_shared<CancellationToken>();
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto release = std::make_shared<std::atomic<bool>>(false);
    Engine engine = scriptedEngine(calls, [token, release](int) {
        token->cancel();
        // A recogniser deep in a long utterance (it ends when the test is over).
        for (int i = 0; i < 600 && !*release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    });
    const auto begin = std::chrono::steady_clock::now();
    try {
        transcribeFile(file, {}, "en_US", defaultChunkSeconds, defaultOverlapSeconds, token, nullptr, engine);
        ADD_FAILURE() << "expected cancelled";
    } catch (const TranscriptionFileError& e) {
        EXPECT_EQ(e.kind(), Kind::cancelled);
    }
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count(), 10.0);
    *release = true;
}

}  // namespace

namespace {

// A file shorter than one window still shows progress as its utterances are
// recognised, not 0 % until the end; the fraction never goes back.
TEST(FileTranscriberProgress, MovesWithinAWindowAndNeverGoesBack) {
    TempDir dir("ondira-progress-");
    const fs::path file = dir / "bursts.wav";
    {
        // Twenty one-second tones, each followed by half a second of silence.
        std::vector<std::int16_t> samples;
        for (int burst = 0; burst < 20; ++burst) {
            for (int i = 0; i < 16000; ++i)
                samples.push_back(static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * 440.0 * i / 16000)));
            samples.insert(samples.end(), 8000, 0);
        }
        speechfixtures::writeWavSamples(file, samples);
    }
    auto calls = std::make_shared<std::atomic<int>>(0);
    std::vector<Progress> seen;
    transcribeFile(
        file, {}, "en_US", defaultChunkSeconds, defaultOverlapSeconds, nullptr,
        [&](const Progress& p) { seen.push_back(p); }, scriptedEngine(calls, nullptr, 2));
    ASSERT_GE(calls->load(), 10);
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(calls->load()));  // one step per utterance
    int between = 0;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        const double fraction = seen[i].fractionComplete();
        if (fraction > 0 && fraction < 1) ++between;
        if (i) {
            EXPECT_GE(fraction, seen[i - 1].fractionComplete());
        }
        EXPECT_EQ(seen[i].totalChunks, 1);
        EXPECT_EQ(seen[i].chunksCompleted, i + 1 == seen.size() ? 1 : 0);
    }
    EXPECT_GE(between, 5);
    EXPECT_DOUBLE_EQ(seen.back().fractionComplete(), 1.0);
}

}  // namespace

#include "Engine/SpeechEngine.h"
#include "Engine/MicrophoneRecorder.h"

#include <gtest/gtest.h>

#include "support/RequireService.h"
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>

#include "Platform/FileIO.h"
#include "Platform/UUID.h"
#include "support/SoundLock.h"
#include "support/Speech.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

bool waitUntil(double seconds, const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p)) out += buf;
        ::pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

class Capture : public ::testing::Test {
protected:
    void SetUp() override {
        ONDIRA_REQUIRE_SERVICE(MicrophoneRecorder::isMicrophoneAuthorized(), "no sound server with an input source");
    }
    // Starts a take and waits until the input really delivers.
    void startAndWaitForAudio() {
        auto& engine = MicrophoneRecorder::shared();
        ASSERT_NO_THROW(engine.startRecording());
        ASSERT_TRUE(waitUntil(10.0, [&] { return engine.didCaptureAnyBuffer(); })) << "the input delivered nothing";
    }
    // The session's sound server, named outright before the runtime directory
    // changes under the client.
    static std::string sessionSoundServer() {
        if (const char* server = std::getenv("PULSE_SERVER")) return server;
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        return std::string("unix:") + (runtime ? runtime : "/run/user/0") + "/pulse/native";
    }
    SoundLock lock;
    TempDir dir{"ondira-capture-"};
    // Takes go to a temporary directory of the test's own: the application
    // that other tests start sweeps leftover recordings from the session's at
    // launch, and took this test's take while it was being checked.
    ScopedEnv sound{"PULSE_SERVER", sessionSoundServer()};
    TempDir runtime{"ondira-capture-run-"};
    ScopedEnv ownTemporaryDirectory{"XDG_RUNTIME_DIR", runtime.path.string()};
    // Recognising a take stores what it learned about the input: in this
    // test's own data folder, not the session's shared one.
    ScopedEnv isolation{"ONDIRA_SELFTEST_STATE_DIR", (dir / "state").string()};
};

struct RecordingDelegate : AudioEngineDelegate {
    std::vector<std::string> calls;
    void audioEngineDidUpdateRMS(float) override {}
    void audioEngineDidStartRecording() override { calls.push_back("start"); }
    void audioEngineDidStopRecording(const std::optional<fs::path>&, double) override { calls.push_back("stop"); }
    void audioEngineDidEncounterError(const AudioEngineError& error) override {
        calls.push_back("error " + error.diagnosticDetail());
    }
    void audioEngineDidInterrupt(const std::optional<fs::path>&, double, AudioInterruptionReason reason) override {
        calls.push_back(reason == AudioInterruptionReason::routeChanged ? "interrupt routeChanged" : "interrupt other");
    }
};

}  // namespace

TEST_F(Capture, RecordsPlayedSpeechIntoAPrivateSixteenBitWav) {
    const std::string phrase = "please send the report to the team by friday";
    const fs::path speech = dir / "speech.wav";
    ASSERT_TRUE(testspeech::synthesize(phrase, speech));

    auto& engine = MicrophoneRecorder::shared();
    std::mutex m;
    std::size_t sinkFrames = 0;
    bool finished = false;
    engine.attachStreamingSink({[&](std::shared_ptr<AudioPCMBuffer> b) {
                                    std::lock_guard<std::mutex> g(m);
                                    sinkFrames += b->frameLength();
                                },
                                [&] {
                                    std::lock_guard<std::mutex> g(m);
                                    finished = true;
                                }});
    startAndWaitForAudio();
    ASSERT_EQ(std::system(("paplay '" + speech.string() + "'").c_str()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto [url, duration] = engine.stopRecording();
    ASSERT_TRUE(url);
    EXPECT_FALSE(engine.isCapturing());
    EXPECT_TRUE(engine.lastStopTimestamp());

    // Named and placed as the launch sweep expects, private to the user.
    const std::string name = url->filename().string();
    EXPECT_TRUE(name.starts_with("ondira_rec_") && name.ends_with(".wav") && platform::isUUID(name.substr(11, 36))) << name;
    struct stat st {};
    ASSERT_EQ(::stat(url->c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(url->parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // 16 kHz, mono, 16-bit little-endian linear PCM.
    std::ifstream raw(*url, std::ios::binary);
    unsigned char header[44];
    raw.read(reinterpret_cast<char*>(header), 44);
    EXPECT_EQ(header[20] | (header[21] << 8), 1);  // linear PCM
    EXPECT_EQ(header[22] | (header[23] << 8), 1);  // one channel
    EXPECT_EQ(header[24] | (header[25] << 8) | (header[26] << 16), 16000);
    EXPECT_EQ(header[34] | (header[35] << 8), 16);  // bits per sample

    const double fileSeconds = audioFileDuration(*url);
    EXPECT_GT(fileSeconds, 2.5);
    EXPECT_LE(fileSeconds, duration + 0.05);
    EXPECT_GT(engine.lastPeakRMS(), 0.05f);

    // The live consumer saw every frame the file holds, then the end.
    ASSERT_TRUE(waitUntil(2.0, [&] {
        std::lock_guard<std::mutex> g(m);
        return finished;
    }));
    auto file = AudioFile::openForReading(*url, nullptr);
    ASSERT_TRUE(file);
    EXPECT_EQ(static_cast<std::int64_t>(sinkFrames), file->length());

    const auto result = SpeechEngine::shared().transcribeDetailed(*url, {});
    EXPECT_GE(testspeech::wordsHeard(phrase, result.text), 0.6) << result.text;
    fs::remove(*url);
}

TEST_F(Capture, SilenceReadsAsNoLevelAndASecondStartMakesNoSecondFile) {
    auto& engine = MicrophoneRecorder::shared();
    startAndWaitForAudio();
    std::size_t files = 0;
    for (auto& e : fs::directory_iterator(platform::temporaryDirectory()))
        files += e.path().filename().string().starts_with("ondira_rec_");
    EXPECT_NO_THROW(engine.startRecording());
    std::size_t filesAfter = 0;
    for (auto& e : fs::directory_iterator(platform::temporaryDirectory()))
        filesAfter += e.path().filename().string().starts_with("ondira_rec_");
    EXPECT_EQ(files, filesAfter);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    auto [url, duration] = engine.stopRecording();
    EXPECT_TRUE(url);
    EXPECT_GT(duration, 0.3);
    EXPECT_LT(engine.lastPeakRMS(), 0.0005f);
    if (url) fs::remove(*url);
    // Stopping again: nothing was running.
    auto [none, zero] = engine.stopRecording();
    EXPECT_FALSE(none);
    EXPECT_EQ(zero, 0.0);
}

TEST_F(Capture, ChangingTheDefaultSourceEndsTheTakeAsADeviceChange) {
    const std::string sink = "ondira_other_" + platform::newUUID().substr(0, 8);
    const std::string module = run("pactl load-module module-null-sink sink_name=" + sink);
    ASSERT_FALSE(module.empty());
    const std::string original = run("pactl get-default-source");
    auto delegate = std::make_shared<RecordingDelegate>();
    auto& engine = MicrophoneRecorder::shared();
    engine.setDelegate(delegate);
    startAndWaitForAudio();
    run("pactl set-default-source " + sink + ".monitor");
    platform::MainQueue::pump(5.0, [&] { return delegate->calls.size() >= 4; });
    run("pactl set-default-source " + original);
    run("pactl unload-module " + module);
    engine.setDelegate({});
    EXPECT_FALSE(engine.isCapturing());
    const std::vector<std::string> expected = {"start", "stop", "interrupt routeChanged", "error audioRouteChanged"};
    EXPECT_EQ(delegate->calls, expected);
    for (auto& e : fs::directory_iterator(platform::temporaryDirectory()))
        if (e.path().filename().string().starts_with("ondira_rec_")) fs::remove(e.path());
}

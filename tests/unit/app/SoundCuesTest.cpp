#include "App/SoundCues.h"

#include <gtest/gtest.h>

#include "support/RequireService.h"

#include <cmath>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "Base/AppPaths.h"
#include "support/PrivateSink.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {
struct IsolatedSettings {
    TempDir dir;
    ScopedEnv env{AppPaths::selfTestStateDirVariable, dir.path.string()};
};
}  // namespace

TEST(SoundCues, VolumeIsStoredClampedAndFreshStoreUsesTheDefault) {
    IsolatedSettings isolated;
    SoundCues& cues = SoundCues::shared();
    EXPECT_DOUBLE_EQ(cues.volume(), 0.28);
    EXPECT_TRUE(cues.isEnabled());
    const struct { double in, stored; } table[] = {{1.5, 1.0}, {-0.2, 0.0}, {NAN, 0.0}, {0.5, 0.5}, {1.0, 1.0}, {0.0, 0.0}};
    for (const auto& row : table) {
        cues.setVolume(row.in);
        EXPECT_DOUBLE_EQ(cues.volume(), row.stored) << "input " << row.in;
    }
}

TEST(SoundCues, ThemeLookupRefusesNamesThatLeaveTheThemeAndFindsStereoFiles) {
    TempDir data;
    fs::create_directories(data / "sounds/freedesktop/stereo");
    std::ofstream(data / "sounds/freedesktop/stereo/complete.oga") << "x";
    std::ofstream(data / "sounds/outside.oga") << "x";
    const std::vector<fs::path> dirs = {data.path};
    auto found = SystemSound::named("complete", dirs);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->file(), data / "sounds/freedesktop/stereo/complete.oga");
    for (const char* bad : {"../outside", "..", "", "a/b", "complete.oga/..", "stereo/complete"})
        EXPECT_FALSE(SystemSound::named(bad, dirs)) << bad;
    EXPECT_FALSE(SystemSound::named("missing", dirs));
}

TEST(SoundCues, PlayHandsTheSoundOverOnTheCallersThreadAndPlaysOnTheQueue) {
    IsolatedSettings isolated;
    std::thread::id sinkThread;
    std::string name;
    auto previous = SoundCues::playbackSink();
    SoundCues::setPlaybackSink([&](const SystemSound& s) {
        sinkThread = std::this_thread::get_id();
        name = s.name();
    });
    EXPECT_TRUE(SoundCues::shared().play(SoundCue::success));
    SoundCues::setPlaybackSink(previous);
    EXPECT_EQ(sinkThread, std::this_thread::get_id());
    EXPECT_EQ(name, SoundCueInfo::systemSoundName(SoundCue::success));

    // The production sink plays on the playback queue, never on the caller's
    // thread: while the queue is held busy, handing it a sound plays nothing
    // yet; the play happens on the queue once it runs again. Volume 0 keeps
    // it silent, as only where play() runs matters here.
    auto sound = SystemSound::named(SoundCueInfo::systemSoundName(SoundCue::success));
    ASSERT_TRUE(sound);
    sound->setVolume(0.0f);
    struct Play {
        std::thread::id thread;
        bool onPlaybackQueue;
    };
    std::mutex playsLock;
    std::vector<Play> plays;
    SystemSound::setPlayObserver([&](const SystemSound&) {
        std::lock_guard<std::mutex> g(playsLock);
        plays.push_back({std::this_thread::get_id(), SoundCues::playbackQueue().isCurrent()});
    });
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    SoundCues::playbackQueue().async([released] { released.wait(); });
    SoundCues::productionSink()(*sound);
    {
        std::lock_guard<std::mutex> g(playsLock);
        EXPECT_TRUE(plays.empty()) << "the sound played before the busy playback queue ran it";
    }
    release.set_value();
    SoundCues::playbackQueue().drain();
    SystemSound::setPlayObserver(nullptr);
    ASSERT_EQ(plays.size(), 1u);
    EXPECT_TRUE(plays[0].onPlaybackQueue);
    EXPECT_NE(plays[0].thread, std::this_thread::get_id());
}

// The production path, end to end: the cue's sound reaches the sound server
// at the chosen volume, and a volume of 0 sends nothing at all.
TEST(SoundCues, CuesReachTheSoundServerAndVolumeZeroIsSilent) {
    ONDIRA_REQUIRE_SERVICE(PrivateSink::soundServerAvailable(), "no sound server (run inside the test session)");
    PrivateSink sink;
    ASSERT_TRUE(sink.ok());
    ScopedEnv route("PULSE_SINK", sink.name);
    IsolatedSettings isolated;

    auto peakWhilePlaying = [&](double volume) {
        SoundCues::shared().setVolume(volume);
        MonitorRecorder recorder(sink.name);
        EXPECT_TRUE(recorder.ok());
        EXPECT_TRUE(SoundCues::shared().play(SoundCue::error));
        EXPECT_TRUE(recorder.waitForSeconds(3.0));
        return recorder.stopAndPeak();
    };
    const int loud = peakWhilePlaying(1.0);
    const int quiet = peakWhilePlaying(0.28);
    const int silent = peakWhilePlaying(0.0);
    EXPECT_GT(loud, 1000);
    EXPECT_GT(quiet, 100);
    EXPECT_LT(quiet, loud * 0.6) << "the chosen volume must scale the sound";
    EXPECT_EQ(silent, 0);
}

#include "App/SoundCues.h"

#include <gtest/gtest.h>

#include "support/RequireService.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "Base/AppPaths.h"
#include "support/PrivateSink.h"
#include "support/SoundLock.h"
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

namespace {
// A connection of the test's own to the sound server, kept open so it can
// still reach the server while this process is told the server is elsewhere:
// it lists this process's clients and ends them as the server would.
class SoundServerControl {
public:
    SoundServerControl() : loop_(pa_mainloop_new()) {
        context_ = pa_context_new(pa_mainloop_get_api(loop_), "ondira-tests-control");
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0) return;
        iterateUntil([&] {
            const auto state = pa_context_get_state(context_);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        });
    }
    ~SoundServerControl() {
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        pa_mainloop_free(loop_);
    }
    bool ready() const { return pa_context_get_state(context_) == PA_CONTEXT_READY; }
    // The clients of this process that carry the application name `name`.
    std::vector<uint32_t> ourClients(const std::string& name) {
        struct Query {
            std::string name, pid;
            std::vector<uint32_t> found;
        } query{name, std::to_string(::getpid()), {}};
        wait(pa_context_get_client_info_list(
            context_,
            [](pa_context*, const pa_client_info* info, int eol, void* data) {
                auto* q = static_cast<Query*>(data);
                if (eol || !info) return;
                const char* app = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_NAME);
                const char* pid = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
                if (app && pid && q->name == app && q->pid == pid) q->found.push_back(info->index);
            },
            &query));
        return query.found;
    }
    void end(uint32_t client) { wait(pa_context_kill_client(context_, client, nullptr, nullptr)); }

private:
    void wait(pa_operation* operation) {
        if (!operation) return;
        iterateUntil([&] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
        pa_operation_unref(operation);
    }
    void iterateUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (!done() && std::chrono::steady_clock::now() < deadline) pa_mainloop_iterate(loop_, 0, nullptr), ::usleep(1000);
    }
    pa_mainloop* loop_;
    pa_context* context_ = nullptr;
};
}  // namespace

// Dictation reconnects after the sound server restarts; the cues must too,
// or they stay silent for the rest of the session. A restart drops the
// connection while no server answers, so the player's own attempt to
// reconnect at that moment fails: here the server is "away" for this
// process (its address points nowhere) while its connection is dropped.
TEST(SoundCues, ACueStillPlaysAfterTheSoundServerDroppedItsConnection) {
    ONDIRA_REQUIRE_SERVICE(PrivateSink::soundServerAvailable(), "no sound server (run inside the test session)");
    SoundLock soundLock;
    PrivateSink sink;
    ASSERT_TRUE(sink.ok());
    SoundServerControl server;
    ASSERT_TRUE(server.ready());
    ScopedEnv route("PULSE_SINK", sink.name);
    IsolatedSettings isolated;
    SoundCues::shared().setVolume(1.0);
    auto peakOfACue = [&] {
        MonitorRecorder recorder(sink.name);
        EXPECT_TRUE(recorder.ok());
        EXPECT_TRUE(SoundCues::shared().play(SoundCue::error));
        EXPECT_TRUE(recorder.waitForSeconds(3.0));
        return recorder.stopAndPeak();
    };
    peakOfACue();  // connected now, wherever the first cue went
    SoundCues::playbackQueue().drain();
    {
        TempDir nowhere;
        ScopedEnv away("PULSE_SERVER", "unix:" + (nowhere / "native").string());
        const auto ours = server.ourClients("Ondira");
        ASSERT_FALSE(ours.empty()) << "the cue player holds no connection of its own";
        for (uint32_t client : ours) server.end(client);
        for (int i = 0; i < 300 && !server.ourClients("Ondira").empty(); ++i) ::usleep(10000);
        ASSERT_TRUE(server.ourClients("Ondira").empty());
        // A cue while the server is away plays nowhere, as it would then.
        SoundCues::shared().play(SoundCue::error);
        SoundCues::playbackQueue().drain();
    }
    EXPECT_GT(peakOfACue(), 1000) << "no cue reached the sound server after it dropped the connection";
}

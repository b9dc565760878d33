#include "Base/AppPaths.h"
#include "App/SoundCues.h"
#include "Platform/Queues.h"
#include "Platform/Unicode.h"
#include "SelfTest/SelfTest.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace SoundCuesSelfTests {

// Records the sounds that would have played, without playing them.
class RecordingSink {
public:
    void record(const SystemSound& sound) {
        std::lock_guard<std::mutex> g(lock);
        sounds.push_back(sound);
    }
    size_t count() {
        std::lock_guard<std::mutex> g(lock);
        return sounds.size();
    }
    float firstVolume() {
        std::lock_guard<std::mutex> g(lock);
        return sounds.empty() ? -1.0f : sounds.front().volume();
    }

    std::mutex lock;
    std::vector<SystemSound> sounds;
};

namespace {
// Installs a recording sink for the life of the case and puts the previous
// sink back on every path.
struct InstalledSink {
    InstalledSink() : previous(SoundCues::playbackSink()) {
        auto s = sink;
        SoundCues::setPlaybackSink([s](const SystemSound& sound) { s->record(sound); });
    }
    ~InstalledSink() { SoundCues::setPlaybackSink(previous); }
    std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
    SoundCues::Sink previous;
};

std::string quotedList(const std::vector<std::string>& names) {
    std::vector<std::string> quoted;
    for (const auto& n : names) quoted.push_back("\"" + n + "\"");
    return "[" + platform::text::join(quoted, ", ") + "]";
}
}  // namespace

std::vector<SelfTestCase> cases() {
    std::vector<SelfTestCase> out;
    const std::string startedName = SoundCueInfo::systemSoundName(SoundCue::recordingStarted);

    out.push_back({"sound cues are enabled by default",
                   "if the registration of defaults ever dropped the enabled entry (or its value became false), a "
                   "fresh installation would ship with the cues silently off",
                   [] {
                       (void)SoundCues::shared();
                       if (AppPaths::userDefaults()->boolValue(SoundCues::enabledKey)) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected isEnabled == true on a fresh isolated defaults suite");
                   }});

    out.push_back({"a disabled cue plays nothing",
                   "if attemptPlay dropped its guard on the enabled flag, turning the master switch off would no "
                   "longer silence the cues",
                   [startedName] {
                       InstalledSink installed;
                       bool played = SoundCues::attemptPlay(startedName, false, 0.5);
                       size_t handed = installed.sink->count();
                       if (!played && handed == 0) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("attemptPlay with enabled==false reported " +
                                                    std::string(played ? "true" : "false") + " and handed " +
                                                    std::to_string(handed) + " sounds to the sink");
                   }});

    out.push_back(
        {"an enabled, known-valid cue reaches the audio layer, at the clamped volume",
         "guards against attemptPlay returning false unconditionally (which would let the disabled case "
         "pass for the wrong reason) and against it returning true while bypassing playbackSink, the seam "
         "that keeps the sound's playing off the main thread",
         [startedName] {
             InstalledSink installed;
             if (!SoundCues::attemptPlay(startedName, true, 1.7))
                 return SelfTestOutcome::fail("attemptPlay reported false for a real system sound with enabled==true");
             size_t handed = installed.sink->count();
             if (handed != 1)
                 return SelfTestOutcome::fail("expected exactly 1 sound handed to the sink, got " + std::to_string(handed) +
                                              " — attemptPlay returned true without routing through playbackSink");
             float v = installed.sink->firstVolume();
             if (v != 1.0f)
                 return SelfTestOutcome::fail("expected volume clamped to 1.0 on the sound handed to the sink, got " +
                                              platform::text::formatFloat(v));
             return SelfTestOutcome::pass();
         }});

    out.push_back({"the four cues map to four DISTINCT system sound names",
                   "two cues collapsing onto one sound name (for example a copied line in the mapping) would make "
                   "recording started indistinguishable by ear from success or error",
                   [] {
                       std::vector<std::string> names;
                       for (SoundCue cue : SoundCueInfo::allCases()) names.push_back(SoundCueInfo::systemSoundName(cue));
                       std::set<std::string> distinct(names.begin(), names.end());
                       if (distinct.size() == 4) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected 4 distinct names, got " + quotedList(names) + " (" +
                                                    std::to_string(distinct.size()) + " distinct)");
                   }});

    out.push_back({"all four chosen system sound names actually resolve on this desktop",
                   "a misspelled name among the four, or a system that dropped one, would silently degrade that cue "
                   "to no sound",
                   [] {
                       for (SoundCue cue : SoundCueInfo::allCases()) {
                           const std::string name = SoundCueInfo::systemSoundName(cue);
                           if (!SystemSound::named(name))
                               return SelfTestOutcome::fail("system sound '" + name + "' for cue " +
                                                            SoundCueInfo::rawValue(cue) +
                                                            " did not resolve to a sound file of the desktop's sound theme");
                       }
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"an unavailable system sound degrades to silence, not a crash",
                   "force-unwrapping the named-sound lookup would trap the whole process on an unresolvable name "
                   "instead of returning false",
                   [] {
                       if (!SoundCues::attemptPlay("Ondira_Self_Test_Nonexistent_Sound_9999", true, 0.2))
                           return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail(
                           "expected attemptPlay to report false for a nonexistent sound name, not crash or report true");
                   }});

    out.push_back(
        {"toggling isEnabled off makes the shared singleton's play(_:) report false, and it re-arms after "
         "re-enabling",
         "if play(_:) stopped reading the switch before delegating to attemptPlay, the preference toggle in "
         "the user interface would have no effect on the path the application delegate uses",
         [] {
             InstalledSink installed;
             SoundCues& cues = SoundCues::shared();
             auto store = AppPaths::userDefaults();
             auto remembered = store->persistentObject(SoundCues::enabledKey);
             struct Restore {
                 std::shared_ptr<platform::SettingsStore> store;
                 std::optional<nlohmann::json> value;
                 ~Restore() {
                     if (value) store->set(SoundCues::enabledKey, *value);
                     else store->removeObject(SoundCues::enabledKey);
                 }
             } restore{store, remembered};
             cues.setEnabled(false);
             bool offResult = cues.play(SoundCue::error);
             size_t offCount = installed.sink->count();
             cues.setEnabled(true);
             bool onResult = cues.play(SoundCue::error);
             size_t onCount = installed.sink->count();
             auto b = [](bool v) { return std::string(v ? "true" : "false"); };
             if (offResult || !onResult)
                 return SelfTestOutcome::fail("expected off->false, on->true; got off->" + b(offResult) + " on->" +
                                              b(onResult));
             if (offCount != 0 || onCount != 1)
                 return SelfTestOutcome::fail("expected 0 sounds handed while off and 1 while on; got " +
                                              std::to_string(offCount) + " and " + std::to_string(onCount));
             return SelfTestOutcome::pass();
         }});

    out.push_back({"the production playback path runs off the caller's thread",
                   "putting a direct call of the body in place of the asynchronous submission to playbackQueue in "
                   "offloadPlayback turns this case red; that direct call is what once parked a thread for 16 minutes "
                   "in a synchronous call into the system audio daemon, and on the main thread it freezes the "
                   "application at the hotkey press",
                   [] {
                       const std::thread::id caller = std::this_thread::get_id();
                       struct Holder {
                           std::mutex lock;
                           std::optional<std::thread::id> thread;
                       };
                       auto holder = std::make_shared<Holder>();
                       auto semaphore = std::make_shared<platform::Semaphore>(0);
                       SoundCues::offloadPlayback([holder, semaphore] {
                           {
                               std::lock_guard<std::mutex> g(holder->lock);
                               holder->thread = std::this_thread::get_id();
                           }
                           semaphore->signal();
                       });
                       if (!semaphore->wait(5.0))
                           return SelfTestOutcome::fail("offloadPlayback never ran its body within 5s");
                       std::lock_guard<std::mutex> g(holder->lock);
                       if (!holder->thread)
                           return SelfTestOutcome::fail("offloadPlayback signalled without recording its thread");
                       if (*holder->thread == caller)
                           return SelfTestOutcome::fail(
                               "offloadPlayback ran the body on the caller's own thread — the caller is blocked for the "
                               "whole duration of playback, and on the main thread that is the app freezing at "
                               "hotkey-press");
                       return SelfTestOutcome::pass();
                   }});
    return out;
}

}  // namespace SoundCuesSelfTests

ONDIRA_SELFTEST_SUITE("SoundCues", SoundCuesSelfTests::cases);

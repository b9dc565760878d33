#pragma once
// Short sounds at four moments of a dictation, played from the desktop's
// sound theme at a user-set volume. Playback never runs on the caller's
// thread: a slow sound server holds up only the playback queue.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Queues.h"

enum class SoundCue { recordingStarted, recordingStopped, success, error };

// A named sound of the freedesktop sound theme, resolved to its file.
class SystemSound {
public:
    // The sound theme event `name` (e.g. "complete"), when the theme has it.
    // Names that could leave the theme directories never resolve.
    static std::optional<SystemSound> named(const std::string& name);
    // The same lookup over explicit data directories (XDG_DATA_DIRS order).
    static std::optional<SystemSound> named(const std::string& name,
                                            const std::vector<std::filesystem::path>& dataDirectories);

    const std::string& name() const { return name_; }
    const std::filesystem::path& file() const { return file_; }
    float volume() const { return volume_; }
    void setVolume(float volume) { volume_ = volume; }

    // Plays the sound through the sound server and returns without waiting
    // for it to end. A volume of 0 plays nothing.
    void play() const;

    // Called with the sound each time play() starts, on the thread it runs
    // on, so a test can see where playback happens. Empty to stop.
    static void setPlayObserver(std::function<void(const SystemSound&)> observer);

private:
    SystemSound(std::string name, std::filesystem::path file) : name_(std::move(name)), file_(std::move(file)) {}
    std::string name_;
    std::filesystem::path file_;
    float volume_ = 1.0f;
};

namespace SoundCueInfo {
const std::vector<SoundCue>& allCases();
std::string rawValue(SoundCue cue);  // also the case name
// The sound theme event that plays for the cue.
std::string systemSoundName(SoundCue cue);
}  // namespace SoundCueInfo

class SoundCues {
public:
    static constexpr const char* enabledKey = "ondira_sound_cues_enabled";
    static constexpr const char* volumeKey = "ondira_sound_cues_volume";
    static constexpr double defaultVolume = 0.28;

    using Sink = std::function<void(const SystemSound&)>;

    // Created once; the first use registers the two defaults.
    static SoundCues& shared();

    // Read and written in AppPaths::userDefaults() on every access.
    bool isEnabled() const;
    void setEnabled(bool enabled);
    double volume() const;
    // Stores the value clamped to 0...1 (NaN gives 0).
    void setVolume(double volume);

    // Hands the cue's sound to the playback sink when cues are on and the
    // sound exists; answers whether it did. Any thread; returns at once.
    bool play(SoundCue cue);

    // The decision behind play(): false when disabled or when the name
    // resolves to no sound; otherwise the sound, with its volume clamped,
    // goes to the sink exactly once and the answer is true.
    static bool attemptPlay(const std::string& systemSoundName, bool enabled, double volume);

    static float clampedVolume(double volume);

    // The process-wide sink that receives every sound to be played. The
    // production sink plays it on the playback queue.
    static Sink playbackSink();
    static void setPlaybackSink(Sink sink);
    static Sink productionSink();

    // Runs `body` asynchronously on the playback queue, never inline.
    static void offloadPlayback(std::function<void()> body);
    static platform::SerialQueue& playbackQueue();

private:
    SoundCues();
};

#include "App/SoundCues.h"

#include "Base/AppPaths.h"
#include "Platform/FileIO.h"
#include "Platform/Log.h"
#include "Platform/Unicode.h"

#include <canberra.h>

#include <cmath>
#include <cstdio>
#include <mutex>

namespace fs = std::filesystem;

namespace {

bool isSafeSoundName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (unsigned char c : name) {
        const bool ok =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        if (!ok) return false;
    }
    return true;
}

std::vector<fs::path> xdgDataDirectories() {
    std::vector<fs::path> dirs;
    if (auto home = platform::environment("XDG_DATA_HOME"); home && !home->empty() && fs::path(*home).is_absolute())
        dirs.emplace_back(*home);
    else dirs.push_back(platform::userHome() / ".local" / "share");
    std::string system = "/usr/local/share:/usr/share";
    if (auto v = platform::environment("XDG_DATA_DIRS"); v && !v->empty()) system = *v;
    size_t start = 0;
    while (start <= system.size()) {
        size_t end = system.find(':', start);
        if (end == std::string::npos) end = system.size();
        std::string part = system.substr(start, end - start);
        if (!part.empty() && fs::path(part).is_absolute()) dirs.emplace_back(part);
        start = end + 1;
    }
    return dirs;
}

// libcanberra's context is used only on the playback queue, so it needs no
// lock. Its connection to the sound server does not survive the server: once
// the server has restarted, every play on the old context fails ("Invalid
// state"), so a failure of the connection drops the context and the next
// one connects afresh.
class PlaybackContext {
public:
    static PlaybackContext& shared() {
        static PlaybackContext* context = new PlaybackContext();
        return *context;
    }
    ca_context* get() {
        if (!context_) context_ = open();
        return context_;
    }
    void drop() {
        if (context_) ca_context_destroy(context_);
        context_ = nullptr;
    }
    // The errors that mean the connection is gone, not that the sound is wrong.
    static bool lostConnection(int rc) {
        return rc == CA_ERROR_STATE || rc == CA_ERROR_DISCONNECTED || rc == CA_ERROR_NODRIVER || rc == CA_ERROR_IO ||
               rc == CA_ERROR_DESTROYED || rc == CA_ERROR_FORKED;
    }

private:
    static ca_context* open() {
        ca_context* c = nullptr;
        if (ca_context_create(&c) != CA_SUCCESS) return nullptr;
        ca_context_change_props(c, CA_PROP_APPLICATION_NAME, "Ondira", CA_PROP_APPLICATION_ID, "com.ondira.app", nullptr);
        if (int rc = ca_context_open(c); rc != CA_SUCCESS)
            platform::log("SoundCues", std::string("sound server unavailable: ") + ca_strerror(rc));
        return c;
    }
    ca_context* context_ = nullptr;
};

std::mutex gPlayObserverLock;
std::function<void(const SystemSound&)>& playObserverSlot() {
    static std::function<void(const SystemSound&)> observer;
    return observer;
}

std::mutex gSinkLock;
SoundCues::Sink& sinkSlot() {
    static SoundCues::Sink sink = SoundCues::productionSink();
    return sink;
}

}  // namespace

std::optional<SystemSound> SystemSound::named(const std::string& name) { return named(name, xdgDataDirectories()); }

std::optional<SystemSound> SystemSound::named(const std::string& name, const std::vector<fs::path>& dataDirectories) {
    if (!isSafeSoundName(name)) return std::nullopt;
    static const char* const extensions[] = {".oga", ".ogg", ".wav"};
    for (const auto& dir : dataDirectories) {
        const fs::path theme = dir / "sounds" / "freedesktop";
        for (const fs::path& sub : {theme / "stereo", theme}) {
            for (const char* ext : extensions) {
                fs::path candidate = sub / (name + ext);
                std::error_code ec;
                if (fs::is_regular_file(candidate, ec)) return SystemSound(name, candidate);
            }
        }
    }
    return std::nullopt;
}

void SystemSound::setPlayObserver(std::function<void(const SystemSound&)> observer) {
    std::lock_guard<std::mutex> g(gPlayObserverLock);
    playObserverSlot() = std::move(observer);
}

void SystemSound::play() const {
    std::function<void(const SystemSound&)> observe;
    {
        std::lock_guard<std::mutex> g(gPlayObserverLock);
        observe = playObserverSlot();
    }
    if (observe) observe(*this);
    if (!(volume_ > 0.0f)) return;
    char decibel[32];
    std::snprintf(decibel, sizeof decibel, "%.2f", 20.0 * std::log10(static_cast<double>(volume_)));
    auto& context = PlaybackContext::shared();
    int rc = CA_ERROR_NODRIVER;
    // A second try on a new connection when the sound server went away since the last cue.
    for (int attempt = 0; attempt < 2; ++attempt) {
        ca_context* c = context.get();
        if (!c) break;
        rc = ca_context_play(c, 0, CA_PROP_MEDIA_FILENAME, file_.c_str(), CA_PROP_EVENT_DESCRIPTION, name_.c_str(),
                             CA_PROP_MEDIA_ROLE, "event", CA_PROP_CANBERRA_VOLUME, decibel, nullptr);
        if (!PlaybackContext::lostConnection(rc)) break;
        context.drop();
    }
    if (rc != CA_SUCCESS) platform::log("SoundCues", "could not play " + name_ + ": " + ca_strerror(rc));
}

namespace SoundCueInfo {
const std::vector<SoundCue>& allCases() {
    static const std::vector<SoundCue> all = {SoundCue::recordingStarted, SoundCue::recordingStopped, SoundCue::success,
                                              SoundCue::error};
    return all;
}

std::string rawValue(SoundCue cue) {
    switch (cue) {
        case SoundCue::recordingStarted: return "recordingStarted";
        case SoundCue::recordingStopped: return "recordingStopped";
        case SoundCue::success: return "success";
        case SoundCue::error: return "error";
    }
    return "";
}

// Four distinct events of the freedesktop theme: a plug-in/unplug pair for
// the microphone opening and closing, then completion and error.
std::string systemSoundName(SoundCue cue) {
    switch (cue) {
        case SoundCue::recordingStarted: return "device-added";
        case SoundCue::recordingStopped: return "device-removed";
        case SoundCue::success: return "complete";
        case SoundCue::error: return "dialog-error";
    }
    return "";
}
}  // namespace SoundCueInfo

SoundCues::SoundCues() {
    platform::SettingsStore::registerDefaults({{enabledKey, true}, {volumeKey, defaultVolume}});
    // Connecting to the sound server takes a moment; do it now so the first
    // cue, at the hotkey press, is not late.
    offloadPlayback([] { (void)PlaybackContext::shared().get(); });
}

SoundCues& SoundCues::shared() {
    static SoundCues* instance = new SoundCues();
    return *instance;
}

bool SoundCues::isEnabled() const { return AppPaths::userDefaults()->boolValue(enabledKey); }
void SoundCues::setEnabled(bool enabled) { AppPaths::userDefaults()->setBool(enabledKey, enabled); }
double SoundCues::volume() const { return AppPaths::userDefaults()->doubleValue(volumeKey); }
void SoundCues::setVolume(double volume) {
    AppPaths::userDefaults()->setDouble(volumeKey, static_cast<double>(clampedVolume(volume)));
}

float SoundCues::clampedVolume(double volume) {
    if (std::isnan(volume) || volume < 0.0) return 0.0f;
    if (volume > 1.0) return 1.0f;
    return static_cast<float>(volume);
}

bool SoundCues::play(SoundCue cue) {
    auto store = AppPaths::userDefaults();
    const bool enabled = store->boolValue(enabledKey);
    const double vol = store->doubleValue(volumeKey);
    return attemptPlay(SoundCueInfo::systemSoundName(cue), enabled, vol);
}

bool SoundCues::attemptPlay(const std::string& systemSoundName, bool enabled, double volume) {
    if (!enabled) return false;
    auto sound = SystemSound::named(systemSoundName);
    if (!sound) return false;
    sound->setVolume(clampedVolume(volume));
    Sink sink = playbackSink();
    if (sink) sink(*sound);
    return true;
}

SoundCues::Sink SoundCues::productionSink() {
    return [](const SystemSound& sound) { offloadPlayback([sound] { sound.play(); }); };
}

SoundCues::Sink SoundCues::playbackSink() {
    std::lock_guard<std::mutex> g(gSinkLock);
    return sinkSlot();
}

void SoundCues::setPlaybackSink(Sink sink) {
    std::lock_guard<std::mutex> g(gSinkLock);
    sinkSlot() = std::move(sink);
}

void SoundCues::offloadPlayback(std::function<void()> body) { playbackQueue().async(std::move(body)); }

platform::SerialQueue& SoundCues::playbackQueue() {
    static platform::SerialQueue* queue =
        new platform::SerialQueue("com.ondira.soundcues.playback", platform::QoS::userInitiated);
    return *queue;
}

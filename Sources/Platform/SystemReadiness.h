#pragma once
// Live probes of the desktop services a dictation depends on: the sound
// server and its default input, the speech model files, the accessibility
// bus, synthetic key events and the kind of display session. Each probe asks
// the service itself and gives up after a short, bounded wait.
#include <filesystem>
#include <optional>
#include <string>

namespace platform::readiness {

struct SoundServer {
    bool reachable = false;
    std::string name;  // "pulseaudio" / "PulseAudio (on PipeWire 0.3.65)"
    std::string version;
    std::string defaultSource;  // empty when the server names none
    bool defaultSourceExists = false;
    bool defaultSourceIsMonitor = false;  // the monitor of an output
    std::string error;                    // why it could not be reached
};
SoundServer probeSoundServer(double timeoutSeconds = 3.0);

// The acoustic model, dictionary and language model of the given model set
// ("en-us") inside `modelRoot`, and the first one that is missing.
struct SpeechModel {
    std::filesystem::path directory;
    bool complete = false;
    std::string missing;  // the first file that is not there
};
SpeechModel probeSpeechModel(const std::filesystem::path& modelRoot, const std::string& language = "en-us");

struct AccessibilityBus {
    bool reachable = false;
    std::optional<bool> enabled;  // org.a11y.Status IsEnabled, when it answered
    std::string error;
};
AccessibilityBus probeAccessibilityBus(int timeoutMilliseconds = 2000);

struct XTest {
    bool available = false;
    std::string error;
};
XTest probeXTest();

struct DisplaySession {
    std::string type;    // "x11", "wayland" or "none"
    std::string detail;  // what told us
};
DisplaySession probeDisplaySession();

}  // namespace platform::readiness

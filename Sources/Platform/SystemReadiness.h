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
// The environment names a session bus (an address, or the runtime
// directory's socket), so asking for one never launches a new one.
bool sessionBusConfigured();

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

// The same answers for a caller that asks every few seconds (the permission
// refresh). Each keeps one connection open and lets the service tell it of a
// change (the sound server's subscription events, the launcher's
// PropertiesChanged of IsEnabled, the bus name going away), so an answer when
// nothing changed opens nothing and sends nothing. A lost connection, or an
// environment that now names another server, connects afresh on the next ask.
SoundServer watchedSoundServer(double timeoutSeconds = 1.0);
AccessibilityBus watchedAccessibilityBus(int timeoutMilliseconds = 1000);
// An X server does not gain or lose an extension while it runs: XTest found
// on a display is remembered for that display.
XTest watchedXTest();

}  // namespace platform::readiness

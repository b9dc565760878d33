#include "Base/DictationErrorKind.h"

namespace DictationErrorKinds {

const std::vector<DictationErrorKind>& allCases() {
    static const std::vector<DictationErrorKind> all = {DictationErrorKind::microphonePermissionDenied,
                                                        DictationErrorKind::microphoneAccessOff,
                                                        DictationErrorKind::accessibilityNotTrusted,
                                                        DictationErrorKind::speechModelUnavailable,
                                                        DictationErrorKind::noSpeechDetected,
                                                        DictationErrorKind::transcriptionFailed,
                                                        DictationErrorKind::pasteFailed,
                                                        DictationErrorKind::secureInputBlocked,
                                                        DictationErrorKind::shortHold};
    return all;
}

std::string name(DictationErrorKind kind) {
    switch (kind) {
        case DictationErrorKind::microphonePermissionDenied: return "microphonePermissionDenied";
        case DictationErrorKind::microphoneAccessOff: return "microphoneAccessOff";
        case DictationErrorKind::accessibilityNotTrusted: return "accessibilityNotTrusted";
        case DictationErrorKind::speechModelUnavailable: return "speechModelUnavailable";
        case DictationErrorKind::noSpeechDetected: return "noSpeechDetected";
        case DictationErrorKind::transcriptionFailed: return "transcriptionFailed";
        case DictationErrorKind::pasteFailed: return "pasteFailed";
        case DictationErrorKind::secureInputBlocked: return "secureInputBlocked";
        case DictationErrorKind::shortHold: return "shortHold";
    }
    return "";
}

}  // namespace DictationErrorKinds

std::string settingsPaneRawValue(SettingsPane pane) {
    return pane == SettingsPane::microphone ? "microphone" : "accessibility";
}

std::optional<ErrorRemedy> remedy(DictationErrorKind kind) {
    switch (kind) {
        case DictationErrorKind::microphonePermissionDenied:
        case DictationErrorKind::microphoneAccessOff: return ErrorRemedy::openSystemPane(SettingsPane::microphone);
        case DictationErrorKind::accessibilityNotTrusted: return ErrorRemedy::openSystemPane(SettingsPane::accessibility);
        case DictationErrorKind::speechModelUnavailable:
        case DictationErrorKind::noSpeechDetected:
        case DictationErrorKind::transcriptionFailed:
        case DictationErrorKind::pasteFailed:
        case DictationErrorKind::secureInputBlocked:
        case DictationErrorKind::shortHold: return std::nullopt;
    }
    return std::nullopt;
}

namespace MicrophoneFaults {
namespace {
struct Wording {
    const char* problem;
    const char* remedy;
    const char* message;
};

// In the order of the enumeration.
const Wording& wording(MicrophoneFault fault) {
    static const Wording table[] = {
        {"the sound server is not running",
         "start it: systemctl --user start pipewire-pulse (PipeWire) or pulseaudio --start",
         "Sound server not running \u2014 start PipeWire or PulseAudio"},
        {"no default input source", "connect a microphone and choose it under Input Devices in pavucontrol",
         "No microphone \u2014 connect one and choose it in pavucontrol"},
        {"the input device is busy", "close the other app using it or choose another input in pavucontrol",
         "Microphone busy \u2014 close the other app using it"},
    };
    return table[static_cast<int>(fault)];
}
}  // namespace

std::string problem(MicrophoneFault fault) { return wording(fault).problem; }
std::string remedy(MicrophoneFault fault) { return wording(fault).remedy; }
std::string message(MicrophoneFault fault) { return wording(fault).message; }

std::optional<MicrophoneFault> classify(bool serverReachable, bool inputExists, bool inputOpens) {
    if (!serverReachable) return MicrophoneFault::soundServerNotRunning;
    if (!inputExists) return MicrophoneFault::noInputDevice;
    if (!inputOpens) return MicrophoneFault::deviceBusy;
    return std::nullopt;
}

}  // namespace MicrophoneFaults

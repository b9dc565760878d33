#include "Base/DictationErrorKind.h"

namespace DictationErrorKinds {

const std::vector<DictationErrorKind>& allCases() {
    static const std::vector<DictationErrorKind> all = {
        DictationErrorKind::microphonePermissionDenied, DictationErrorKind::microphoneAccessOff,
        DictationErrorKind::accessibilityNotTrusted,    DictationErrorKind::speechModelUnavailable,
        DictationErrorKind::noSpeechDetected,           DictationErrorKind::transcriptionFailed,
        DictationErrorKind::pasteFailed,                DictationErrorKind::secureInputBlocked,
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

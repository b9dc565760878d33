#include "App/DictationErrors.h"

const char* rawValue(SettingsPane pane) {
    switch (pane) {
        case SettingsPane::microphone: return "microphone";
        case SettingsPane::accessibility: return "accessibility";
    }
    return "";
}

std::optional<ErrorRemedy> remedy(DictationErrorKind kind) {
    // Every kind answers here; the switch has no default so that a new kind
    // cannot be added without its row.
    switch (kind) {
        case DictationErrorKind::microphonePermissionDenied: return ErrorRemedy::openSystemPane(SettingsPane::microphone);
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

#pragma once
// The ways a dictation can end badly, and the one remedy each offers.
#include <array>
#include <optional>

enum class SettingsPane { microphone, accessibility };
const char* rawValue(SettingsPane pane);

struct ErrorRemedy {
    enum class Kind { openSystemPane };
    Kind kind = Kind::openSystemPane;
    SettingsPane pane = SettingsPane::microphone;

    static ErrorRemedy openSystemPane(SettingsPane pane) { return {Kind::openSystemPane, pane}; }
    bool operator==(const ErrorRemedy&) const = default;
};

enum class DictationErrorKind {
    microphonePermissionDenied,
    microphoneAccessOff,
    accessibilityNotTrusted,
    speechModelUnavailable,
    noSpeechDetected,
    transcriptionFailed,
    pasteFailed,
    secureInputBlocked,
    shortHold,
};

namespace DictationErrorKinds {
inline constexpr std::array<DictationErrorKind, 9> allCases = {
    DictationErrorKind::microphonePermissionDenied, DictationErrorKind::microphoneAccessOff,
    DictationErrorKind::accessibilityNotTrusted,    DictationErrorKind::speechModelUnavailable,
    DictationErrorKind::noSpeechDetected,           DictationErrorKind::transcriptionFailed,
    DictationErrorKind::pasteFailed,                DictationErrorKind::secureInputBlocked,
    DictationErrorKind::shortHold,
};
}  // namespace DictationErrorKinds

std::optional<ErrorRemedy> remedy(DictationErrorKind kind);

#pragma once
// The ways a dictation can end badly, and the one remedy each offers: a
// settings page the user can open from the indicator.
#include <optional>
#include <string>
#include <vector>

enum class SettingsPane { microphone, accessibility };

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
const std::vector<DictationErrorKind>& allCases();
std::string name(DictationErrorKind kind);
}  // namespace DictationErrorKinds

std::string settingsPaneRawValue(SettingsPane pane);

// Every kind has exactly one answer.
std::optional<ErrorRemedy> remedy(DictationErrorKind kind);

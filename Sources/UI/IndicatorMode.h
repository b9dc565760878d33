#pragma once
// What the floating indicator shows.
#include "Base/DictationErrorKind.h"
#include "Input/HotkeyTypes.h"

#include <optional>
#include <string>

struct IndicatorMode {
    enum class Kind { recording, error, idle, processing, done };
    Kind kind = Kind::idle;
    float rms = 0;                                 // recording: display level 0...1
    DictationMode mode = DictationMode::standard;  // recording
    std::string message;                           // error
    std::optional<ErrorRemedy> remedy;             // error: none for a plain message
    // error: the user called the dictation off (Esc). Shown like an error,
    // in the calm colours of a cancel, never as a failure.
    bool cancelled = false;

    static IndicatorMode recording(float rms, DictationMode mode = DictationMode::standard) {
        return {Kind::recording, rms, mode, {}, std::nullopt};
    }
    static IndicatorMode error(std::string message, std::optional<ErrorRemedy> remedy = std::nullopt) {
        return {Kind::error, 0, DictationMode::standard, std::move(message), remedy};
    }
    static IndicatorMode cancel(std::string message) {
        return {Kind::error, 0, DictationMode::standard, std::move(message), std::nullopt, true};
    }
    static IndicatorMode idle() { return {}; }
    static IndicatorMode processing() { return {Kind::processing, 0, DictationMode::standard, {}, std::nullopt}; }
    static IndicatorMode done() { return {Kind::done, 0, DictationMode::standard, {}, std::nullopt}; }
    bool operator==(const IndicatorMode&) const = default;
    std::string description() const;
};

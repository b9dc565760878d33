#pragma once
// The vocabulary of the global hotkeys: which gesture is the primary key,
// which clean-up a key asks for, the secondary shortcuts, their registration
// errors and the callback interface of the hotkey manager.
//
// Key codes and modifier masks are stored in their portable form (the
// virtual key codes and modifier bits that config files and settings have
// always held: Space 49, F13 105, command 256, shift 512, option 2048,
// control 4096); Input/KeyCodes.h translates them for the X server.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

enum class HotkeyMode { fn, altSpace, f13, f14, controlCommandSpace, controlShiftSpace };

namespace HotkeyModes {
const std::vector<HotkeyMode>& allCases();
std::string rawValue(HotkeyMode mode);
std::optional<HotkeyMode> fromRawValue(const std::string& raw);
// `id` is the raw value.
inline std::string id(HotkeyMode mode) { return rawValue(mode); }
std::string title(HotkeyMode mode);
std::string shortTitle(HotkeyMode mode);

struct Combo {
    std::uint32_t keyCode = 0;
    std::uint32_t modifiers = 0;
    bool operator==(const Combo&) const = default;
};
// The registered-key form of the presets; none for fn and altSpace, which are
// watched by the key listener and never registered as shortcuts.
std::optional<Combo> carbonCombo(HotkeyMode mode);
}  // namespace HotkeyModes

enum class DictationMode { standard, raw };

namespace DictationModes {
const std::vector<DictationMode>& allCases();
std::string rawValue(DictationMode mode);
std::optional<DictationMode> fromRawValue(const std::string& raw);
}  // namespace DictationModes

struct HotkeyShortcut {
    std::uint32_t keyCode = 0;
    std::uint32_t carbonModifiers = 0;
    DictationMode mode = DictationMode::standard;
    bool operator==(const HotkeyShortcut&) const = default;

    // "HotkeyShortcut(keyCode: 49, carbonModifiers: 6144, mode: raw)"
    std::string description() const;
    // The stored list: a compact JSON array of {keyCode, carbonModifiers, mode}.
    static std::string encodeList(const std::vector<HotkeyShortcut>& list);
    // None when the text is not such an array.
    static std::optional<std::vector<HotkeyShortcut>> decodeList(const std::string& json);
};

class HotkeyRegistrationError {
public:
    enum class Kind { combinationAlreadyBound, systemRegistrationFailed };

    static HotkeyRegistrationError combinationAlreadyBound(DictationMode to) {
        return {Kind::combinationAlreadyBound, to, 0};
    }
    static HotkeyRegistrationError systemRegistrationFailed(std::int32_t status) {
        return {Kind::systemRegistrationFailed, DictationMode::standard, status};
    }

    Kind kind() const { return kind_; }
    DictationMode boundMode() const { return mode_; }
    std::int32_t status() const { return status_; }
    std::string description() const;
    bool operator==(const HotkeyRegistrationError& other) const {
        if (kind_ != other.kind_) return false;
        return kind_ == Kind::combinationAlreadyBound ? mode_ == other.mode_ : status_ == other.status_;
    }

private:
    HotkeyRegistrationError(Kind kind, DictationMode mode, std::int32_t status)
        : kind_(kind), mode_(mode), status_(status) {}
    Kind kind_;
    DictationMode mode_;
    std::int32_t status_;
};

// Result<Void, HotkeyRegistrationError>: no error means success.
using HotkeyRegistrationResult = std::optional<HotkeyRegistrationError>;

// The client of the hotkey manager, held weakly. Every call arrives on the
// main thread. The per-mode calls fall back to the plain ones.
class HotkeyManagerDelegate {
public:
    virtual ~HotkeyManagerDelegate() = default;
    // Right Ctrl went down on its own: it may still become a shortcut, so
    // the take may begin only what nobody notices (the microphone, the
    // indicator). hotkeyDidPress confirms it; hotkeyDidRequestDiscard takes
    // it back.
    virtual void hotkeyDidBeginTentativePress() {}
    virtual void hotkeyDidPress() = 0;
    virtual void hotkeyDidRelease() = 0;
    virtual void hotkeyDidForceRelease(const std::string& reason) { (void)reason; }
    virtual void hotkeyDidPress(DictationMode mode) {
        (void)mode;
        hotkeyDidPress();
    }
    virtual void hotkeyDidRelease(DictationMode mode) {
        (void)mode;
        hotkeyDidRelease();
    }
    virtual void hotkeyDidRequestCancel() {}
    virtual void hotkeyDidRequestErrorAction() {}
    // Whether the session's take began. A start refused outright (dictation
    // is off for the application, the microphone can't be used) answers
    // false, and the session ends with it: a session without its take would
    // make the key's next press its end instead of a take.
    virtual bool hotkeyDidRequestHandsFreeStart() { return false; }
    virtual void hotkeyDidRequestHandsFreeStop(const std::string& reason) { (void)reason; }
    // Right Ctrl turned out to be part of a shortcut (Right Ctrl+C), before
    // or after its take was confirmed: the take goes without a trace — no
    // cue, no text, no history.
    virtual void hotkeyDidRequestDiscard() {}
    // The chosen hotkey could not be taken (the desktop or another
    // application holds it) and the previous one stays; `message` says so.
    virtual void hotkeyDidRefuseHotkey(const std::string& message) { (void)message; }
};

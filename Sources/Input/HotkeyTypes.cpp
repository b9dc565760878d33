#include "Input/HotkeyTypes.h"

#include "Platform/LinuxNames.h"

#include <nlohmann/json.hpp>

namespace HotkeyModes {

const std::vector<HotkeyMode>& allCases() {
    static const std::vector<HotkeyMode> all = {HotkeyMode::fn,
                                                HotkeyMode::altSpace,
                                                HotkeyMode::f13,
                                                HotkeyMode::f14,
                                                HotkeyMode::controlCommandSpace,
                                                HotkeyMode::controlShiftSpace};
    return all;
}

std::string rawValue(HotkeyMode mode) {
    switch (mode) {
        case HotkeyMode::fn: return "fn";
        case HotkeyMode::altSpace: return "altspace";
        case HotkeyMode::f13: return "f13";
        case HotkeyMode::f14: return "f14";
        case HotkeyMode::controlCommandSpace: return "controlcommandspace";
        case HotkeyMode::controlShiftSpace: return "controlshiftspace";
    }
    return "fn";
}

std::optional<HotkeyMode> fromRawValue(const std::string& raw) {
    for (HotkeyMode m : allCases())
        if (rawValue(m) == raw) return m;
    return std::nullopt;
}

std::string title(HotkeyMode mode) { return LinuxNames::hotkeyModeTitles[static_cast<int>(mode)]; }
std::string shortTitle(HotkeyMode mode) { return LinuxNames::hotkeyModeShortTitles[static_cast<int>(mode)]; }

std::optional<Combo> carbonCombo(HotkeyMode mode) {
    switch (mode) {
        case HotkeyMode::fn:
        case HotkeyMode::altSpace: return std::nullopt;
        case HotkeyMode::f13: return Combo{105, 0};
        case HotkeyMode::f14: return Combo{107, 0};
        case HotkeyMode::controlCommandSpace: return Combo{49, 4096 + 256};
        case HotkeyMode::controlShiftSpace: return Combo{49, 4096 + 512};
    }
    return std::nullopt;
}

}  // namespace HotkeyModes

namespace DictationModes {

const std::vector<DictationMode>& allCases() {
    static const std::vector<DictationMode> all = {DictationMode::standard, DictationMode::raw};
    return all;
}

std::string rawValue(DictationMode mode) { return mode == DictationMode::raw ? "raw" : "standard"; }

std::optional<DictationMode> fromRawValue(const std::string& raw) {
    if (raw == "standard") return DictationMode::standard;
    if (raw == "raw") return DictationMode::raw;
    return std::nullopt;
}

}  // namespace DictationModes

std::string HotkeyShortcut::description() const {
    return "HotkeyShortcut(keyCode: " + std::to_string(keyCode) + ", carbonModifiers: " + std::to_string(carbonModifiers) +
           ", mode: " + DictationModes::rawValue(mode) + ")";
}

std::string HotkeyShortcut::encodeList(const std::vector<HotkeyShortcut>& list) {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& s : list)
        array.push_back(
            {{"keyCode", s.keyCode}, {"carbonModifiers", s.carbonModifiers}, {"mode", DictationModes::rawValue(s.mode)}});
    return array.dump();
}

std::optional<std::vector<HotkeyShortcut>> HotkeyShortcut::decodeList(const std::string& text) {
    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_array()) return std::nullopt;
    std::vector<HotkeyShortcut> out;
    auto fitsUInt32 = [](const nlohmann::json& v) {
        return v.is_number_unsigned() && v.get<std::uint64_t>() <= 0xFFFFFFFFull;
    };
    for (const auto& item : parsed) {
        if (!item.is_object()) return std::nullopt;
        auto kc = item.find("keyCode");
        auto mods = item.find("carbonModifiers");
        auto mode = item.find("mode");
        if (kc == item.end() || mods == item.end() || mode == item.end()) return std::nullopt;
        if (!fitsUInt32(*kc) || !fitsUInt32(*mods) || !mode->is_string()) return std::nullopt;
        auto m = DictationModes::fromRawValue(mode->get<std::string>());
        if (!m) return std::nullopt;
        out.push_back({kc->get<std::uint32_t>(), mods->get<std::uint32_t>(), *m});
    }
    return out;
}

std::string HotkeyRegistrationError::description() const {
    if (kind_ == Kind::combinationAlreadyBound)
        return "That key combination is already registered to the '" + DictationModes::rawValue(mode_) +
               "' mode — remove it there first.";
    return std::string(LinuxNames::hotkeyRegistrar) + " refused to register that shortcut (" + LinuxNames::hotkeyStatusName +
           " " + std::to_string(status_) + ") — it is likely already claimed by another app or reserved by the system.";
}

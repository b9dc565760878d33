#include "App/StoreWatch.h"

#include "Base/AppPaths.h"
#include "Input/HotkeyManager.h"
#include "Platform/Log.h"
#include "Text/Snippets.h"
#include "Text/Vocabulary.h"

namespace StoreWatch {

namespace {

// A hotkey written to config.json by hand or by another copy is grabbed the
// way the hub's choice is; one that is unreadable or unknown keeps the grab,
// and one the desktop refuses keeps it too (the manager tells the user).
void followConfiguredHotkey(const std::optional<std::string>& raw, HotkeyManager& hotkeys) {
    const auto mode = raw ? HotkeyModes::fromRawValue(*raw) : std::nullopt;
    if (!mode || *mode == hotkeys.mode) return;
    if (auto error = hotkeys.selectHotkeyMode(*mode))
        platform::log("StoreWatch", "The hotkey " + *raw + " from config.json was refused: " + error->description());
}

}  // namespace

void apply(const std::set<std::filesystem::path>& changed, HotkeyManager& hotkeys, const ConfigFollower& configChanged) {
    if (changed.count(AppPaths::dictionaryFile())) Vocabulary::shared().reloadDictionary();
    if (changed.count(Snippets::storageFile())) Snippets::shared().reload();
    if (changed.count(AppPaths::configFile())) {
        // One read serves the grab and whoever names the hotkey.
        const auto stored = AppPaths::readConfigValue("hotkey");
        followConfiguredHotkey(stored, hotkeys);
        if (configChanged) configChanged(stored);
    }
}

std::unique_ptr<platform::FileWatch> start(HotkeyManager& hotkeys, ConfigFollower configChanged) {
    return platform::watchFiles({AppPaths::dictionaryFile(), Snippets::storageFile(), AppPaths::configFile()},
                                debounceSeconds, [&hotkeys, configChanged = std::move(configChanged)](const auto& changed) {
                                    apply(changed, hotkeys, configChanged);
                                });
}

}  // namespace StoreWatch

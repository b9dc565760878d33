#include "App/StoreWatch.h"

#include "Base/AppPaths.h"
#include "Input/HotkeyManager.h"
#include "Platform/Log.h"
#include "Text/Snippets.h"
#include "Text/Vocabulary.h"

namespace StoreWatch {

namespace {

// A hotkey written to config.json by hand or by another copy is grabbed the
// way the hub's choice is; one that is unreadable or unknown keeps the grab.
void followConfiguredHotkey(HotkeyManager& hotkeys) {
    const auto raw = AppPaths::readConfigValue("hotkey");
    const auto mode = raw ? HotkeyModes::fromRawValue(*raw) : std::nullopt;
    if (!mode || *mode == hotkeys.mode) return;
    if (auto error = hotkeys.selectHotkeyMode(*mode))
        platform::log("StoreWatch", "The hotkey " + *raw + " from config.json was refused: " + error->description());
}

}  // namespace

void apply(const std::set<std::filesystem::path>& changed, HotkeyManager& hotkeys) {
    if (changed.count(AppPaths::dictionaryFile())) Vocabulary::shared().reloadDictionary();
    if (changed.count(Snippets::storageFile())) Snippets::shared().reload();
    if (changed.count(AppPaths::configFile())) followConfiguredHotkey(hotkeys);
}

std::unique_ptr<platform::FileWatch> start(HotkeyManager& hotkeys) {
    return platform::watchFiles({AppPaths::dictionaryFile(), Snippets::storageFile(), AppPaths::configFile()},
                                debounceSeconds, [&hotkeys](const auto& changed) { apply(changed, hotkeys); });
}

void startForApplication() {
    static std::unique_ptr<platform::FileWatch> watch = start(HotkeyManager::shared());
    if (!watch) platform::log("StoreWatch", "Changes made outside the app apply after a restart: no file watch");
}

}  // namespace StoreWatch

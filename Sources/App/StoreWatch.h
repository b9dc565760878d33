#pragma once
// Keeps the running app in step with the stores other processes change: a
// term added with `ondira dict add` or a snippet with `ondira snippets add`
// from a terminal applies to the next dictation, and a hotkey written to
// config.json is grabbed, without a restart. App rules and profiles need no
// watch: every take resolves them from the settings store, which reads its
// file again whenever the file changed.
#include <filesystem>
#include <memory>
#include <set>

#include "Platform/FileWatch.h"

class HotkeyManager;

namespace StoreWatch {

// Long enough for a writer's temp file, rename and lock release to settle.
inline constexpr double debounceSeconds = 0.2;

// Watches the dictionary, the snippets and config.json; call on the main thread.
std::unique_ptr<platform::FileWatch> start(HotkeyManager& hotkeys);
// What one debounced change does: reloads the stores among `changed`.
void apply(const std::set<std::filesystem::path>& changed, HotkeyManager& hotkeys);
// The running app's watch over HotkeyManager::shared(), kept for the process's life.
void startForApplication();

}  // namespace StoreWatch

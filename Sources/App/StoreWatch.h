#pragma once
// Keeps the running app in step with the stores other processes change: a
// term added with `ondira dict add` or a snippet with `ondira snippets add`
// from a terminal applies to the next dictation, and a hotkey written to
// config.json is grabbed and named in the status menu, without a restart.
// App rules and profiles need no watch: every take resolves them from the
// settings store, which reads its file again whenever the file changed. The
// secondary shortcuts are grabbed from that store when listening starts; only
// this process (the hub) changes them, the command line never does.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "Platform/FileWatch.h"

class HotkeyManager;

namespace StoreWatch {

// Long enough for a writer's temp file, rename and lock release to settle.
inline constexpr double debounceSeconds = 0.2;

// Runs once a change of config.json has been offered to the grab, with the
// hotkey value the file holds (none when it holds none).
using ConfigFollower = std::function<void(const std::optional<std::string>& storedHotkey)>;

// Watches the dictionary, the snippets and config.json; call on the main thread.
std::unique_ptr<platform::FileWatch> start(HotkeyManager& hotkeys, ConfigFollower configChanged = {});
// What one debounced change does: reloads the stores among `changed`.
void apply(const std::set<std::filesystem::path>& changed, HotkeyManager& hotkeys,
           const ConfigFollower& configChanged = {});

}  // namespace StoreWatch

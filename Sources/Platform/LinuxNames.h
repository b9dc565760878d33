#pragma once
// The one table of names that stand on Linux where the program's behaviour
// names a service, settings page, key or application of another desktop.
// Every user-visible text that names such a thing takes it from here.
namespace LinuxNames {

// Keys
inline constexpr const char* pasteShortcut = "Ctrl+V";
inline constexpr const char* copyShortcut = "Ctrl+C";
// The status menu's "Toggle Dictation (...)" names the primary key, by the
// stored hotkey value: fn, altspace, f13, f14, controlcommandspace,
// controlshiftspace (the Fn key has no X11 equivalent; Right Ctrl stands in).
inline constexpr const char* menuHotkeyTitles[][2] = {
    {"fn", "Right Ctrl"},  {"altspace", "Alt + Space"}, {"f13", "F13"}, {"f14", "F14"},
    {"controlcommandspace", "Ctrl + Super + Space"}, {"controlshiftspace", "Ctrl + Shift + Space"}};
// The desktop settings panel that stands for a privacy pane, by pane
// ("microphone", "accessibility"): the program and its argument.
inline constexpr const char* settingsPanes[][3] = {
    {"microphone", "gnome-control-center", "sound"},
    {"accessibility", "gnome-control-center", "universal-access"}};
// Where the user types commands.
inline constexpr const char* terminalName = "terminal";
inline constexpr const char* terminalPasteShortcut = "Ctrl+Shift+V";

// The file manager, where the program offers to reveal a file.
inline constexpr const char* fileManagerName = "Files";

}  // namespace LinuxNames

#pragma once
// The one table of names that stand on Linux where the program's behaviour
// names a service, settings page, key or application of another desktop.
// Every user-visible text that names such a thing takes it from here.
namespace LinuxNames {

// Keys
inline constexpr const char* pasteShortcut = "Ctrl+V";
inline constexpr const char* terminalPasteShortcut = "Ctrl+Shift+V";

// The file manager, where the program offers to reveal a file.
inline constexpr const char* fileManagerName = "Files";

// The language model rewriting runs on: a model server on this machine, where
// the original names the operating system's own on-device model.
inline constexpr const char* rewriteSystemRequirement =
    "Rewrite needs a language model server on this machine (llama-server or Ollama).";

// Application identities (the focused window's _GTK_APPLICATION_ID, else its
// WM_CLASS class) of the applications the shipped per-application rules name.
inline constexpr const char* systemTerminalID = "org.gnome.Terminal";  // GNOME Terminal
inline constexpr const char* systemTerminalName = "Terminal";
inline constexpr const char* secondTerminalID = "kitty";  // kitty's WM_CLASS class
inline constexpr const char* secondTerminalName = "kitty";
inline constexpr const char* passwordManagerID = "1Password";  // 1Password's WM_CLASS class
inline constexpr const char* passwordManagerName = "1Password";
inline constexpr const char* secondPasswordManagerID = "KeePassXC";  // KeePassXC's WM_CLASS class
inline constexpr const char* secondPasswordManagerName = "KeePassXC";
// Other desktop applications the self-tests name.
inline constexpr const char* chatAppID = "Slack";  // Slack's WM_CLASS class
inline constexpr const char* codeEditorID = "Code";  // Visual Studio Code's WM_CLASS class

}  // namespace LinuxNames

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

}  // namespace LinuxNames

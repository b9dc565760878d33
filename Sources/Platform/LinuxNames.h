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

}  // namespace LinuxNames

namespace LinuxNames {

// Speech recognition. Languages come from the recogniser's model packages,
// and the desktop has no separate speech-recognition permission.
inline constexpr const char* addDictationLanguageSentence =
    "Install the pocketsphinx model package for the language.";
inline constexpr const char* speechRecognitionPrivacyPane = "Settings \u203A Privacy";
inline constexpr const char* thisComputer = "this computer";

}  // namespace LinuxNames

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

// Where the user grants microphone access: on this system the sound server
// must be running and offer an input source.
inline constexpr const char* microphoneAccessRemedy =
    "Make sure the sound server is running and an input device is selected under Settings \u203a Sound \u203a Input.";
// Where speech recognition is "allowed": the speech model files must be installed.
inline constexpr const char* speechRecognitionAccessRemedy =
    "Install the speech model package (pocketsphinx-en-us) and make its files readable.";
// Where languages for dictation are added.
inline constexpr const char* dictationLanguagesPlace = "the installed pocketsphinx language models";
// How the machine is named in messages.
inline constexpr const char* thisComputer = "this computer";
// What fetches missing speech models (nothing does on this system).
inline constexpr const char* modelDownloader = "The system";
// The microphone-check's first line, which names the grant it reports.
inline constexpr const char* micCheckStatusLabel = "sound server mic status: ";
inline constexpr const char* micCheckDeniedWord = "DENIED  <- no sound server or no input source";

// Engine identifiers stored with every dictation. Each names the recogniser
// path that really ran; the older names of the same paths are still read.
inline constexpr const char* engineContextDecoder = "pocketsphinx_context_ondevice";        // whole-take decode with context terms
inline constexpr const char* enginePersonalDecoder = "pocketsphinx_personal_ondevice";      // the same with the personal model
inline constexpr const char* engineIncrementalDecoder = "pocketsphinx_incremental_ondevice";  // incremental decode, partial text
inline constexpr const char* engineFileDecoder = "pocketsphinx_ondevice_file";              // transcription of any audio file

struct EngineIdentifierAlias {
    const char* stored;
    const char* current;
};
inline constexpr EngineIdentifierAlias engineIdentifierAliases[] = {
    {"apple_speechanalyzer_ondevice", engineContextDecoder},
    {"apple_dictationtranscriber_ondevice", enginePersonalDecoder},
    {"apple_sfspeech_ondevice", engineIncrementalDecoder},
    {"apple_sfspeech_ondevice_file", engineFileDecoder},
};

}  // namespace LinuxNames

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
inline constexpr const char* menuHotkeyTitles[][2] = {{"fn", "Right Ctrl"},
                                                      {"altspace", "Alt + Space"},
                                                      {"f13", "F13"},
                                                      {"f14", "F14"},
                                                      {"controlcommandspace", "Ctrl + Super + Space"},
                                                      {"controlshiftspace", "Ctrl + Shift + Space"}};
// The desktop settings panels that stand for a privacy pane, by pane
// ("microphone", "speech", "accessibility"): the program and its argument,
// the first installed one opens. No panel switches on the accessibility bus
// or installs a speech model, so those two show their remedy text instead.
inline constexpr const char* settingsPanes[][3] = {{"microphone", "gnome-control-center", "sound"},
                                                   {"microphone", "pavucontrol", "--tab=4"}};
// Where the user types commands.
inline constexpr const char* terminalName = "terminal";
inline constexpr const char* terminalPasteShortcut = "Ctrl+Shift+V";

// The primary hotkey. There is no Fn/Globe key an X11 client can see, so the
// "fn" mode is a hold of one lone modifier key: Right Ctrl.
inline constexpr const char* fnKeyName = "Right Ctrl";
inline constexpr const char* optionKeyName = "Alt";
inline constexpr const char* commandKeyName = "Super";
// HotkeyMode titles (menu) and short titles (messages), in HotkeyMode order.
inline constexpr const char* hotkeyModeTitles[] = {"Right Ctrl (Push-to-Talk / Toggle)",
                                                   "Alt + Space",
                                                   "F13",
                                                   "F14",
                                                   "Ctrl + Super + Space (Control + Super + Space)",
                                                   "Ctrl + Shift + Space (Control + Shift + Space)"};
inline constexpr const char* hotkeyModeShortTitles[] = {
    "Right Ctrl", "Alt + Space", "F13", "F14", "Control + Super + Space", "Control + Shift + Space"};
// Who refuses a global shortcut, and what its refusal code is called.
inline constexpr const char* hotkeyRegistrar = "The X server";
inline constexpr const char* hotkeyStatusName = "X status";
// Secure keyboard entry: a password field has the focus, or another client
// holds the keyboard grab.
inline constexpr const char* secureInputName = "a password field or a keyboard grab";

// Terminals take Ctrl+Shift+V to paste. An application counts as a terminal
// when its id or WM_CLASS contains "terminal" or "console", or is one of these
// or of the xterm family below.
inline constexpr const char* terminalApplications[] = {"konsole",     "alacritty",
                                                       "kitty",       "tilix",
                                                       "terminator",  "terminology",
                                                       "wezterm",     "org.wezfurlong.wezterm",
                                                       "foot",        "st",
                                                       "st-256color", "sakura",
                                                       "guake",       "tilda",
                                                       "yakuake",     "kgx",
                                                       "ptyxis",      "com.mitchellh.ghostty",
                                                       "ghostty",     "cool-retro-term"};
// The xterm family has no Ctrl+Shift+V (it types ^V): its paste key is
// Shift+Insert, which pastes the PRIMARY selection, not the CLIPBOARD.
inline constexpr const char* primaryPasteTerminals[] = {"xterm", "uxterm", "urxvt", "rxvt", "rxvt-unicode"};

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
inline constexpr const char* chatAppID = "Slack";    // Slack's WM_CLASS class
inline constexpr const char* codeEditorID = "Code";  // Visual Studio Code's WM_CLASS class

// Where the user grants microphone access: on this system the sound server
// must be running and offer an input source.
inline constexpr const char* microphoneAccessRemedy =
    "Make sure the sound server is running and an input device is selected under Settings \u203a Sound \u203a Input.";
// Where speech recognition is "allowed": the speech model files must be installed.
inline constexpr const char* speechRecognitionAccessRemedy =
    "Install the speech model package (pocketsphinx-en-us) and make its files readable.";
// How the machine is named in messages.
inline constexpr const char* thisComputer = "this computer";
// What fetches missing speech models (nothing does on this system).
inline constexpr const char* modelDownloader = "The system";
// The microphone-check's first line, which names the grant it reports.
inline constexpr const char* micCheckStatusLabel = "sound server mic status: ";
inline constexpr const char* micCheckDeniedWord = "DENIED  <- no sound server or no input source";

// Engine identifiers stored with every dictation. Each names the recogniser
// path that really ran; the older names of the same paths are still read.
inline constexpr const char* engineContextDecoder = "pocketsphinx_context_ondevice";  // whole-take decode with context terms
inline constexpr const char* enginePersonalDecoder = "pocketsphinx_personal_ondevice";  // the same with the personal model
inline constexpr const char* engineIncrementalDecoder =
    "pocketsphinx_incremental_ondevice";                                        // incremental decode, partial text
inline constexpr const char* engineFileDecoder = "pocketsphinx_ondevice_file";  // transcription of any audio file

struct EngineIdentifierAlias {
    const char* stored;
    const char* current;
};
// The stored names below come from history files written by earlier builds;
// they are kept only so that such entries still read as today's names.
inline constexpr EngineIdentifierAlias engineIdentifierAliases[] = {
    {"apple_speechanalyzer_ondevice", engineContextDecoder},
    {"apple_dictationtranscriber_ondevice", enginePersonalDecoder},
    {"apple_sfspeech_ondevice", engineIncrementalDecoder},
    {"apple_sfspeech_ondevice_file", engineFileDecoder},
};

}  // namespace LinuxNames

namespace LinuxNames {

// Speech recognition. Languages come from the recogniser's model packages,
// and the desktop has no separate speech-recognition permission.
inline constexpr const char* addDictationLanguageSentence = "Install the pocketsphinx model package for the language.";
inline constexpr const char* speechRecognitionPrivacyPane = "Settings \u203A Privacy";

}  // namespace LinuxNames

namespace LinuxNames {

// Why each grant is needed: the recogniser whose model is installed.
inline constexpr const char* onDeviceModelOwner = "pocketsphinx's";
// Where accessibility is "granted": the AT-SPI bus must be switched on and
// the X server must accept synthetic key events.
inline constexpr const char* accessibilityAccessRemedy =
    "Switch on assistive technologies by running \u201Cgsettings set org.gnome.desktop.interface "
    "toolkit-accessibility true\u201D in a terminal, and use an X11 (Xorg) session.";
// The packages that carry a speech model, by language; a language not here
// has no packaged model. How a package is installed.
inline constexpr const char* speechModelPackages[][2] = {{"en", "pocketsphinx-en-us"}};
inline constexpr const char* packageInstallCommand = "sudo apt install ";
// Starting the sound server by hand, and choosing its input.
inline constexpr const char* soundServerStartCommand = "pulseaudio --start";
inline constexpr const char* chooseInputSourceCommand =
    "pactl set-default-source <input name from: pactl list short sources>";
// What the desktop calls its accessibility switch.
inline constexpr const char* assistiveTechnologiesName = "assistive technologies";

}  // namespace LinuxNames

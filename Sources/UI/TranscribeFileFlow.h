#pragma once
// "Transcribe Audio File…" from the status menu: the user picks an audio or
// video file, it is transcribed on the device while the status item and a
// small progress window show the progress (the window's Cancel stops it), and
// the transcript goes to the clipboard and is offered for saving as plain text. It never touches the dictation state, so a dictation
// and a file transcription may run side by side.
#include "Engine/FileTranscriber.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace TranscribeFileFlow {

inline constexpr const char* idleTooltip = "Ondira \u2014 AI Dictation";
inline constexpr const char* openPanelMessage = "Choose an audio or video file to transcribe on-device.";
inline constexpr const char* transcribeFailedMessage = "Could not transcribe file";
inline constexpr const char* saveFailedMessage = "Could not save transcript";
inline constexpr const char* savedMessage = "Transcript saved";
inline constexpr const char* endsEarlyMessage = "The file ends early";

// The notice's informative text for a transcript of a file cut short:
// "<name> ends early: only … could be read; the transcript covers those."
std::string endsEarlyText(const FileTranscriber::FileTranscriptionResult& result);

// The confirmation's informative text: where the file now is.
std::string savedText(const std::filesystem::path& file);
inline constexpr const char* cancelButtonLabel = "Cancel";

// "Ondira — transcribing <name>…"
std::string transcribingTooltip(const std::string& fileName);
// "Ondira — transcribing <name>… 40%": the fraction in whole percent; the
// name is inserted as text, never as a format.
std::string progressTooltip(const std::string& fileName, double fraction);
// The source file's name without its extension, plus ".txt".
std::string suggestedTranscriptName(const std::filesystem::path& source);
// The alert's informative text for a failed transcription.
std::string failureText(const std::exception& error);
// One glob pattern per accepted format that matches its extension in any
// letter case ("*.[wW][aA][vV]"), since the file chooser's patterns are
// case-sensitive.
std::vector<std::string> caseInsensitivePatterns();

// The small window that shows a transcription's progress and offers to
// cancel it. Main thread only.
struct ProgressPanel {
    std::function<void(double fraction)> setFraction;
    std::function<void()> close;
};

// What the flow needs of the desktop. Every callback arrives on the main thread.
struct Desktop {
    // Shows the progress of transcribing `fileName`; `onCancel` runs when the
    // user presses Cancel or closes the window.
    std::function<std::shared_ptr<ProgressPanel>(const std::string& fileName, std::function<void()> onCancel)>
        showProgress;
    // Shows the open panel; the answer is the chosen file or nothing.
    std::function<void(std::function<void(std::optional<std::filesystem::path>)>)> chooseFile;
    // Shows the save panel proposing `suggestedName`.
    std::function<void(const std::string& suggestedName, std::function<void(std::optional<std::filesystem::path>)>)>
        chooseSaveLocation;
    std::function<void(const std::string& text)> copyToClipboard;
    // A modal alert.
    std::function<void(const std::string& message, const std::string& informativeText)> alert;
    // Shows the file in the file manager.
    std::function<void(const std::filesystem::path&)> reveal;
    // Tells the user, without waiting for an answer, that something was saved
    // or that the transcript is of a file cut short.
    std::function<void(const std::string& message, const std::string& informativeText)> confirm;
};

// The GTK desktop: file chooser dialogs, the clipboard, message dialogs and
// the file manager's ShowItems call.
Desktop gtkDesktop();
// The file manager's ShowItems call (the folder opened where no file manager
// answers it); a failure is logged under `component`, naming `what`.
std::function<void(const std::filesystem::path&)> revealer(std::string component, std::string what);

// The status item the flow reports on. The flow holds it weakly: when the
// application lets go of it, the flow's later updates are dropped.
struct Host {
    std::function<void(const std::string& tooltip)> setTooltip;
};

struct Options {
    Desktop desktop = gtkDesktop();
    FileTranscriber::Engine engine;  // the on-device recogniser when unset
    std::string localeIdentifier;    // the session's language when empty
    // Called on the main thread when the flow has nothing more to do (tests).
    std::function<void()> onFinished;
};

// The menu action. Main thread; returns at once.
void transcribeAudioFile(std::weak_ptr<Host> host, Options options = {});

}  // namespace TranscribeFileFlow

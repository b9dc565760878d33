#pragma once
// The dictation road: the hotkey starts a take, the microphone records it
// into a file and a live buffer stream, the recogniser decodes the stream
// while the user speaks, and releasing the key finishes the decode, cleans
// the text up, records it in the history and delivers it into the staging
// buffer or the focused application. Everything on the main thread unless
// said otherwise.
//
// Every dictation carries its generation. Anything a job shows, logs or
// delivers is checked against the current generation on the main thread
// first, so a cancelled or overtaken dictation leaves no trace.
#include "App/DictationLifecycle.h"
#include "Base/DictationErrorKind.h"
#include "Input/HotkeyTypes.h"
#include "Text/AppRules.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct InjectionOutcome;
struct TranscriptionResult;
class AudioBufferStream;
class DictationEvents;
struct DictationTake;

class DictationController : public std::enable_shared_from_this<DictationController> {
public:
    // What the road needs from the application around it; the menu and the
    // permission watch stay the application's.
    class Host {
    public:
        virtual ~Host() = default;
        // The microphone grant as the permission watch last saw it; none
        // before its first answer.
        virtual std::optional<bool> knownMicrophoneGrant() const = 0;
        // The watch looks again (a take was refused for the microphone).
        virtual void refreshPermissionStates() = 0;
        // A dictation was staged; `count` entries are staged now.
        virtual void stagedEntriesChanged(long long count) = 0;
        // The error-action key: the shown error's remedy runs.
        virtual void runErrorRemedy() = 0;
    };

    // Where a dictation lands: staged instead of inserted when this setting is on.
    static constexpr const char* stagingModeKey = "ondira_staging_mode_enabled";
    static constexpr const char* shortHoldMessage =
        "That hold was too short to capture anything — hold the hotkey down for the whole time you're speaking.";
    static constexpr const char* noSpeechMessage = "No speech was detected in that recording.";
    static constexpr double minimumTakeSeconds = 0.3;

    explicit DictationController(Host& host);

    // Makes this road the audio engine's and the hotkey manager's delegate
    // and starts the global hotkeys; later calls do nothing.
    void wire();
    // Loads the recogniser for the saved language off the main thread, so
    // the first dictation doesn't pay for it.
    void prewarmRecognizer();

    void toggleDictation();
    void startDictation(DictationMode mode);
    // The same, for a given front application (none: no front application).
    void startDictation(DictationMode mode, const std::optional<std::string>& frontBundleID);
    // Right Ctrl went down alone: the microphone and the indicator start at
    // once, and the start cue and the Esc grab wait for startDictation to
    // confirm the take; a discard takes it back without a trace.
    void beginTentativeTake();
    void stopDictation();
    // Esc: what it does depends on the lifecycle.
    void hotkeyDidRequestCancel();
    void hotkeyDidRequestErrorAction();
    // Right Ctrl was the start of a shortcut: the take, tentative or not,
    // ends without a trace.
    void hotkeyDidRequestDiscard();
    // A hands-free session the hotkey manager ended on its own.
    void hotkeyDidRequestHandsFreeStop(const std::string& reason);
    // Held keys were released for the user (sleep, screen lock, a stuck key).
    void hotkeyDidForceRelease(const std::string& reason);
    // The application quits: the take under way ends and no recording stays.
    void endForQuit();
    // The microphone stopped by itself mid-take.
    void audioEngineDidInterrupt(const std::optional<std::filesystem::path>& audioURL, double duration);

    // What the completion job hands over once recognition has answered.
    struct DictationJob {
        std::filesystem::path audioURL;
        long long generation = 0;
        DictationMode mode = DictationMode::standard;
        AppRule rule;
        std::chrono::system_clock::time_point stopTime;
        double duration = 0;
    };
    // The steps after a successful recognition (any thread).
    void completeRecognition(const DictationJob& job, const TranscriptionResult& result);
    // The steps after recognition failed (any thread).
    void failRecognition(const DictationJob& job, const std::string& typeName, const std::string& description);
    // Stages or inserts one cleaned text of the given dictation into the
    // application that has the focus now (its id, asked off the main thread).
    // `keep` puts the text in the history; it runs once the text is staged
    // or has gone on, never for a text held back from a secure field.
    void deliverFinalText(const std::string& text, long long generation,
                          const std::optional<std::string>& receivingBundleID, std::function<void()> keep = {});

    // What recognises a take (any thread): its live buffer stream (none for a
    // take recognised from its file alone), its recording, the context terms,
    // and where partial text goes. The speech engine unless a check sets another.
    using Recognizer = std::function<TranscriptionResult(
        const std::shared_ptr<AudioBufferStream>& stream, const std::filesystem::path& audioURL,
        const std::vector<std::string>& contextTerms, const std::function<void(const std::string&)>& onPartialText)>;
    // Takes started from now on use `recognizer`.
    void setRecognizer(Recognizer recognizer);

    // The latency reported to the history.
    static double reportedLatency(double endToEndSeconds, double cleanUpSeconds, double sinceStopSeconds);
    // What the indicator says when an insertion didn't land; none when it
    // did. A dictation held back from a secure field is kept nowhere; staged
    // text being committed stays staged.
    static std::optional<std::string> insertionFailureMessage(const InjectionOutcome& outcome,
                                                              bool textStaysStaged = false);

    // Dictation state (the generation is also read by jobs).
    bool isRecording = false;
    double lastAudioSeconds = 0;
    long long lastAudioBytes = 0;
    DictationMode currentDictationMode = DictationMode::standard;
    AppRule currentAppRule = AppRules::globalDefault();
    DictationLifecycle lifecycle = DictationLifecycle::idle;
    std::atomic<long long> dictationGeneration{0};
    // The setup window's proof step listens to dictations through these.
    std::function<void(const std::string&)> onDictationCompleted;
    std::function<void(const std::string&)> onDictationFailed;

private:
    friend class DictationEvents;
    void confirmTentativeTake(DictationMode mode);
    void applyFrontRule(long long generation, const std::optional<std::string>& frontBundleID);
    void openTake(DictationMode mode, const AppRule& rule);
    void beginCapture();
    void captureStarted(long long generation, const std::optional<std::string>& failure);
    void startLiveRecognition(std::shared_ptr<AudioBufferStream> stream, const std::filesystem::path& audioURL);
    void endCapture(const std::optional<std::filesystem::path>& audioURL, double duration,
                    std::chrono::system_clock::time_point stopTime);
    void discardCapture();
    // The take in recognition is cancelled and its result dropped.
    void dropTranscription();
    // A take that leaves no text ends idle on the main thread; with a
    // message, the error cue plays and the proof step hears of the failure.
    void endWithoutText(long long generation, const char* failureMessage);
    void returnToIdle();
    void endHandsFreeWithTheTake();
    void showError(const std::string& message, std::optional<ErrorRemedy> remedy = std::nullopt);
    // Esc called the dictation off: the indicator says so as a cancel.
    void showCancel(const std::string& message);

    Host& host_;
    Recognizer recognizer_;
    std::shared_ptr<DictationEvents> events_;
    std::shared_ptr<DictationTake> liveTake_;           // the take being captured
    std::shared_ptr<DictationTake> transcriptionTask_;  // the last take that reached transcription
    std::shared_ptr<AudioBufferStream> pendingBufferStream;
    // The take began at a key-down not yet confirmed as the gesture.
    bool isTentative_ = false;
    // The take was confirmed (by its press or its key's delay), so a failure tells.
    bool takeConfirmed_ = false;
};

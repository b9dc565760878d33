#pragma once
// The one long-lived object of the menu-bar application: its status item
// and menu, the launch sequence, reopening and termination, and the two
// callbacks it installs on the indicator.
#include "Base/DictationErrorKind.h"
#include "App/Permissions.h"
#include "App/RevocationMonitor.h"
#include "UI/TranscribeFileFlow.h"
#include "App/DictationLifecycle.h"
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

struct UpdateStatus;
struct InjectionOutcome;
class StagingBuffer;
class TextInjector;
struct StagingAppendResult;
struct StagingLimits;
struct InjectionOutcome;
struct TranscriptionResult;
class AudioBufferStream;
class DictationEvents;
struct DictationTake;
typedef struct _GtkWidget GtkWidget;
typedef struct _AppIndicator AppIndicator;
typedef struct _GFileMonitor GFileMonitor;

class AppDelegate {
public:
    static constexpr const char* statusTitle = "Ondira — AI Dictation";
    static constexpr const char* stagingModeKey = "ondira_staging_mode_enabled";

    // Creation builds the status item and its menu and installs the
    // indicator callbacks; it is also what shared() answers from then on.
    AppDelegate();
    static AppDelegate* shared();

    void applicationDidFinishLaunching();
    // A second launch of the program lands here: the hub comes forward.
    bool applicationShouldHandleReopen();
    void applicationWillTerminate();
    // Refreshes the two titles that change (each time the menu opens).
    void menuNeedsUpdate();
    // One pass of the permission watch: at launch, every 5 s, and whenever
    // one of the application's windows takes the focus.
    void refreshPermissionStates();
    // Runs the refresh now and then every 5 s until termination.
    void startPermissionWatch();
    void handleAppDidBecomeActive();
    const PermissionWatch& permissionWatch() const { return permissionWatch_; }
    bool isPermissionWatchRunning() const { return permissionMonitorTimer_ != 0; }

    // Menu actions.
    void openHub();
    void openOnboarding();
    void installCommandLineTool();
    void toggleStagingMode();
    void toggleLaunchAtLogin();
    void checkForUpdates();
    void transcribeAudioFile();
    void transcribeAudioFile(TranscribeFileFlow::Options options);
    // Inserts everything staged; the entries leave the buffer only once the
    // insertion is confirmed.
    void commitStagedText();
    // Inserts everything staged; the entries leave the buffer only once the
    // insertion is confirmed. `completion` gets the outcome.
    void commitStagedText(StagingBuffer& buffer, TextInjector& injector,
                          std::function<void(const InjectionOutcome&)> completion = {});
    void quitApp();

    // What the indicator says when an insertion didn't land; none when it did.
    static std::optional<std::string> insertionFailureMessage(const InjectionOutcome& outcome);
    // The status item the file transcription reports its progress on.
    std::shared_ptr<TranscribeFileFlow::Host> transcribeFileHost() const { return transcribeFileHost_; }
    // The status item's title (its tool tip where the panel shows one).
    std::string statusItemTitle() const;

    // The launch's automatic update check speaks only of an available update.
    static void handleAutomaticUpdateCheck(const UpdateStatus& status);
    // The modal alert for a check's outcome (main thread).
    static void presentUpdateResult(const UpdateStatus& status);
    struct UpdateAlert {
        std::string message;
        std::string informative;
        std::optional<std::string> downloadURL;  // offered with a "Download" button
    };
    // What the alert says; none for a state that has nothing to report.
    static std::optional<UpdateAlert> updateAlert(const UpdateStatus& status);

    // Set before launching finishes when the process was started to open an
    // ondira:// link: the hub comes up in place of the first-window choice.
    bool showHubAtLaunch = false;
    // An argument of the process is an ondira:// link.
    static bool isHubLink(const std::string& argument);

    // Run by quitApp: ends the main loop, after which the application's
    // termination steps run.
    std::function<void()> onQuit;

    // ------------------------------------------------ the dictation road
    // (DictationController.cpp; everything on the main thread unless said)

    // Makes this object the audio engine's and the hotkey manager's
    // delegate and starts the global hotkeys.
    void wireDictationRoad();
    // Loads the recogniser for the saved language off the main thread, so
    // the first dictation doesn't pay for it.
    void prewarmRecognizer();

    void toggleDictation();
    void startDictation(DictationMode mode);
    // The same, for a given front application (none: no front application).
    void startDictation(DictationMode mode, const std::optional<std::string>& frontBundleID);
    void stopDictation();
    void beginCapture();
    // Esc: what it does depends on the lifecycle.
    void hotkeyDidRequestCancel();
    void hotkeyDidRequestErrorAction();
    // A hands-free session the hotkey manager ended on its own.
    void hotkeyDidRequestHandsFreeStop(const std::string& reason);
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
    // Main thread: stages or inserts one cleaned text of the given dictation.
    void deliverFinalText(const std::string& text, long long generation);

    // The latency reported to the history.
    static double reportedLatency(double endToEndSeconds, double cleanUpSeconds, double sinceStopSeconds);
    static constexpr const char* shortHoldMessage =
        "That hold was too short to capture anything — hold the hotkey down for the whole time you're speaking.";
    static constexpr const char* noSpeechMessage = "No speech was detected in that recording.";
    static constexpr double minimumTakeSeconds = 0.3;

    // Dictation state (main thread; the generation is also read by jobs).
    bool isRecording = false;
    double lastAudioSeconds = 0;
    long long lastAudioBytes = 0;
    DictationMode currentDictationMode = DictationMode::standard;
    AppRule currentAppRule = AppRules::globalDefault();
    DictationLifecycle lifecycle = DictationLifecycle::idle;
    std::atomic<long long> dictationGeneration{0};
    std::shared_ptr<DictationTake> transcriptionTask;
    std::shared_ptr<AudioBufferStream> pendingBufferStream;
    std::function<void(const std::string&)> onDictationCompleted;
    std::function<void(const std::string&)> onDictationFailed;

    GtkWidget* menu() const { return menu_; }
    GtkWidget* headingMenuItem() const { return headingItem_; }
    GtkWidget* toggleDictationMenuItem() const { return toggleDictationItem_; }
    GtkWidget* stagingCommitMenuItem() const { return stagingCommitItem_; }
    GtkWidget* stagingModeMenuItem() const { return stagingModeItem_; }
    GtkWidget* launchAtLoginMenuItem() const { return launchAtLoginItem_; }
    // The settings pane the shown error offers to open, if any.
    const std::optional<ErrorRemedy>& activeErrorRemedy() const { return activeErrorRemedy_; }

    // Texts and steps the menu uses, kept apart so they can be checked alone.
    static std::string stagingCommitTitle(long long count);
    // What the user is told when the staging buffer refused a dictation;
    // none when it was staged.
    static std::optional<std::string> stagingRejectionMessage(const StagingAppendResult& result,
                                                              const StagingLimits& limits);
    // The content types the transcribe-file dialogue offers: one per format
    // the file transcriber reads, in its order.
    static std::vector<std::string> transcribableContentTypes();
    // The primary key's name in "Toggle Dictation (...)", by the stored
    // hotkey value (none or unknown means the default, fn).
    static std::string hotkeyTitle(const std::optional<std::string>& storedHotkey);
    static std::string toggleDictationTitle();
    // Where the command-line tool is linked: ~/.local/bin/ondira.
    static std::filesystem::path cliLinkPath();
    // The command a user can paste to link the tool by hand; both paths are
    // quoted for the shell when they need it. Never with sudo.
    static std::string cliInstallCommand(const std::filesystem::path& binary);
    static std::string cliInstallCommand(const std::filesystem::path& binary, const std::filesystem::path& link);
    // Links `link` to `binary`, replacing what is there. Answers the error
    // text of a failure: empty when the directory isn't writable (nothing
    // was attempted).
    static std::optional<std::string> installCommandLineLink(const std::filesystem::path& binary,
                                                            const std::filesystem::path& link);
    // Deletes every "ondira_rec_*.wav" left in `directory`; failures are skipped.
    static void sweepLeftoverRecordings(const std::filesystem::path& directory);
    // The status icon, drawn into a PNG of `size` pixels.
    static bool drawStatusIcon(const std::filesystem::path& file, int size);

private:
    friend class DictationEvents;
    void buildStatusItem();
    void buildMenu();
    void setCheck(GtkWidget* item, bool on);
    void showStatusText(const std::string& text);
    void runErrorRemedy();
    void endCapture(const std::optional<std::filesystem::path>& audioURL, double duration,
                    std::chrono::system_clock::time_point stopTime);
    void discardCapture();
    void returnToIdle();
    void showError(const std::string& message, std::optional<ErrorRemedy> remedy = std::nullopt);
    void startLiveRecognition(std::shared_ptr<AudioBufferStream> stream, const std::filesystem::path& audioURL);

    std::shared_ptr<DictationEvents> dictationEvents_;
    std::shared_ptr<DictationTake> liveTake_;  // the take being captured

    AppIndicator* statusItem_ = nullptr;
    GFileMonitor* configMonitor_ = nullptr;
    GtkWidget* menu_ = nullptr;
    GtkWidget* toggleDictationItem_ = nullptr;
    GtkWidget* stagingCommitItem_ = nullptr;
    GtkWidget* stagingModeItem_ = nullptr;
    GtkWidget* launchAtLoginItem_ = nullptr;
    std::optional<ErrorRemedy> activeErrorRemedy_;
    bool settingCheck_ = false;
    GtkWidget* headingItem_ = nullptr;
    PermissionWatch permissionWatch_;
    unsigned permissionMonitorTimer_ = 0;
    unsigned long activationHook_ = 0;
    bool commitInFlight_ = false;
    static std::shared_ptr<TranscribeFileFlow::Host> makeTranscribeFileHost();
    std::shared_ptr<TranscribeFileFlow::Host> transcribeFileHost_ = makeTranscribeFileHost();
};

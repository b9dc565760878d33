#pragma once
// The one long-lived object of the menu-bar application: its status item
// and menu, the launch sequence, reopening and termination, and the two
// callbacks it installs on the indicator. It owns the dictation road
// (DictationController), which asks it only for what the menu and the
// permission watch know.
#include "Base/DictationErrorKind.h"
#include "App/Permissions.h"
#include "App/RevocationMonitor.h"
#include "UI/TranscribeFileFlow.h"
#include "UI/SupportBundleExport.h"
#include "Diagnostics/SupportBundle.h"
#include "App/DictationController.h"
#include "Platform/FileWatch.h"

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
typedef struct _GtkWidget GtkWidget;
typedef struct _AppIndicator AppIndicator;

class AppDelegate : private DictationController::Host {
public:
    static constexpr const char* statusTitle = "Ondira — AI Dictation";
    static constexpr const char* stagingModeKey = DictationController::stagingModeKey;

    // Creation starts the hotkeys first, then builds the status item and its
    // menu and installs the indicator callbacks; it is also what shared()
    // answers from then on.
    AppDelegate();
    static AppDelegate* shared();

    void applicationDidFinishLaunching();
    // A second launch of the program lands here: the hub comes forward.
    bool applicationShouldHandleReopen();
    void applicationWillTerminate();
    const PermissionWatch& permissionWatch() const { return permissionWatch_; }
    bool isPermissionWatchRunning() const { return permissionMonitorTimer_ != 0; }

    // Makes the dictation road the audio engine's and the hotkey manager's
    // delegate and starts the global hotkeys. Creation does it; once is enough.
    void wireDictationRoad();
    DictationController& dictation() { return *dictation_; }

    // Menu actions the rest of the program (and its checks) run directly.
    void openOnboarding();
    void exportSupportBundle(SupportBundleExport::Options options);
    void transcribeAudioFile(TranscribeFileFlow::Options options);
    // Inserts everything staged; the entries leave the buffer only once the
    // insertion is confirmed.
    void commitStagedText();
    // Inserts everything staged; the entries leave the buffer only once the
    // insertion is confirmed. `completion` gets the outcome.
    void commitStagedText(StagingBuffer& buffer, TextInjector& injector,
                          std::function<void(const InjectionOutcome&)> completion = {});

    // The status item the file transcription reports its progress on.
    std::shared_ptr<TranscribeFileFlow::Host> transcribeFileHost() const { return transcribeFileHost_; }
    // The status item's title (its tool tip where the panel shows one).
    std::string statusItemTitle() const;

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
    // Runs the main loop until Quit is chosen or SIGINT or SIGTERM arrives;
    // then runs the termination steps, which both roads share.
    void runUntilQuit();

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
    // The command a user can paste to link the tool by hand; both paths are
    // quoted for the shell when they need it. Never with sudo.
    static std::string cliInstallCommand(const std::filesystem::path& binary);
    static std::string cliInstallCommand(const std::filesystem::path& binary, const std::filesystem::path& link);
    // What the user is told once `link` is in place: its name when PATH
    // finds it there, else its path and that its folder is not on PATH.
    static std::string cliInstalledText(const std::filesystem::path& link, const std::string& pathVariable);
    // Links `link` to `binary`, replacing what is there. Answers the error
    // text of a failure: empty when the directory isn't writable (nothing
    // was attempted).
    static std::optional<std::string> installCommandLineLink(const std::filesystem::path& binary,
                                                             const std::filesystem::path& link);
    // Deletes every "ondira_rec_*.wav" left in `directory`; failures are skipped.
    static void sweepLeftoverRecordings(const std::filesystem::path& directory);
    // The status icon, drawn into a PNG of `size` pixels; with a red dot while a take records.
    static bool drawStatusIcon(const std::filesystem::path& file, int size, bool recording = false);
    static constexpr const char* idleIconName = "ondira-status";
    static constexpr const char* recordingIconName = "ondira-status-recording";
    // The status item's icon now (one of the two names above).
    std::string statusIconName() const;

private:
    void tellStoresSetAside();
    // Refreshes the two titles that change (each time the menu opens).
    void menuNeedsUpdate();
    // The same, naming `storedHotkey` (the hotkey value of config.json).
    void retitleMenu(const std::optional<std::string>& storedHotkey);
    // One pass of the permission watch: at launch, every 5 s, and whenever
    // one of the application's windows takes the focus.
    void refreshPermissionStates() override;
    // Runs the refresh now and then every 5 s until termination.
    void startPermissionWatch();
    void handleAppDidBecomeActive();

    // Menu actions.
    void openHub();
    void installCommandLineTool();
    // Asks where to save, writes the bundle and shows it in the file manager.
    void exportSupportBundle();
    // What the bundle carries from this layer: the doctor's findings and the
    // settings that change what a dictation does.
    static SupportBundle::LiveExtras supportBundleExtras();
    void toggleDictation();
    void toggleStagingMode();
    void toggleLaunchAtLogin();
    void checkForUpdates();
    void transcribeAudioFile();
    void quitApp();

    // The launch's automatic update check speaks only of an available update.
    static void handleAutomaticUpdateCheck(const UpdateStatus& status);
    // The modal alert for a check's outcome (main thread).
    static void presentUpdateResult(const UpdateStatus& status);

    // The primary key's name in "Toggle Dictation (...)", by the stored
    // hotkey value (none or unknown means the default, fn).
    static std::string hotkeyTitle(const std::optional<std::string>& storedHotkey);
    static std::string toggleDictationTitle(const std::optional<std::string>& storedHotkey);
    // Where the command-line tool is linked: ~/.local/bin/ondira.
    static std::filesystem::path cliLinkPath();

    // DictationController::Host
    std::optional<bool> knownMicrophoneGrant() const override;
    void stagedEntriesChanged(long long count) override;
    void runErrorRemedy() override;

    void buildStatusItem();
    void buildMenu();
    void setCheck(GtkWidget* item, bool on);
    // A text the status item holds (empty without a status item).
    std::string statusItemText(const char* (*read)(AppIndicator*)) const;
    // The status icon follows the indicator: the recording icon while a take records.
    void showRecording(bool recording);
    // The commit item's title for `count` staged entries, enabled only when there are some.
    void showStagedCount(long long count);
    void showStatusText(const std::string& text);

    std::shared_ptr<DictationController> dictation_;

    AppIndicator* statusItem_ = nullptr;
    // Reloads what other processes change and retitles the menu for config.json.
    std::unique_ptr<platform::FileWatch> storeWatch_;
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
    std::shared_ptr<OndiraPermission::RepeatedProbe> permissionProbe_;
    unsigned long activationHook_ = 0;
    bool commitInFlight_ = false;
    static std::shared_ptr<TranscribeFileFlow::Host> makeTranscribeFileHost();
    std::shared_ptr<TranscribeFileFlow::Host> transcribeFileHost_ = makeTranscribeFileHost();
};

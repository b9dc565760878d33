#pragma once
// The one long-lived object of the menu-bar application: its status item
// and menu, the launch sequence, reopening and termination, and the two
// callbacks it installs on the indicator.
#include "App/DictationErrorKind.h"
#include "App/Permissions.h"
#include "UI/TranscribeFileFlow.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

struct UpdateStatus;
struct InjectionOutcome;
class StagingBuffer;
class TextInjector;
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
    void commitStagedText(StagingBuffer& buffer, TextInjector& injector);
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

    // Run by quitApp: ends the main loop, after which the application's
    // termination steps run.
    std::function<void()> onQuit;

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
    void buildStatusItem();
    void buildMenu();
    void setCheck(GtkWidget* item, bool on);
    void showStatusText(const std::string& text);

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

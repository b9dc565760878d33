#include "App/AppDelegate.h"

#include "UI/HubWindowController.h"
#include "Base/AppPaths.h"
#include "App/AutoStartManager.h"
#include "Base/Branding.h"
#include "Base/CommandLineTool.h"
#include "App/OnboardingWindow.h"
#include "App/SoundCues.h"
#include "App/StatusIndicator.h"
#include "Base/FaultLog.h"
#include "CLI/OndiraCLI.h"
#include "Engine/SpeechEngine.h"
#include "Input/HotkeyManager.h"
#include "Input/TextInjector.h"
#include "Text/PolishService.h"
#include "Engine/FileTranscriber.h"
#include "Platform/Bundle.h"
#include "Platform/FileIO.h"
#include "App/StoreWatch.h"
#include "Platform/Launch.h"
#include "Platform/LinuxNames.h"
#include "Platform/Log.h"
#include "Platform/Queues.h"
#include "Platform/StoreRecovery.h"
#include "Platform/Unicode.h"
#include "Platform/URLSession.h"
#include "Text/StagingBuffer.h"
#include "UI/IndicatorWindow.h"
#include "Update/UpdateChecker.h"

#include <glib-unix.h>
#include <csignal>
#include <gtk/gtk.h>
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <libayatana-appindicator/app-indicator.h>
#pragma GCC diagnostic pop

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>

namespace fs = std::filesystem;

namespace {
AppDelegate* gShared = nullptr;

// The same page the permission's own "open settings" shows.
void openSettingsPane(const std::string& pane) {
    if (auto permission = OndiraPermission::fromRawValue(pane)) permission->openSystemSettings();
}

GtkWidget* addItem(GtkWidget* menu, const std::string& title, guint key = 0, GdkModifierType mods = GdkModifierType(0)) {
    GtkWidget* item = gtk_menu_item_new_with_label(title.c_str());
    if (key) gtk_accel_label_set_accel(GTK_ACCEL_LABEL(gtk_bin_get_child(GTK_BIN(item))), key, mods);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
    return item;
}

GtkWidget* addCheckItem(GtkWidget* menu, const std::string& title, bool on) {
    GtkWidget* item = gtk_check_menu_item_new_with_label(title.c_str());
    gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item), on);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
    return item;
}

// Only a changed title is set, so an exported menu sends no needless updates.
void retitle(GtkWidget* item, const std::string& title) {
    if (item && title != gtk_menu_item_get_label(GTK_MENU_ITEM(item)))
        gtk_menu_item_set_label(GTK_MENU_ITEM(item), title.c_str());
}

void addSeparator(GtkWidget* menu) { gtk_menu_shell_append(GTK_MENU_SHELL(menu), gtk_separator_menu_item_new()); }

void onActivate(GtkWidget* item, void (AppDelegate::*action)()) {
    g_signal_connect(item, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer data) {
                         auto act = *static_cast<void (AppDelegate::**)()>(data);
                         if (AppDelegate* d = AppDelegate::shared()) (d->*act)();
                     }),
                     new (void(AppDelegate::*)())(action));
}

void showMessage(const std::string& message, const std::string& informative, GtkWidget* accessory = nullptr) {
    GtkWidget* dialog =
        gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_INFO, GTK_BUTTONS_OK, "%s", message.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", informative.c_str());
    if (accessory) {
        GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));
        gtk_container_add(GTK_CONTAINER(area), accessory);
        gtk_widget_show_all(accessory);
    }
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}
}  // namespace

AppDelegate* AppDelegate::shared() { return gShared; }

AppDelegate::AppDelegate()
    : dictation_(std::make_shared<DictationController>(static_cast<DictationController::Host&>(*this))) {
    gShared = this;
    FaultLog::install();
    AppPaths::sweepAbandonedTemporaryFiles();
    // The hotkeys listen before anything slow is built: the menu, the status
    // item and above all the indicator's web view. A key pressed meanwhile
    // waits in the display's queue and is handled once they are ready.
    wireDictationRoad();
    buildMenu();
    buildStatusItem();
    auto& indicator = IndicatorWindowController::shared();
    indicator.onStateChange = [](const IndicatorMode& mode) {
        if (AppDelegate* d = AppDelegate::shared()) {
            d->activeErrorRemedy_ = mode.kind == IndicatorMode::Kind::error ? mode.remedy : std::nullopt;
            d->showRecording(mode.kind == IndicatorMode::Kind::recording);
        }
        // Return must never stay captured once the state it served is gone.
        HotkeyManager::shared().disarmErrorAction();
    };
    indicator.onErrorAction = [] {
        if (AppDelegate* d = AppDelegate::shared()) d->runErrorRemedy();
    };
    // The setup window's proof step listens to dictations through the two closures.
    OnboardingWindow::delegateHooks() = {
        [](OnboardingWindow::TextCallback completed, OnboardingWindow::TextCallback failed) {
            if (AppDelegate* d = AppDelegate::shared()) {
                d->dictation_->onDictationCompleted = std::move(completed);
                d->dictation_->onDictationFailed = std::move(failed);
            }
        },
        [] { return hotkeyTitle(AppPaths::readConfigValue("hotkey")); }};
    platform::log("Ondira Native", "Status menu and indicator initialized on startup.");
}

void AppDelegate::runErrorRemedy() {
    if (activeErrorRemedy_) openSettingsPane(settingsPaneRawValue(activeErrorRemedy_->pane));
}

// ---------------------------------------------------------------- what the dictation road asks of the menu

std::optional<bool> AppDelegate::knownMicrophoneGrant() const {
    const auto& known = permissionWatch_.lastKnownPermissionState();
    const auto microphone = known.find(OndiraPermission(OndiraPermission::microphone).id());
    if (microphone == known.end()) return std::nullopt;
    return microphone->second;
}

void AppDelegate::stagedEntriesChanged(long long count) { showStagedCount(count); }

void AppDelegate::showStagedCount(long long count) {
    if (!stagingCommitItem_) return;
    retitle(stagingCommitItem_, stagingCommitTitle(count));
    // With nothing staged the item would do nothing: it says so by being off.
    gtk_widget_set_sensitive(stagingCommitItem_, count > 0);
}

void AppDelegate::wireDictationRoad() { dictation_->wire(); }

void AppDelegate::toggleDictation() { dictation_->toggleDictation(); }

// ---------------------------------------------------------------- texts

bool AppDelegate::isHubLink(const std::string& argument) {
    char* scheme = g_uri_parse_scheme(argument.c_str());
    const bool link = scheme && g_ascii_strcasecmp(scheme, "ondira") == 0;
    g_free(scheme);
    return link;
}

std::string AppDelegate::stagingCommitTitle(long long count) {
    if (count == 0) return "Commit Staged Text (nothing staged)";
    if (count == 1) return "Commit Staged Text (1 entry)";
    return "Commit Staged Text (" + std::to_string(count) + " entries)";
}

std::optional<std::string> AppDelegate::stagingRejectionMessage(const StagingAppendResult& result,
                                                                const StagingLimits& limits) {
    return result.fallbackMessage(limits);
}

std::vector<std::string> AppDelegate::transcribableContentTypes() {
    std::vector<std::string> types;
    for (FileTranscriber::Format format : FileTranscriber::allFormats()) {
        const std::string extension = FileTranscriber::rawValue(format);
        gboolean uncertain = FALSE;
        gchar* type = g_content_type_guess(("file." + extension).c_str(), nullptr, 0, &uncertain);
        // An extension the shared MIME database doesn't know gets GIO's own
        // name for it, never the catch-all binary type.
        types.push_back(uncertain || !type ? "application/x-extension-" + extension : std::string(type));
        g_free(type);
    }
    return types;
}

std::string AppDelegate::hotkeyTitle(const std::optional<std::string>& storedHotkey) {
    const std::string wanted = storedHotkey.value_or("fn");
    for (const auto& row : LinuxNames::menuHotkeyTitles)
        if (wanted == row[0]) return row[1];
    return LinuxNames::menuHotkeyTitles[0][1];
}

std::string AppDelegate::toggleDictationTitle(const std::optional<std::string>& storedHotkey) {
    return "Toggle Dictation (" + hotkeyTitle(storedHotkey) + ")";
}

fs::path AppDelegate::cliLinkPath() { return CommandLineTool::linkPath(); }

std::string AppDelegate::cliInstallCommand(const fs::path& binary) { return cliInstallCommand(binary, cliLinkPath()); }

std::string AppDelegate::cliInstallCommand(const fs::path& binary, const fs::path& link) {
    return "ln -s " + CommandLineTool::shellQuoted(binary.string()) + " " + CommandLineTool::shellQuoted(link.string());
}

std::string AppDelegate::cliInstalledText(const fs::path& link, const std::string& pathVariable) {
    const auto invocation = CommandLineTool::invocation(link, pathVariable, link, AppPaths::homeDirectory());
    if (invocation.onPath)
        return "You can now run \u201C" + invocation.command + "\u201D from any " + LinuxNames::terminalName + " window.";
    // The folder exists now, but a login shell adds it to PATH only when it
    // was there at login; until then the link runs by its path.
    const std::string folder = CommandLineTool::displayPath(link.parent_path(), AppPaths::homeDirectory());
    return "Ondira is linked as \u201C" + invocation.command + "\u201D, but " + folder +
           " is not on your PATH, so \u201C" + link.filename().string() + "\u201D alone won't be found. Run \u201C" +
           invocation.command + " help\u201D, or log out and back in (or add " + folder +
           " to PATH) to run it by its name.";
}

std::optional<std::string> AppDelegate::installCommandLineLink(const fs::path& binary, const fs::path& link) {
    std::error_code ec;
    fs::create_directories(link.parent_path(), ec);
    // Not writable: no link is attempted and there is no error to quote.
    if (!platform::isDirectory(link.parent_path()) || ::access(link.parent_path().c_str(), W_OK) != 0) return std::string();
    if (fs::is_symlink(fs::symlink_status(link, ec)) || fs::exists(fs::symlink_status(link, ec))) {
        fs::remove(link, ec);
        if (ec) return ec.message();
    }
    fs::create_symlink(binary, link, ec);
    if (ec) return ec.message();
    return std::nullopt;
}

void AppDelegate::sweepLeftoverRecordings(const fs::path& directory) {
    std::error_code ec;
    fs::directory_iterator it(directory, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (platform::text::hasPrefix(name, "ondira_rec_") && platform::text::hasSuffix(name, ".wav")) {
            std::error_code removeError;
            fs::remove(it->path(), removeError);
        }
    }
}

// A rounded square with a four-colour diagonal gradient and a dark square in
// the middle, drawn for a 20-unit box and scaled to `size`.
bool AppDelegate::drawStatusIcon(const fs::path& file, int size, bool recording) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
    cairo_t* cr = cairo_create(surface);
    cairo_scale(cr, size / 20.0, size / 20.0);
    auto roundedRect = [cr](double x, double y, double w, double h, double r) {
        cairo_new_sub_path(cr);
        cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
        cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
        cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
        cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
        cairo_close_path(cr);
    };
    roundedRect(1.5, 1.5, 17, 17, 5.0);
    cairo_pattern_t* gradient = cairo_pattern_create_linear(1.5, 1.5, 18.5, 18.5);
    cairo_pattern_add_color_stop_rgba(gradient, 0.0, 1.0, 0.37, 0.49, 1.0);
    cairo_pattern_add_color_stop_rgba(gradient, 0.35, 0.55, 0.48, 1.0, 1.0);
    cairo_pattern_add_color_stop_rgba(gradient, 0.7, 0.22, 0.74, 0.97, 1.0);
    cairo_pattern_add_color_stop_rgba(gradient, 1.0, 1.0, 0.7, 0.36, 1.0);
    cairo_set_source(cr, gradient);
    cairo_fill(cr);
    cairo_pattern_destroy(gradient);
    roundedRect(5.5, 5.5, 9.0, 9.0, 2.5);
    cairo_set_source_rgba(cr, 0.027, 0.035, 0.055, 1.0);
    cairo_fill(cr);
    if (recording) {
        // A take runs: a red dot in the dark square, as on a recorder.
        cairo_arc(cr, 10.0, 10.0, 3.0, 0, 2 * M_PI);
        cairo_set_source_rgba(cr, 0.93, 0.16, 0.16, 1.0);
        cairo_fill(cr);
    }
    cairo_destroy(cr);
    const bool ok = cairo_surface_write_to_png(surface, file.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(surface);
    return ok;
}

// ---------------------------------------------------------------- status item and menu

void AppDelegate::buildMenu() {
    menu_ = gtk_menu_new();
    const auto ctrl = GDK_CONTROL_MASK;
    const auto ctrlShift = GdkModifierType(GDK_CONTROL_MASK | GDK_SHIFT_MASK);

    // The status item has no tool tip here, so its text heads the menu.
    headingItem_ = addItem(menu_, statusTitle);
    gtk_widget_set_sensitive(headingItem_, FALSE);
    addSeparator(menu_);

    onActivate(addItem(menu_, "Open Dashboard Hub", GDK_KEY_o, ctrl), &AppDelegate::openHub);
    toggleDictationItem_ = addItem(menu_, toggleDictationTitle(AppPaths::readConfigValue("hotkey")), GDK_KEY_d, ctrlShift);
    onActivate(toggleDictationItem_, &AppDelegate::toggleDictation);
    onActivate(addItem(menu_, "Setup & Permissions…"), &AppDelegate::openOnboarding);
    onActivate(addItem(menu_, "Export Support Bundle…"),
               static_cast<void (AppDelegate::*)()>(&AppDelegate::exportSupportBundle));
    onActivate(addItem(menu_, "Transcribe Audio File…"),
               static_cast<void (AppDelegate::*)()>(&AppDelegate::transcribeAudioFile));
    onActivate(addItem(menu_, "Install Command Line Tool…"), &AppDelegate::installCommandLineTool);
    onActivate(addItem(menu_, "Check for Updates…"), &AppDelegate::checkForUpdates);
    addSeparator(menu_);
    stagingModeItem_ =
        addCheckItem(menu_, "Stage Dictations Instead of Pasting", AppPaths::userDefaults()->boolValue(stagingModeKey));
    stagingCommitItem_ = addItem(menu_, stagingCommitTitle(0), GDK_KEY_v, ctrlShift);
    onActivate(stagingCommitItem_, static_cast<void (AppDelegate::*)()>(&AppDelegate::commitStagedText));
    addSeparator(menu_);
    launchAtLoginItem_ = addCheckItem(menu_, "Launch at Login", AutoStartManager::shared().isEnabled());
    addSeparator(menu_);
    onActivate(addItem(menu_, "Quit Ondira", GDK_KEY_q, ctrl), &AppDelegate::quitApp);

    g_signal_connect(stagingModeItem_, "toggled", G_CALLBACK(+[](GtkCheckMenuItem*, gpointer) {
                         AppDelegate* d = AppDelegate::shared();
                         if (d && !d->settingCheck_) d->toggleStagingMode();
                     }),
                     nullptr);
    g_signal_connect(launchAtLoginItem_, "toggled", G_CALLBACK(+[](GtkCheckMenuItem*, gpointer) {
                         AppDelegate* d = AppDelegate::shared();
                         if (d && !d->settingCheck_) d->toggleLaunchAtLogin();
                     }),
                     nullptr);
    g_signal_connect(menu_, "show", G_CALLBACK(+[](GtkWidget*, gpointer) {
                         if (AppDelegate* d = AppDelegate::shared()) d->menuNeedsUpdate();
                     }),
                     nullptr);
    // A menu exported to the desktop's panel is drawn by the panel, which
    // doesn't tell the program when it opens; so the hotkey title follows
    // config.json whenever that file changes, after the watch that reloads
    // the stores other processes change has offered the new hotkey to the grab.
    storeWatch_ = StoreWatch::start(HotkeyManager::shared(),
                                    [this](const std::optional<std::string>& stored) { retitleMenu(stored); });
    if (!storeWatch_) platform::log("StoreWatch", "Changes made outside the app apply after a restart: no file watch");
    gtk_widget_show_all(menu_);
    showStagedCount(static_cast<long long>(StagingBuffer::shared().count()));
    // The hub changes the buffer too, and a panel's menu is drawn without
    // asking us: the count follows every change of the buffer.
    StagingBuffer::shared().setChangeObserver([] {
        platform::MainQueue::async([] {
            if (AppDelegate* d = AppDelegate::shared())
                d->showStagedCount(static_cast<long long>(StagingBuffer::shared().count()));
        });
    });
}

void AppDelegate::buildStatusItem() {
    const fs::path iconDir = platform::temporaryDirectory() / "icons";
    std::error_code ec;
    fs::create_directories(iconDir, ec);
    drawStatusIcon(iconDir / (std::string(idleIconName) + ".png"), 22, false);
    drawStatusIcon(iconDir / (std::string(recordingIconName) + ".png"), 22, true);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    statusItem_ = StatusIndicator::create(Branding::bundleID, idleIconName, iconDir.c_str());
    app_indicator_set_title(statusItem_, statusTitle);
    app_indicator_set_status(statusItem_, APP_INDICATOR_STATUS_ACTIVE);
    app_indicator_set_menu(statusItem_, GTK_MENU(menu_));
#pragma GCC diagnostic pop
}

void AppDelegate::showRecording(bool recording) {
    if (!statusItem_) return;
    const char* wanted = recording ? recordingIconName : idleIconName;
    if (statusIconName() == wanted) return;  // the level meter changes the state many times a second
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    app_indicator_set_icon_full(statusItem_, wanted, recording ? "Recording" : statusTitle);
#pragma GCC diagnostic pop
}

std::string AppDelegate::statusIconName() const {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return statusItemText(app_indicator_get_icon);
#pragma GCC diagnostic pop
}

std::string AppDelegate::statusItemText(const char* (*read)(AppIndicator*)) const {
    if (!statusItem_) return {};
    const char* text = read(statusItem_);
    return text ? text : "";
}

void AppDelegate::setCheck(GtkWidget* item, bool on) {
    settingCheck_ = true;
    gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item), on);
    settingCheck_ = false;
}

void AppDelegate::menuNeedsUpdate() { retitleMenu(AppPaths::readConfigValue("hotkey")); }

void AppDelegate::retitleMenu(const std::optional<std::string>& storedHotkey) {
    showStagedCount(static_cast<long long>(StagingBuffer::shared().count()));
    retitle(toggleDictationItem_, toggleDictationTitle(storedHotkey));
}

// ---------------------------------------------------------------- application callbacks

void AppDelegate::applicationDidFinishLaunching() {
    gShared = this;
    tellStoresSetAside();
    sweepLeftoverRecordings(platform::temporaryDirectory());
    // The speech grant is the model of the saved language, so it comes first.
    SpeechEngine::shared().applyPersistedLocale(*AppPaths::userDefaults());
    dictation_->prewarmRecognizer();
    // The grants are asked on a worker: the first window waits for their
    // answers, never the main loop. The decision comes 0.1 s after launch at
    // the earliest, with the grants asked once more when one was missing.
    const auto launched = std::chrono::steady_clock::now();
    OndiraPermission::probeAllAsync([this, launched](std::map<std::string, bool> atLaunch) {
        const bool onboardingNeeded = !OndiraPermission::allGranted(atLaunch);
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - launched).count();
        platform::MainQueue::asyncAfter(std::max(0.0, 0.1 - elapsed), [this, onboardingNeeded] {
            // Started by an ondira:// link: the link asked for the hub.
            if (showHubAtLaunch) {
                HubWindowController::shared().show();
                return;
            }
            auto decide = [onboardingNeeded](bool allGrantedNow) {
                switch (firstWindow(onboardingNeeded, allGrantedNow)) {
                    case FirstWindow::hub: HubWindowController::shared().show(); break;
                    case FirstWindow::onboarding: OnboardingWindow::present(); break;
                    case FirstWindow::none: break;
                }
            };
            if (!onboardingNeeded) return decide(false);
            OndiraPermission::probeAllAsync(
                [decide](std::map<std::string, bool> now) { decide(OndiraPermission::allGranted(now)); });
        });
    });
    startPermissionWatch();
    // A menu-bar application becomes active when one of its windows takes
    // the focus.
    if (!activationHook_) {
        g_type_class_unref(g_type_class_ref(GTK_TYPE_WIDGET));
        activationHook_ = g_signal_add_emission_hook(
            g_signal_lookup("focus-in-event", GTK_TYPE_WIDGET), 0,
            +[](GSignalInvocationHint*, guint count, const GValue* values, gpointer) -> gboolean {
                if (count > 0 && GTK_IS_WINDOW(g_value_get_object(&values[0])))
                    platform::MainQueue::async([] {
                        if (AppDelegate* d = AppDelegate::shared()) d->handleAppDidBecomeActive();
                    });
                return TRUE;
            },
            nullptr, nullptr);
    }
    UpdateChecker::shared().checkAutomaticallyIfDue(
        std::chrono::system_clock::now(), platform::CurlURLSession::shared(),
        [](UpdateStatus status) { platform::MainQueue::async([status] { handleAutomaticUpdateCheck(status); }); });
}

// A store file that did not load is moved aside; the indicator says once
// where it went, for the files moved before launch finished and after.
void AppDelegate::tellStoresSetAside() {
    auto show = [](const std::string& message) {
        platform::log("Stores", message);
        platform::MainQueue::async(
            [message] { IndicatorWindowController::shared().updateState(IndicatorMode::error(message)); });
    };
    platform::setSetAsideListener([show](const platform::SetAsideNotice& notice) { show(notice.message()); });
    std::vector<std::string> earlier;
    for (const auto& notice : platform::takeSetAsideNotices()) earlier.push_back(notice.message());
    if (!earlier.empty()) show(platform::text::join(earlier, "\n"));
}

bool AppDelegate::applicationShouldHandleReopen() {
    HubWindowController::shared().show();
    return true;
}

void AppDelegate::applicationWillTerminate() {
    dictation_->endForQuit();
    if (permissionMonitorTimer_) g_source_remove(permissionMonitorTimer_);
    permissionMonitorTimer_ = 0;
    if (activationHook_) g_signal_remove_emission_hook(g_signal_lookup("focus-in-event", GTK_TYPE_WIDGET), activationHook_);
    activationHook_ = 0;
    // The rewrite helper is our child: end it before we go.
    PolishService::shared().shutdown();
    platform::log("AppDelegate", "Quitting.");
}

// ---------------------------------------------------------------- permission watch

void AppDelegate::startPermissionWatch() {
    if (permissionMonitorTimer_) g_source_remove(permissionMonitorTimer_);
    permissionMonitorTimer_ = g_timeout_add(
        5000,
        +[](gpointer) -> gboolean {
            if (AppDelegate* d = AppDelegate::shared()) d->refreshPermissionStates();
            return G_SOURCE_CONTINUE;
        },
        nullptr);
    refreshPermissionStates();
}

void AppDelegate::refreshPermissionStates() {
    // The grants are asked on a worker, one pass at a time; a request
    // meanwhile asks once more when that pass is over. A pass that finds
    // every grant as before ends on the worker.
    if (!permissionProbe_) {
        permissionProbe_ = std::make_shared<OndiraPermission::RepeatedProbe>();
        permissionProbe_->changed = [](std::map<std::string, bool> grants) {
            if (AppDelegate* d = AppDelegate::shared()) d->permissionWatch_.refresh(grants, [] {
                    // The user is busy elsewhere: a loss must not take their typing.
                    OnboardingWindow::presentWithoutFocus();
                });
        };
    }
    OndiraPermission::probeChangesAsync(permissionProbe_);
}

void AppDelegate::handleAppDidBecomeActive() { refreshPermissionStates(); }

// ---------------------------------------------------------------- menu actions

void AppDelegate::openHub() { HubWindowController::shared().show(); }

void AppDelegate::openOnboarding() { OnboardingWindow::presentPermissions(); }

void AppDelegate::toggleStagingMode() {
    auto store = AppPaths::userDefaults();
    const bool wanted = !store->boolValue(stagingModeKey);
    store->setBool(stagingModeKey, wanted);
    setCheck(stagingModeItem_, wanted);
}

void AppDelegate::toggleLaunchAtLogin() {
    const bool wanted = !AutoStartManager::shared().isEnabled();
    if (auto error = AutoStartManager::shared().setEnabled(wanted))
        platform::log("AppDelegate", "Launch at login could not be changed: " + *error);
    setCheck(launchAtLoginItem_, wanted);
}

void AppDelegate::exportSupportBundle() { exportSupportBundle(SupportBundleExport::Options{}); }

void AppDelegate::exportSupportBundle(SupportBundleExport::Options options) {
    if (!options.generate) {
        options.generate = [](const fs::path& directory) {
            return SupportBundle::generateAndWrite(directory, std::nullopt, supportBundleExtras());
        };
    }
    SupportBundleExport::exportSupportBundle(std::move(options));
}

SupportBundle::LiveExtras AppDelegate::supportBundleExtras() {
    auto store = AppPaths::userDefaults();
    const auto onOff = [](bool on) { return std::string(on ? "on" : "off"); };
    SupportBundle::LiveExtras extras;
    extras.doctorLines = OndiraCLI::doctorLines(OndiraCLI::gatherDoctorState());
    extras.settings = {
        {"Stage dictations instead of pasting", onOff(store->boolValue(stagingModeKey))},
        {"Sound cues", onOff(SoundCues::shared().isEnabled())},
        {"Automatic update checks", onOff(UpdateChecker::shared().automaticChecksEnabled())},
        {"Launch at login", onOff(AutoStartManager::shared().isEnabled())},
    };
    return extras;
}

void AppDelegate::installCommandLineTool() {
    const fs::path binary = platform::Bundle::executablePath();
    const fs::path link = cliLinkPath();
    const auto error = installCommandLineLink(binary, link);
    if (!error) {
        const char* path = std::getenv("PATH");
        showMessage("Command line tool installed", cliInstalledText(link, path ? path : ""));
        return;
    }
    std::string informative = link.parent_path().string() +
                              " isn't writable directly. Select the text below, copy it yourself (" +
                              LinuxNames::copyShortcut + "), and paste it into a " + LinuxNames::terminalName + ".";
    if (!error->empty()) informative += "\n\n(" + *error + ")";
    GtkWidget* field = gtk_entry_new();
    gtk_entry_set_text(GTK_ENTRY(field), cliInstallCommand(binary, link).c_str());
    gtk_editable_set_editable(GTK_EDITABLE(field), FALSE);
    gtk_widget_set_size_request(field, 420, 22);
    PangoFontDescription* mono = pango_font_description_from_string("Monospace 12");
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_widget_override_font(field, mono);
    G_GNUC_END_IGNORE_DEPRECATIONS
    pango_font_description_free(mono);
    showMessage(std::string("Run this command in a ") + LinuxNames::terminalName + " to install", informative, field);
}

void AppDelegate::checkForUpdates() {
    IndicatorWindowController::shared().updateState(IndicatorMode::processing());
    UpdateChecker::shared().checkForUpdates(UpdateChecker::defaultManifestURL(), platform::CurlURLSession::shared(),
                                            [](UpdateStatus status) {
                                                platform::MainQueue::async([status] {
                                                    if (!AppDelegate::shared()) return;
                                                    IndicatorWindowController::shared().updateState(IndicatorMode::idle());
                                                    presentUpdateResult(status);
                                                });
                                            });
}

void AppDelegate::handleAutomaticUpdateCheck(const UpdateStatus& status) {
    if (status.kind == UpdateStatus::Kind::updateAvailable) presentUpdateResult(status);
}

std::optional<AppDelegate::UpdateAlert> AppDelegate::updateAlert(const UpdateStatus& status) {
    switch (status.kind) {
        case UpdateStatus::Kind::upToDate:
            return UpdateAlert{"Ondira is up to date", "You have the newest version (" + status.currentVersion + ").",
                               std::nullopt};
        case UpdateStatus::Kind::updateAvailable: {
            if (!status.manifest) return std::nullopt;
            std::string informative = "You have version " + status.currentVersion + ".";
            if (status.manifest->releaseNotes && !status.manifest->releaseNotes->empty())
                informative += "\n\n" + *status.manifest->releaseNotes;
            std::optional<std::string> download;
            // Only a secure address is offered for opening.
            if (platform::text::hasPrefix(status.manifest->downloadURL, "https://")) download = status.manifest->downloadURL;
            return UpdateAlert{"Ondira " + status.manifest->version + " is available", informative, download};
        }
        case UpdateStatus::Kind::failed: return UpdateAlert{"Could not check for updates", status.reason, std::nullopt};
        case UpdateStatus::Kind::idle:
        case UpdateStatus::Kind::checking: return std::nullopt;
    }
    return std::nullopt;
}

void AppDelegate::presentUpdateResult(const UpdateStatus& status) {
    auto alert = updateAlert(status);
    if (!alert) return;
    GtkWidget* dialog =
        gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_INFO, GTK_BUTTONS_NONE, "%s", alert->message.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", alert->informative.c_str());
    if (alert->downloadURL) {
        gtk_dialog_add_button(GTK_DIALOG(dialog), "Later", GTK_RESPONSE_CANCEL);
        gtk_dialog_add_button(GTK_DIALOG(dialog), "Download", GTK_RESPONSE_ACCEPT);
    } else {
        gtk_dialog_add_button(GTK_DIALOG(dialog), "OK", GTK_RESPONSE_OK);
    }
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    const int response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    if (response == GTK_RESPONSE_ACCEPT && alert->downloadURL)
        platform::openWithDefaultApplication(*alert->downloadURL);
}

// ---------------------------------------------------------------- file transcription

std::shared_ptr<TranscribeFileFlow::Host> AppDelegate::makeTranscribeFileHost() {
    auto host = std::make_shared<TranscribeFileFlow::Host>();
    host->setTooltip = [](const std::string& text) {
        if (AppDelegate* d = AppDelegate::shared()) d->showStatusText(text);
    };
    return host;
}

std::string AppDelegate::statusItemTitle() const {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return statusItemText(app_indicator_get_title);
#pragma GCC diagnostic pop
}

// The panel shows no tool tip for the status item: the text becomes its
// title, its label beside the icon (none when idle) and the menu's heading.
void AppDelegate::showStatusText(const std::string& text) {
    const bool idle = text == statusTitle;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (statusItem_) {
        app_indicator_set_title(statusItem_, text.c_str());
        app_indicator_set_label(statusItem_, idle ? "" : text.c_str(), "");
    }
#pragma GCC diagnostic pop
    if (headingItem_) gtk_menu_item_set_label(GTK_MENU_ITEM(headingItem_), text.c_str());
}

void AppDelegate::transcribeAudioFile() { transcribeAudioFile(TranscribeFileFlow::Options{}); }

void AppDelegate::transcribeAudioFile(TranscribeFileFlow::Options options) {
    TranscribeFileFlow::transcribeAudioFile(transcribeFileHost_, std::move(options));
}

// ---------------------------------------------------------------- staged text

void AppDelegate::commitStagedText() { commitStagedText(StagingBuffer::shared(), TextInjector::shared()); }

void AppDelegate::commitStagedText(StagingBuffer& buffer, TextInjector& injector,
                                   std::function<void(const InjectionOutcome&)> completion) {
    // A second commit while one is landing would insert the same text twice.
    if (commitInFlight_) return;
    const std::vector<StagingEntry> entries = buffer.allEntries();
    const std::string text = StagingBuffer::compose(entries, StagingJoiner::blankLine);
    menuNeedsUpdate();
    if (text.empty()) {
        IndicatorWindowController::shared().updateState(IndicatorMode::error("Nothing staged yet", std::nullopt));
        return;
    }
    // The entries stay staged until the insertion is confirmed, so a failed
    // paste loses nothing; what was staged meanwhile stays too.
    std::vector<std::string> ids;
    for (const auto& entry : entries) ids.push_back(entry.id);
    commitInFlight_ = true;
    injector.inject(text, true, [&buffer, ids, completion](InjectionOutcome outcome) {
        AppDelegate* d = AppDelegate::shared();
        if (d) d->commitInFlight_ = false;
        if (auto message = DictationController::insertionFailureMessage(outcome, /*textStaysStaged=*/true)) {
            IndicatorWindowController::shared().updateState(IndicatorMode::error(*message, std::nullopt));
            SoundCues::shared().play(SoundCue::error);
        } else {
            buffer.take(ids, StagingJoiner::blankLine);
            // An open hub lists what is still staged.
            HubWindowController::shared().stagingChanged();
        }
        if (d) d->menuNeedsUpdate();
        if (completion) completion(outcome);
    });
}

void AppDelegate::quitApp() {
    if (onQuit) onQuit();
}

void AppDelegate::runUntilQuit() {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    auto quitLoop = +[](gpointer l) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(l));
        return G_SOURCE_CONTINUE;
    };
    const guint onInterrupt = g_unix_signal_add(SIGINT, quitLoop, loop);
    const guint onTerminate = g_unix_signal_add(SIGTERM, quitLoop, loop);
    onQuit = [loop] { g_main_loop_quit(loop); };
    g_main_loop_run(loop);
    onQuit = nullptr;
    g_source_remove(onInterrupt);
    g_source_remove(onTerminate);
    g_main_loop_unref(loop);
    applicationWillTerminate();
}

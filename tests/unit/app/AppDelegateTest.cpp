#include "App/AppDelegate.h"

#include <gtest/gtest.h>

#include "support/RequireService.h"
#include "support/PrivateDisplay.h"

#include <gtk/gtk.h>

#include <fstream>

#include "Base/AppPaths.h"
#include "App/AutoStartManager.h"
#include "Base/CommandLineTool.h"
#include "Platform/Bundle.h"
#include "Platform/FileIO.h"
#include "Platform/Queues.h"
#include "Text/Vocabulary.h"
#include "Text/StagingBuffer.h"
#include "UI/IndicatorWindow.h"
#include "UI/OnboardingCatalog.h"
#include "Update/UpdateChecker.h"
#include "support/TempDir.h"
#include "unit/cli/CLIRun.h"

namespace fs = std::filesystem;

namespace {
// Parses a command line the way a shell does and answers its words.
std::vector<std::string> shellWords(const std::string& line) {
    gint argc = 0;
    gchar** argv = nullptr;
    std::vector<std::string> words;
    if (g_shell_parse_argv(line.c_str(), &argc, &argv, nullptr)) {
        for (int i = 0; i < argc; ++i) words.emplace_back(argv[i]);
        g_strfreev(argv);
    }
    return words;
}

struct Isolated {
    TempDir dir;
    ScopedEnv env{AppPaths::selfTestStateDirVariable, dir.path.string()};
};
}  // namespace

TEST(AutoStartEntry, ExecKeyQuotesThePathSoTheDesktopReadsItBack) {
    const char* paths[] = {"/usr/bin/Ondira", "/opt/My Apps/Ondira", "/home/o'neil/Ondira",
                           "/tmp/a$b/`x`/\"q\"/back\\slash/Ondira"};
    for (const char* path : paths) {
        auto entry = AutoStartManager::desktopEntry(path);
        ASSERT_TRUE(entry) << path;
        GKeyFile* kf = g_key_file_new();
        ASSERT_TRUE(g_key_file_load_from_data(kf, entry->c_str(), entry->size(), G_KEY_FILE_NONE, nullptr));
        gchar* exec = g_key_file_get_string(kf, "Desktop Entry", "Exec", nullptr);
        ASSERT_NE(exec, nullptr);
        EXPECT_EQ(shellWords(exec), std::vector<std::string>{path}) << "Exec=" << exec;
        g_free(exec);
        g_key_file_free(kf);
    }
    EXPECT_EQ(AutoStartManager::execArgument("/opt/100%/Ondira"), "/opt/100%%/Ondira");
    EXPECT_FALSE(AutoStartManager::execArgument("/opt/line\nbreak"));
}

TEST(AutoStartEntry, EnablingWritesTheEntryAndDisablingRemovesIt) {
    Isolated isolated;
    auto& manager = AutoStartManager::shared();
    const fs::path entry = AutoStartManager::entryPath();
    EXPECT_EQ(entry, isolated.dir.path / ".config/autostart/com.ondira.app.desktop");
    EXPECT_FALSE(manager.isEnabled());
    EXPECT_FALSE(manager.setEnabled(true));
    EXPECT_TRUE(manager.isEnabled());
    EXPECT_NE(platform::readFile(entry)->find("Exec=" + platform::Bundle::executablePath().string()), std::string::npos);
    // An entry the user switched off in the desktop's settings counts as off.
    platform::writeInPlace(entry, "[Desktop Entry]\nExec=x\nHidden=true\n");
    EXPECT_FALSE(manager.isEnabled());
    EXPECT_FALSE(manager.setEnabled(false)) << "already off: nothing to do";
    EXPECT_TRUE(fs::exists(entry));
    EXPECT_FALSE(manager.setEnabled(true));
    EXPECT_TRUE(manager.isEnabled());
    EXPECT_FALSE(manager.setEnabled(false));
    EXPECT_FALSE(fs::exists(entry));
}

TEST(CommandLineTool, TheHandCommandQuotesBothPathsAndNeverUsesSudo) {
    const std::string odd = "/tmp/it's a build/Ondira";
    const std::string cmd = AppDelegate::cliInstallCommand(odd, "/home/a b/.local/bin/ondira");
    EXPECT_EQ(shellWords(cmd), (std::vector<std::string>{"ln", "-s", odd, "/home/a b/.local/bin/ondira"}));
    EXPECT_EQ(AppDelegate::cliInstallCommand("/usr/bin/Ondira", "/h/.local/bin/ondira"),
              "ln -s /usr/bin/Ondira /h/.local/bin/ondira");
    EXPECT_EQ(cmd.find("sudo"), std::string::npos);
}

TEST(CommandLineTool, LinkReplacesWhatIsThereAndAReadOnlyDirectoryIsNotTouched) {
    TempDir dir;
    const fs::path link = dir / "bin/ondira";
    EXPECT_FALSE(AppDelegate::installCommandLineLink("/usr/bin/first", link));
    EXPECT_EQ(fs::read_symlink(link), "/usr/bin/first");
    EXPECT_FALSE(AppDelegate::installCommandLineLink("/usr/bin/second", link));
    EXPECT_EQ(fs::read_symlink(link), "/usr/bin/second");
    fs::remove(link);
    std::ofstream(link) << "a plain file";
    EXPECT_FALSE(AppDelegate::installCommandLineLink("/usr/bin/third", link));
    EXPECT_EQ(fs::read_symlink(link), "/usr/bin/third");

    // A place that can't hold the link (its "directory" is a file): nothing
    // is attempted and there is no error to quote.
    std::ofstream(dir / "not-a-dir") << "x";
    EXPECT_EQ(AppDelegate::installCommandLineLink("/usr/bin/x", dir / "not-a-dir/ondira"), std::string());
}

// What the texts tell the user to type must exist: the program by its PATH
// name only where PATH finds it under that name, else by its path.
TEST(CommandLineTool, TextsNameTheCommandThatRunsAndSayWhenTheLinkFolderIsNotOnPath) {
    TempDir home;
    const fs::path bundle = home / "src/build/Ondira.bundle";
    fs::create_directories(bundle);
    const fs::path program = bundle / "Ondira";
    std::ofstream(program) << "#!/bin/sh\n";
    const fs::path link = home / ".local/bin/ondira";
    const fs::path other = home / "other/bin";
    fs::create_directories(other);
    std::ofstream(other / "ondira") << "someone else's";
    const std::string linkFolder = (home / ".local/bin").string();

    struct Case {
        const char* what;
        bool linked;
        std::string path;
        std::string command;
        bool onPath;
    };
    const Case cases[] = {
        {"build tree, nothing linked", false, "/usr/bin:/bin", "~/src/build/Ondira.bundle/Ondira", false},
        {"linked, folder not on PATH", true, "/usr/bin:/bin", "~/.local/bin/ondira", false},
        {"linked, folder on PATH", true, "/usr/bin:" + linkFolder, "ondira", true},
        {"another ondira comes first on PATH", true, other.string() + ":" + linkFolder, "~/.local/bin/ondira", false},
    };
    for (const auto& c : cases) {
        std::error_code ec;
        fs::remove(link, ec);
        if (c.linked) {
            fs::create_directories(link.parent_path());
            fs::create_symlink(program, link);
        }
        const auto got = CommandLineTool::invocation(program, c.path, link, home.path);
        EXPECT_EQ(got.command, c.command) << c.what;
        EXPECT_EQ(got.onPath, c.onPath) << c.what;
    }

    // The tour names that command, as code.
    for (const auto& h : OnboardingCatalog::featureHighlights("~/.local/bin/ondira"))
        EXPECT_EQ(h.detail.find("`ondira"), std::string::npos) << h.title << ": " << h.detail;
    EXPECT_EQ(OnboardingCatalog::markup("Run `x <y> help` & go"), "Run <tt>x &lt;y&gt; help</tt> &amp; go");
    EXPECT_EQ(OnboardingCatalog::markup("odd ` one"), "odd <tt> one</tt>");

    // Installed into a folder that is not on PATH: the text says so and
    // gives the path that works.
    {
        ScopedEnv at(AppPaths::selfTestStateDirVariable, home.path.string());
        const std::string off = AppDelegate::cliInstalledText(link, "/usr/bin:/bin");
        EXPECT_NE(off.find("~/.local/bin is not on your PATH"), std::string::npos) << off;
        EXPECT_NE(off.find("\u201C~/.local/bin/ondira help\u201D"), std::string::npos) << off;
        const std::string on = AppDelegate::cliInstalledText(link, "/usr/bin:" + linkFolder);
        EXPECT_NE(on.find("run \u201Condira\u201D from any"), std::string::npos) << on;
        EXPECT_EQ(on.find("not on your PATH"), std::string::npos) << on;
    }
}

TEST(UpdateAlert, SaysWhatTheCheckFoundAndOffersOnlyASecureDownload) {
    EXPECT_FALSE(AppDelegate::updateAlert(UpdateStatus::idle()));
    EXPECT_FALSE(AppDelegate::updateAlert(UpdateStatus::checking()));
    auto upToDate = AppDelegate::updateAlert(UpdateStatus::upToDate("2.0.0"));
    ASSERT_TRUE(upToDate);
    EXPECT_EQ(upToDate->message, "Ondira is up to date");
    EXPECT_NE(upToDate->informative.find("2.0.0"), std::string::npos);
    EXPECT_FALSE(upToDate->downloadURL);

    ReleaseManifest manifest;
    manifest.version = "2.1.0";
    manifest.downloadURL = "https://ondira.app/download/Ondira-2.1.0.tar.gz";
    manifest.releaseNotes = "Faster start-up.";
    auto available = AppDelegate::updateAlert(UpdateStatus::updateAvailable(manifest, "2.0.0"));
    ASSERT_TRUE(available);
    EXPECT_EQ(available->message, "Ondira 2.1.0 is available");
    EXPECT_NE(available->informative.find("Faster start-up."), std::string::npos);
    EXPECT_EQ(available->downloadURL, manifest.downloadURL);
    manifest.downloadURL = "http://ondira.app/download/plain";
    EXPECT_FALSE(AppDelegate::updateAlert(UpdateStatus::updateAvailable(manifest, "2.0.0"))->downloadURL);

    auto failed = AppDelegate::updateAlert(UpdateStatus::failed("no network"));
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->informative, "no network");
}

TEST(LaunchSweep, OnlyLeftoverRecordingsAreDeleted) {
    TempDir dir;
    const struct {
        const char* name;
        bool removed;
    } table[] = {{"ondira_rec_1234.wav", true},
                 {"ondira_rec_.wav", true},
                 {"ondira_rec_1234.txt", false},
                 {"take.wav", false},
                 {"xondira_rec_1.wav", false}};
    for (const auto& row : table) std::ofstream(dir / row.name) << "x";
    AppDelegate::sweepLeftoverRecordings(dir.path);
    for (const auto& row : table) EXPECT_EQ(!fs::exists(dir / row.name), row.removed) << row.name;
    AppDelegate::sweepLeftoverRecordings(dir / "missing");  // a listing failure is silent
}

TEST(StatusIcon, IsDrawnWithTheGradientFrameAndTheDarkCentre) {
    TempDir dir;
    ASSERT_TRUE(AppDelegate::drawStatusIcon(dir / "icon.png", 22));
    GdkPixbuf* icon = gdk_pixbuf_new_from_file((dir / "icon.png").c_str(), nullptr);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(gdk_pixbuf_get_width(icon), 22);
    const int n = gdk_pixbuf_get_n_channels(icon), stride = gdk_pixbuf_get_rowstride(icon);
    const guchar* px = gdk_pixbuf_get_pixels(icon);
    auto at = [&](int x, int y) { return px + y * stride + x * n; };
    const guchar* centre = at(11, 11);
    EXPECT_LT(centre[0] + centre[1] + centre[2], 60);
    const guchar* corner = at(0, 0);
    EXPECT_EQ(corner[3], 0) << "outside the rounded frame stays transparent";
    const guchar* topLeft = at(4, 4);  // the pink end of the gradient
    EXPECT_GT(topLeft[0], 200);
    g_object_unref(icon);
}

class StatusMenuTest : public ::testing::Test {
protected:
    void SetUp() override {
        ONDIRA_REQUIRE_SERVICE(usePrivateDisplay() && gtk_init_check(nullptr, nullptr), "no X display");
        platform::MainQueue::markCurrentThreadAsMain();
        platform::Bundle::overrideBundleDirectory(fs::path(ONDIRA_BUNDLE_DIR));
        AppPaths::userDefaults()->setBool(AppDelegate::stagingModeKey, true);
        delegate = new AppDelegate();
    }
    void TearDown() override { platform::Bundle::overrideBundleDirectory(std::nullopt); }

    struct Row {
        std::string title;
        bool enabled;
        std::optional<bool> checked;
        bool operator==(const Row&) const = default;
    };
    std::vector<Row> rows() {
        std::vector<Row> out;
        GList* children = gtk_container_get_children(GTK_CONTAINER(delegate->menu()));
        for (GList* l = children; l; l = l->next) {
            GtkWidget* w = GTK_WIDGET(l->data);
            if (GTK_IS_SEPARATOR_MENU_ITEM(w)) {
                out.push_back({"---", false, std::nullopt});
                continue;
            }
            std::optional<bool> checked;
            if (GTK_IS_CHECK_MENU_ITEM(w)) checked = gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(w));
            out.push_back({gtk_menu_item_get_label(GTK_MENU_ITEM(w)), gtk_widget_get_sensitive(w) != 0, checked});
        }
        g_list_free(children);
        return out;
    }

    Isolated isolated;
    AppDelegate* delegate = nullptr;
};

TEST_F(StatusMenuTest, TheMenuListsEveryItemInOrderWithItsStateAndTheHeadingTakesTheToolTip) {
    const std::vector<Row> expected = {
        {"Ondira — AI Dictation", false, {}},
        {"---", false, {}},
        {"Open Dashboard Hub", true, {}},
        {"Toggle Dictation (Right Ctrl)", true, {}},
        {"Setup & Permissions…", true, {}},
        {"Export Support Bundle…", true, {}},
        {"Transcribe Audio File…", true, {}},
        {"Install Command Line Tool…", true, {}},
        {"Check for Updates…", true, {}},
        {"---", false, {}},
        {"Stage Dictations Instead of Pasting", true, true},
        {"Commit Staged Text (nothing staged)", false, {}},
        {"---", false, {}},
        {"Launch at Login", true, false},
        {"---", false, {}},
        {"Quit Ondira", true, {}},
    };
    const auto actual = rows();
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(actual[i].title, expected[i].title) << "row " << i;
        EXPECT_EQ(actual[i].enabled, expected[i].enabled) << expected[i].title;
        EXPECT_EQ(actual[i].checked, expected[i].checked) << expected[i].title;
    }
}

TEST_F(StatusMenuTest, TheHotkeyTitleFollowsAChangeMadeElsewhere) {
    AppPaths::writeConfigValue("hotkey", "f14");
    gtk_widget_show(delegate->menu());  // what opening the menu does
    EXPECT_STREQ(gtk_menu_item_get_label(GTK_MENU_ITEM(delegate->toggleDictationMenuItem())), "Toggle Dictation (F14)");
    gtk_widget_hide(delegate->menu());

    // Without the menu opening, a changed config.json retitles it as well.
    // The panel export shows and hides the menu once by itself, soon after
    // the status item is made, and that would retitle it through the
    // opening; so what the menu does on opening is held back meanwhile.
    const guint opened = g_signal_lookup("show", GTK_TYPE_WIDGET);
    // (GLib blocks only what matches a closure, function or data as well.)
    const auto openingHandlers = GSignalMatchType(G_SIGNAL_MATCH_ID | G_SIGNAL_MATCH_DATA);
    ASSERT_GE(g_signal_handlers_block_matched(delegate->menu(), openingHandlers, opened, 0, nullptr, nullptr, nullptr), 1u)
        << "the menu's reaction to opening is no longer found, so it can't be held back";
    AppPaths::writeConfigValue("hotkey", "altspace");
    platform::MainQueue::pump(5, [&] {
        return std::string(gtk_menu_item_get_label(GTK_MENU_ITEM(delegate->toggleDictationMenuItem()))) ==
               "Toggle Dictation (Alt + Space)";
    });
    EXPECT_STREQ(gtk_menu_item_get_label(GTK_MENU_ITEM(delegate->toggleDictationMenuItem())),
                 "Toggle Dictation (Alt + Space)");
    g_signal_handlers_unblock_matched(delegate->menu(), openingHandlers, opened, 0, nullptr, nullptr, nullptr);
}

// The watch that retitles the menu is the one that brings what the command
// line changed into the running app.
TEST_F(StatusMenuTest, ATermAddedFromATerminalAppliesWhileTheAppRuns) {
    auto& vocabulary = Vocabulary::shared();
    vocabulary.reloadDictionary();
    ASSERT_EQ(vocabulary.apply("ask zorbly"), "ask zorbly");
    ASSERT_EQ(runOndira("dict add zorbly Zorblax").status, 0);
    platform::MainQueue::pump(5, [&] { return vocabulary.apply("ask zorbly") != "ask zorbly"; });
    EXPECT_EQ(vocabulary.apply("ask zorbly"), "ask Zorblax");
    // The shared dictionary goes back to this test's empty one.
    fs::remove(AppPaths::dictionaryFile());
    vocabulary.reloadDictionary();
}

TEST_F(StatusMenuTest, ChoosingTheCheckItemsFlipsTheirSettingAndTwiceRestoresIt) {
    auto item = GTK_MENU_ITEM(delegate->stagingModeMenuItem());
    gtk_menu_item_activate(item);
    EXPECT_FALSE(AppPaths::userDefaults()->boolValue(AppDelegate::stagingModeKey));
    EXPECT_FALSE(gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(item)));
    gtk_menu_item_activate(item);
    EXPECT_TRUE(AppPaths::userDefaults()->boolValue(AppDelegate::stagingModeKey));
    EXPECT_TRUE(gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(item)));

    auto login = GTK_MENU_ITEM(delegate->launchAtLoginMenuItem());
    gtk_menu_item_activate(login);
    EXPECT_TRUE(fs::exists(AutoStartManager::entryPath()));
    EXPECT_TRUE(gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(login)));
    gtk_menu_item_activate(login);
    EXPECT_FALSE(fs::exists(AutoStartManager::entryPath()));
    EXPECT_FALSE(gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(login)));
}

TEST_F(StatusMenuTest, AnErrorRemedyIsHeldOnlyUntilTheNextIndicatorState) {
    auto& indicator = IndicatorWindowController::shared();
    indicator.updateState(
        IndicatorMode::error("Accessibility is off", ErrorRemedy::openSystemPane(SettingsPane::accessibility)));
    platform::MainQueue::pump(5, [&] { return delegate->activeErrorRemedy().has_value(); });
    EXPECT_EQ(delegate->activeErrorRemedy(), ErrorRemedy::openSystemPane(SettingsPane::accessibility));
    indicator.updateState(IndicatorMode::idle());
    platform::MainQueue::pump(5, [&] { return !delegate->activeErrorRemedy().has_value(); });
    EXPECT_FALSE(delegate->activeErrorRemedy());
}

// The tray icon tells a take is recording: the recording icon from the
// indicator's recording state until any other state.
TEST_F(StatusMenuTest, TheStatusIconShowsARecordingTakeAndReturnsAfter) {
    auto& indicator = IndicatorWindowController::shared();
    EXPECT_EQ(delegate->statusIconName(), AppDelegate::idleIconName);
    for (const IndicatorMode& after : {IndicatorMode::processing(), IndicatorMode::idle()}) {
        indicator.updateState(IndicatorMode::recording(0.3f, DictationMode::standard));
        platform::MainQueue::pump(5, [&] { return delegate->statusIconName() == AppDelegate::recordingIconName; });
        EXPECT_EQ(delegate->statusIconName(), AppDelegate::recordingIconName);
        indicator.updateState(after);
        platform::MainQueue::pump(5, [&] { return delegate->statusIconName() == AppDelegate::idleIconName; });
        EXPECT_EQ(delegate->statusIconName(), AppDelegate::idleIconName);
    }
    // The recording icon is the same frame with a red centre.
    TempDir dir;
    ASSERT_TRUE(AppDelegate::drawStatusIcon(dir / "recording.png", 22, true));
    GdkPixbuf* icon = gdk_pixbuf_new_from_file((dir / "recording.png").c_str(), nullptr);
    ASSERT_NE(icon, nullptr);
    const guchar* centre = gdk_pixbuf_get_pixels(icon) + 11 * gdk_pixbuf_get_rowstride(icon) +
                           11 * gdk_pixbuf_get_n_channels(icon);
    EXPECT_GT(centre[0], 200);
    EXPECT_LT(centre[1], 80);
    g_object_unref(icon);
}

// Committing does nothing with nothing staged, so the item is off until an
// entry is staged, and off again once the commit has taken it.
TEST_F(StatusMenuTest, TheCommitItemIsEnabledOnlyWhileSomethingIsStaged) {
    GtkWidget* commit = delegate->stagingCommitMenuItem();
    auto& staging = StagingBuffer::shared();
    staging.clear();
    gtk_widget_show(delegate->menu());  // what opening the menu does
    gtk_widget_hide(delegate->menu());
    EXPECT_FALSE(gtk_widget_get_sensitive(commit));
    ASSERT_TRUE(staging.append("one staged line", true, std::chrono::system_clock::now()).isAppended());
    gtk_widget_show(delegate->menu());
    gtk_widget_hide(delegate->menu());
    EXPECT_TRUE(gtk_widget_get_sensitive(commit));
    EXPECT_STREQ(gtk_menu_item_get_label(GTK_MENU_ITEM(commit)), "Commit Staged Text (1 entry)");
    staging.clear();
    gtk_widget_show(delegate->menu());
    gtk_widget_hide(delegate->menu());
    EXPECT_FALSE(gtk_widget_get_sensitive(commit));
}

// The hub stages, edits and commits without the menu being opened, and a
// panel draws an exported menu without telling us: the item follows anyway.
TEST_F(StatusMenuTest, TheCommitItemFollowsChangesTheMenuDidNotMake) {
    GtkWidget* commit = delegate->stagingCommitMenuItem();
    auto& staging = StagingBuffer::shared();
    staging.clear();
    auto label = [&] { return std::string(gtk_menu_item_get_label(GTK_MENU_ITEM(commit))); };
    ASSERT_TRUE(staging.append("first", true, std::chrono::system_clock::now()).isAppended());
    ASSERT_TRUE(staging.append("second", true, std::chrono::system_clock::now()).isAppended());
    platform::MainQueue::pump(5, [&] { return label() == "Commit Staged Text (2 entries)"; });
    EXPECT_EQ(label(), "Commit Staged Text (2 entries)");
    EXPECT_TRUE(gtk_widget_get_sensitive(commit));
    staging.remove(staging.allEntries().front().id);
    platform::MainQueue::pump(5, [&] { return label() == "Commit Staged Text (1 entry)"; });
    EXPECT_EQ(label(), "Commit Staged Text (1 entry)");
    staging.takeAll(StagingJoiner::space);
    platform::MainQueue::pump(5, [&] { return !gtk_widget_get_sensitive(commit); });
    EXPECT_EQ(label(), "Commit Staged Text (nothing staged)");
    EXPECT_FALSE(gtk_widget_get_sensitive(commit));
}

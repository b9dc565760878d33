// "Transcribe Audio File…" from the tray menu, as a user goes through it:
// the menu item, the desktop's open dialog answered with the keyboard, the
// progress window, the save dialog answered the same way and the notice.
// Like a launch, the whole flow says nothing that GTK, GDK or GObject would
// only say about a fault of the program: no CRITICAL, no WARNING.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "Platform/FileIO.h"
#include "UI/TranscribeFileFlow.h"
#include "dictation/DelegateFixture.h"
#include "support/Speech.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// What GTK, GDK, GLib and GObject report at CRITICAL or WARNING level while
// the test runs; each is still printed as it would be.
class WarningRecorder {
public:
    WarningRecorder() {
        for (const char* domain : kDomains)
            handlers_.push_back(g_log_set_handler(
                domain, GLogLevelFlags(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION),
                record, this));
    }
    ~WarningRecorder() {
        for (std::size_t i = 0; i < handlers_.size(); ++i) g_log_remove_handler(kDomains[i], handlers_[i]);
    }
    const std::vector<std::string>& messages() const { return messages_; }

private:
    static constexpr const char* kDomains[] = {"Gtk", "Gdk", "GLib-GObject", "GLib", "GLib-GIO"};
    static void record(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer self) {
        static_cast<WarningRecorder*>(self)->messages_.push_back(std::string(domain ? domain : "") +
                                                                 (level & G_LOG_LEVEL_CRITICAL ? "-CRITICAL: " : "-WARNING: ") +
                                                                 (message ? message : ""));
        g_log_default_handler(domain, level, message, nullptr);
    }
    std::vector<guint> handlers_;
    std::vector<std::string> messages_;
};

// The one shown top-level window that `matches` accepts.
GtkWidget* shownWindow(const std::function<bool(GtkWidget*)>& matches) {
    GtkWidget* found = nullptr;
    GList* tops = gtk_window_list_toplevels();
    for (GList* l = tops; l && !found; l = l->next)
        if (gtk_widget_get_mapped(GTK_WIDGET(l->data)) && matches(GTK_WIDGET(l->data))) found = GTK_WIDGET(l->data);
    g_list_free(tops);
    return found;
}

GtkWidget* shownChooser(GtkFileChooserAction action) {
    return shownWindow([action](GtkWidget* w) {
        return GTK_IS_FILE_CHOOSER_DIALOG(w) && gtk_file_chooser_get_action(GTK_FILE_CHOOSER(w)) == action;
    });
}

GtkWidget* menuItemLabelled(GtkWidget* menu, const std::string& label) {
    GtkWidget* found = nullptr;
    GList* items = gtk_container_get_children(GTK_CONTAINER(menu));
    for (GList* l = items; l && !found; l = l->next) {
        const gchar* text = GTK_IS_MENU_ITEM(l->data) ? gtk_menu_item_get_label(GTK_MENU_ITEM(l->data)) : nullptr;
        if (text && label == text) found = GTK_WIDGET(l->data);
    }
    g_list_free(items);
    return found;
}

// Presses and releases a key on the display, as the keyboard does, with
// Shift held when the key's plain level is another symbol.
void press(KeySym sym) {
    Display* display = GDK_DISPLAY_XDISPLAY(gdk_display_get_default());
    const KeyCode code = XKeysymToKeycode(display, sym);
    const bool shifted = XkbKeycodeToKeysym(display, code, 0, 0) != sym;
    const KeyCode shift = XKeysymToKeycode(display, XK_Shift_L);
    if (shifted) XTestFakeKeyEvent(display, shift, True, CurrentTime);
    XTestFakeKeyEvent(display, code, True, CurrentTime);
    XTestFakeKeyEvent(display, code, False, CurrentTime);
    if (shifted) XTestFakeKeyEvent(display, shift, False, CurrentTime);
    XFlush(display);
}

// Types text of printable ASCII characters, whose key symbols are their codes.
void typeText(const std::string& text) {
    for (char c : text) {
        press(static_cast<KeySym>(static_cast<unsigned char>(c)));
        platform::MainQueue::pump(0.02);
    }
}

class TrayTranscribeFile : public DelegateFixture {
protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY")) {
            if (std::getenv("ONDIRA_IN_TEST_SESSION") || std::getenv("CI")) FAIL() << "no display in the test session";
            GTEST_SKIP() << "no X display";
        }
        ASSERT_TRUE(startDelegate());
    }
    void TearDown() override {
        if (delegate) delegate->applicationWillTerminate();
        DelegateFixture::TearDown();
    }
    bool pumpUntil(double seconds, const std::function<bool()>& until) {
        platform::MainQueue::pump(seconds, until);
        return until();
    }
    // Gives the dialog the keyboard and waits until it has it.
    bool focus(GtkWidget* dialog) {
        gtk_window_present(GTK_WINDOW(dialog));
        return pumpUntil(5, [dialog] { return gtk_window_has_toplevel_focus(GTK_WINDOW(dialog)); });
    }

    TempDir state;
    ScopedEnv isolated{AppPaths::selfTestStateDirVariable, state.path.string()};
};

}  // namespace

TEST_F(TrayTranscribeFile, TheWholeFlowFromTheMenuWritesNoWarning) {
    TempDir files;
    const fs::path speech = files / "meeting.wav";
    ASSERT_TRUE(testspeech::synthesize("please send the report to the team by friday", speech))
        << "flite is needed for the test speech";
    const fs::path saved = files / "meeting notes.txt";

    WarningRecorder warnings;
    GtkWidget* item = menuItemLabelled(delegate->menu(), "Transcribe Audio File\u2026");
    ASSERT_NE(item, nullptr) << "the tray menu has no Transcribe Audio File item";
    gtk_menu_item_activate(GTK_MENU_ITEM(item));

    // The open dialog, answered as a user does: the file's path typed (the
    // first "/" brings up the dialog's location entry), then Return.
    ASSERT_TRUE(pumpUntil(10, [] { return shownChooser(GTK_FILE_CHOOSER_ACTION_OPEN) != nullptr; }))
        << "no open dialog";
    GtkWidget* open = shownChooser(GTK_FILE_CHOOSER_ACTION_OPEN);
    ASSERT_TRUE(focus(open));
    platform::MainQueue::pump(0.5);
    typeText(speech.string());
    platform::MainQueue::pump(0.5);
    press(XK_Return);

    // Transcribed; the save dialog proposes the file's name as text.
    ASSERT_TRUE(pumpUntil(60, [] { return shownChooser(GTK_FILE_CHOOSER_ACTION_SAVE) != nullptr; }))
        << "no save dialog after the transcription";
    EXPECT_EQ(shownChooser(GTK_FILE_CHOOSER_ACTION_OPEN), nullptr) << "the open dialog is still shown";
    GtkWidget* save = shownChooser(GTK_FILE_CHOOSER_ACTION_SAVE);
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(save), files.path.c_str());
    gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(save), saved.filename().c_str());
    platform::MainQueue::pump(0.3);
    ASSERT_TRUE(focus(save));
    press(XK_Return);
    ASSERT_TRUE(pumpUntil(10, [&] { return fs::exists(saved); })) << "the transcript was not saved";
    EXPECT_FALSE(platform::readFile(saved).value_or("").empty());

    // The notice that says where it went, closed with its button.
    GtkWidget* notice = nullptr;
    ASSERT_TRUE(pumpUntil(10, [&] {
        notice = shownWindow([](GtkWidget* w) { return GTK_IS_MESSAGE_DIALOG(w); });
        return notice != nullptr;
    })) << "no notice that the transcript was saved";
    ASSERT_TRUE(focus(notice));
    press(XK_Return);
    EXPECT_TRUE(pumpUntil(5, [] { return !shownWindow([](GtkWidget* w) { return GTK_IS_MESSAGE_DIALOG(w); }); }));
    platform::MainQueue::pump(0.5);

    EXPECT_TRUE(warnings.messages().empty()) << [&] {
        std::string all;
        for (const auto& m : warnings.messages()) all += m + "\n";
        return all;
    }();
}

// Onboarding as a new user meets it on a stock desktop: assistive
// technologies off, so the setup window comes up at launch; its button
// switches them on; a real dictation with the hotkey lands in its field;
// finishing records the outcome and hands over to the hub.
#include "App/OnboardingWindow.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <gtk/gtk.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <sstream>

#include "UI/HubWindowController.h"
#include "App/RevocationMonitor.h"
#include "Base/FaultLog.h"
#include "Platform/FileIO.h"
#include "Platform/SystemReadiness.h"
#include "Text/VoiceCommandCatalog.h"
#include "dictation/DelegateFixture.h"
#include "support/SoundLock.h"
#include "support/Speech.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

const std::string kPhrase = "please send the report to the team by friday";

bool inTestSession() { return std::getenv("ONDIRA_IN_TEST_SESSION") != nullptr || std::getenv("CI") != nullptr; }

bool setAssistiveTechnologies(bool on) {
    const std::string command = std::string(
                                    "gdbus call --session --dest org.a11y.Bus --object-path /org/a11y/bus "
                                    "--method org.freedesktop.DBus.Properties.Set org.a11y.Status IsEnabled \"<") +
                                (on ? "true" : "false") + ">\" >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

std::optional<bool> assistiveTechnologiesOn() { return platform::readiness::probeAccessibilityBus(1000).enabled; }

// A mapped top-level window of the display with this title, as any client sees it.
bool windowTitledIsShown(const std::string& title) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    bool found = false;
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) {
        for (unsigned i = 0; i < count && !found; ++i) {
            XWindowAttributes attributes;
            char* name = nullptr;
            if (XGetWindowAttributes(display, children[i], &attributes) && attributes.map_state == IsViewable &&
                XFetchName(display, children[i], &name) && name)
                found = title == name;
            if (name) XFree(name);
        }
        if (children) XFree(children);
    }
    XCloseDisplay(display);
    return found;
}

GtkWidget* findNamed(GtkWidget* root, const std::string& name) {
    if (name == gtk_widget_get_name(root)) return root;
    if (!GTK_IS_CONTAINER(root)) return nullptr;
    GList* children = gtk_container_get_children(GTK_CONTAINER(root));
    GtkWidget* found = nullptr;
    for (GList* l = children; l && !found; l = l->next) found = findNamed(GTK_WIDGET(l->data), name);
    g_list_free(children);
    return found;
}

// Whether a shown label of the window says what `wanted` looks for.
bool anyLabel(GtkWidget* root, const std::function<bool(const std::string&)>& wanted) {
    if (GTK_IS_LABEL(root) && gtk_widget_get_mapped(root) && wanted(gtk_label_get_text(GTK_LABEL(root)))) return true;
    if (!GTK_IS_CONTAINER(root)) return false;
    GList* children = gtk_container_get_children(GTK_CONTAINER(root));
    bool found = false;
    for (GList* l = children; l && !found; l = l->next) found = anyLabel(GTK_WIDGET(l->data), wanted);
    g_list_free(children);
    return found;
}

void key(KeySym sym, bool down) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return;
    XTestFakeKeyEvent(display, XKeysymToKeycode(display, sym), down ? True : False, CurrentTime);
    XFlush(display);
    XCloseDisplay(display);
}

bool waitFor(double seconds, const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline && !condition())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return condition();
}

std::string fileText(const fs::path& file) {
    auto bytes = platform::readFile(file);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

int linesWith(const fs::path& file, const std::string& a, const std::string& b) {
    std::istringstream in(fileText(file));
    int n = 0;
    for (std::string line; std::getline(in, line);)
        if (line.find(a) != std::string::npos && line.find(b) != std::string::npos) ++n;
    return n;
}

}  // namespace

class OnboardingFlow : public DelegateFixture {
protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY")) {
            if (inTestSession()) FAIL() << "no display in the test session";
            GTEST_SKIP() << "no X display";
        }
        ASSERT_TRUE(setAssistiveTechnologies(false)) << "the accessibility bus must answer in the test session";
        // The bus keeps the lasting setting in step with the switch and
        // answers that setting's change notice by setting the switch again;
        // the notice of this "off" must have passed before the button is
        // pressed, or it would switch the session off behind the button.
        ASSERT_TRUE(waitFor(10, [] {
            return std::system(
                       "gsettings get org.gnome.desktop.interface toolkit-accessibility 2>/dev/null | grep -q false") == 0;
        }));
        std::this_thread::sleep_for(std::chrono::seconds(1));
        ASSERT_EQ(assistiveTechnologiesOn(), false);
        ASSERT_TRUE(startDelegate());
        delegate->wireDictationRoad();
        hubsBefore = HubWindowController::shared().showCount();
        delegate->applicationDidFinishLaunching();
        ASSERT_TRUE(pumpUntil(15, [] { return windowTitledIsShown(OnboardingWindow::title); }))
            << "no window titled " << OnboardingWindow::title << " after launch with assistive technologies off";
        window = OnboardingWindow::shared().window();
    }
    void TearDown() override {
        if (delegate) delegate->applicationWillTerminate();
        // The session's other tests expect assistive technologies on.
        setAssistiveTechnologies(true);
        DelegateFixture::TearDown();
    }

    bool pumpUntil(double seconds, const std::function<bool()>& until) {
        platform::MainQueue::pump(seconds, until);
        return until();
    }
    GtkWidget* named(const std::string& name) {
        GtkWidget* w = findNamed(window, name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    void click(const std::string& name) {
        if (GtkWidget* w = named(name)) gtk_button_clicked(GTK_BUTTON(w));
        platform::MainQueue::pump(0.2);
    }
    // Saves what the window shows into the build tree.
    void screenshot(const std::string& name) {
        platform::MainQueue::pump(0.4);
        GdkWindow* gdkWindow = gtk_widget_get_window(window);
        ASSERT_NE(gdkWindow, nullptr);
        GdkPixbuf* pixels =
            gdk_pixbuf_get_from_window(gdkWindow, 0, 0, gdk_window_get_width(gdkWindow), gdk_window_get_height(gdkWindow));
        ASSERT_NE(pixels, nullptr);
        fs::create_directories(ONDIRA_SCREENSHOT_DIR);
        EXPECT_TRUE(gdk_pixbuf_save(pixels, (fs::path(ONDIRA_SCREENSHOT_DIR) / name).c_str(), "png", nullptr, nullptr));
        g_object_unref(pixels);
    }
    std::string labelText(const std::string& name) {
        GtkWidget* w = named(name);
        return w ? gtk_label_get_text(GTK_LABEL(w)) : "";
    }
    std::string fieldText() {
        GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(named("onboarding-proof-field")));
        GtkTextIter start, end;
        gtk_text_buffer_get_bounds(buffer, &start, &end);
        gchar* text = gtk_text_buffer_get_text(buffer, &start, &end, FALSE);
        std::string out = text ? text : "";
        g_free(text);
        return out;
    }
    OnboardingView& view() { return OnboardingWindow::shared().view(); }

    TempDir state;
    ScopedEnv isolated{AppPaths::selfTestStateDirVariable, state.path.string()};
    GtkWidget* window = nullptr;
    int hubsBefore = 0;
};

TEST_F(OnboardingFlow, TheAccessibilityButtonSwitchesAssistiveTechnologiesOnAndAFirstDictationFinishesSetup) {
    EXPECT_EQ(HubWindowController::shared().showCount(), hubsBefore) << "onboarding, not the hub, comes first";
    int width = 0, height = 0;
    gtk_window_get_size(GTK_WINDOW(window), &width, &height);
    EXPECT_EQ(width, OnboardingWindow::width);
    EXPECT_EQ(height, OnboardingWindow::height);
    EXPECT_FALSE(gtk_window_get_resizable(GTK_WINDOW(window)));

    // The rows tell the truth: the microphone and the model are there,
    // assistive technologies are off and the row offers to switch them on.
    ASSERT_TRUE(pumpUntil(10, [&] { return view().granted().count("accessibility") > 0; }));
    EXPECT_TRUE(view().granted().at("microphone"));
    EXPECT_TRUE(view().granted().at("speech"));
    EXPECT_FALSE(view().granted().at("accessibility"));
    EXPECT_EQ(labelText("onboarding-accessibility-status"), "Needs attention");
    ASSERT_TRUE(gtk_widget_get_visible(named("onboarding-accessibility-fix")));
    EXPECT_FALSE(gtk_widget_get_sensitive(named("onboarding-continue")));
    // The remedy command is shown whole: a line may break only at a space
    // of it, never inside a word (not after the hyphen of
    // "toolkit-accessibility"); and Copy puts exactly it on the clipboard.
    GtkWidget* command = named("onboarding-accessibility-command");
    ASSERT_NE(command, nullptr);
    const std::string commandText = gtk_label_get_text(GTK_LABEL(command));
    EXPECT_NE(commandText.find("toolkit-accessibility"), std::string::npos) << commandText;
    gtk_widget_queue_resize(command);
    platform::MainQueue::pump(0.3);
    std::vector<std::string> shownLines;
    for (GSList* l = pango_layout_get_lines_readonly(gtk_label_get_layout(GTK_LABEL(command))); l; l = l->next) {
        const auto* line = static_cast<PangoLayoutLine*>(l->data);
        const auto start = static_cast<std::size_t>(line->start_index);
        shownLines.push_back(commandText.substr(start, static_cast<std::size_t>(line->length)));
        if (start > 0) {
            EXPECT_EQ(commandText[start - 1], ' ') << "a line starts inside a word: " << shownLines.back();
        }
    }
    EXPECT_GE(shownLines.size(), 2u) << "the fixture command is meant to be wider than the window";
    ASSERT_TRUE(gtk_widget_get_visible(named("onboarding-accessibility-copy")));
    gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), "", -1);
    click("onboarding-accessibility-copy");
    gchar* copied = gtk_clipboard_wait_for_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD));
    EXPECT_EQ(copied ? std::string(copied) : std::string(), commandText);
    g_free(copied);
    screenshot("onboarding-1-assistive-technologies-off.png");

    click("onboarding-accessibility-fix");
    EXPECT_TRUE(pumpUntil(10, [] { return assistiveTechnologiesOn() == true; })) << "IsEnabled still false";
    ASSERT_TRUE(pumpUntil(10, [&] { return view().granted().at("accessibility"); })) << "the row was not probed again";
    EXPECT_EQ(labelText("onboarding-accessibility-status"), "\u2713 Ready");
    EXPECT_FALSE(gtk_widget_get_visible(named("onboarding-accessibility-fix")));
    EXPECT_TRUE(gtk_widget_get_sensitive(named("onboarding-continue")));
    screenshot("onboarding-2-all-ready.png");

    click("onboarding-continue");
    EXPECT_TRUE(view().showingHighlights());
    // The tour says where in a dictation the editing commands act.
    EXPECT_TRUE(anyLabel(window, [](const std::string& shown) {
        return shown.find(VoiceCommandCatalog::placementNote()) != std::string::npos;
    })) << "no label of the tour says " << VoiceCommandCatalog::placementNote();
    screenshot("onboarding-3-highlights.png");
    click("onboarding-try");
    ASSERT_EQ(view().page(), OnboardingView::Page::proof);
    EXPECT_FALSE(gtk_widget_get_sensitive(named("onboarding-finish"))) << "nothing proven yet";

    // The user's hotkey (Right Ctrl) held over real speech, into the window's own field.
    SoundLock soundLock;
    TempDir audio;
    const fs::path speech = audio / "speech.wav";
    ASSERT_TRUE(testspeech::synthesize(kPhrase, speech)) << "flite is needed for the test speech";
    gtk_window_present(GTK_WINDOW(window));
    platform::MainQueue::pump(0.5);
    key(XK_Control_R, true);
    platform::MainQueue::pump(0.6);
    GPid player = 0;
    gchar* argv[] = {const_cast<gchar*>("paplay"), const_cast<gchar*>(speech.c_str()), nullptr};
    ASSERT_TRUE(g_spawn_async(nullptr, argv, nullptr, GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr,
                              nullptr, &player, nullptr));
    int status = 0;
    pumpUntil(20, [&] { return waitpid(player, &status, WNOHANG) == player; });
    platform::MainQueue::pump(0.3);
    key(XK_Control_R, false);

    ASSERT_TRUE(pumpUntil(30, [&] { return view().proof().kind != DictationProofOutcome::Kind::waiting; }));
    ASSERT_EQ(view().proof().kind, DictationProofOutcome::Kind::success) << view().proof().text;
    const std::string heard = view().proof().text;
    EXPECT_GE(testspeech::wordsHeard(kPhrase, heard), 0.6) << heard;
    EXPECT_NE(labelText("onboarding-proof-status").find(heard), std::string::npos) << "the view shows the dictated text";
    EXPECT_TRUE(pumpUntil(5, [&] { return fieldText().find(heard) != std::string::npos; }))
        << "the text landed in the field: " << fieldText();
    EXPECT_TRUE(gtk_widget_get_sensitive(named("onboarding-finish")));
    screenshot("onboarding-4-proof-success.png");

    click("onboarding-finish");
    EXPECT_TRUE(OnboardingWindow::hasOnboarded());
    EXPECT_EQ(linesWith(FaultLog::faultsFileURL(), "onboarding_completed", "\"true\""), 1)
        << fileText(FaultLog::faultsFileURL());
    EXPECT_FALSE(OnboardingWindow::shared().isVisible());
    EXPECT_EQ(HubWindowController::shared().showCount(), hubsBefore + 1);
    EXPECT_FALSE(delegate->dictation().onDictationCompleted) << "after completion no dictation reaches the view";
    EXPECT_FALSE(delegate->dictation().onDictationFailed);
}

TEST_F(OnboardingFlow, ClosingTheWindowDuringTheProofStepSkipsItOnce) {
    view().showPage(OnboardingView::Page::proof);
    ASSERT_TRUE(delegate->dictation().onDictationCompleted && delegate->dictation().onDictationFailed)
        << "the proof step listens to dictations";
    gtk_window_close(GTK_WINDOW(window));
    platform::MainQueue::pump(0.3);
    EXPECT_FALSE(OnboardingWindow::shared().isVisible());
    EXPECT_FALSE(delegate->dictation().onDictationCompleted);
    EXPECT_FALSE(delegate->dictation().onDictationFailed);
    EXPECT_TRUE(OnboardingWindow::hasOnboarded());
    EXPECT_EQ(linesWith(FaultLog::faultsFileURL(), "onboarding_completed", "skipped"), 1)
        << fileText(FaultLog::faultsFileURL());
    EXPECT_EQ(HubWindowController::shared().showCount(), hubsBefore + 1);

    // Shown again from the menu, it opens on the permission rows, never
    // stranded on the step it was left on.
    delegate->openOnboarding();
    platform::MainQueue::pump(0.3);
    EXPECT_TRUE(OnboardingWindow::shared().isVisible());
    EXPECT_EQ(view().page(), OnboardingView::Page::permissions);
    EXPECT_FALSE(delegate->dictation().onDictationFailed) << "only the proof step listens to dictations";

    // A failed dictation offers another try.
    view().showPage(OnboardingView::Page::proof);
    ASSERT_TRUE(delegate->dictation().onDictationFailed);
    delegate->dictation().onDictationFailed(DictationController::noSpeechMessage);
    EXPECT_EQ(view().proof(), DictationProofOutcome::failure(DictationController::noSpeechMessage));
    EXPECT_TRUE(gtk_widget_get_visible(named("onboarding-retry")));
    EXPECT_NE(labelText("onboarding-proof-status").find(DictationController::noSpeechMessage), std::string::npos);
    screenshot("onboarding-5-proof-failed.png");
    click("onboarding-retry");
    EXPECT_EQ(view().proof(), DictationProofOutcome::waiting());

    // A lost grant brings the rows back with a banner naming it.
    RevocationMonitor::shared().setActiveRevocation(OndiraPermission(OndiraPermission::microphone));
    platform::MainQueue::pump(0.2);
    EXPECT_EQ(view().page(), OnboardingView::Page::permissions);
    EXPECT_TRUE(gtk_widget_get_visible(named("onboarding-revocation-banner")));
    EXPECT_EQ(labelText("onboarding-revocation-banner").rfind("Microphone is no longer available.", 0), 0u);
    EXPECT_FALSE(delegate->dictation().onDictationCompleted) << "only the proof step listens to dictations";
    RevocationMonitor::shared().setActiveRevocation(std::nullopt);
    EXPECT_FALSE(gtk_widget_get_visible(named("onboarding-revocation-banner")));
}

// Assistive technologies switched off while the user types elsewhere: the
// setup window comes up without taking their focus, names the real cause
// and what it stops (pasting goes on), and once the grant is back its
// button ends the repair instead of replaying the tour.
TEST_F(OnboardingFlow, ALostGrantIsShownTruthfullyWithoutTakingTheFocusAndDoneEndsTheRepair) {
    OnboardingWindow::markOnboarded();
    OnboardingWindow::shared().orderOut();
    ASSERT_TRUE(setAssistiveTechnologies(true));
    ASSERT_TRUE(pumpUntil(10, [] { return assistiveTechnologiesOn() == true; }));
    ASSERT_TRUE(pumpUntil(20, [&] {
        const auto& known = delegate->permissionWatch().lastKnownPermissionState();
        return known.count("accessibility") && known.at("accessibility");
    })) << "the watch never saw the grant";

    // The user's editor has the focus.
    GtkWidget* editor = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(editor), "editor");
    GtkWidget* entry = gtk_entry_new();
    gtk_container_add(GTK_CONTAINER(editor), entry);
    gtk_widget_show_all(editor);
    gtk_window_present(GTK_WINDOW(editor));
    ASSERT_TRUE(pumpUntil(10, [&] { return gtk_window_is_active(GTK_WINDOW(editor)); })) << "the editor never had the focus";

    ASSERT_TRUE(setAssistiveTechnologies(false));
    ASSERT_TRUE(pumpUntil(20, [] {
        return RevocationMonitor::shared().activeRevocation() == OndiraPermission(OndiraPermission::accessibility);
    })) << "the loss was not surfaced";
    ASSERT_TRUE(pumpUntil(10, [] { return windowTitledIsShown(OnboardingWindow::title); }));
    ASSERT_TRUE(pumpUntil(10, [&] { return labelText("onboarding-revocation-banner").find("switched off") != std::string::npos; }))
        << labelText("onboarding-revocation-banner");
    platform::MainQueue::pump(1.0);
    EXPECT_TRUE(gtk_window_is_active(GTK_WINDOW(editor))) << "the setup window took the focus from the editor";
    EXPECT_FALSE(gtk_window_is_active(GTK_WINDOW(window)));
    const std::string banner = labelText("onboarding-revocation-banner");
    EXPECT_EQ(banner.find("can't dictate"), std::string::npos) << banner;
    EXPECT_EQ(banner.find("turned off"), std::string::npos) << banner;
    EXPECT_NE(banner.find("still types and pastes"), std::string::npos) << banner;
    screenshot("onboarding-6-revoked-accessibility.png");

    ASSERT_TRUE(setAssistiveTechnologies(true));
    ASSERT_TRUE(pumpUntil(20, [&] { return view().granted().at("accessibility"); }));
    ASSERT_TRUE(pumpUntil(10, [&] { return gtk_widget_get_sensitive(named("onboarding-continue")); }));
    EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(named("onboarding-continue"))), "Done");
    const int hubs = HubWindowController::shared().showCount();
    click("onboarding-continue");
    EXPECT_FALSE(view().showingHighlights()) << "the repair replayed the feature tour";
    EXPECT_FALSE(OnboardingWindow::shared().isVisible());
    EXPECT_EQ(HubWindowController::shared().showCount(), hubs + 1);
    gtk_widget_destroy(editor);
}

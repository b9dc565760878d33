// Typing and pasting into a real GTK text field of another process, read
// back from the field itself, and into a real xterm, read back from its
// shell; the user's clipboard survives a paste; a password field or a
// foreign keyboard grab blocks insertion.
#include "Input/TextInjector.h"
#include "Platform/X11/DesktopInsertion.h"

#include <gtest/gtest.h>

#include "support/RequireService.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <glib.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <future>

#include "Platform/FileIO.h"
#include "Platform/Queues.h"
#include "Platform/Unicode.h"
#include "Platform/X11/X11ErrorTrap.h"
#include "Platform/X11/XTestKeyboard.h"
#include "support/SessionLock.h"
#include "support/TempDir.h"
#include "support/TextWindow.h"

namespace fs = std::filesystem;

namespace {

const std::string kUnicode = "Hello, naïve café — 東京 🎉! (x+y)=42 ~ \"quoted\"";

// A real xterm, named active and given the keyboard focus as a window
// manager would, running a shell that writes the first bytes it reads (as
// many as `expected` has) to a file. It exposes no accessible text, and its
// paste key is Shift+Insert, which pastes the PRIMARY selection.
struct XTerm {
    SessionLock activeWindow{"active-window"};
    TempDir dir{"ondira-xterm-"};
    fs::path received = dir / "received.txt";
    fs::path windowFile = dir / "window";
    GPid pid = 0;
    Display* display = XOpenDisplay(nullptr);
    Window textArea = None;
    explicit XTerm(const std::string& expected) {
        const std::string script =
            "printf %s \"$WINDOWID\" > \"$1.tmp\" && mv \"$1.tmp\" \"$1\"; stty -icanon; "
            "head -c \"$3\" > \"$2.tmp\" && mv \"$2.tmp\" \"$2\"";
        std::vector<std::string> args = {"xterm",
                                         "-u8",
                                         "-e",
                                         "sh",
                                         "-c",
                                         script,
                                         "sh",
                                         windowFile.string(),
                                         received.string(),
                                         std::to_string(expected.size())};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        g_spawn_async(nullptr, argv.data(), nullptr, GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH), nullptr,
                      nullptr, &pid, nullptr);
        platform::MainQueue::pump(15.0, [&] { return fs::exists(windowFile); });
        auto id = platform::readFile(windowFile);
        const Window window = id ? std::strtoul(std::string(id->begin(), id->end()).c_str(), nullptr, 10) : None;
        if (!display || window == None) return;
        platform::MainQueue::pump(5.0, [&] {
            XWindowAttributes attributes{};
            platform::X11ErrorTrap trap(display);
            const bool viewable = XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable;
            return trap.finish() == 0 && viewable;
        });
        // WM_CLASS is on the top-level window, the child of the root.
        const Window root = DefaultRootWindow(display);
        Window top = window;
        for (;;) {
            Window treeRoot = None, parent = None;
            Window* children = nullptr;
            unsigned int count = 0;
            if (!XQueryTree(display, top, &treeRoot, &parent, &children, &count)) return;
            if (children) XFree(children);
            if (parent == root || parent == None) break;
            top = parent;
        }
        XChangeProperty(display, root, XInternAtom(display, "_NET_ACTIVE_WINDOW", False), XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&top), 1);
        XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
        XSync(display, False);
        platform::MainQueue::pump(0.3);
        textArea = window;
    }
    ~XTerm() {
        if (display) {
            XDeleteProperty(display, DefaultRootWindow(display), XInternAtom(display, "_NET_ACTIVE_WINDOW", False));
            XCloseDisplay(display);
        }
        if (pid > 0) {
            kill(pid, SIGCONT);
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            g_spawn_close_pid(pid);
        }
    }
    bool ready() const { return textArea != None; }
    std::string shellReceived(double seconds) const {
        platform::MainQueue::pump(seconds, [&] { return fs::exists(received); });
        auto bytes = platform::readFile(received);
        return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("(nothing)");
    }
};

// What a paste into any application would get from a selection now.
std::string selectionText(GdkAtom which) {
    gchar* s = gtk_clipboard_wait_for_text(gtk_clipboard_get(which));
    std::string out = s ? s : "(nothing)";
    g_free(s);
    return out;
}

class DesktopInsertionTest : public ::testing::Test {
protected:
    // Other test processes use the real clipboard too; these cases check exactly what it holds.
    SessionLock clipboard{"clipboard"};
    void SetUp() override {
        ONDIRA_REQUIRE_SERVICE(std::getenv("DISPLAY"), "no X display");
        // As in the application: libatspi is used on the main thread only,
        // and the injector's questions go there.
        platform::MainQueue::markCurrentThreadAsMain();
    }
    std::shared_ptr<platform::DesktopInsertion> desktop = std::make_shared<platform::DesktopInsertion>();

    ClipboardSnapshot saveClipboard() {
        std::optional<ClipboardSnapshot> saved;
        desktop->snapshotClipboard([&](ClipboardSnapshot s) { saved = std::move(s); });
        platform::MainQueue::pump(5.0, [&] { return saved.has_value(); });
        return saved.value_or(ClipboardSnapshot{});
    }

    InjectionOutcome inject(TextInjector& injector, const std::string& text, bool paste, double seconds = 10.0) {
        std::optional<InjectionOutcome> outcome;
        injector.inject(text, paste, [&](InjectionOutcome o) { outcome = o; });
        platform::MainQueue::pump(seconds, [&] { return outcome.has_value(); });
        return outcome.value_or(InjectionOutcome::unconfirmed(false));
    }
};

TEST_F(DesktopInsertionTest, TypingLandsTheExactTextIncludingCharactersWithNoKey) {
    TextWindow window;
    ASSERT_TRUE(window.ready());
    desktop->typeText(kUnicode);
    EXPECT_TRUE(window.waitFor(kUnicode)) << window.text();
    EXPECT_EQ(desktop->focusedValue(), kUnicode);
}

TEST_F(DesktopInsertionTest, TypingManyDistinctCharactersOutlastsTheSpareKeys) {
    TextWindow window;
    ASSERT_TRUE(window.ready());
    std::string text;
    for (char32_t c = U'α'; c <= U'ω'; ++c) text += platform::text::fromUTF32(std::u32string(1, c));
    text += "ÅÉÎÕÜ";
    desktop->typeText(text);
    EXPECT_TRUE(window.waitFor(text)) << window.text();
}

// More distinct characters than spare key codes several times over, typed
// into an application that reads its keys long after they were sent (and
// translates them with the key map of that moment): each spare must keep its
// character until the application has read the keys typed with it.
TEST_F(DesktopInsertionTest, ABusyApplicationGetsEveryCharacterThroughTheSpareKeys) {
    TextWindow window({"--busy"});
    ASSERT_TRUE(window.ready());
    std::u32string letters;
    for (char32_t c = U'α'; c <= U'ω'; ++c) letters += c;
    for (char32_t c = U'а'; c <= U'я'; ++c) letters += c;
    for (char32_t c = U'А'; c <= U'Я'; ++c) letters += c;
    letters += U"ÅÉÎÕÜ";
    const std::string text = platform::text::fromUTF32(letters);
    desktop->typeText(text);
    EXPECT_TRUE(window.waitFor(text, 15.0)) << window.text();
}

TEST_F(DesktopInsertionTest, InjectorConfirmsTypedAndPastedText) {
    TextWindow window;
    ASSERT_TRUE(window.ready());
    TextInjector injector(desktop);
    EXPECT_EQ(inject(injector, "typed: " + kUnicode, false), InjectionOutcome::confirmed());
    EXPECT_EQ(inject(injector, " / pasted: " + kUnicode, true), InjectionOutcome::confirmed());
    EXPECT_TRUE(window.waitFor("typed: " + kUnicode + " / pasted: " + kUnicode)) << window.text();
}

TEST_F(DesktopInsertionTest, PasteGivesTheUserTheirClipboardBackWithEveryForm) {
    TextWindow window({"--clipboard"});
    ASSERT_TRUE(window.ready());
    ClipboardSnapshot before = saveClipboard();
    ASSERT_EQ(before.items.size(), 2u);
    TextInjector injector(desktop);
    EXPECT_EQ(inject(injector, kUnicode, true), InjectionOutcome::confirmed());
    EXPECT_TRUE(window.waitFor(kUnicode)) << window.text();
    ClipboardSnapshot after = saveClipboard();
    EXPECT_EQ(after.items, before.items);
    EXPECT_EQ(desktop->clipboardText(), "the user's own words");
}

// The user's copy and highlighted words belong to a text window; the
// dictation is pasted into a focused xterm, where Shift+Insert must paste it
// (Ctrl+Shift+V types ^V there). The injector can't read a terminal, so it
// soon asks for the user's selections back; a terminal busy elsewhere (here:
// stopped) reads its paste key later than that, and must still get the
// dictation, not the user's words. Both selections come back afterwards.
TEST_F(DesktopInsertionTest, APasteReachesTheShellInAnXtermAndTheUsersSelectionsComeBack) {
    struct Row {
        const char* name;
        std::string text;
        bool readsItsKeysLate;
    };
    for (const Row& row : {Row{"an idle xterm", "echo naïve café 42", false},
                           Row{"an xterm that reads its paste key late", "echo late but whole", true}}) {
        SCOPED_TRACE(row.name);
        TextWindow user({"--clipboard", "--primary"});
        ASSERT_TRUE(user.ready());
        XTerm xterm(row.text);
        ASSERT_TRUE(xterm.ready());
        TextInjector injector(desktop);
        if (row.readsItsKeysLate) kill(xterm.pid, SIGSTOP);
        EXPECT_EQ(inject(injector, row.text, true), InjectionOutcome::confirmed());
        platform::MainQueue::pump(0.3);
        kill(xterm.pid, SIGCONT);
        EXPECT_EQ(xterm.shellReceived(5.0), row.text);
        platform::MainQueue::pump(5.0,
                                  [] { return selectionText(GDK_SELECTION_PRIMARY) == "the user's highlighted words"; });
        EXPECT_EQ(selectionText(GDK_SELECTION_PRIMARY), "the user's highlighted words");
        EXPECT_EQ(selectionText(GDK_SELECTION_CLIPBOARD), "the user's own words");
    }
}

// Two dictations into an xterm, which shows no readable text: the second one
// still starts with a space, from what the first left in that window.
TEST_F(DesktopInsertionTest, TwoDictationsIntoAnXtermAreSeparatedByASpace) {
    XTerm xterm("The meeting is on tuesday Bring the report");
    ASSERT_TRUE(xterm.ready());
    TextInjector injector(desktop);
    EXPECT_EQ(inject(injector, "The meeting is on tuesday", true), InjectionOutcome::confirmed());
    EXPECT_EQ(inject(injector, "Bring the report", true), InjectionOutcome::confirmed());
    EXPECT_EQ(xterm.shellReceived(5.0), "The meeting is on tuesday Bring the report");
}

// Work queued on the main loop (the tray menu, the indicator's animation,
// an insertion's next step) must not run inside a reading of the focused
// field nor inside the saving of the user's clipboard, and neither may hold
// the main loop while another application answers: the reading answers at
// once, the saving hands its forms over later, from the main loop, even
// from an owner that takes 150 ms over each form.
TEST_F(DesktopInsertionTest, NoMainLoopWorkRunsInsideAReadingOrTheSavingOfTheClipboard) {
    TextWindow window({"--clipboard", "--slow-clipboard"});
    ASSERT_TRUE(window.ready());
    desktop->typeText("abc");
    ASSERT_TRUE(window.waitFor("abc"));
    using Finished = std::function<void()>;
    struct Row {
        const char* name;
        std::function<void(Finished)> start;
        std::vector<std::string> order;
    };
    const std::vector<Row> rows = {
        {"reading the focused field",
         [&](Finished finished) {
             EXPECT_EQ(desktop->focusedValue(), "abc");
             finished();
         },
         {"starts", "done", "returns", "other work"}},
        {"saving the user's clipboard",
         [&](Finished finished) {
             desktop->snapshotClipboard([finished](ClipboardSnapshot saved) {
                 EXPECT_EQ(saved.items.size(), 2u);
                 finished();
             });
         },
         {"starts", "returns", "other work", "done"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> order;
        platform::MainQueue::async([&] {
            order.push_back("starts");
            platform::MainQueue::async([&] { order.push_back("other work"); });
            row.start([&] { order.push_back("done"); });
            order.push_back("returns");
        });
        platform::MainQueue::pump(5.0, [&] { return order.size() == 4; });
        EXPECT_EQ(order, row.order);
    }
}

TEST_F(DesktopInsertionTest, APasswordFieldBlocksInsertion) {
    TextWindow window({"--password"});
    ASSERT_TRUE(window.ready());
    EXPECT_EQ(desktop->secureInputState(), SecureInputState::active);
    TextInjector injector(desktop);
    EXPECT_EQ(inject(injector, "secret", false), InjectionOutcome::blockedBySecureInput());
    platform::MainQueue::pump(0.3);
    EXPECT_EQ(window.text(), "");
}

// The take ends while the password field's application is stopped, so it
// can't say what its field is: nothing is typed or pasted, nothing lands
// once it runs again, and the user's clipboard and PRIMARY stay theirs.
TEST_F(DesktopInsertionTest, APasswordFieldOfAStoppedApplicationGetsNothingEvenOnceItRunsAgain) {
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
    const std::string secret = "My secret courts are purple monkey";
    for (const bool paste : {true, false}) {
        SCOPED_TRACE(paste ? "paste" : "typing");
        // A window another test opens may take the keyboard focus during the
        // take: then the take is tried again with a fresh field.
        std::unique_ptr<TextWindow> window;
        InjectionOutcome outcome;
        bool focusStayed = false;
        for (int attempt = 0; attempt < 3 && !focusStayed; ++attempt) {
            window = std::make_unique<TextWindow>(std::vector<std::string>{"--password", "--clipboard", "--primary"});
            ASSERT_TRUE(window->ready());
            TextInjector injector(desktop);
            kill(window->pid, SIGSTOP);
            outcome = inject(injector, secret, paste, platform::DesktopInsertion::secureInputBudget + 15.0);
            focusStayed = window->hasKeyboardFocus();
            kill(window->pid, SIGCONT);
        }
        ASSERT_TRUE(focusStayed) << "another window kept taking the keyboard focus";
        EXPECT_EQ(outcome.kind, InjectionOutcome::Kind::blockedBySecureInput) << outcome.description();
        // A key typed now reaches the field after anything sent before it.
        desktop->typeText("#");
        EXPECT_TRUE(window->waitFor("#")) << window->text();
        EXPECT_EQ(selectionText(GDK_SELECTION_CLIPBOARD), "the user's own words");
        EXPECT_EQ(selectionText(GDK_SELECTION_PRIMARY), "the user's highlighted words");
    }
}

TEST_F(DesktopInsertionTest, AnotherClientsKeyboardGrabIsSecureInput) {
    TextWindow window;
    ASSERT_TRUE(window.ready());
    EXPECT_EQ(desktop->secureInputState(), SecureInputState::inactive);
    Display* rival = XOpenDisplay(nullptr);
    ASSERT_NE(rival, nullptr);
    ASSERT_EQ(XGrabKeyboard(rival, DefaultRootWindow(rival), False, GrabModeAsync, GrabModeAsync, CurrentTime), GrabSuccess);
    XSync(rival, False);
    EXPECT_EQ(desktop->secureInputState(), SecureInputState::active);
    XUngrabKeyboard(rival, CurrentTime);
    XCloseDisplay(rival);
}

// Every road on which the desktop can't tell whether the field is a secret
// one ends in "could not tell" while the accessibility bus runs, and only
// with the bus off is the field's silence no reason to hold text back. The
// field's question is a double; the X server's is the real one where it says
// so. A field that answers within the budget is heard, however slowly.
TEST(DesktopInsertion, EveryRoadThatCannotTellEndsInCouldNotTellWhileTheBusRuns) {
    ONDIRA_REQUIRE_SERVICE(std::getenv("DISPLAY"), "no X display");
    platform::MainQueue::markCurrentThreadAsMain();
    using S = SecureInputState;
    constexpr double budget = 0.6;
    struct Row {
        const char* name;
        std::vector<S> fieldAnswers;  // one an asking; the last one repeats
        bool mainLoopHeld;            // the main thread never gets to the question
        const char* grab;             // "none", "another client", "no display"
        bool appAnswers;              // the focused application answers a ping
        bool busUp;
        S expected;
    };
    const std::vector<Row> rows = {
        {"an ordinary field", {S::inactive}, false, "none", true, true, S::inactive},
        {"a password field", {S::active}, false, "none", true, true, S::active},
        {"a field that never answers (timed out, or its role could not be read)",
         {S::couldNotTell},
         false,
         "none",
         true,
         true,
         S::couldNotTell},
        {"a slow field that answers on its third asking", {S::couldNotTell, S::couldNotTell, S::active}, false, "none",
         true, true, S::active},
        {"a slow ordinary field", {S::couldNotTell, S::inactive}, false, "none", true, true, S::inactive},
        {"a main loop that never gets to the question", {S::inactive}, true, "none", true, true, S::couldNotTell},
        {"a stalled application the bus never heard from", {S::inactive}, false, "none", false, true,
         S::couldNotTell},
        {"a display that can't be opened", {S::inactive}, false, "no display", true, true, S::couldNotTell},
        {"another client's keyboard grab, whatever the field", {S::couldNotTell}, false, "another client", true, true,
         S::active},
        {"the bus off: no field can tell", {S::couldNotTell}, false, "none", false, false, S::inactive},
        {"the bus off and a display that can't be opened", {S::couldNotTell}, false, "no display", true, false,
         S::couldNotTell},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto asked = std::make_shared<std::atomic<int>>(0);
        platform::DesktopInsertion::SecureInputQuestions questions;
        questions.passwordField = [row, asked] {
            EXPECT_TRUE(platform::MainQueue::isMainThread()) << "libatspi is only used on the main thread";
            const std::size_t n = static_cast<std::size_t>((*asked)++);
            return row.fieldAnswers[std::min(n, row.fieldAnswers.size() - 1)];
        };
        // The X server's own answer, asked here: the environment only
        // changes while no other thread of the test runs.
        std::optional<bool> grabbed = true;
        if (std::string(row.grab) != "another client") {
            ScopedEnv display{"DISPLAY", std::string(row.grab) == "no display" ? std::optional<std::string>(":9999")
                                                                               : std::getenv("DISPLAY")};
            grabbed = platform::XTestKeyboard().grabbedByAnotherClient();
        }
        questions.keyboardGrab = [grabbed] { return !grabbed ? S::couldNotTell : *grabbed ? S::active : S::inactive; };
        questions.focusedApplication = [&row](double) { return row.appAnswers ? S::inactive : S::couldNotTell; };
        questions.accessibilityBusUp = [&row] { return row.busUp; };
        platform::DesktopInsertion desktop(questions, budget);
        auto answer = std::async(std::launch::async, [&] { return desktop.secureInputState(); });
        if (row.mainLoopHeld) answer.wait();
        else platform::MainQueue::pump(budget + 5.0, [&] {
            return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        });
        ASSERT_EQ(answer.wait_for(std::chrono::seconds(0)), std::future_status::ready);
        EXPECT_EQ(answer.get(), row.expected);
        // The question left behind on the main loop goes now.
        platform::MainQueue::pump(0.2);
    }
}

TEST(DesktopInsertion, EachTerminalGetsItsOwnPasteKey) {
    using Key = platform::DesktopInsertion::PasteKey;
    const std::vector<std::pair<const char*, Key>> rows = {
        {"XTerm", Key::shiftInsertPrimary},         {"UXTerm", Key::shiftInsertPrimary},
        {"URxvt", Key::shiftInsertPrimary},         {"Rxvt", Key::shiftInsertPrimary},
        {"org.gnome.Terminal", Key::controlShiftV}, {"kitty", Key::controlShiftV},
        {"org.gnome.gedit", Key::controlV},         {"firefox", Key::controlV}};
    for (const auto& [id, key] : rows) EXPECT_EQ(platform::DesktopInsertion::pasteKey(id), key) << id;
}

TEST(DesktopInsertion, TerminalsAreKnownByIdOrClass) {
    for (const char* id : {"org.gnome.Terminal", "xfce4-terminal", "kitty", "Alacritty", "org.gnome.Console", "XTerm"})
        EXPECT_TRUE(platform::DesktopInsertion::isTerminal(id)) << id;
    for (const char* id : {"org.gnome.gedit", "firefox", "stterm-like-editor", ""})
        EXPECT_FALSE(platform::DesktopInsertion::isTerminal(id)) << id;
}

}  // namespace

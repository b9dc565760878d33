#include "Platform/FrontmostApp.h"

// GoogleTest before Xlib: Xlib's None macro would break GoogleTest's own None type.
#include <gtest/gtest.h>

#include "support/RequireService.h"
#include <unistd.h>

#include <cstring>
#include <fstream>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "support/SessionLock.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// A window of our own on the test display, made the "active" one by setting
// the root window's _NET_ACTIVE_WINDOW as a window manager would (the test
// display runs none).
class FrontmostAppTest : public ::testing::Test {
protected:
    // Every case sets the display's one active window: cases in parallel
    // processes would read each other's window.
    SessionLock activeWindowLock{"active-window"};
    Display* display = nullptr;
    Window root = 0;
    TempDir dataHome{"ondira-apps-"};
    TempDir dataDirs{"ondira-sysapps-"};
    ScopedEnv home{"XDG_DATA_HOME", dataHome.path.string()};
    ScopedEnv dirs{"XDG_DATA_DIRS", dataDirs.path.string()};
    ScopedEnv lang{"LANG", std::string("de_DE.UTF-8")};
    ScopedEnv lcAll{"LC_ALL", std::nullopt};
    ScopedEnv lcMessages{"LC_MESSAGES", std::nullopt};

    void SetUp() override {
        const char* name = std::getenv("DISPLAY");
        ONDIRA_REQUIRE_SERVICE(name && *name && (display = XOpenDisplay(name)), "no X display");
        root = DefaultRootWindow(display);
        fs::create_directories(dataHome / "applications");
        fs::create_directories(dataDirs / "applications");
    }
    void TearDown() override {
        if (!display) return;
        XDeleteProperty(display, root, atom("_NET_ACTIVE_WINDOW"));
        XCloseDisplay(display);
    }

    Atom atom(const char* name) { return XInternAtom(display, name, False); }

    Window makeWindow(const char* instance, const char* windowClass, const char* gtkID, long pid) {
        Window w = XCreateSimpleWindow(display, root, 0, 0, 10, 10, 0, 0, 0);
        if (windowClass) {
            XClassHint hint{const_cast<char*>(instance), const_cast<char*>(windowClass)};
            XSetClassHint(display, w, &hint);
        }
        if (gtkID) {
            XChangeProperty(display, w, atom("_GTK_APPLICATION_ID"), atom("UTF8_STRING"), 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(gtkID), static_cast<int>(std::strlen(gtkID)));
        }
        if (pid > 0) {
            XChangeProperty(display, w, atom("_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(&pid), 1);
        }
        return w;
    }
    void activate(Window w) {
        long id = static_cast<long>(w);
        XChangeProperty(display, root, atom("_NET_ACTIVE_WINDOW"), XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&id), 1);
        XSync(display, False);
    }
    void desktopFile(const fs::path& dir, const std::string& file, const std::string& body) {
        std::ofstream(dir / "applications" / file) << "[Desktop Entry]\nType=Application\n"
                                                   << body << "\n[Desktop Action new]\nName=Not this one\n";
    }
};

}  // namespace

TEST_F(FrontmostAppTest, NamesTheActiveWindowsApplication) {
    desktopFile(dataDirs.path, "org.ondira.Probe.desktop", "Name=Probe Editor\nName[de]=Sonden-Editor");
    desktopFile(dataHome.path, "probe-viewer.desktop", "Name=Probe Viewer\nStartupWMClass=ProbeViewerWin");
    desktopFile(dataDirs.path, "probe-viewer.desktop", "Name=Shadowed by the user's own entry");
    desktopFile(dataHome.path, "probemail.desktop", "Name=Probe Mail");
    struct Case {
        const char* what;
        const char* windowClass;
        const char* gtkID;
        const char* expectedID;
        const char* expectedName;
    };
    const Case table[] = {
        {"application id, localized desktop name", "Probe", "org.ondira.Probe", "org.ondira.Probe", "Sonden-Editor"},
        {"window class matched by StartupWMClass", "ProbeViewerWin", nullptr, "ProbeViewerWin", "Probe Viewer"},
        {"window class matched by the lower-cased file name", "ProbeMail", nullptr, "ProbeMail", "Probe Mail"},
        {"no desktop entry: the class itself", "ProbeNoEntry", nullptr, "ProbeNoEntry", "ProbeNoEntry"},
    };
    for (const auto& c : table) {
        Window w = makeWindow("probe", c.windowClass, c.gtkID, static_cast<long>(::getpid()));
        activate(w);
        auto app = platform::frontmostApplication();
        ASSERT_TRUE(app) << c.what;
        EXPECT_EQ(app->applicationID, c.expectedID) << c.what;
        EXPECT_EQ(app->displayName, c.expectedName) << c.what;
        EXPECT_EQ(app->window, w) << c.what;
        EXPECT_EQ(app->pid, ::getpid()) << c.what;
        XDestroyWindow(display, w);
    }
}

TEST_F(FrontmostAppTest, NobodyIsFrontWithoutAUsableWindow) {
    // No active window at all.
    XDeleteProperty(display, root, atom("_NET_ACTIVE_WINDOW"));
    XSync(display, False);
    EXPECT_FALSE(platform::frontmostApplication());
    // An active window that names no application.
    Window anonymous = makeWindow(nullptr, nullptr, nullptr, 0);
    activate(anonymous);
    EXPECT_FALSE(platform::frontmostApplication());
    // The active window is gone (BadWindow on every query): no crash, no answer.
    Window gone = makeWindow("gone", "Gone", nullptr, 42);
    XDestroyWindow(display, gone);
    activate(gone);
    EXPECT_FALSE(platform::frontmostApplication());
    // Our own display connection still works after the swallowed errors.
    activate(makeWindow("after", "After", nullptr, 0));
    auto app = platform::frontmostApplication();
    ASSERT_TRUE(app);
    EXPECT_EQ(app->applicationID, "After");
    EXPECT_EQ(app->pid, -1);
}

TEST(FrontmostApp, NoDisplayMeansNoApplication) {
    for (const std::optional<std::string>& value :
         {std::optional<std::string>(), std::optional<std::string>(""), std::optional<std::string>(":4999")}) {
        ScopedEnv display("DISPLAY", value);
        EXPECT_FALSE(platform::frontmostApplication()) << value.value_or("<unset>");
    }
}

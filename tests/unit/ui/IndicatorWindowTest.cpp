#include "UI/IndicatorWindow.h"

#include <gtest/gtest.h>

#include "support/RequireService.h"
#include "support/PrivateDisplay.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/shape.h>
#include <gdk/gdkx.h>

#include "Base/AppPaths.h"
#include "Platform/Bundle.h"
#include "Platform/Queues.h"
#include "support/TempDir.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <thread>

// These tests put the real pill on the test session's X display and read
// back what the page shows through WebKit and the screen's pixels.
namespace {

class IndicatorWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ONDIRA_REQUIRE_SERVICE(usePrivateDisplay() && gtk_init_check(nullptr, nullptr),
                               "no X display (run inside the test session)");
        platform::MainQueue::markCurrentThreadAsMain();
        platform::Bundle::overrideBundleDirectory(std::filesystem::path(ONDIRA_BUNDLE_DIR));
    }
    void TearDown() override { platform::Bundle::overrideBundleDirectory(std::nullopt); }

    static bool pumpUntil(double seconds, const std::function<bool()>& done) {
        platform::MainQueue::pump(seconds, done);
        return done();
    }

    // Evaluates an expression in the pill's page and answers its text.
    static std::optional<std::string> evaluate(const std::string& expression) {
        struct Result {
            bool done = false;
            std::optional<std::string> value;
        } result;
        auto* view = IndicatorWindowController::shared().webView();
        webkit_web_view_evaluate_javascript(
            view, expression.c_str(), -1, nullptr, nullptr, nullptr,
            [](GObject* source, GAsyncResult* res, gpointer data) {
                auto* r = static_cast<Result*>(data);
                GError* error = nullptr;
                JSCValue* v = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), res, &error);
                if (v) {
                    char* s = jsc_value_to_string(v);
                    r->value = s;
                    g_free(s);
                    g_object_unref(v);
                }
                if (error) g_error_free(error);
                r->done = true;
            },
            &result);
        pumpUntil(10, [&] { return result.done; });
        return result.value;
    }

    // Waits for the page to load and the entrance to finish.
    static bool settle(IndicatorWindowController& c) {
        const bool shown = pumpUntil(20, [&] { return c.isWebViewReady() && c.isVisible(); });
        pumpUntil(0.4, [] { return false; });
        return shown;
    }

    // Counts pixels of the pill's screen area that satisfy `match`.
    static int countPixels(const IndicatorGeometry& f, const std::function<bool(int, int, int)>& match) {
        GdkPixbuf* shot = gdk_pixbuf_get_from_window(gdk_get_default_root_window(), f.x, f.y, f.width, f.height);
        if (!shot) return -1;
        if (const char* dump = std::getenv("ONDIRA_TEST_DUMP_PILL")) gdk_pixbuf_save(shot, dump, "png", nullptr, nullptr);
        const int n = gdk_pixbuf_get_n_channels(shot), stride = gdk_pixbuf_get_rowstride(shot);
        const guchar* px = gdk_pixbuf_get_pixels(shot);
        int count = 0;
        for (int y = 0; y < f.height; ++y)
            for (int x = 0; x < f.width; ++x) {
                const guchar* p = px + y * stride + x * n;
                if (match(p[0], p[1], p[2])) ++count;
            }
        g_object_unref(shot);
        return count;
    }

    TempDir state;
    ScopedEnv isolated{AppPaths::selfTestStateDirVariable, state.path.string()};
};

}  // namespace

TEST_F(IndicatorWindowTest, RecordingShowsThePillBottomCentreAndOnlyTheLastPendingLevelReachesThePage) {
    auto& c = IndicatorWindowController::shared();
    c.setTheme(IndicatorTheme::abyss);
    // Both arrive before the page has loaded: only the last may be sent.
    c.updateState(IndicatorMode::recording(0.3f));
    c.updateState(IndicatorMode::recording(1.7f));
    ASSERT_TRUE(settle(c));

    GdkRectangle area;
    gdk_monitor_get_workarea(gdk_display_get_monitor(gdk_display_get_default(), 0), &area);
    const IndicatorGeometry expected{area.x + area.width / 2 - 66, area.y + area.height - 96 - 36, 132, 36};
    EXPECT_EQ(c.frame(), expected);
    int x = 0, y = 0;
    gdk_window_get_origin(gtk_widget_get_window(c.window()), &x, &y);
    EXPECT_EQ(x, expected.x);
    EXPECT_EQ(y, expected.y);
    EXPECT_EQ(gtk_widget_get_allocated_width(c.window()), 132);
    EXPECT_EQ(gtk_widget_get_allocated_height(c.window()), 36);
    EXPECT_TRUE(c.ignoresMouseEvents());
    // Unmanaged by the window manager: no decoration, no taskbar entry, no focus.
    XWindowAttributes attributes;
    XGetWindowAttributes(GDK_DISPLAY_XDISPLAY(gdk_display_get_default()), GDK_WINDOW_XID(gtk_widget_get_window(c.window())),
                         &attributes);
    EXPECT_TRUE(attributes.override_redirect);

    EXPECT_EQ(evaluate("ACCENT"), "#06b6d4");
    // 0.10 eased once toward 1.0 (1.7 clamped) with the attack factor 0.55.
    EXPECT_EQ(evaluate("cur.toFixed(4)"), "0.5950");
    // The bars are drawn in the theme's cyan on the screen.
    // Other tests may show pills of their own on the same display at once, so
    // ours is raised before each look.
    int cyan = 0;
    for (int attempt = 0; attempt < 5 && cyan <= 20; ++attempt) {
        gdk_window_raise(gtk_widget_get_window(c.window()));
        gdk_display_sync(gdk_display_get_default());
        pumpUntil(0.1, [] { return false; });
        cyan = countPixels(c.frame(), [](int r, int g, int b) { return r < 60 && g > 120 && b > 150; });
    }
    EXPECT_GT(cyan, 20);

    // A visible pill keeps its page: a level below the floor reaches it as 0.05.
    c.updateState(IndicatorMode::recording(0.0f));
    pumpUntil(0.3, [] { return false; });
    EXPECT_EQ(evaluate("cur.toFixed(4)"), "0.5296");  // 0.595 + (0.05 - 0.595) * 0.12
}

TEST_F(IndicatorWindowTest, ProcessingShowsPartialTextLiterallyAndDropsItInOtherStates) {
    auto& c = IndicatorWindowController::shared();
    c.updateState(IndicatorMode::recording(0.5f));
    c.updatePartialText("dropped while recording");
    ASSERT_TRUE(settle(c));
    c.updateState(IndicatorMode::processing());
    const std::string text = "he said </script> and \"quoted\" <b>x</b>";
    c.updatePartialText(text);  // held until the processing page loads
    ASSERT_TRUE(pumpUntil(20, [&] { return c.currentMode() == IndicatorMode::processing() && c.isWebViewReady(); }));
    pumpUntil(0.3, [] { return false; });
    EXPECT_EQ(evaluate("document.getElementById('label').textContent"), text);
    EXPECT_EQ(evaluate("document.getElementById('label').className"), "label ptext");
    EXPECT_EQ(evaluate("document.querySelectorAll('b').length"), "0");
    // Empty text leaves the last one; a level sent to this page does nothing.
    c.updatePartialText("");
    c.updateState(IndicatorMode::processing());
    pumpUntil(0.3, [] { return false; });
    EXPECT_EQ(evaluate("document.getElementById('label').textContent"), text);
    EXPECT_EQ(c.frame().width, 132);
}

TEST_F(IndicatorWindowTest, AnErrorWithARemedyTakesARealClickAndOneWithoutLetsClicksThrough) {
    auto& c = IndicatorWindowController::shared();
    int actions = 0;
    std::vector<IndicatorMode> seen;
    c.onErrorAction = [&] { ++actions; };
    c.onStateChange = [&](const IndicatorMode& m) { seen.push_back(m); };

    Display* dpy = GDK_DISPLAY_XDISPLAY(gdk_display_get_default());
    auto clickPillCentre = [&] {
        const auto f = c.frame();
        XTestFakeMotionEvent(dpy, -1, f.x + f.width / 2, f.y + f.height / 2, CurrentTime);
        XTestFakeButtonEvent(dpy, 1, True, CurrentTime);
        XTestFakeButtonEvent(dpy, 1, False, CurrentTime);
        XFlush(dpy);
        pumpUntil(0.5, [] { return false; });
    };

    c.updateState(IndicatorMode::error("Microphone access is off", ErrorRemedy::openSystemPane(SettingsPane::microphone)));
    ASSERT_TRUE(settle(c));
    EXPECT_EQ(c.frame().width, 260);
    EXPECT_EQ(c.frame().height, 30);
    EXPECT_FALSE(c.ignoresMouseEvents());
    EXPECT_EQ(evaluate("document.querySelector('.msg').textContent"), "Microphone access is off");
    clickPillCentre();
    EXPECT_EQ(actions, 1);

    const auto plain = IndicatorMode::error("Couldn't paste into this app");
    c.updateState(plain);
    ASSERT_TRUE(pumpUntil(20, [&] { return c.currentMode() == plain && c.isWebViewReady(); }));
    EXPECT_TRUE(c.ignoresMouseEvents());
    clickPillCentre();
    EXPECT_EQ(actions, 1) << "a plain message never runs the remedy";
    // A plain message goes away by itself after 2.2 s.
    EXPECT_TRUE(c.isVisible());
    EXPECT_TRUE(pumpUntil(6, [&] { return !c.isVisible(); }));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), IndicatorMode::idle());
    c.onErrorAction = nullptr;
    c.onStateChange = nullptr;
}

// On a busy machine the error page can take longer to load than the message
// is meant to stay: its time runs from when it shows, so it is still read.
TEST_F(IndicatorWindowTest, AnErrorWhosePageLoadsLateStillStaysItsTime) {
    auto& c = IndicatorWindowController::shared();
    const auto plain = IndicatorMode::error("Couldn't paste into this app");
    c.updateState(plain);
    ASSERT_TRUE(pumpUntil(20, [&] { return c.currentMode() == plain; }));
    // The main loop is held up past the message's 2.2 s, as a loaded
    // machine holds it before the page's load is heard.
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    ASSERT_TRUE(settle(c)) << "the message went before its page showed it";
    EXPECT_EQ(evaluate("document.querySelector('.msg').textContent"), "Couldn't paste into this app");
    EXPECT_TRUE(pumpUntil(6, [&] { return !c.isVisible(); })) << "the message never went";
}

// Where the X server really has the pill, whatever the controller believes.
static IndicatorGeometry onScreen(IndicatorWindowController& c) {
    XWindowAttributes a;
    XGetWindowAttributes(GDK_DISPLAY_XDISPLAY(gdk_display_get_default()), GDK_WINDOW_XID(gtk_widget_get_window(c.window())),
                         &a);
    return {a.x, a.y, a.width, a.height};
}

TEST_F(IndicatorWindowTest, ALongErrorWidensThePillToShowItWholeAndTheNextPillHasItsOwnSizeAndCentre) {
    auto& c = IndicatorWindowController::shared();
    GdkRectangle area;
    gdk_monitor_get_workarea(gdk_display_get_monitor(gdk_display_get_default(), 0), &area);
    const int centre = area.x + area.width / 2;

    const std::string message = "Couldn't paste \u2014 your text is on the clipboard, press Ctrl+V";
    c.updateState(IndicatorMode::error(message));
    ASSERT_TRUE(settle(c));
    // The page measures its message once loaded; a loaded machine answers late.
    pumpUntil(15, [&] { return onScreen(c).width > 260; });
    pumpUntil(0.3, [] { return false; });
    EXPECT_EQ(evaluate("document.querySelector('.msg').textContent"), message);
    EXPECT_EQ(evaluate("(function(){var m=document.querySelector('.msg');"
                       "return m.scrollWidth<=m.clientWidth&&m.scrollHeight<=m.clientHeight})()"),
              "true")
        << "scrollWidth " << evaluate("document.querySelector('.msg').scrollWidth").value_or("?") << " clientWidth "
        << evaluate("document.querySelector('.msg').clientWidth").value_or("?");
    const IndicatorGeometry wide = onScreen(c);
    EXPECT_EQ(wide, c.frame());
    EXPECT_GE(wide.x, area.x);
    EXPECT_LE(wide.x + wide.width, area.x + area.width);
    EXPECT_LE(std::abs(wide.x + wide.width / 2 - centre), 1);
    EXPECT_EQ(evaluate("document.documentElement.clientWidth"), std::to_string(wide.width));
    if (const char* dir = std::getenv("ONDIRA_TEST_TMP")) {
        std::filesystem::create_directories(dir);
        gdk_window_raise(gtk_widget_get_window(c.window()));
        gdk_display_sync(gdk_display_get_default());
        pumpUntil(0.1, [] { return false; });
        if (GdkPixbuf* shot = gdk_pixbuf_get_from_window(gdk_get_default_root_window(), wide.x - 8, wide.y - 8,
                                                         wide.width + 16, wide.height + 16)) {
            gdk_pixbuf_save(shot, (std::filesystem::path(dir) / "indicator-long-error.png").c_str(), "png", nullptr,
                            nullptr);
            g_object_unref(shot);
        }
    }

    // Back to idle and on to the next dictation: the recording pill is its
    // own 132 x 36, centred, not the error's width shifted off the centre.
    c.updateState(IndicatorMode::idle());
    c.updateState(IndicatorMode::recording(0.5f));
    ASSERT_TRUE(settle(c));
    const IndicatorGeometry expected{centre - 66, area.y + area.height - 96 - 36, 132, 36};
    EXPECT_EQ(c.frame(), expected);
    EXPECT_EQ(onScreen(c), expected);
    EXPECT_EQ(evaluate("document.documentElement.clientWidth"), "132");

    // A short error after the long one is the plain 260 x 30 again.
    c.updateState(IndicatorMode::error("Couldn't paste into this app"));
    ASSERT_TRUE(pumpUntil(20, [&] { return c.currentMode().kind == IndicatorMode::Kind::error && c.isWebViewReady(); }));
    pumpUntil(0.6, [] { return false; });
    EXPECT_EQ(onScreen(c), (IndicatorGeometry{centre - 130, area.y + area.height - 96 - 30, 260, 30}));
    c.updateState(IndicatorMode::idle());
}

TEST_F(IndicatorWindowTest, WithoutACompositorThePillWindowIsCutToItsRoundedOutline) {
    auto& c = IndicatorWindowController::shared();
    ASSERT_FALSE(gdk_screen_is_composited(gdk_screen_get_default())) << "the test session runs no compositor";
    Display* dpy = GDK_DISPLAY_XDISPLAY(gdk_display_get_default());
    struct Case {
        IndicatorMode mode;
        int radius;  // the page's .pill border-radius
    };
    for (const Case& k :
         {Case{IndicatorMode::recording(0.5f), 18}, Case{IndicatorMode::error("Couldn't paste into this app"), 15},
          Case{IndicatorMode::processing(), 18}}) {
        SCOPED_TRACE(k.mode.description());
        c.updateState(k.mode);
        ASSERT_TRUE(settle(c));
        XSync(dpy, False);
        const IndicatorGeometry f = onScreen(c);
        int count = 0, ordering = 0;
        XRectangle* rects =
            XShapeGetRectangles(dpy, GDK_WINDOW_XID(gtk_widget_get_window(c.window())), ShapeBounding, &count, &ordering);
        auto inside = [&](int x, int y) {
            for (int i = 0; i < count; ++i)
                if (x >= rects[i].x && x < rects[i].x + rects[i].width && y >= rects[i].y &&
                    y < rects[i].y + rects[i].height)
                    return true;
            return false;
        };
        EXPECT_GT(count, 1) << "the window is still its plain rectangle";
        // The four corners show what lies below, not black.
        EXPECT_FALSE(inside(0, 0));
        EXPECT_FALSE(inside(f.width - 1, 0));
        EXPECT_FALSE(inside(0, f.height - 1));
        EXPECT_FALSE(inside(f.width - 1, f.height - 1));
        EXPECT_FALSE(inside(k.radius / 2, 0));
        // The pill itself is whole: its edges between the corners and its middle.
        EXPECT_TRUE(inside(k.radius, 0));
        EXPECT_TRUE(inside(f.width - 1 - k.radius, f.height - 1));
        EXPECT_TRUE(inside(0, f.height / 2));
        EXPECT_TRUE(inside(f.width - 1, f.height / 2));
        EXPECT_TRUE(inside(f.width / 2, f.height / 2));
        if (rects) XFree(rects);
    }
    c.updateState(IndicatorMode::idle());
}

TEST_F(IndicatorWindowTest, DoneHidesShortlyUnlessANewStateArrivesAndIdleOnAHiddenPillDoesNothing) {
    auto& c = IndicatorWindowController::shared();
    c.updateState(IndicatorMode::done());
    pumpUntil(0.2, [] { return false; });
    EXPECT_FALSE(c.isVisible());
    EXPECT_TRUE(pumpUntil(3, [&] { return c.currentMode() == IndicatorMode::idle(); }));

    c.updateState(IndicatorMode::recording(0.4f));
    ASSERT_TRUE(settle(c));
    c.updateState(IndicatorMode::done());
    c.updateState(IndicatorMode::recording(0.6f));  // a new dictation cancels the pending hide
    pumpUntil(1.5, [] { return false; });
    EXPECT_TRUE(c.isVisible());
    c.updateState(IndicatorMode::done());
    EXPECT_TRUE(pumpUntil(3, [&] { return !c.isVisible(); }));
}

TEST_F(IndicatorWindowTest, ThemesApplyToTheNextRecordingPageAndOnlySetThemeStoresTheChoice) {
    auto& c = IndicatorWindowController::shared();
    c.setTheme(IndicatorTheme::violet);
    EXPECT_EQ(AppPaths::userDefaults()->string("ondira_indicator_theme"), "violet");
    c.updateState(IndicatorMode::recording(0.5f));
    ASSERT_TRUE(settle(c));
    EXPECT_EQ(evaluate("ACCENT"), "#8d7bff");

    c.applyTheme("abyss");
    c.applyTheme("sepia");  // unknown names do nothing
    c.updateState(IndicatorMode::recording(0.5f));
    pumpUntil(0.3, [] { return false; });
    EXPECT_EQ(evaluate("ACCENT"), "#8d7bff") << "a visible pill keeps its colour";
    EXPECT_EQ(AppPaths::userDefaults()->string("ondira_indicator_theme"), "violet");

    c.updateState(IndicatorMode::idle());
    c.updateState(IndicatorMode::recording(0.5f, DictationMode::raw));
    ASSERT_TRUE(settle(c));
    EXPECT_EQ(evaluate("ACCENT"), "#06b6d4");
    EXPECT_EQ(evaluate("document.body.textContent.trim().startsWith('raw')"), "true");
    EXPECT_EQ(c.currentTheme(), IndicatorTheme::abyss);
}

TEST(IndicatorPlacement, ThePillSitsBottomCentreOfTheWorkAreaItIsGiven) {
    // A second display to the right of a first one, with a panel at its top.
    const IndicatorGeometry second{1920, 40, 1280, 984};
    EXPECT_EQ(IndicatorWindowController::placementIn(second, 132, 36), (IndicatorGeometry{2494, 892, 132, 36}));
    EXPECT_EQ(IndicatorWindowController::placementIn({0, 0, 1280, 800}, 260, 30), (IndicatorGeometry{510, 674, 260, 30}));
}

TEST(IndicatorPlacement, TheErrorPillFitsItsMessageWithinTheMonitor) {
    struct Row {
        int needed, workAreaWidth;
        IndicatorGeometry size;
    };
    for (const Row& row : {Row{120, 1280, {0, 0, 260, 30}},    // short: the usual pill
                           Row{381, 1280, {0, 0, 381, 30}},    // wider, one line
                           Row{1248, 1280, {0, 0, 1248, 30}},  // as wide as the monitor allows
                           Row{700, 640, {0, 0, 608, 40}}}) {  // too wide: two lines, 16 px off each edge
        EXPECT_EQ(IndicatorWindowController::errorSize(row.needed, row.workAreaWidth), row.size)
            << row.needed << " on " << row.workAreaWidth;
    }
}

TEST_F(IndicatorWindowTest, StatesPostedFromAnotherThreadAreAppliedOnTheMainThreadInOrder) {
    auto& c = IndicatorWindowController::shared();
    std::vector<IndicatorMode> seen;
    bool allOnMain = true;
    c.onStateChange = [&](const IndicatorMode& m) {
        seen.push_back(m);
        allOnMain = allOnMain && platform::MainQueue::isMainThread();
    };
    const std::vector<IndicatorMode> sent = {IndicatorMode::recording(0.3f),
                                             IndicatorMode::recording(0.9f, DictationMode::raw), IndicatorMode::processing(),
                                             IndicatorMode::done()};
    std::thread worker([&] {
        for (const auto& m : sent) c.updateState(m);
    });
    worker.join();
    EXPECT_TRUE(seen.empty()) << "nothing is applied on the caller's thread";
    pumpUntil(10, [&] { return seen.size() == sent.size(); });
    EXPECT_EQ(seen, sent);
    EXPECT_TRUE(allOnMain);
    c.onStateChange = nullptr;
}

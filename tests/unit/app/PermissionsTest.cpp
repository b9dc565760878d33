#include "App/Permissions.h"

#include <gtest/gtest.h>

#include "support/RequireService.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "App/AppDelegate.h"
#include "Base/AppPaths.h"
#include "App/OnboardingWindow.h"
#include "UI/HubWindowController.h"
#include "App/RevocationMonitor.h"
#include "Engine/SpeechEngine.h"
#include "Platform/Bundle.h"
#include "Platform/Queues.h"
#include "support/PrivateDisplay.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {
using P = OndiraPermission;

bool inTestSession() { return std::getenv("ONDIRA_IN_TEST_SESSION") != nullptr; }

// Grants the tests can take away and give back, counting how often each is asked.
struct FakeGrants {
    std::shared_ptr<std::atomic<bool>> granted[3] = {std::make_shared<std::atomic<bool>>(true),
                                                     std::make_shared<std::atomic<bool>>(true),
                                                     std::make_shared<std::atomic<bool>>(true)};
    std::shared_ptr<std::atomic<int>> microphoneAsked = std::make_shared<std::atomic<int>>(0);
    FakeGrants() {
        auto mic = granted[0], speech = granted[1], access = granted[2];
        auto asked = microphoneAsked;
        OndiraPermission::setProbes({[mic, asked] {
                                         ++*asked;
                                         return mic->load();
                                     },
                                     [speech] { return speech->load(); }, [access] { return access->load(); }});
    }
    ~FakeGrants() { OndiraPermission::setProbes({}); }
    void set(P p, bool on) { granted[static_cast<int>(P::Value(p))]->store(on); }
};

std::string revocationName() {
    const auto& active = RevocationMonitor::shared().activeRevocation();
    return active ? active->rawValue() : "none";
}
}  // namespace

TEST(OndiraPermission, ThreeGrantsInOrderWithIdsThatRoundTrip) {
    const auto& all = P::allCases();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0], P::microphone);
    EXPECT_EQ(all[1], P::speech);
    EXPECT_EQ(all[2], P::accessibility);
    for (P p : all) {
        EXPECT_EQ(P::fromRawValue(p.id()), p);
        EXPECT_EQ(p.why().find("Mac"), std::string::npos) << p.id();
        EXPECT_EQ(p.why().find("Apple"), std::string::npos) << p.id();
    }
    EXPECT_FALSE(P::fromRawValue("camera"));
}

// Whether a field is a password field is only known through the
// accessibility bus: the setup window's row says so, and so does the
// diagnosis of a session without the bus.
TEST(OndiraPermission, TheAccessibilityRowSaysPasswordFieldsAreRecognisedOnlyWithTheBusOn) {
    EXPECT_NE(P(P::accessibility).why().find("Password fields are recognised, and get no text, only while this is on"),
              std::string::npos)
        << P(P::accessibility).why();
    ONDIRA_REQUIRE_SERVICE(std::getenv("DISPLAY"), "no X display");
    ScopedEnv noBus{"DBUS_SESSION_BUS_ADDRESS", std::string("unix:path=/nonexistent/ondira-no-session-bus")};
    const auto diagnosis = P(P::accessibility).diagnose();
    EXPECT_FALSE(diagnosis.granted);
    EXPECT_NE(diagnosis.impact.find("nor recognise a password field"), std::string::npos) << diagnosis.impact;
}

TEST(OndiraPermission, SettingsOpenTheInstalledPanelElseTellWhatToDo) {
    const struct {
        P permission;
        std::vector<std::string> installed;
        std::vector<std::string> command;
    } table[] = {
        {P::microphone, {"gnome-control-center", "pavucontrol"}, {"gnome-control-center", "sound"}},
        {P::microphone, {"pavucontrol"}, {"pavucontrol", "--tab=4"}},
        {P::microphone, {}, {}},
        {P::speech, {"gnome-control-center", "pavucontrol"}, {}},
        {P::accessibility, {"gnome-control-center", "pavucontrol"}, {}},
    };
    for (const auto& row : table) {
        const auto page = row.permission.settingsPage([&](const std::string& program) {
            return std::find(row.installed.begin(), row.installed.end(), program) != row.installed.end();
        });
        EXPECT_EQ(page.command, row.command) << row.permission.id() << " with " << row.installed.size() << " installed";
        EXPECT_FALSE(page.instructions.empty()) << row.permission.id();
    }
    EXPECT_NE(P(P::accessibility)
                  .settingsPage([](const std::string&) { return false; })
                  .instructions.find("toolkit-accessibility true"),
              std::string::npos);
}

TEST(OndiraPermission, DeliveriesArriveLaterOnTheMainQueue) {
    platform::MainQueue::markCurrentThreadAsMain();
    std::optional<bool> grant;
    std::optional<P::SpeechStatus> status;
    P::deliverGrant(true, [&](bool g) { grant = g; });
    P::deliverSpeechStatus(P::SpeechStatus::denied, [&](P::SpeechStatus s) { status = s; });
    EXPECT_FALSE(grant) << "never at once";
    platform::MainQueue::pump(5, [&] { return grant && status; });
    EXPECT_EQ(grant, true);
    EXPECT_EQ(status, P::SpeechStatus::denied);
}

TEST(OndiraPermission, ARepeatedProbeTellsTheMainQueueOnlyOfChanges) {
    platform::MainQueue::markCurrentThreadAsMain();
    FakeGrants grants;
    auto probe = std::make_shared<P::RepeatedProbe>();
    std::vector<std::map<std::string, bool>> told;
    probe->changed = [&](std::map<std::string, bool> g) { told.push_back(std::move(g)); };
    auto pass = [&] {
        P::probeChangesAsync(probe);
        platform::MainQueue::pump(5, [&] {
            std::lock_guard<std::mutex> g(probe->lock);
            return !probe->busy;
        });
        platform::MainQueue::pump(0.1);
    };
    const int asked = grants.microphoneAsked->load();
    for (int i = 0; i < 3; ++i) pass();
    EXPECT_EQ(grants.microphoneAsked->load() - asked, 3) << "every pass asks";
    ASSERT_EQ(told.size(), 1u) << "three passes, nothing changed after the first";
    EXPECT_TRUE(told[0].at("accessibility"));
    grants.set(P::accessibility, false);
    pass();
    pass();
    ASSERT_EQ(told.size(), 2u) << "the loss is told once";
    EXPECT_FALSE(told[1].at("accessibility"));
}

// The live tests against the real services of the test session.
class LiveGrantTest : public ::testing::Test {
protected:
    void SetUp() override {
        ONDIRA_REQUIRE_SERVICE(inTestSession(), "needs the test session's sound server, AT-SPI bus and display");
        OndiraPermission::setProbes({});
    }
};

TEST_F(LiveGrantTest, MicrophoneFollowsTheSoundServer) {
    EXPECT_TRUE(P(P::microphone).isGranted()) << "the session's default source is a null sink's monitor";
    ScopedEnv noServer("PULSE_SERVER", "unix:/nonexistent/ondira-no-sound-server");
    EXPECT_FALSE(P(P::microphone).isGranted());
}

TEST_F(LiveGrantTest, SpeechFollowsTheModelOfTheRecognitionLanguage) {
    EXPECT_TRUE(P(P::speech).isGranted());
    EXPECT_EQ(P::speechAuthorizationStatus(), P::SpeechStatus::authorized);
    {
        TempDir empty;
        ScopedEnv noModels("ONDIRA_SPHINX_MODELDIR", empty.path.string());
        EXPECT_FALSE(P(P::speech).isGranted());
    }
    // A language with no installed model can't be recognised either.
    SpeechEngine::shared().setLocale("xx_YY");
    EXPECT_FALSE(P(P::speech).isGranted());
    SpeechEngine::shared().resetLocaleToSystem();
    EXPECT_TRUE(P(P::speech).isGranted());
}

TEST_F(LiveGrantTest, AccessibilityNeedsTheSwitchedOnBusAndSyntheticKeys) {
    EXPECT_TRUE(P(P::accessibility).isGranted());
    ScopedEnv noDisplay("DISPLAY", std::nullopt);
    EXPECT_FALSE(P(P::accessibility).isGranted()) << "no X server, no synthetic key events";
}

namespace {

std::string outputOf(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

bool waitUntil(double seconds, const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The number after the dot of the unique name the next client of a bus gets:
// every connection ever made to it takes one.
long nextBusClient(const std::string& address) {
    GDBusConnection* c = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (!c) return -1;
    const std::string name = g_dbus_connection_get_unique_name(c);
    g_dbus_connection_close_sync(c, nullptr, nullptr);
    g_object_unref(c);
    return std::stol(name.substr(name.find('.') + 1));
}

// A sound server of the test's own, so unplugging its only input and stopping
// it disturbs no other test. No session bus: the session's server holds the
// sound server's name there.
struct PrivateSoundServer {
    TempDir dir{"ondira-pulse-"};
    std::string address = "unix:" + (dir.path / "native").string();
    std::unique_ptr<Subprocess> daemon = std::make_unique<Subprocess>(
        std::vector<std::string>{"/usr/bin/pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                                 "--use-pid-file=no",
                                 "--load=module-native-protocol-unix auth-anonymous=1 socket=" +
                                     (dir.path / "native").string()},
        std::map<std::string, std::optional<std::string>>{{"XDG_RUNTIME_DIR", dir.path.string()},
                                                          {"PULSE_RUNTIME_PATH", dir.path.string()},
                                                          {"PULSE_STATE_PATH", dir.path.string()},
                                                          {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
                                                          {"DISPLAY", std::nullopt}});
    std::string pactl(const std::string& args) const {
        return outputOf("PULSE_SERVER=" + address + " pactl " + args + " 2>/dev/null");
    }
    bool up() { return waitUntil(10, [&] { return !pactl("info").empty(); }); }
    std::string plugMicrophone() {
        const std::string module = pactl("load-module module-null-sink sink_name=private_mic");
        pactl("set-default-source private_mic.monitor");
        return module.substr(0, module.find('\n'));
    }
    // pactl's own client is the newest one it lists.
    long newestClient() const {
        long newest = -1;
        std::istringstream lines(pactl("list short clients"));
        for (std::string line; std::getline(lines, line);) newest = std::max(newest, std::atol(line.c_str()));
        return newest;
    }
};

// A session bus of the test's own whose accessibility bus starts on demand,
// with settings in memory and no display, so switching it off or taking it
// away touches nothing the other tests share.
struct PrivateSessionBus {
    std::unique_ptr<Subprocess> daemon = std::make_unique<Subprocess>(
        std::vector<std::string>{"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1"},
        std::map<std::string, std::optional<std::string>>{{"GSETTINGS_BACKEND", "memory"}, {"DISPLAY", std::nullopt}});
    std::string address = daemon->readLine(10).value_or("");
    std::string gdbus(const std::string& method, const std::string& args) const {
        return outputOf("DBUS_SESSION_BUS_ADDRESS='" + address +
                        "' gdbus call --session --dest org.a11y.Bus --object-path /org/a11y/bus --method " + method + " " +
                        args + " 2>/dev/null");
    }
    bool setSwitch(bool on) {
        return gdbus("org.freedesktop.DBus.Properties.Set", std::string("org.a11y.Status IsEnabled '<") +
                                                                  (on ? "true" : "false") + ">'") == "()\n";
    }
    std::string accessibilityBus() const {
        const std::string reply = gdbus("org.a11y.Bus.GetAddress", "");  // ('unix:path=...',)
        const auto open = reply.find('\''), close = reply.rfind('\'');
        return open == std::string::npos || close <= open ? "" : reply.substr(open + 1, close - open - 1);
    }
};

}  // namespace

// The refresh asks every five seconds: asking again must open no new
// connection, and a grant lost meanwhile must still be noticed on the next ask.
TEST_F(LiveGrantTest, MicrophoneIsAskedOverOneConnectionAndFollowsTheSoundServer) {
    PrivateSoundServer server;
    ASSERT_TRUE(server.up()) << "a private sound server must start in the test session";
    const std::string module = server.plugMicrophone();
    ASSERT_FALSE(module.empty());
    ScopedEnv toIt("PULSE_SERVER", server.address);
    const P mic(P::microphone);
    ASSERT_TRUE(waitUntil(5, [&] { return mic.isGranted(); }));

    const long before = server.newestClient();
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(mic.isGranted());
    EXPECT_EQ(server.newestClient() - before, 1) << "connections opened by 20 asks, besides the one pactl";

    server.pactl("unload-module " + module);
    EXPECT_TRUE(waitUntil(2, [&] { return !mic.isGranted(); })) << "the unplugged microphone went unnoticed";
    server.plugMicrophone();
    EXPECT_TRUE(waitUntil(2, [&] { return mic.isGranted(); })) << "the microphone plugged back in went unnoticed";
    server.daemon.reset();  // the sound server stops
    EXPECT_TRUE(waitUntil(2, [&] { return !mic.isGranted(); })) << "the stopped sound server went unnoticed";
}

TEST_F(LiveGrantTest, AccessibilityIsAskedOverOneConnectionAndFollowsTheSwitch) {
    PrivateSessionBus session;
    ASSERT_FALSE(session.address.empty()) << "a private session bus must start in the test session";
    ASSERT_TRUE(session.setSwitch(true)) << "its accessibility bus must start on demand";
    const std::string a11yBus = session.accessibilityBus();
    ASSERT_FALSE(a11yBus.empty());
    ScopedEnv toIt("DBUS_SESSION_BUS_ADDRESS", session.address);
    const P access(P::accessibility);
    ASSERT_TRUE(waitUntil(5, [&] { return access.isGranted(); }));

    const long before = nextBusClient(a11yBus);
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(access.isGranted());
    EXPECT_EQ(nextBusClient(a11yBus) - before, 1) << "connections opened by 20 asks, besides the test's own";

    ASSERT_TRUE(session.setSwitch(false));
    EXPECT_TRUE(waitUntil(2, [&] { return !access.isGranted(); })) << "switching off went unnoticed";
    ASSERT_TRUE(session.setSwitch(true));
    EXPECT_TRUE(waitUntil(2, [&] { return access.isGranted(); })) << "switching on went unnoticed";
    session.daemon.reset();  // the session bus, and with it the accessibility bus, goes away
    EXPECT_TRUE(waitUntil(2, [&] { return !access.isGranted(); })) << "the bus going away went unnoticed";
}

// The watch's rules, with grants the test controls.
class PermissionWatchTest : public ::testing::Test {
protected:
    void SetUp() override { RevocationMonitor::shared().setActiveRevocation(std::nullopt); }
    void refresh() {
        watch.refresh([&](P p) { return granted[p.id()]; }, [&] { ++onboardingShown; });
    }
    PermissionWatch watch;
    std::map<std::string, bool> granted = {{"microphone", true}, {"speech", true}, {"accessibility", true}};
    int onboardingShown = 0;
};

TEST_F(PermissionWatchTest, AGrantNeverSeenIsNeverCountedAsLost) {
    granted["microphone"] = false;
    refresh();
    refresh();
    EXPECT_EQ(onboardingShown, 0);
    EXPECT_EQ(revocationName(), "none");
    EXPECT_EQ(watch.lastKnownPermissionState().at("microphone"), false);
    EXPECT_EQ(watch.lastKnownPermissionState().at("speech"), true);
}

TEST_F(PermissionWatchTest, ALossIsSurfacedOnceAndAgainAfterItCameBack) {
    refresh();
    granted["microphone"] = false;
    refresh();
    EXPECT_EQ(revocationName(), "microphone");
    EXPECT_EQ(onboardingShown, 1);
    refresh();
    refresh();
    EXPECT_EQ(onboardingShown, 1) << "later refreshes while it stays lost do nothing";

    granted["microphone"] = true;
    refresh();
    EXPECT_EQ(revocationName(), "none");
    EXPECT_TRUE(watch.alreadySurfacedRevocations().empty());

    granted["microphone"] = false;
    refresh();
    EXPECT_EQ(revocationName(), "microphone");
    EXPECT_EQ(onboardingShown, 2);
}

TEST_F(PermissionWatchTest, SeveralLossesEndOnTheLastAndOneRestorationClearsOnlyItsOwn) {
    std::vector<std::string> published;
    const int token = RevocationMonitor::shared().addObserver(
        [&](const std::optional<P>& p) { published.push_back(p ? p->id() : "none"); });
    refresh();
    granted["speech"] = false;
    granted["accessibility"] = false;
    refresh();
    EXPECT_EQ(onboardingShown, 2);
    EXPECT_EQ(revocationName(), "accessibility");
    granted["speech"] = true;
    refresh();
    EXPECT_EQ(revocationName(), "accessibility");
    EXPECT_EQ(watch.alreadySurfacedRevocations(), std::set<std::string>{"accessibility"});
    granted["accessibility"] = true;
    refresh();
    EXPECT_EQ(revocationName(), "none");
    RevocationMonitor::shared().removeObserver(token);
    EXPECT_EQ(published, (std::vector<std::string>{"speech", "accessibility", "none"}));
}

TEST(FirstWindow, OnboardingOnlyWhileAGrantMissingAtLaunchIsStillMissing) {
    const struct {
        bool neededAtLaunch, allGrantedNow;
        FirstWindow expected;
    } table[] = {
        {false, true, FirstWindow::hub},
        {false, false, FirstWindow::hub},  // not tested again: the watch handles a later loss
        {true, false, FirstWindow::onboarding},
        {true, true, FirstWindow::none},
    };
    for (const auto& row : table)
        EXPECT_EQ(firstWindow(row.neededAtLaunch, row.allGrantedNow), row.expected)
            << row.neededAtLaunch << " " << row.allGrantedNow;
}

// The application's launch: the first window and the watch that keeps running.
// The windows it brings forward take the focus and its hot keys are grabbed
// for real, so they go on a display of their own.
class LaunchTest : public ::testing::Test {
protected:
    void SetUp() override {
        ONDIRA_REQUIRE_SERVICE(usePrivateDisplay() && gtk_init_check(nullptr, nullptr), "no X display");
        platform::MainQueue::markCurrentThreadAsMain();
        platform::Bundle::overrideBundleDirectory(fs::path(ONDIRA_BUNDLE_DIR));
        RevocationMonitor::shared().setActiveRevocation(std::nullopt);
    }
    void TearDown() override {
        if (delegate) delegate->applicationWillTerminate();
        platform::Bundle::overrideBundleDirectory(std::nullopt);
    }
    // Launches with the grants as they are, then lets `between` change them
    // before the first window is decided.
    void launch(const std::function<void()>& between = {}) {
        delegate = new AppDelegate();
        hubs = HubWindowController::shared().showCount();
        onboardings = OnboardingWindow::presentCount();
        delegate->applicationDidFinishLaunching();
        if (between) between();
        platform::MainQueue::pump(0.5);
    }
    int hubsShown() const { return HubWindowController::shared().showCount() - hubs; }
    int onboardingsShown() const { return OnboardingWindow::presentCount() - onboardings; }

    TempDir state;
    ScopedEnv isolatedState{AppPaths::selfTestStateDirVariable, state.path.string()};
    TempDir runtime;  // the launch sweeps recordings from the temporary directory under it
    ScopedEnv isolatedRuntime{"XDG_RUNTIME_DIR", runtime.path.string()};
    FakeGrants grants;
    AppDelegate* delegate = nullptr;
    int hubs = 0, onboardings = 0;
};

TEST_F(LaunchTest, AllGrantedShowsTheHub) {
    launch();
    EXPECT_EQ(hubsShown(), 1);
    EXPECT_EQ(onboardingsShown(), 0);
}

TEST_F(LaunchTest, AGrantStillMissingShowsOnboarding) {
    grants.set(P::speech, false);
    launch();
    EXPECT_EQ(onboardingsShown(), 1);
    EXPECT_EQ(hubsShown(), 0);
    EXPECT_EQ(revocationName(), "none") << "missing from the start is not a loss";
}

TEST_F(LaunchTest, AGrantGivenBeforeTheDecisionShowsNothing) {
    grants.set(P::microphone, false);
    // The grants are asked off the main thread: the microphone is given
    // once the launch's first question has been answered.
    launch([&] {
        platform::MainQueue::pump(2, [&] { return grants.microphoneAsked->load() > 0; });
        grants.set(P::microphone, true);
    });
    EXPECT_EQ(onboardingsShown(), 0);
    EXPECT_EQ(hubsShown(), 0);
}

TEST_F(LaunchTest, TheWatchNoticesALossWithinItsPeriodAndOnActivation) {
    launch();
    ASSERT_TRUE(delegate->isPermissionWatchRunning());
    EXPECT_EQ(delegate->permissionWatch().lastKnownPermissionState().at("microphone"), true) << "refreshed at launch";

    grants.set(P::accessibility, false);
    platform::MainQueue::pump(7, [] { return RevocationMonitor::shared().activeRevocation().has_value(); });
    EXPECT_EQ(revocationName(), "accessibility");
    EXPECT_EQ(onboardingsShown(), 1);

    // One of the application's windows taking the focus refreshes at once.
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_widget_realize(window);
    const int before = grants.microphoneAsked->load();
    GdkEvent* focus = gdk_event_new(GDK_FOCUS_CHANGE);
    focus->focus_change.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(window)));
    focus->focus_change.in = TRUE;
    gboolean handled = FALSE;
    g_signal_emit_by_name(window, "focus-in-event", focus, &handled);
    gdk_event_free(focus);
    grants.set(P::accessibility, true);
    platform::MainQueue::pump(2, [&] { return revocationName() == "none"; });
    EXPECT_GT(grants.microphoneAsked->load(), before);
    EXPECT_EQ(revocationName(), "none");
    gtk_widget_destroy(window);

    delegate->applicationWillTerminate();
    EXPECT_FALSE(delegate->isPermissionWatchRunning());
    delegate = nullptr;
}

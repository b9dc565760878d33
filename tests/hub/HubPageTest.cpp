// The hub as users get it: the real window, WebKitGTK view, page and
// dispatcher, with a private HOME holding a fixture history, dictionary,
// snippets and staging buffer. The test drives the page with JavaScript
// (clicks, typing) and checks both what the page shows and what reached the
// stores, and leaves a PNG of every panel in the build tree.
#include "HubSession.h"

// Before Xlib, whose macros (Status) would rename their types.
#include "Engine/SpeechEngine.h"
#include "Engine/TranscriptionTypes.h"
#include "Learning/PersonalModel.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gdk/gdkx.h>

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include "Base/AppPaths.h"
#include "Learning/DictationLogger.h"
#include "Platform/Bundle.h"
#include "Platform/FileIO.h"
#include "Platform/LinuxNames.h"
#include "Text/PolishService.h"
#include "Text/Snippets.h"
#include "Text/StagingBuffer.h"
#include "Text/Vocabulary.h"
#include "Text/VoiceCommandCatalog.h"
#include "UI/IndicatorWindow.h"
#include "support/FakeModelServer.h"

namespace fs = std::filesystem;
using namespace hubtest;
using Clock = std::chrono::system_clock;

namespace {
fs::path gLog;
TestHost* gHost = nullptr;
bool gDisplay = false;

const fs::path kSnapshots = fs::path(ONDIRA_BINARY_DIR) / "hub-snapshots";

// The fixture: written through the product's own writers, so the files
// have the form the program reads.
const char* kDeleted = "Please delete this dictation about the old printer";
const char* kKept = "Meeting notes about the quarterly budget review";

void writeFixture() {
    auto& log = DictationLogger::shared();
    const auto now = Clock::now();
    struct Row {
        const char* text;
        const char* app;
        int daysAgo;
    };
    const Row rows[] = {{kKept, "Text Editor", 0},
                        {kDeleted, "Mail", 0},
                        {"Remind me to call the <b>plumber</b> tomorrow", "Terminal", 1},
                        {"The kube cluster needs a new node pool", "Text Editor", 2},
                        {"Lunch with Maria on Friday at noon", "Calendar", 5}};
    for (const auto& r : rows) {
        platform::Semaphore written;
        log.append(r.text, r.app, now - std::chrono::hours(24 * r.daysAgo) - std::chrono::minutes(3), 4.0, 0.4, 0.3,
                   "pocketsphinx", [&] { written.signal(); });
        written.wait(10);
    }
    Vocabulary::shared().addTerm("kube", "Kubernetes");
    Snippets::shared().addSnippet("my sig", "Kind regards, Sam");
    StagingBuffer::shared().append("First staged thought", false);
    StagingBuffer::shared().append("Second staged thought", true);
}

std::string readText(const fs::path& file) { return platform::readFile(file).value_or(""); }

// The page functions every message of the bridge may answer with.
const char* const kCallbacks[] = {"ondiraSetStats",
                                  "ondiraSetDictionary",
                                  "ondiraSetHotkey",
                                  "ondiraHotkeyError",
                                  "ondiraSetMode",
                                  "ondiraSetLanguages",
                                  "ondiraSetHealth",
                                  "ondiraSetSelftest",
                                  "ondiraSetUpdateState",
                                  "ondiraSetDictExportResult",
                                  "ondiraSetDictImportResult",
                                  "ondiraSetHistory",
                                  "ondiraSetHistorySearchResults",
                                  "ondiraSetExportResult",
                                  "ondiraSetCopyAck",
                                  "onRewriteResult",
                                  "onRewriteAvailability",
                                  "onPrivacyProbe",
                                  "onRules",
                                  "onSnippets",
                                  "onProfiles",
                                  "onProfileResult",
                                  "onEngineInfo",
                                  "onLearnedRules",
                                  "onStaging",
                                  "onPersonalModel"};

// WebKit's web processes that are children of this process.
int webProcessCount() {
    int count = 0;
    DIR* proc = opendir("/proc");
    if (!proc) return -1;
    while (dirent* e = readdir(proc)) {
        const std::string pid = e->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat("/proc/" + pid + "/stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        const auto open = line.find('(');
        if (close == std::string::npos || open == std::string::npos) continue;
        const std::string comm = line.substr(open + 1, close - open - 1);
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        long ppid = 0;
        rest >> state >> ppid;
        if (ppid == getpid() && comm.rfind("WebKitWebProces", 0) == 0) ++count;
    }
    closedir(proc);
    return count;
}

class HubPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!gDisplay) {
            if (displayRequired()) FAIL() << "no X display or WebKit in the test session";
            GTEST_SKIP() << "no X display (run inside tests/support/test-session)";
        }
    }
    static HubWindowController& hub() { return HubWindowController::shared(); }
    // Shows the hub and waits for its page and first figures.
    static void showAndSettle() {
        hub().show();
        ASSERT_TRUE(pumpUntil(30, [] { return hub().isPageLoaded(); })) << "the hub page never loaded";
        ASSERT_TRUE(waitFor("document.getElementById('stat-total').textContent !== '–'", 20))
            << "the first statistics never reached the page";
    }
    static void openPanel(const std::string& name) {
        ASSERT_TRUE(click("#nav button[data-panel='" + name + "']")) << name;
        ASSERT_TRUE(waitFor("!document.getElementById('panel-" + name + "').hidden")) << name;
    }
    static void saveSnapshot(const std::string& name) {
        pumpUntil(0.3, [] { return false; });  // let the page paint
        EXPECT_TRUE(snapshot(kSnapshots / ("hub-" + name + ".png"))) << name;
    }
    static std::string uri() {
        const char* u = webkit_web_view_get_uri(hub().webView());
        return u ? u : "";
    }
};
}  // namespace

namespace hubtest {
fs::path logFile() { return gLog; }
TestHost& host() { return *gHost; }
}  // namespace hubtest

// Runs first: nothing has shown the hub yet.
TEST_F(HubPageTest, ScriptsEmittedBeforeThePageHasLoadedAreDeliveredOnceItHas) {
    ASSERT_FALSE(hub().isPageLoaded());
    hub().evaluateScript("window.__early = (window.__early || []).concat(['main']);");
    // From another thread: the emitter hops to the main thread first.
    std::thread([] { hub().evaluateScript("window.__early = (window.__early || []).concat(['worker']);"); }).join();
    pumpUntil(0.2, [] { return false; });
    EXPECT_EQ(hub().queuedScripts(), 2u);

    const auto started = std::chrono::steady_clock::now();
    showAndSettle();
    ASSERT_TRUE(
        waitFor("document.querySelectorAll('#recent li').length > 0 || "
                "document.querySelectorAll('#history-list li').length > 0",
                20));
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    std::printf("[timing] first show to first statistics and history painted: %.0f ms\n", ms);

    EXPECT_EQ(hub().queuedScripts(), 0u);
    EXPECT_EQ(js("JSON.stringify(window.__early)"), R"(["main","worker"])");
    EXPECT_EQ(hub().pageLoads(), 1);
}

TEST_F(HubPageTest, TheWindowIsCentredAtItsSizeHidesOnCloseAndComesBackWhenOffScreen) {
    showAndSettle();
    GtkWindow* win = GTK_WINDOW(hub().window());
    EXPECT_STREQ(gtk_window_get_title(win), "Ondira");
    GdkRectangle area;
    gdk_monitor_get_workarea(gdk_display_get_monitor(gdk_display_get_default(), 0), &area);
    const auto expected = HubWindowController::centredFrame({area.x, area.y, area.width, area.height}, 1180, 820);
    int x = 0, y = 0, w = 0, h = 0;
    gtk_window_get_position(win, &x, &y);
    gtk_window_get_size(win, &w, &h);
    EXPECT_EQ((HubWindowController::Frame{x, y, w, h}), expected);
    EXPECT_EQ(w, std::min(1180, area.width));
    // The minimum size reaches the X server.
    XSizeHints hints{};
    long supplied = 0;
    ASSERT_TRUE(XGetWMNormalHints(GDK_DISPLAY_XDISPLAY(gdk_display_get_default()),
                                  GDK_WINDOW_XID(gtk_widget_get_window(hub().window())), &hints, &supplied));
    EXPECT_TRUE(hints.flags & PMinSize);
    EXPECT_EQ(hints.min_width, 900);
    EXPECT_EQ(hints.min_height, 600);

    // Closing hides the same window. Whatever was half done in the page
    // (a rewrite typed, a search, a script's state) is gone at the next show.
    ASSERT_TRUE(js("window.__kept = 'gone at the next show'; true").has_value());
    ASSERT_TRUE(type("#rewrite-input", "half a thought"));
    ASSERT_TRUE(type("#history-search", "budget"));
    GtkWidget* before = hub().window();
    const int loads = hub().pageLoads();
    GdkEvent* close = gdk_event_new(GDK_DELETE);
    close->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(hub().window())));
    gtk_main_do_event(close);
    gdk_event_free(close);
    pumpUntil(1, [] { return !hub().isVisible(); });
    EXPECT_FALSE(hub().isVisible());
    EXPECT_TRUE(GTK_IS_WINDOW(before));

    // Left where its monitor no longer is: the next show centres it again.
    gtk_window_move(win, 5000, 5000);
    pumpUntil(0.3, [] { return false; });
    hub().show();
    pumpUntil(5, [] { return hub().isVisible(); });
    EXPECT_EQ(hub().window(), before);
    ASSERT_TRUE(pumpUntil(30, [] { return hub().isPageLoaded(); }));
    EXPECT_EQ(hub().pageLoads(), loads + 1) << "every show loads the page afresh";
    EXPECT_EQ(js("typeof window.__kept"), "undefined");
    EXPECT_EQ(js("document.getElementById('rewrite-input').value"), "");
    EXPECT_EQ(js("document.getElementById('history-search').value"), "");
    gtk_window_get_position(win, &x, &y);
    EXPECT_EQ(x, expected.x);
    EXPECT_EQ(y, expected.y);
}

TEST_F(HubPageTest, OneWebContextAndOneWebProcessServeTheIndicatorAndTheHub) {
    showAndSettle();
    WebKitWebView* pill = IndicatorWindowController::shared().webView();
    ASSERT_NE(pill, nullptr);
    bool loaded = false;
    g_signal_connect(pill, "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent e, gpointer done) {
                         if (e == WEBKIT_LOAD_FINISHED) *static_cast<bool*>(done) = true;
                     }),
                     &loaded);
    webkit_web_view_load_html(pill, "<p>pill</p>", nullptr);
    ASSERT_TRUE(pumpUntil(10, [&] { return loaded; }));
    g_signal_handlers_disconnect_matched(pill, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, &loaded);
    EXPECT_EQ(webkit_web_view_get_context(pill), webkit_web_view_get_context(hub().webView()));
    EXPECT_EQ(webProcessCount(), 1);
}

TEST_F(HubPageTest, LinksStayInThePageDirectoryWebLinksGoToTheBrowserAndNoWindowIsCreated) {
    showAndSettle();
    const std::string page = uri();
    ASSERT_NE(page.find("ondira_hub.html"), std::string::npos);
    host().openedURLs.clear();

    // Pop-ups are blocked unless a user's click opened them; the test has no
    // user, so it lets the page open windows to reach the new-window policy.
    WebKitSettings* settings = webkit_web_view_get_settings(hub().webView());
    webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);

    // The page's own help link, clicked: the browser gets it, the page stays.
    ASSERT_TRUE(click("#help-link"));
    js("location.href = 'https://example.org/web-link'; true");
    js("window.__opened = window.open('https://example.org/new-window'); true");
    pumpUntil(3, [] { return host().openedURLs.size() >= 3; });
    EXPECT_NE(std::find(host().openedURLs.begin(), host().openedURLs.end(), "https://example.org/web-link"),
              host().openedURLs.end());
    EXPECT_NE(std::find(host().openedURLs.begin(), host().openedURLs.end(), "https://example.org/new-window"),
              host().openedURLs.end());
    EXPECT_NE(std::find_if(host().openedURLs.begin(), host().openedURLs.end(),
                           [](const std::string& u) { return u.rfind("https://ondira.app/help", 0) == 0; }),
              host().openedURLs.end());
    EXPECT_EQ(js("String(window.__opened)"), "null") << "no web view is made for a new window";

    // Elsewhere on the disk and other schemes: refused, the page stays.
    for (const char* target : {"file:///etc/passwd", "data:text/html,<p>hi</p>", "ftp://example.org/"}) {
        js(std::string("location.href = ") + quoted(target) + "; true");
        pumpUntil(1, [] { return false; });
        EXPECT_EQ(uri(), page) << target;
    }
    js("window.open('file:///etc/hostname'); true");
    pumpUntil(0.5, [] { return false; });
    EXPECT_EQ(uri(), page);
    EXPECT_EQ(host().openedURLs.size(), 3u);
    webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);

    // A file beside the page may be shown in the view.
    js("location.href = 'indicator/error.html'; true");
    ASSERT_TRUE(
        pumpUntil(10, [] { return uri().find("indicator/error.html") != std::string::npos && hub().isPageLoaded(); }));
    webkit_web_view_go_back(hub().webView());
    ASSERT_TRUE(pumpUntil(10, [&] { return uri() == page && hub().isPageLoaded(); }));
    ASSERT_TRUE(waitFor("document.getElementById('stat-total').textContent !== '–'", 20));
}

// The privacy policy ships beside the page and opens in the hub itself, so it
// reads offline; its own link leads back to a working hub.
TEST_F(HubPageTest, ThePrivacyPanelOpensThePolicyInTheHubAndItLeadsBack) {
    showAndSettle();
    const std::string page = uri();
    host().openedURLs.clear();
    ASSERT_TRUE(click("[data-panel=privacy]"));
    ASSERT_TRUE(click("#panel-privacy a[href='privacy-policy.html']"));
    ASSERT_TRUE(pumpUntil(10, [] {
        return uri().find("/privacy-policy.html") != std::string::npos && hub().isPageLoaded();
    })) << uri();
    EXPECT_TRUE(waitFor("document.body.innerText.indexOf('at most once a day') >= 0"));
    EXPECT_TRUE(host().openedURLs.empty()) << "the policy went to the browser";
    ASSERT_TRUE(click("a[href='ondira_hub.html']"));
    ASSERT_TRUE(pumpUntil(10, [&] { return uri() == page && hub().isPageLoaded(); })) << uri();
    ASSERT_TRUE(waitFor("document.getElementById('stat-total').textContent !== '–'", 20));
}

TEST_F(HubPageTest, TheCameraIsNeverGrantedAndTheMicrophoneOnlyWhenUsable) {
    showAndSettle();
    const auto request = [](const char* constraints) {
        js("window.__media = 'pending'; navigator.mediaDevices.getUserMedia(" + std::string(constraints) +
           ").then(function(s){ window.__media = 'granted'; s.getTracks().forEach(function(t){ t.stop(); }); },"
           " function(e){ window.__media = 'denied:' + e.name; }); true");
        waitFor("window.__media !== 'pending'", 10);
        return js("window.__media").value_or("");
    };
    ASSERT_EQ(js("typeof (navigator.mediaDevices && navigator.mediaDevices.getUserMedia)"), "function");
    // WebKit's stand-in devices: every request then reaches the permission
    // handler, whatever hardware the test machine has.
    WebKitSettings* settings = webkit_web_view_get_settings(hub().webView());
    webkit_settings_set_enable_mock_capture_devices(settings, TRUE);
    hub().setMicrophoneUsable([] { return false; });
    EXPECT_EQ(request("{audio: true}"), "denied:NotAllowedError");
    hub().setMicrophoneUsable([] { return true; });
    EXPECT_EQ(request("{video: true}"), "denied:NotAllowedError");
    EXPECT_EQ(request("{audio: true, video: true}"), "denied:NotAllowedError");
    EXPECT_EQ(request("{audio: true}"), "granted");
    hub().setMicrophoneUsable([] { return false; });
    webkit_settings_set_enable_mock_capture_devices(settings, FALSE);
}

TEST_F(HubPageTest, EveryPanelShowsTheStoresAndWritesBackWhatTheUserDid) {
    showAndSettle();
    const fs::path support = AppPaths::applicationSupport();

    // Every callback the dispatcher can answer with is a function of the page.
    for (const char* name : kCallbacks) EXPECT_EQ(js(std::string("typeof window.") + name), "function") << name;

    // Overview.
    openPanel("overview");
    EXPECT_TRUE(waitFor("document.getElementById('stat-total').textContent.trim() === '5'")) << text("#stat-total");
    EXPECT_TRUE(waitFor("document.querySelectorAll('#chart svg').length === 1"));
    EXPECT_TRUE(waitFor("document.getElementById('per-app').textContent.indexOf('Text Editor') >= 0"));
    EXPECT_TRUE(waitFor("document.getElementById('recent').textContent.indexOf('quarterly budget') >= 0"));
    // A stored string is shown as text, never as mark-up.
    EXPECT_EQ(js("document.querySelectorAll('#recent b, #history-list b').length"), "0");
    saveSnapshot("overview");

    // History: the rows, a search, and deleting one with confirmation.
    openPanel("history");
    ASSERT_TRUE(waitFor("document.querySelectorAll('#history-list > li').length === 5")) << text("#history-list");
    EXPECT_NE(text("#history-list").find("<b>plumber</b>"), std::string::npos) << "the tags show as typed";
    ASSERT_TRUE(type("#history-search", "printer"));
    EXPECT_TRUE(waitFor("document.querySelectorAll('#history-list > li').length === 1"));
    saveSnapshot("history-search");
    ASSERT_EQ(js("(function(){var li=[].find.call(document.querySelectorAll('#history-list > li'),function(l){"
                 "return l.textContent.indexOf('old printer')>=0;});if(!li)return false;"
                 "[].find.call(li.querySelectorAll('button'),function(b){return b.textContent==='Delete…';}).click();"
                 "return document.getElementById('confirm').open;})()"),
              "true");
    saveSnapshot("history-confirm");
    ASSERT_TRUE(click("#confirm-ok"));
    const fs::path historyFile = DictationLogger::shared().historyFileURL();
    EXPECT_TRUE(pumpUntil(10, [&] { return readText(historyFile).find("old printer") == std::string::npos; }))
        << "the deleted entry is still in the log";
    EXPECT_NE(readText(historyFile).find("quarterly budget"), std::string::npos) << "the other entries stay";
    // The search stays and is run again over what is left: the row goes.
    EXPECT_TRUE(waitFor("document.querySelectorAll('#history-list > li').length === 0 && "
                        "document.getElementById('history-summary').textContent.indexOf('No dictation matches') === 0"))
        << text("#history-list") << " / " << text("#history-summary");
    EXPECT_EQ(js("document.getElementById('history-search').value"), "printer");
    ASSERT_TRUE(type("#history-search", ""));
    EXPECT_TRUE(waitFor("document.querySelectorAll('#history-list > li').length === 4"));
    EXPECT_TRUE(waitFor("document.getElementById('stat-total').textContent.trim() === '4'"));
    // A copy says so on the button that was pressed, once the host has the text.
    ASSERT_TRUE(click("#history-list > li .actions button"));
    EXPECT_TRUE(waitFor("document.querySelector('#history-list > li .actions button').textContent === 'Copied'"))
        << text("#history-list > li .actions button");
    saveSnapshot("history");

    // History export through the (answered) save dialog.
    const fs::path exported = support.parent_path() / "history-export.md";
    host().savePath = exported.string();
    ASSERT_TRUE(choose("#history-export-format", "md"));
    ASSERT_TRUE(click("#history-export"));
    EXPECT_TRUE(pumpUntil(10, [&] { return readText(exported).find("quarterly budget") != std::string::npos; }));

    // Dictionary: the fixture term, one added by typing, one removed.
    openPanel("dictionary");
    ASSERT_TRUE(waitFor("document.getElementById('dict-rows').textContent.indexOf('Kubernetes') >= 0"));
    ASSERT_TRUE(type("#dict-from", "post gress"));
    ASSERT_TRUE(type("#dict-to", "PostgreSQL"));
    ASSERT_TRUE(submit("#dict-form"));
    ASSERT_TRUE(waitFor("document.getElementById('dict-rows').textContent.indexOf('PostgreSQL') >= 0"));
    {
        const auto dictionary = nlohmann::json::parse(readText(AppPaths::dictionaryFile()), nullptr, false);
        ASSERT_TRUE(dictionary.is_array());
        EXPECT_TRUE(std::any_of(dictionary.begin(), dictionary.end(), [](const nlohmann::json& t) {
            return t.value("from", "") == "post gress" && t.value("to", "") == "PostgreSQL";
        })) << dictionary.dump();
    }
    EXPECT_TRUE(waitFor("document.querySelectorAll('#packs li').length >= 4"));
    ASSERT_TRUE(click("#packs input[type=checkbox]"));
    saveSnapshot("dictionary");
    ASSERT_TRUE(click("#dict-rows button[aria-label='Remove kube']"));
    EXPECT_TRUE(waitFor("document.getElementById('dict-rows').textContent.indexOf('Kubernetes') < 0"));
    EXPECT_EQ(readText(AppPaths::dictionaryFile()).find("Kubernetes"), std::string::npos);

    // Snippets: the fixture one and a new one.
    openPanel("snippets");
    ASSERT_TRUE(waitFor("document.getElementById('snippet-list').textContent.indexOf('Kind regards, Sam') >= 0"));
    ASSERT_TRUE(type("#snippet-trigger", "brb"));
    ASSERT_TRUE(type("#snippet-expansion", "be right back"));
    ASSERT_TRUE(submit("#snippet-form"));
    ASSERT_TRUE(waitFor("document.getElementById('snippet-list').textContent.indexOf('be right back') >= 0"));
    EXPECT_NE(readText(support / "snippets.json").find("be right back"), std::string::npos);
    saveSnapshot("snippets");

    // Applications and profiles.
    openPanel("rules");
    // The form says what an application id is here and where to read it.
    EXPECT_NE(text("#" + js("document.getElementById('rule-bundle').getAttribute('aria-describedby')").value_or(""))
                  .find("WM_CLASS"),
              std::string::npos);
    ASSERT_TRUE(type("#rule-bundle", "org.gnome.TextEditor"));
    ASSERT_TRUE(type("#rule-name", "Text Editor"));
    // Without the clean-up, capitalising and the dictionary cannot act.
    ASSERT_TRUE(click("#rule-polish"));
    EXPECT_EQ(js("document.getElementById('rule-caps').disabled && document.getElementById('rule-dict').disabled"), "true");
    ASSERT_TRUE(click("#rule-polish"));
    EXPECT_EQ(js("document.getElementById('rule-caps').disabled"), "false");
    // A profile decides the switches: the form and the table show its values.
    ASSERT_TRUE(choose("#rule-profile", "slack"));
    EXPECT_EQ(js("[document.getElementById('rule-caps').checked, document.getElementById('rule-caps').disabled].join()"),
              "false,true");
    ASSERT_TRUE(submit("#rule-form"));
    EXPECT_TRUE(waitFor("document.getElementById('rule-rows').textContent.indexOf('org.gnome.TextEditor') >= 0"));
    EXPECT_EQ(js("(function(){var tr=[].find.call(document.querySelectorAll('#rule-rows tr'),function(r){"
                 "return r.textContent.indexOf('org.gnome.TextEditor')>=0;});"
                 "return [].slice.call(tr.cells,1,4).map(function(c){return c.textContent;}).join('|');})()"),
              "Yes (profile)|No (profile)|No (profile)");
    // Saved: the form is empty for the next application.
    EXPECT_EQ(js("document.getElementById('rule-bundle').value + document.getElementById('rule-name').value + "
                 "document.getElementById('rule-profile').value"),
              "");
    ASSERT_TRUE(type("#profile-name", "Standup notes"));
    ASSERT_TRUE(submit("#profile-form"));
    EXPECT_TRUE(waitFor("document.getElementById('profile-list').textContent.indexOf('Standup notes') >= 0"));
    saveSnapshot("rules");

    // Staging: both fixture texts, reordered, one edited, one committed.
    openPanel("staging");
    ASSERT_TRUE(waitFor("document.querySelectorAll('#staging-list > li').length === 2"));
    ASSERT_TRUE(click("#staging-list > li:nth-child(2) button[aria-label$='up']"));
    ASSERT_TRUE(waitFor("document.querySelector('#staging-list > li textarea').value === 'Second staged thought'"));
    EXPECT_EQ(StagingBuffer::shared().allEntries().front().text, "Second staged thought");
    ASSERT_TRUE(type("#staging-list > li:nth-child(2) textarea", "First staged thought, edited"));
    EXPECT_TRUE(pumpUntil(5, [] {
        const auto entries = StagingBuffer::shared().allEntries();
        return entries.size() == 2 && entries[1].text == "First staged thought, edited";
    }));
    // With nothing selected, committing has nothing to act on: the button is
    // off and does not stand out as the one to press; a selection turns it on.
    const std::string accent = "getComputedStyle(document.querySelector('#nav button[aria-current]')).backgroundColor";
    const std::string commitLook = "getComputedStyle(document.getElementById('staging-commit')).backgroundColor";
    EXPECT_EQ(js("document.getElementById('staging-commit').disabled"), "true");
    EXPECT_EQ(js(commitLook + " === " + accent), "false") << js(commitLook).value_or("");
    saveSnapshot("staging");
    ASSERT_TRUE(click("#staging-list > li:nth-child(1) input[type=checkbox]"));
    EXPECT_EQ(js("document.getElementById('staging-commit').disabled"), "false");
    EXPECT_EQ(js(commitLook + " === " + accent), "true") << js(commitLook).value_or("");
    saveSnapshot("staging-selected");
    ASSERT_TRUE(click("#staging-commit"));
    EXPECT_TRUE(waitFor("document.querySelectorAll('#staging-list > li').length === 1"));
    EXPECT_EQ(host().insertedTexts, std::vector<std::string>{"Second staged thought"});
    EXPECT_EQ(StagingBuffer::shared().count(), 1u);

    // Learned corrections, rewrite, privacy, personal model: each panel answers.
    openPanel("learned");
    saveSnapshot("learned");
    openPanel("rewrite");
    ASSERT_TRUE(type("#rewrite-input", "so um we should maybe meet tomorrow"));
    ASSERT_TRUE(click(".rewrite-mode[data-mode='polish']"));
    // The request is answered, whether by a rewrite or by the reason none
    // can be made here: "Rewriting…" alone is only the page's own word.
    EXPECT_TRUE(waitFor("/^(Done|Rewrite failed: .+)/.test(document.getElementById('rewrite-status').textContent)", 60))
        << text("#rewrite-status");
    EXPECT_FALSE(text("#rewrite-availability").empty());
    saveSnapshot("rewrite");

    // Settings: each control writes its setting.
    openPanel("settings");
    ASSERT_TRUE(waitFor("document.getElementById('set-hotkey').value !== ''"));
    ASSERT_TRUE(choose("#set-hotkey", "f13"));
    EXPECT_TRUE(pumpUntil(5, [] { return !host().grabs.empty() && host().grabs.back() == HotkeyMode::f13; }));
    // The modes are named by what the local clean-up does; none calls the rewrite helper.
    EXPECT_EQ(js("[].some.call(document.querySelectorAll('#set-mode option'),function(o){"
                 "return /rewrite/i.test(o.textContent + ' ' + o.dataset.detail);})"),
              "false");
    // Every choice is shown whole: no option's text is wider than its box
    // (less its padding and arrow), and what the chosen mode does is said in
    // full beneath it.
    EXPECT_EQ(js("[].filter.call(document.querySelectorAll('#panel-settings select option'),function(o){"
                 "var box=o.parentNode,ctx=document.createElement('canvas').getContext('2d');"
                 "ctx.font=getComputedStyle(box).font;"
                 "return ctx.measureText(o.textContent).width > box.clientWidth - 36;"
                 "}).map(function(o){return o.textContent;}).join(' | ')"),
              "");
    ASSERT_TRUE(choose("#set-mode", "balanced"));
    EXPECT_EQ(text("#mode-note"),
              "Balanced: voice commands, and also removes fillers, applies your dictionary and learned corrections.");
    // The editing commands that act only as a dictation's last words are named.
    EXPECT_EQ(text("#voice-command-note"), VoiceCommandCatalog::placementNote());
    saveSnapshot("settings-mode");
    ASSERT_TRUE(choose("#set-mode", "polish"));
    EXPECT_TRUE(waitFor("document.getElementById('set-mode').value === 'polish'"));
    EXPECT_EQ(text("#mode-note"), "Polish: as Balanced, and starts with a capital letter.");
    ASSERT_TRUE(choose("#set-theme", "abyss"));
    EXPECT_TRUE(pumpUntil(5, [] { return !host().themes.empty() && host().themes.back() == "abyss"; }));
    EXPECT_EQ(AppPaths::userDefaults()->string("ondira_indicator_theme"), "abyss");
    // A refused grab keeps the old key and says why.
    host().grabRefusal = "That key is taken by another application.";
    ASSERT_TRUE(choose("#set-hotkey", "f14"));
    EXPECT_TRUE(waitFor("!document.getElementById('hotkey-error').hidden"));
    EXPECT_TRUE(waitFor("document.getElementById('set-hotkey').value === 'f13'"));
    host().grabRefusal.reset();
    saveSnapshot("settings");

    // Permissions and health: the failing item offers its fix.
    openPanel("health");
    ASSERT_TRUE(waitFor("document.getElementById('health-list').textContent.indexOf('Accessibility') >= 0"));
    ASSERT_TRUE(js("(function(){var b=[].find.call(document.querySelectorAll('#health-list button'),function(b){"
                   "return b.textContent==='Open settings';});if(!b)return false;b.click();return true;})()") == "true");
    EXPECT_TRUE(pumpUntil(5, [] { return host().permissionPanes == std::vector<std::string>{"accessibility"}; }));
    // Running all checks again gives the same rows once, not a second copy.
    ASSERT_TRUE(click("#selftest-run"));
    EXPECT_TRUE(waitFor("document.getElementById('selftest-note').textContent !== ''"));
    EXPECT_EQ(js("document.querySelectorAll('#panel-health ul.rows > li').length"), "2");
    saveSnapshot("health");

    openPanel("privacy");
    EXPECT_TRUE(waitFor("document.getElementById('privacy-egress-badge').textContent !== 'Not measured yet'", 30));
    EXPECT_TRUE(waitFor("!document.getElementById('privacy-run').disabled", 30));
    // The figures are named in words, never by their keys.
    EXPECT_EQ(js("(function(){var li=document.querySelectorAll('#privacy-list .stats li');return li.length>0&&"
                 "[].every.call(li,function(l){return !/^[a-z]+[A-Z]/.test(l.textContent);});})()"),
              "true")
        << text("#privacy-list");
    saveSnapshot("privacy");
    // The headline follows the rows: one failing row turns it red. (Measured
    // reports still on their way would land after the one asked for here.)
    ASSERT_TRUE(pumpUntil(120, [] { return host().privacyReportsRunning == 0; }));
    pumpUntil(0.5, [] { return false; });
    host().privacy = nlohmann::json{
        {"generatedAt", 1},
        {"checks",
         {{{"id", "outbound_hosts"},
           {"label", "Outbound hosts"},
           {"status", "pass"},
           {"detail", "All on the allow list"},
           {"stats", {{"allowListedCount", 2}, {"hostLiteralsFound", 2}, {"unknownHosts", nlohmann::json::array()}}}},
          {{"id", "recordings"},
           {"label", "Recordings left behind"},
           {"status", "fail"},
           {"detail", "199 recordings in the temporary folder"},
           {"stats", {{"fileCount", 199}}}}}}};
    ASSERT_TRUE(click("#privacy-run"));
    EXPECT_TRUE(waitFor("document.getElementById('privacy-egress-badge').textContent === "
                        "'1 check failed: Recordings left behind'"))
        << text("#privacy-egress-badge");
    EXPECT_EQ(js("document.getElementById('privacy-egress-badge').className"), "badge fail");
    // The live socket count is informational, never measured as a verdict: it
    // does not make the headline unsure. A check that really could not be
    // made does.
    const auto report = [](const char* accountStatus) {
        const auto check = [](const char* id, const char* status) {
            return nlohmann::json{{"id", id}, {"label", id}, {"status", status}, {"detail", "-"}};
        };
        auto hosts = check("outbound_hosts", "pass");
        hosts["stats"] = {{"allowListedCount", 2}, {"hostLiteralsFound", 2}, {"unknownHosts", nlohmann::json::array()}};
        return nlohmann::json{{"generatedAt", 2},
                              {"checks",
                               {hosts, check("audio_retention", "pass"), check("account_state", accountStatus),
                                check("socket_count", "unknown")}}};
    };
    const struct {
        const char* accountStatus;
        const char* badge;
        const char* className;
    } headlines[] = {
        {"pass", "2 of 2 embedded hosts on the allow list", "badge pass"},
        {"unknown", "2 of 2 embedded hosts on the allow list; 1 check could not be made", "badge unknown"},
    };
    for (const auto& h : headlines) {
        host().privacy = report(h.accountStatus);
        ASSERT_TRUE(click("#privacy-run"));
        EXPECT_TRUE(waitFor("document.getElementById('privacy-egress-badge').textContent === '" + std::string(h.badge) +
                            "'"))
            << text("#privacy-egress-badge");
        EXPECT_EQ(js("document.getElementById('privacy-egress-badge').className"), h.className);
    }
    host().privacy.reset();
    // Checking the machine again from the health panel measures privacy again too.
    openPanel("health");
    ASSERT_TRUE(click("#health-refresh"));
    openPanel("privacy");
    EXPECT_TRUE(waitFor("document.getElementById('privacy-egress-badge').textContent !== "
                        "'1 check failed: Recordings left behind'",
                        30))
        << text("#privacy-egress-badge");
    openPanel("model");
    EXPECT_TRUE(waitFor("document.getElementById('personal-model-lines').textContent !== 'Checking…'", 20));
    saveSnapshot("model");

    // A dictation logged while the hub is open shows up in it.
    platform::Semaphore written;
    DictationLogger::shared().append("A brand new dictation after the hub opened", "Text Editor", Clock::now(), 2, 0.2, 0.2,
                                     "pocketsphinx", [&] { written.signal(); });
    written.wait(10);
    hub().refreshAfterDictation();
    openPanel("overview");
    EXPECT_TRUE(waitFor("document.getElementById('recent').textContent.indexOf('brand new dictation') >= 0"));
    EXPECT_TRUE(waitFor("document.getElementById('stat-total').textContent.trim() === '5'"));

    const std::string log = logText();
    EXPECT_EQ(log.find("[bridge] UNHANDLED"), std::string::npos) << log;
}

TEST_F(HubPageTest, PanelsWhoseStoresChangedAreSentAgainWhileTheHubIsOpen) {
    showAndSettle();
    openPanel("staging");
    const std::size_t staged = StagingBuffer::shared().count();
    ASSERT_TRUE(waitFor("document.querySelectorAll('#staging-list > li').length === " + std::to_string(staged)));

    // A dictation staged while the hub is open, as the dictation controller
    // does it: logged, the hub told, the text put in the buffer.
    platform::Semaphore written;
    DictationLogger::shared().append("Staged while the hub was open", "Text Editor", Clock::now(), 2, 0.2, 0.2,
                                     EngineIdentifier::contextDecoder(), [&] { written.signal(); });
    written.wait(10);
    hub().refreshAfterDictation();
    StagingBuffer::shared().append("Staged while the hub was open", true);
    EXPECT_TRUE(waitFor("[].some.call(document.querySelectorAll('#staging-list textarea'),function(t){"
                        "return t.value === 'Staged while the hub was open';})"))
        << js("document.querySelectorAll('#staging-list > li').length").value_or("");
    EXPECT_EQ(js("document.getElementById('staging-empty').hidden"), "true");
    // Emptied elsewhere (the menu's commit): the panel follows.
    StagingBuffer::shared().clear();
    hub().stagingChanged();
    EXPECT_TRUE(waitFor("document.querySelectorAll('#staging-list > li').length === 0 && "
                        "!document.getElementById('staging-empty').hidden"))
        << js("document.querySelectorAll('#staging-list > li').length").value_or("");
    // The engine line counts it, in words that fit one.
    EXPECT_TRUE(waitFor("/: 1 dictation(?!s)/.test(document.getElementById('engine-note').textContent)"))
        << text("#engine-note");
}

// A history that cannot be read is said to be so, on the overview and in
// the history panel, never shown as an empty one; lines that did not read
// are counted beside the rows that did.
TEST_F(HubPageTest, AHistoryThatCannotBeReadIsSaidToBeSoNotShownEmpty) {
    showAndSettle();
    openPanel("history");
    const fs::path live = DictationLogger::shared().historyFileURL();
    const std::string content = readText(live);
    ASSERT_FALSE(content.empty());
    ASSERT_TRUE(fs::remove(live));
    ASSERT_TRUE(fs::create_directory(live));
    hub().refreshAfterDictation();
    const std::string why = "The history could not be read: " + live.string() + " is not a regular file.";
    EXPECT_TRUE(waitFor("document.querySelector('#recent li').textContent === " + quoted(why))) << text("#recent");
    EXPECT_TRUE(waitFor("document.getElementById('history-problem').textContent === " + quoted(why) +
                        " && !document.getElementById('history-problem').hidden"))
        << text("#history-problem");
    EXPECT_EQ(text("#history-summary"), "");
    // Its figures are not known, not zero: each tile says so and carries the reason.
    EXPECT_TRUE(waitFor("[].every.call(document.querySelectorAll('.tile-value'),function(t){"
                        "return t.textContent === '\u2014' && t.title === " + quoted(why) + ";})"))
        << text(".tiles");
    EXPECT_EQ(text("#per-app"), "The history could not be read.");
    // Nor does a search of it find nothing: it says what could not be read.
    ASSERT_TRUE(js("(function(){var shown=window.ondiraSetHistorySearchResults;"
                   "window.ondiraSetHistorySearchResults=function(r){shown(r);window.__searched=true;};return true;})()") ==
                "true");
    ASSERT_TRUE(type("#history-search", "budget"));
    ASSERT_TRUE(waitFor("window.__searched === true")) << "the search was never answered";
    EXPECT_TRUE(waitFor("document.getElementById('history-problem').textContent === " + quoted(why) +
                        " && !document.getElementById('history-problem').hidden && "
                        "document.getElementById('history-summary').textContent === ''"))
        << text("#history-problem") << " / " << text("#history-summary");
    ASSERT_TRUE(type("#history-search", ""));
    saveSnapshot("history-unreadable");

    fs::remove(live);
    ASSERT_TRUE(platform::atomicWrite(live, content + "{\"torn\": \"\xFF\n"));
    hub().refreshAfterDictation();
    EXPECT_TRUE(waitFor("document.getElementById('history-problem').textContent === "
                        "'1 line of the history could not be read and is left out.' && "
                        "document.querySelectorAll('#history-list > li').length > 0"))
        << text("#history-problem");

    ASSERT_TRUE(platform::atomicWrite(live, content));
    hub().refreshAfterDictation();
    EXPECT_TRUE(waitFor("document.getElementById('history-problem').hidden && "
                        "!document.querySelector('#recent li.error')"))
        << text("#history-problem");
    EXPECT_TRUE(waitFor("/^[0-9]+$/.test(document.getElementById('stat-total').textContent) && "
                        "document.getElementById('stat-total').title === ''"))
        << text("#stat-total");
}

// A command in a fix is shown whole: however narrow the list (a narrow
// window, large text), a line of it starts only after one of its spaces,
// never inside a word such as after the hyphen of "toolkit-accessibility";
// and its Copy puts exactly the command on the clipboard.
TEST_F(HubPageTest, AFixsCommandIsNeverBrokenInsideAWordAndCopiesExactly) {
    showAndSettle();
    openPanel("health");
    const std::string command = "gsettings set org.gnome.desktop.interface toolkit-accessibility true";
    ASSERT_NE(std::string(LinuxNames::accessibilityAccessRemedy).find(command), std::string::npos);
    ASSERT_TRUE(waitFor("document.getElementById('health-list').textContent.indexOf(" + quoted(command) + ") >= 0"))
        << text("#health-list");
    // Each character of the command in the row's text, with the top of its
    // box: one lower than the character before it begins a line.
    const auto found = nlohmann::json::parse(js(R"((function(command){
        var list = document.getElementById('health-list'), spots = [], all = '', node;
        var walk = document.createTreeWalker(list, NodeFilter.SHOW_TEXT);
        while ((node = walk.nextNode())) { spots.push({ node: node, at: all.length }); all += node.data; }
        var start = all.indexOf(command), range = document.createRange();
        function top(i) {
          var at = start + i, spot = spots.filter(function (s) { return s.at <= at; }).pop();
          range.setStart(spot.node, at - spot.at);
          range.setEnd(spot.node, at - spot.at + 1);
          // At a line's start the range also touches the end of the line
          // before, where it has an empty box: the character's own box is
          // the last one with a width.
          var boxes = [].filter.call(range.getClientRects(), function (b) { return b.width > 0; });
          return boxes.length ? boxes[boxes.length - 1].top : null;
        }
        var inside = [], wrapped = 0;
        for (var width = 640; width >= 240; width -= 4) {
          list.style.width = width + 'px';
          var last = null, lines = 1;
          for (var i = 0; i < command.length; i++) {
            if (command[i] === ' ') continue;
            var t = top(i);
            if (t === null) continue;
            if (last !== null && t > last + 2) {
              ++lines;
              if (command[i - 1] !== ' ') inside.push(width + 'px: ' + command.slice(i));
            }
            last = t;
          }
          if (lines > 1) ++wrapped;
        }
        list.style.width = '';
        return JSON.stringify({ inside: inside, wrapped: wrapped });
      }))" + std::string("(") + quoted(command) + ")").value_or("{}"), nullptr, false);
    ASSERT_TRUE(found.is_object()) << found.dump();
    EXPECT_EQ(found.value("inside", nlohmann::json::array()), nlohmann::json::array())
        << "a line of the command starts inside a word";
    EXPECT_GT(found.value("wrapped", 0), 0) << "the command is meant to be wider than the narrowest list";

    GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    gtk_clipboard_set_text(clipboard, "", -1);
    ASSERT_TRUE(click("#health-list button[aria-label='Copy the command']"));
    EXPECT_TRUE(waitFor("document.querySelector(\"#health-list button[aria-label='Copy the command']\").textContent "
                        "=== 'Copied'"));
    gchar* copied = gtk_clipboard_wait_for_text(clipboard);
    EXPECT_EQ(copied ? std::string(copied) : std::string(), command);
    g_free(copied);
    saveSnapshot("health-command");
}

TEST_F(HubPageTest, ThePersonalModelPanelFollowsTheModelWithoutARefresh) {
    showAndSettle();
    openPanel("model");
    ASSERT_TRUE(waitFor("document.getElementById('personal-model-badge').textContent === 'Not attached'"))
        << text("#personal-model-badge");
    // What a finished build leaves, for the language the hub reports on;
    // then the recogniser attaches it, as a dictation does.
    const std::string locale = SpeechEngine::resolveConfiguredLocaleIdentifier(
        SpeechEngine::loadPersistedLocale(*AppPaths::userDefaults()), SpeechEngine::currentSystemLocaleIdentifier());
    const fs::path dir = PersonalModel::directory();
    const double now = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
    ASSERT_TRUE(platform::atomicWrite(dir / "model.bin", "model"));
    ASSERT_TRUE(platform::atomicWrite(dir / "vocabulary.bin", "vocabulary"));
    ASSERT_TRUE(platform::atomicWrite(dir / "metadata.json",
                                      PersonalModel::toJSON(PersonalModel::CacheMetadata{5, locale, now, "1"}).dump()));
    PersonalModel::shared().recordAttachment(locale, PersonalModel::RequestKind::audioFile);
    EXPECT_TRUE(waitFor("document.getElementById('personal-model-badge').textContent === 'Attached to recognition'", 20))
        << text("#personal-model-badge");
    // The panel tells the history now from what the model was built from,
    // and names the road that carried it as the user knows it: the
    // recording of a dictation, not "an audio file".
    EXPECT_TRUE(waitFor("document.getElementById('personal-model-lines').textContent.indexOf('Last observed attach') >= 0",
                        20));
    const std::string panel = text("#personal-model-lines");
    EXPECT_NE(panel.find("Dictations in history"), std::string::npos) << panel;
    EXPECT_NE(panel.find("Built from              5 dictations, locale " + locale), std::string::npos) << panel;
    EXPECT_NE(panel.find("a dictation's recording, decoded after the key was released"), std::string::npos) << panel;
    EXPECT_EQ(panel.find("audio file"), std::string::npos) << panel;
    EXPECT_EQ(panel.find("Corpus entries"), std::string::npos) << panel;
    saveSnapshot("model-attached");
    // And when the model goes (the history was emptied), so does the badge.
    PersonalModel::removeAllModelFiles();
    EXPECT_TRUE(waitFor("document.getElementById('personal-model-badge').textContent === 'Not attached'", 20))
        << text("#personal-model-badge");
}

TEST_F(HubPageTest, TheRewritePanelAsksTheRealHelperAndShowsTheModelsRewrite) {
    auto& rewriter = PolishService::shared();
    // No model server: the helper's own answer, worded for a person.
    const std::string closed = "http://127.0.0.1:" + std::to_string(FakeModelServer::closedPort());
    ::setenv("MIRVANE_ENDPOINT", closed.c_str(), 1);
    rewriter.shutdown();
    showAndSettle();
    openPanel("rewrite");
    ASSERT_TRUE(waitFor("document.getElementById('rewrite-availability').textContent.indexOf('Asking') < 0", 30));
    const std::string unavailable = text("#rewrite-availability");
    EXPECT_EQ(unavailable.find("ready"), std::string::npos) << unavailable;
    EXPECT_NE(unavailable.find("no model server answered at " + closed), std::string::npos) << unavailable;
    EXPECT_NE(unavailable.find("mirvane.json"), std::string::npos) << unavailable;
    EXPECT_EQ(unavailable.find("mirvane:"), std::string::npos) << unavailable;
    ASSERT_TRUE(type("#rewrite-input", "so um we should maybe meet tomorrow"));
    ASSERT_TRUE(click(".rewrite-mode[data-mode='polish']"));
    ASSERT_TRUE(waitFor("document.getElementById('rewrite-status').textContent.indexOf('Rewrite failed') === 0", 30));
    EXPECT_EQ(text("#rewrite-status").find("mirvane:"), std::string::npos) << text("#rewrite-status");

    // A model server on this machine: ready, and its rewrite reaches the page
    // through the bridge, the client and the real helper.
    FakeModelServer server;
    server.onChat([](const nlohmann::json&) { return FakeModelServer::completion("We should meet tomorrow."); });
    ::setenv("MIRVANE_ENDPOINT", server.url().c_str(), 1);

    // Started while the panel still says it is not available: the rewrite
    // that then works takes the old word away.
    ASSERT_TRUE(click(".rewrite-mode[data-mode='polish']"));
    ASSERT_TRUE(waitFor("document.getElementById('rewrite-output').value === 'We should meet tomorrow.'", 40))
        << text("#rewrite-status");
    EXPECT_EQ(text("#rewrite-availability").find("not available"), std::string::npos) << text("#rewrite-availability");
    saveSnapshot("rewrite-after-start");
    // A failure after it: the old result goes, no "ready" stays beside the
    // failure, and the failure says what to do about it.
    server.onChat([](const nlohmann::json&) { return FakeModelServer::Reply{500, R"({"error":"no memory"})", 0}; });
    ASSERT_TRUE(click(".rewrite-mode[data-mode='polish']"));
    ASSERT_TRUE(waitFor("document.getElementById('rewrite-status').textContent.indexOf('Rewrite failed') === 0", 40))
        << text("#rewrite-status");
    EXPECT_EQ(js("document.getElementById('rewrite-output').value"), "");
    EXPECT_EQ(js("document.getElementById('rewrite-availability').hidden || "
                 "document.getElementById('rewrite-availability').textContent.indexOf('ready') < 0"),
              "true")
        << text("#rewrite-availability");
    const std::string failure = text("#rewrite-status");
    EXPECT_NE(failure.find("HTTP 500"), std::string::npos) << failure;
    EXPECT_NE(failure.find("Check that the model server"), std::string::npos) << failure;
    EXPECT_NE(failure.find("mirvane.json"), std::string::npos) << failure;
    saveSnapshot("rewrite-failed");
    server.onChat([](const nlohmann::json&) { return FakeModelServer::completion("We should meet tomorrow."); });
    const std::size_t askedBefore = server.answerRequests().size();
    showAndSettle();
    openPanel("rewrite");
    EXPECT_TRUE(waitFor("document.getElementById('rewrite-availability').textContent === 'The rewrite helper is ready.'", 30))
        << text("#rewrite-availability");
    ASSERT_TRUE(type("#rewrite-input", "so um we should maybe meet tomorrow"));
    ASSERT_TRUE(click(".rewrite-mode[data-mode='polish']"));
    EXPECT_TRUE(waitFor("document.getElementById('rewrite-output').value === 'We should meet tomorrow.'", 40))
        << text("#rewrite-status");
    const auto asked = server.answerRequests();
    ASSERT_EQ(asked.size(), askedBefore + 1);
    EXPECT_NE(asked.back().dump().find("so um we should maybe meet tomorrow"), std::string::npos) << asked.back().dump();

    rewriter.shutdown();
    ::unsetenv("MIRVANE_ENDPOINT");
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // A private HOME: every store the page reaches lives in it.
    const char* base = std::getenv("ONDIRA_TEST_TMP");
    const fs::path home =
        fs::path(base ? base : fs::temp_directory_path().string()) / ("hub-home-" + std::to_string(getpid()));
    fs::remove_all(home);
    fs::create_directories(home);
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home / ".cache").c_str(), 1);
    ::unsetenv(AppPaths::selfTestStateDirVariable);
    // The program's log lines are checked by the test: they go to a file,
    // which is copied to standard error at the end.
    gLog = home / "program.log";
    std::fflush(stdout);
    const int console = dup(STDOUT_FILENO);
    FILE* logFile = std::freopen(gLog.c_str(), "w", stdout);
    (void)logFile;

    platform::MainQueue::markCurrentThreadAsMain();
    platform::Bundle::overrideBundleDirectory(fs::path(ONDIRA_BUNDLE_DIR));
    gDisplay = std::getenv("DISPLAY") && gtk_init_check(nullptr, nullptr);
    writeFixture();
    auto host = std::make_unique<TestHost>();
    gHost = host.get();
    if (gDisplay) {
        // The application makes its indicator first; the hub joins its web process.
        IndicatorWindowController::shared();
        HubWindowController::shared().setHost(std::move(host));
    }
    const int status = RUN_ALL_TESTS();
    // The rewrite helper the page started ends with the tests.
    PolishService::shared().shutdown();

    std::fflush(stdout);
    dup2(console, STDOUT_FILENO);
    std::fprintf(stderr, "%s", readText(gLog).c_str());
    fs::remove_all(home);
    // Ended as the application ends: the services the page reached keep
    // worker threads that are never joined, and static destructors running
    // under them crashed this process after all its cases had passed.
    std::fflush(nullptr);
    std::_Exit(status);
}

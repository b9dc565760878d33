#pragma once
// The hub: Ondira's main window, one GTK window holding one web view that
// shows Resources/ondira_hub.html and talks to the program through the
// script-message handler "ondira" (routed to HubBridge).
//
// The window is built on first show and never destroyed: closing hides it.
// Every show loads the page afresh (and so does a web process that went
// away), so a shown hub never keeps a half-typed form or a stale panel.
#include <atomic>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "UI/HubBridge.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _WebKitWebView WebKitWebView;

// The desktop half of HubHost, done with GTK and GIO: native file choosers
// (so they work under portals), the CLIPBOARD selection and the default
// browser. The application supplies the rest.
class HubDesktopHost : public HubHost {
public:
    void chooseSaveFile(const std::string& title, const std::string& suggestedName,
                        std::function<void(std::optional<std::string> path)> done) override;
    void chooseOpenFile(const std::string& title, const std::vector<std::string>& patterns,
                        std::function<void(std::optional<std::string> path)> done) override;
    void copyToClipboard(const std::string& text) override;
    // http and https only; anything else is refused here too.
    void openURL(const std::string& url) override;
};

class HubWindowController : public HubEmitter {
public:
    static constexpr const char* title = "Ondira";
    static constexpr int defaultWidth = 1180, defaultHeight = 820;
    static constexpr int minimumWidth = 900, minimumHeight = 600;
    // Emits queued while the page loads; beyond this the oldest are dropped
    // (the page asks for everything again once it has loaded).
    static constexpr std::size_t maxQueuedScripts = 512;

    // Created on first use (main thread), lives to the end of the process.
    static HubWindowController& shared();

    // Who answers the bridge's application and desktop needs. Set before
    // the first show; the bridge is made with it on first show.
    void setHost(std::unique_ptr<HubHost> host);
    // Whether the page may capture the microphone (asked at each request).
    void setMicrophoneUsable(std::function<bool()> usable) { microphoneUsable_ = std::move(usable); }

    // Main thread: builds the window on first use, loads the page afresh
    // (unless it is still loading), centres the window on the monitor under
    // the pointer when it isn't on that monitor, brings it forward; the
    // loaded page gets the first statistics and history page.
    void show();
    // Any thread: re-sends history and statistics to an open page.
    void refreshAfterDictation();
    // Any thread: the staging buffer changed elsewhere; an open page shows it again.
    void stagingChanged();
    // Main thread: hides (the close button does the same).
    void hide();

    // HubEmitter: evaluated at once when the page has loaded, else queued
    // until it has.
    void evaluateScript(const std::string& js) override;

    // What a navigation to `uri` may do, for a page living in `pageDirectory`.
    enum class LinkDecision { allow, openInBrowser, refuse };
    static LinkDecision decideNavigation(const std::string& uri, const std::filesystem::path& pageDirectory, bool newWindow);
    // The window's frame for a monitor work area: centred, fitted inside it
    // when it is smaller than the window, never below the minimum size.
    struct Frame {
        int x = 0, y = 0, width = 0, height = 0;
        bool operator==(const Frame&) const = default;
    };
    static Frame centredFrame(const Frame& workArea, int width, int height);
    static bool intersects(const Frame& a, const Frame& b);

    // Observers for the application and its tests.
    GtkWidget* window() const { return window_; }
    WebKitWebView* webView() const { return webView_; }
    HubBridge* bridge() const { return bridge_.get(); }
    bool isVisible() const;
    bool isPageLoaded() const { return pageLoaded_; }
    int pageLoads() const { return pageLoads_; }
    std::size_t queuedScripts() const { return queued_.size(); }
    // How often show() and refreshAfterDictation() were called in this process.
    int showCount() const { return showCount_; }
    int refreshRequests() const { return refreshRequests_; }
    // The page shown: the bundle's file, or none when the bundle lacks it.
    static std::optional<std::filesystem::path> hubPage();

private:
    HubWindowController() = default;
    void ensureWindow();
    void loadPage();
    void place();
    void didFinishLoading();
    void flushQueue();
    friend struct HubWindowCallbacks;

    GtkWidget* window_ = nullptr;
    WebKitWebView* webView_ = nullptr;
    std::unique_ptr<HubHost> host_;
    std::shared_ptr<HubBridge> bridge_;
    std::function<bool()> microphoneUsable_;
    std::optional<std::filesystem::path> pageDirectory_;
    bool pageLoaded_ = false;
    bool loading_ = false;
    bool placed_ = false;
    int pageLoads_ = 0;
    int showCount_ = 0;
    std::atomic<int> refreshRequests_{0};
    std::deque<std::string> queued_;
};

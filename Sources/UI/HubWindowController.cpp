#include "UI/HubWindowController.h"

#include "UI/FileChooser.h"

#include "Learning/PersonalModel.h"
#include "Platform/Bundle.h"
#include "Platform/FileIO.h"
#include "Platform/Launch.h"
#include "Platform/Log.h"
#include "Platform/Queues.h"
#include "UI/SharedWebView.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <cctype>

namespace fs = std::filesystem;

namespace {
constexpr const char* kMissingPage =
    "<!doctype html><html><head><meta charset=\"utf-8\"><style>"
    "html,body{margin:0;height:100%;background:#0a0c10;color:#e6e6e6;"
    "font-family:system-ui,-apple-system,'Cantarell','Segoe UI',sans-serif}"
    "body{display:flex;align-items:center;justify-content:center;min-height:100vh}"
    "p{max-width:420px;text-align:center}"
    "</style></head><body><p>Ondira could not find its dashboard resources. Please reinstall the application.</p>"
    "</body></html>";

std::string lowerScheme(const std::string& uri) {
    char* scheme = g_uri_parse_scheme(uri.c_str());
    std::string s = scheme ? scheme : "";
    g_free(scheme);
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

bool isWebScheme(const std::string& scheme) { return scheme == "http" || scheme == "https"; }

// `path` lies inside `directory` (both made absolute, symbolic links and
// ".." resolved), component by component, so "/a/bc" is not inside "/a/b".
bool isInside(const fs::path& path, const fs::path& directory) {
    std::error_code ec;
    const fs::path p = fs::weakly_canonical(path, ec);
    if (ec) return false;
    const fs::path d = fs::weakly_canonical(directory, ec);
    if (ec) return false;
    auto pi = p.begin();
    for (auto di = d.begin(); di != d.end(); ++di, ++pi) {
        if (di->empty()) continue;  // the trailing separator of "dir/"
        if (pi == p.end() || *pi != *di) return false;
    }
    return true;
}
}  // namespace

// ---------------------------------------------------------------- decisions

HubWindowController::LinkDecision HubWindowController::decideNavigation(const std::string& uri,
                                                                        const fs::path& pageDirectory, bool newWindow) {
    const std::string scheme = lowerScheme(uri);
    if (isWebScheme(scheme)) return LinkDecision::openInBrowser;
    // A new window is never made, and only a web link has somewhere else to go.
    if (newWindow) return LinkDecision::refuse;
    // The page shown when the bundle lacks the hub, and empty frames.
    if (uri == "about:blank") return LinkDecision::allow;
    if (scheme != "file" || pageDirectory.empty()) return LinkDecision::refuse;
    // Anchors and queries stay on the page; only the path decides.
    const std::string bare = uri.substr(0, uri.find_first_of("?#"));
    GError* error = nullptr;
    char* hostname = nullptr;
    char* filename = g_filename_from_uri(bare.c_str(), &hostname, &error);
    if (error) g_error_free(error);
    const bool remoteHost = hostname && *hostname && std::string(hostname) != "localhost";
    g_free(hostname);
    if (!filename) return LinkDecision::refuse;
    const fs::path path(filename);
    g_free(filename);
    if (remoteHost) return LinkDecision::refuse;
    return isInside(path, pageDirectory) ? LinkDecision::allow : LinkDecision::refuse;
}

bool HubWindowController::intersects(const Frame& a, const Frame& b) {
    return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

HubWindowController::Frame HubWindowController::centredFrame(const Frame& workArea, int width, int height) {
    Frame f;
    f.width = std::max(std::min(width, workArea.width), minimumWidth);
    f.height = std::max(std::min(height, workArea.height), minimumHeight);
    f.x = workArea.x + (workArea.width - f.width) / 2;
    f.y = workArea.y + (workArea.height - f.height) / 2;
    // Larger than the work area (only below the minimum size): the title bar
    // and the left edge stay on the screen.
    f.x = std::max(f.x, workArea.x);
    f.y = std::max(f.y, workArea.y);
    return f;
}

std::optional<fs::path> HubWindowController::hubPage() {
    const auto resources = platform::Bundle::resourceURL();
    if (!resources) return std::nullopt;
    const fs::path page = *resources / "ondira_hub.html";
    if (!platform::fileExists(page)) return std::nullopt;
    return page;
}

// ---------------------------------------------------------------- GTK and WebKit callbacks

struct HubWindowCallbacks {
    static gboolean deleteEvent(GtkWidget*, GdkEvent*, gpointer) {
        HubWindowController::shared().hide();
        return TRUE;  // hidden, never destroyed
    }

    static void loadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer) {
        auto& c = HubWindowController::shared();
        if (event == WEBKIT_LOAD_STARTED) {
            c.pageLoaded_ = false;
            c.loading_ = true;
        } else if (event == WEBKIT_LOAD_FINISHED) {
            c.didFinishLoading();
        }
    }

    static void webProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer) {
        auto& c = HubWindowController::shared();
        platform::log("HubWindowController", "The hub's web process ended; the page is loaded again.");
        c.pageLoaded_ = false;
        c.loading_ = false;
        if (c.isVisible()) c.loadPage();
    }

    static gboolean decidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer) {
        if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
        auto* navigation = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
        WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(navigation);
        WebKitURIRequest* request = action ? webkit_navigation_action_get_request(action) : nullptr;
        const char* raw = request ? webkit_uri_request_get_uri(request) : nullptr;
        const std::string uri = raw ? raw : "";
        auto& c = HubWindowController::shared();
        const auto verdict = HubWindowController::decideNavigation(uri, c.pageDirectory_.value_or(fs::path()),
                                                                   type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION);
        switch (verdict) {
            case HubWindowController::LinkDecision::allow: webkit_policy_decision_use(decision); break;
            case HubWindowController::LinkDecision::openInBrowser:
                webkit_policy_decision_ignore(decision);
                if (c.host_) c.host_->openURL(uri);
                break;
            case HubWindowController::LinkDecision::refuse:
                webkit_policy_decision_ignore(decision);
                platform::log("HubWindowController", "Refused a navigation away from the hub page: " + uri);
                break;
        }
        return TRUE;
    }

    // window.open() and the like: a web link goes to the browser; no web
    // view is ever made.
    static GtkWidget* createWebView(WebKitWebView*, WebKitNavigationAction* action, gpointer) {
        WebKitURIRequest* request = action ? webkit_navigation_action_get_request(action) : nullptr;
        const char* raw = request ? webkit_uri_request_get_uri(request) : nullptr;
        const std::string uri = raw ? raw : "";
        auto& c = HubWindowController::shared();
        if (HubWindowController::decideNavigation(uri, fs::path(), true) ==
                HubWindowController::LinkDecision::openInBrowser &&
            c.host_)
            c.host_->openURL(uri);
        else platform::log("HubWindowController", "Refused a new window: " + uri);
        return nullptr;
    }

    static gboolean permissionRequest(WebKitWebView*, WebKitPermissionRequest* request, gpointer) {
        bool allow = false;
        if (WEBKIT_IS_USER_MEDIA_PERMISSION_REQUEST(request)) {
            auto* media = WEBKIT_USER_MEDIA_PERMISSION_REQUEST(request);
            const bool audio = webkit_user_media_permission_is_for_audio_device(media);
            const bool video = webkit_user_media_permission_is_for_video_device(media);
            auto& c = HubWindowController::shared();
            allow = audio && !video && c.microphoneUsable_ && c.microphoneUsable_();
        }
        if (allow) webkit_permission_request_allow(request);
        else webkit_permission_request_deny(request);
        return TRUE;
    }

    static void scriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer) {
        JSCValue* value = webkit_javascript_result_get_js_value(result);
        // Only strings are messages; anything else is dropped without a word.
        if (!value || !jsc_value_is_string(value)) return;
        char* body = jsc_value_to_string(value);
        const std::string message = body ? body : "";
        g_free(body);
        auto& c = HubWindowController::shared();
        if (c.bridge_) c.bridge_->handleMessage(message);
    }
};

// ---------------------------------------------------------------- the controller

HubWindowController& HubWindowController::shared() {
    static auto* instance = new HubWindowController();
    return *instance;
}

void HubWindowController::setHost(std::unique_ptr<HubHost> host) {
    host_ = std::move(host);
    bridge_.reset();
    if (host_) bridge_ = HubBridge::create(*this, *host_);
    // A build or an attach finishes whenever it finishes, often after the
    // page asked; the open panel follows it without a Refresh.
    PersonalModel::setChangeObserver([] {
        platform::MainQueue::async([] {
            auto& c = HubWindowController::shared();
            if (c.bridge_ && c.pageLoaded_) c.bridge_->personalModelChanged();
        });
    });
}

bool HubWindowController::isVisible() const { return window_ && gtk_widget_get_visible(window_); }

void HubWindowController::ensureWindow() {
    if (window_) return;
    if (!gtk_init_check(nullptr, nullptr)) {
        platform::log("HubWindowController", "No display to show the hub on.");
        return;
    }
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_object_ref_sink(window_);  // ours for the life of the process
    GtkWindow* win = GTK_WINDOW(window_);
    gtk_window_set_title(win, title);
    gtk_window_set_icon_name(win, "ondira");
    gtk_window_set_default_size(win, defaultWidth, defaultHeight);
    GdkGeometry hints{};
    hints.min_width = minimumWidth;
    hints.min_height = minimumHeight;
    gtk_window_set_geometry_hints(win, nullptr, &hints, GDK_HINT_MIN_SIZE);
    g_signal_connect(window_, "delete-event", G_CALLBACK(HubWindowCallbacks::deleteEvent), nullptr);

    WebKitUserContentManager* content = webkit_user_content_manager_new();
    g_signal_connect(content, "script-message-received::ondira", G_CALLBACK(HubWindowCallbacks::scriptMessage), nullptr);
    webkit_user_content_manager_register_script_message_handler(content, "ondira");
    webView_ = ui::newSharedWebView(content);
    g_object_unref(content);
    // The page may ask for the microphone; the request handler decides.
    webkit_settings_set_enable_media_stream(webkit_web_view_get_settings(webView_), TRUE);
    // The page paints its own background; until it does, a dark one rather
    // than a white flash.
    GdkRGBA background = {0.039, 0.047, 0.063, 1.0};
    webkit_web_view_set_background_color(webView_, &background);
    g_signal_connect(webView_, "load-changed", G_CALLBACK(HubWindowCallbacks::loadChanged), nullptr);
    g_signal_connect(webView_, "decide-policy", G_CALLBACK(HubWindowCallbacks::decidePolicy), nullptr);
    g_signal_connect(webView_, "create", G_CALLBACK(HubWindowCallbacks::createWebView), nullptr);
    g_signal_connect(webView_, "permission-request", G_CALLBACK(HubWindowCallbacks::permissionRequest), nullptr);
    g_signal_connect(webView_, "web-process-terminated", G_CALLBACK(HubWindowCallbacks::webProcessTerminated), nullptr);
    gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(webView_));
    gtk_widget_show(GTK_WIDGET(webView_));
}

void HubWindowController::loadPage() {
    if (!webView_) return;
    pageLoaded_ = false;
    loading_ = true;
    ++pageLoads_;
    if (auto page = hubPage()) {
        pageDirectory_ = page->parent_path();
        char* uri = g_filename_to_uri(page->c_str(), nullptr, nullptr);
        if (uri) {
            webkit_web_view_load_uri(webView_, uri);
            g_free(uri);
            return;
        }
    }
    pageDirectory_.reset();
    platform::log("HubWindowController", "ondira_hub.html not found in bundle resources.");
    webkit_web_view_load_html(webView_, kMissingPage, nullptr);
}

void HubWindowController::didFinishLoading() {
    loading_ = false;
    pageLoaded_ = true;
    flushQueue();
    if (bridge_) bridge_->showFirstPage();
}

void HubWindowController::flushQueue() {
    std::deque<std::string> scripts;
    scripts.swap(queued_);
    for (const auto& js : scripts)
        webkit_web_view_evaluate_javascript(webView_, js.c_str(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
}

void HubWindowController::evaluateScript(const std::string& js) {
    if (!platform::MainQueue::isMainThread()) {
        platform::MainQueue::async([js] { HubWindowController::shared().evaluateScript(js); });
        return;
    }
    if (webView_ && pageLoaded_) {
        webkit_web_view_evaluate_javascript(webView_, js.c_str(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
        return;
    }
    if (queued_.size() >= maxQueuedScripts) queued_.pop_front();
    queued_.push_back(js);
}

void HubWindowController::place() {
    GdkDisplay* display = gdk_display_get_default();
    if (!display) return;
    GdkMonitor* monitor = nullptr;
    if (GdkSeat* seat = gdk_display_get_default_seat(display)) {
        if (GdkDevice* pointer = gdk_seat_get_pointer(seat)) {
            int px = 0, py = 0;
            gdk_device_get_position(pointer, nullptr, &px, &py);
            monitor = gdk_display_get_monitor_at_point(display, px, py);
        }
    }
    if (!monitor) monitor = gdk_display_get_primary_monitor(display);
    if (!monitor && gdk_display_get_n_monitors(display) > 0) monitor = gdk_display_get_monitor(display, 0);
    if (!monitor) return;
    GdkRectangle area;
    gdk_monitor_get_workarea(monitor, &area);
    const Frame workArea{area.x, area.y, area.width, area.height};

    GtkWindow* win = GTK_WINDOW(window_);
    Frame current;
    gtk_window_get_position(win, &current.x, &current.y);
    gtk_window_get_size(win, &current.width, &current.height);
    if (placed_ && intersects(current, workArea)) return;
    const Frame f = centredFrame(workArea, placed_ ? current.width : defaultWidth, placed_ ? current.height : defaultHeight);
    gtk_window_resize(win, f.width, f.height);
    gtk_window_move(win, f.x, f.y);
    placed_ = true;
}

void HubWindowController::show() {
    ++showCount_;
    platform::log("HubWindowController", "Showing the dashboard hub.");
    ensureWindow();
    if (!window_) return;
    // Every show starts from a fresh page, so nothing half-done survives a
    // hide (a typed rewrite, a search, a panel filled from an older store);
    // a page still loading from the show before is fresh already. The loaded
    // page asks for every panel and gets the first figures from
    // didFinishLoading().
    if (!loading_) {
        // Answers queued for the page that goes would land on the new one.
        if (pageLoads_ > 0) queued_.clear();
        loadPage();
    }
    place();
    gtk_window_present(GTK_WINDOW(window_));
}

void HubWindowController::hide() {
    if (window_) gtk_widget_hide(window_);
}

void HubWindowController::refreshAfterDictation() {
    ++refreshRequests_;
    platform::MainQueue::async([] {
        auto& c = HubWindowController::shared();
        // A hidden hub gets fresh figures when it is shown next.
        if (c.bridge_ && c.pageLoaded_ && c.isVisible()) c.bridge_->refreshAfterDictation();
    });
}

void HubWindowController::stagingChanged() {
    platform::MainQueue::async([] {
        auto& c = HubWindowController::shared();
        if (c.bridge_ && c.pageLoaded_) c.bridge_->stagingChanged();
    });
}

// ---------------------------------------------------------------- desktop services

namespace {
// The chooser answers with a path; the bridge takes it as text.
FileChooser::PathCallback asText(std::function<void(std::optional<std::string>)> done) {
    return [done = std::move(done)](std::optional<std::filesystem::path> path) {
        if (done) done(path ? std::optional<std::string>(path->string()) : std::nullopt);
    };
}

GtkWindow* hubParent() {
    GtkWidget* w = HubWindowController::shared().window();
    return w && gtk_widget_get_visible(w) ? GTK_WINDOW(w) : nullptr;
}
}  // namespace

void HubDesktopHost::chooseSaveFile(const std::string& title, const std::string& suggestedName,
                                    std::function<void(std::optional<std::string>)> done) {
    FileChooser::chooseSaveLocation(title, suggestedName, {}, asText(std::move(done)), hubParent());
}

void HubDesktopHost::chooseOpenFile(const std::string& title, const std::vector<std::string>& patterns,
                                    std::function<void(std::optional<std::string>)> done) {
    std::string name;
    for (const auto& p : patterns) name += (name.empty() ? "" : ", ") + p;
    FileChooser::chooseFileToOpen(title, {name, patterns}, asText(std::move(done)), hubParent());
}

void HubDesktopHost::copyToClipboard(const std::string& text) {
    GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    gtk_clipboard_set_text(clipboard, text.c_str(), static_cast<gint>(text.size()));
}

void HubDesktopHost::openURL(const std::string& url) {
    if (!isWebScheme(lowerScheme(url))) {
        platform::log("HubWindowController", "Refused to open a link that is not http or https.");
        return;
    }
    std::string error;
    if (!platform::openWithDefaultApplication(url, &error))
        platform::log("HubWindowController", "Could not open the link: " + error);
}

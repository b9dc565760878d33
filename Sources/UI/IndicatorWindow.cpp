#include "UI/IndicatorWindow.h"

#include "UI/SharedWebView.h"

#include "Platform/Log.h"
#include "Platform/Queues.h"
#include "Platform/Unicode.h"
#include "Platform/WindowShape.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <cmath>

namespace {
constexpr int recordingWidth = 132, recordingHeight = 36;
constexpr int errorWidth = 260, errorHeight = 30;
// A message too wide for the monitor wraps to two lines of 13 px.
constexpr int errorTwoLineHeight = 40;
// Room kept between a widened pill and the monitor's edges.
constexpr int sideMargin = 16;
constexpr int bottomMargin = 96;
// The pages' corner radii (border-radius of their .pill).
constexpr int pillRadius = 18, errorRadius = 15;
constexpr double presentSeconds = 0.14;
// After the launch has finished, before a user is likely to dictate.
constexpr double realizeDelaySeconds = 1.0;
// How long an error page may take to load before its message goes anyway.
constexpr double errorLoadAllowance = 10.0;

// The ease of the pill's entrance: cubic-bezier(0.2, 0.9, 0.2, 1.0).
double ease(double p) {
    const double x1 = 0.2, y1 = 0.9, x2 = 0.2, y2 = 1.0;
    auto bez = [](double a, double b, double t) {
        return 3 * a * t * (1 - t) * (1 - t) + 3 * b * t * t * (1 - t) + t * t * t;
    };
    double lo = 0, hi = 1, t = p;
    for (int i = 0; i < 30; ++i) {
        t = (lo + hi) / 2;
        if (bez(x1, x2, t) < p) lo = t;
        else hi = t;
    }
    return bez(y1, y2, t);
}

struct Animation {
    IndicatorGeometry from, to;
    gint64 start = 0;
};
}  // namespace

// GTK and WebKit callbacks, with access to the controller's private parts.
struct IndicatorCallbacks {
    static void loadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer) {
        if (event == WEBKIT_LOAD_FINISHED) IndicatorWindowController::shared().didFinishLoading();
    }
    static GtkWidget* createWebView(WebKitWebView*, WebKitNavigationAction*, gpointer) { return nullptr; }
    static gboolean contextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult*, gpointer) {
        return TRUE;
    }
    static void pressed(GtkGestureMultiPress*, gint, gdouble, gdouble, gpointer) {
        IndicatorWindowController::shared().handlePillClick();
    }
    static gboolean animate(gpointer data) {
        auto* anim = static_cast<Animation*>(data);
        auto& c = IndicatorWindowController::shared();
        const double p = std::min(1.0, (g_get_monotonic_time() - anim->start) / (presentSeconds * 1e6));
        if (p >= 1.0 || !c.window_) {
            c.animationSource_ = 0;
            if (c.window_) {
                gtk_window_move(GTK_WINDOW(c.window_), anim->to.x, anim->to.y);
                gtk_window_resize(GTK_WINDOW(c.window_), anim->to.width, anim->to.height);
                gtk_widget_set_opacity(c.window_, 1.0);
            }
            return G_SOURCE_REMOVE;
        }
        const double e = ease(p);
        auto lerp = [e](int a, int b) { return static_cast<int>(std::lround(a + (b - a) * e)); };
        gtk_window_move(GTK_WINDOW(c.window_), lerp(anim->from.x, anim->to.x), lerp(anim->from.y, anim->to.y));
        gtk_window_resize(GTK_WINDOW(c.window_), std::max(1, lerp(anim->from.width, anim->to.width)),
                          std::max(1, lerp(anim->from.height, anim->to.height)));
        return G_SOURCE_CONTINUE;
    }
    static void freeAnimation(gpointer data) { delete static_cast<Animation*>(data); }
    // Every size the window takes, the entrance's included, gets its outline.
    static void sizeAllocated(GtkWidget* window, GdkRectangle* allocation, gpointer) {
        platform::windowshape::roundCorners(window, allocation->width, allocation->height,
                                            IndicatorWindowController::shared().cornerRadius_);
    }
    // The error page's answer to how wide its message is.
    static void measured(GObject* source, GAsyncResult* result, gpointer data) {
        GError* error = nullptr;
        JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
        int needed = 0;
        if (value) {
            if (jsc_value_is_number(value)) needed = jsc_value_to_int32(value);
            g_object_unref(value);
        }
        if (error) g_error_free(error);
        IndicatorWindowController::shared().fitError(GPOINTER_TO_UINT(data), needed);
    }
};

std::string IndicatorMode::description() const {
    switch (kind) {
        case Kind::recording:
            return "recording(rms: " + platform::text::formatFloat(rms) +
                   ", mode: " + (mode == DictationMode::raw ? "raw" : "standard") + ")";
        case Kind::error:
            if (cancelled) return "cancel(\"" + message + "\")";
            return "error(\"" + message +
                   "\", remedy: " + (remedy ? "openSystemPane(" + settingsPaneRawValue(remedy->pane) + ")" : "nil") + ")";
        case Kind::idle: return "idle";
        case Kind::processing: return "processing";
        case Kind::done: return "done";
    }
    return "idle";
}

IndicatorWindowController& IndicatorWindowController::shared() {
    static IndicatorWindowController* instance = new IndicatorWindowController();
    return *instance;
}

IndicatorWindowController::IndicatorWindowController() {
    currentTheme_ = IndicatorThemes::stored();
    if (platform::MainQueue::isMainThread()) ensureWindow();
}

void IndicatorWindowController::ensureWindow() {
    if (window_) return;
    static bool reported = false;
    if (!gtk_init_check(nullptr, nullptr)) {
        if (!reported) platform::log("Indicator", "no display: the indicator stays hidden");
        reported = true;
        return;
    }
    window_ = gtk_window_new(GTK_WINDOW_POPUP);
    GtkWindow* win = GTK_WINDOW(window_);
    gtk_window_set_title(win, "Ondira Indicator");
    gtk_window_set_decorated(win, FALSE);
    // Resizable, so the window takes the size it is given. A fixed-size
    // window follows its child's natural size instead, and the web view's is
    // its page's laid-out width: once a wide page was shown the window never
    // shrank back, leaving the next pill wide and off its centre.
    gtk_window_set_resizable(win, TRUE);
    gtk_window_set_accept_focus(win, FALSE);
    gtk_window_set_focus_on_map(win, FALSE);
    gtk_window_set_skip_taskbar_hint(win, TRUE);
    gtk_window_set_skip_pager_hint(win, TRUE);
    gtk_window_set_keep_above(win, TRUE);
    gtk_window_set_type_hint(win, GDK_WINDOW_TYPE_HINT_NOTIFICATION);
    gtk_window_set_default_size(win, recordingWidth, recordingHeight);
    gtk_widget_set_app_paintable(window_, TRUE);
    if (GdkVisual* rgba = gdk_screen_get_rgba_visual(gtk_widget_get_screen(window_))) gtk_widget_set_visual(window_, rgba);

    // One web context and web process with the hub.
    webView_ = ui::newSharedWebView(nullptr);
    GdkRGBA clear = {0, 0, 0, 0};
    webkit_web_view_set_background_color(webView_, &clear);
    WebKitSettings* settings = webkit_web_view_get_settings(webView_);
    webkit_settings_set_enable_developer_extras(settings, FALSE);
    webkit_settings_set_zoom_text_only(settings, FALSE);
    webkit_web_view_set_zoom_level(webView_, 1.0);
    g_signal_connect(webView_, "load-changed", G_CALLBACK(IndicatorCallbacks::loadChanged), nullptr);
    g_signal_connect(webView_, "create", G_CALLBACK(IndicatorCallbacks::createWebView), nullptr);
    g_signal_connect(webView_, "context-menu", G_CALLBACK(IndicatorCallbacks::contextMenu), nullptr);
    gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(webView_));
    gtk_widget_show(GTK_WIDGET(webView_));

    // The click is taken before the page sees it.
    GtkGesture* click = gtk_gesture_multi_press_new(window_);
    gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(click), GTK_PHASE_CAPTURE);
    g_signal_connect(click, "pressed", G_CALLBACK(IndicatorCallbacks::pressed), nullptr);
    g_object_set_data_full(G_OBJECT(window_), "ondira-pill-click", click, g_object_unref);
    // Without a compositor the page's transparent corners would be black.
    g_signal_connect(window_, "size-allocate", G_CALLBACK(IndicatorCallbacks::sizeAllocated), nullptr);

    setIgnoresMouseEvents(true);
    loadPage(IndicatorPages::rec(currentTheme_, false));
    // Realized ahead, while nothing waits on it: the first show then only
    // maps the window, instead of creating its X window and the view's
    // surfaces between the key press and the pill. Later, not during the
    // launch, which it would hold up; and never here, as its callbacks reach
    // this controller, which may still be under construction.
    platform::MainQueue::asyncAfter(realizeDelaySeconds, [this] {
        if (window_) gtk_widget_realize(window_);
    });
}

void IndicatorWindowController::updateState(const IndicatorMode& mode) {
    platform::MainQueue::async([this, mode] {
        ensureWindow();
        apply(mode);
    });
}

void IndicatorWindowController::updatePartialText(const std::string& text) {
    platform::MainQueue::async([this, text] {
        ensureWindow();
        applyPartialText(text);
    });
}

void IndicatorWindowController::apply(const IndicatorMode& mode) {
    cancelHide();
    currentMode_ = mode;
    if (mode.kind != IndicatorMode::Kind::done && mode.kind != IndicatorMode::Kind::idle)
        cornerRadius_ = mode.kind == IndicatorMode::Kind::error ? errorRadius : pillRadius;
    setIgnoresMouseEvents(true);
    if (onStateChange) onStateChange(mode);
    if (!window_) return;

    switch (mode.kind) {
        case IndicatorMode::Kind::recording: {
            place(recordingWidth, recordingHeight);
            if (!isVisible()) {
                std::string page = IndicatorPages::rec(currentTheme_, mode.mode == DictationMode::raw);
                if (page != currentLoadedHTML_) loadPage(page);
                present();
            }
            // NaN fails every comparison and so becomes the floor.
            const float level = mode.rms > 1.0f ? 1.0f : (mode.rms >= 0.05f ? mode.rms : 0.05f);
            if (!isWebViewReady_) pendingLevel_ = level;
            else evaluate(IndicatorPages::setLevelJS(level));
            break;
        }
        case IndicatorMode::Kind::error:
            place(errorWidth, errorHeight);
            loadPage(mode.cancelled ? IndicatorPages::cancel(mode.message) : IndicatorPages::error(mode.message));
            present();
            if (mode.remedy) setIgnoresMouseEvents(false);
            // The time to read it runs from when the page shows it: on a busy
            // machine the load alone can outlast it, and the message would go
            // unseen. A page that never loads still goes, later.
            pendingHideSeconds_ = mode.remedy ? 6.0 : 2.2;
            scheduleHide(*pendingHideSeconds_ + errorLoadAllowance);
            break;
        case IndicatorMode::Kind::idle:
            if (isVisible()) orderOut();
            break;
        case IndicatorMode::Kind::processing: {
            if (!isVisible()) place(recordingWidth, recordingHeight);
            std::string page = IndicatorPages::processing();
            if (currentLoadedHTML_ != page) {
                pendingPartialText_.reset();
                loadPage(page);
            }
            present();
            break;
        }
        case IndicatorMode::Kind::done: scheduleHide(0.45); break;
    }
}

void IndicatorWindowController::applyPartialText(const std::string& text) {
    if (currentMode_.kind != IndicatorMode::Kind::processing || !window_) return;
    if (!isWebViewReady_) pendingPartialText_ = text;
    else evaluate(IndicatorPages::setPartialTextJS(text));
}

void IndicatorWindowController::setTheme(IndicatorTheme theme) {
    ensureWindow();
    currentTheme_ = theme;
    IndicatorThemes::store(theme);
    if (!window_) return;
    if (currentMode_.kind == IndicatorMode::Kind::processing) loadPage(IndicatorPages::processing());
    else loadPage(IndicatorPages::rec(theme, false));
}

void IndicatorWindowController::applyTheme(const std::string& name) {
    auto theme = IndicatorThemes::fromRawValue(name);
    if (!theme) return;
    platform::MainQueue::async([this, t = *theme] {
        if (t == currentTheme_) return;
        currentTheme_ = t;
        currentLoadedHTML_.clear();
    });
}

void IndicatorWindowController::handlePillClick() {
    if (currentMode_.kind == IndicatorMode::Kind::error && currentMode_.remedy && onErrorAction) onErrorAction();
}

bool IndicatorWindowController::isVisible() const { return window_ && gtk_widget_get_visible(window_); }

IndicatorGeometry IndicatorWindowController::frame() const { return frame_; }

void IndicatorWindowController::loadPage(const std::string& html) {
    ++pageGeneration_;
    currentLoadedHTML_ = html;
    isWebViewReady_ = false;
    if (webView_) webkit_web_view_load_html(webView_, html.c_str(), nullptr);
}

void IndicatorWindowController::didFinishLoading() {
    isWebViewReady_ = true;
    if (currentMode_.kind == IndicatorMode::Kind::error && pendingHideSeconds_) {
        scheduleHide(*pendingHideSeconds_);
        pendingHideSeconds_.reset();
    }
    if (currentMode_.kind == IndicatorMode::Kind::error) {
        // A load cut short by the error page also reports "finished", before
        // the error page is there to answer: measure now and again shortly,
        // each answer for this page only.
        measureError();
        const unsigned generation = pageGeneration_;
        for (double delay : {0.15, 0.6})
            platform::MainQueue::asyncAfter(delay, [this, generation] {
                if (generation == pageGeneration_) measureError();
            });
    }
    if (pendingLevel_) {
        evaluate(IndicatorPages::setLevelJS(*pendingLevel_));
        pendingLevel_.reset();
    }
    if (pendingPartialText_) {
        std::string text = std::move(*pendingPartialText_);
        pendingPartialText_.reset();
        evaluate(IndicatorPages::setPartialTextJS(text));
    }
}

void IndicatorWindowController::evaluate(const std::string& script) {
    if (webView_)
        webkit_web_view_evaluate_javascript(webView_, script.c_str(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
}

IndicatorGeometry IndicatorWindowController::placementIn(const IndicatorGeometry& workArea, int width, int height) {
    const double midX = workArea.x + workArea.width * 0.5;
    return {static_cast<int>(std::floor(midX - width * 0.5)), workArea.y + workArea.height - bottomMargin - height, width,
            height};
}

IndicatorGeometry IndicatorWindowController::workArea() {
    GdkDisplay* display = gdk_display_get_default();
    if (!display) return {};
    GdkMonitor* monitor = nullptr;
    if (GdkSeat* seat = gdk_display_get_default_seat(display)) {
        if (GdkDevice* pointer = gdk_seat_get_pointer(seat)) {
            int px = 0, py = 0;
            gdk_device_get_position(pointer, nullptr, &px, &py);
            for (int i = 0, n = gdk_display_get_n_monitors(display); i < n && !monitor; ++i) {
                GdkRectangle geo;
                GdkMonitor* m = gdk_display_get_monitor(display, i);
                gdk_monitor_get_geometry(m, &geo);
                if (px >= geo.x && px < geo.x + geo.width && py >= geo.y && py < geo.y + geo.height) monitor = m;
            }
        }
    }
    if (!monitor) monitor = gdk_display_get_primary_monitor(display);
    if (!monitor && gdk_display_get_n_monitors(display) > 0) monitor = gdk_display_get_monitor(display, 0);
    if (!monitor) return {};
    GdkRectangle area;
    gdk_monitor_get_workarea(monitor, &area);
    return {area.x, area.y, area.width, area.height};
}

IndicatorGeometry IndicatorWindowController::placement(int width, int height) {
    const IndicatorGeometry area = workArea();
    // With no monitor at all there is nothing to centre on: the top-left corner.
    if (area.width <= 0) return {0, 0, width, height};
    return placementIn(area, width, height);
}

IndicatorGeometry IndicatorWindowController::errorSize(int neededWidth, int workAreaWidth) {
    const int widest = std::max(errorWidth, workAreaWidth - 2 * sideMargin);
    if (neededWidth <= errorWidth) return {0, 0, errorWidth, errorHeight};
    if (neededWidth <= widest) return {0, 0, neededWidth, errorHeight};
    return {0, 0, widest, errorTwoLineHeight};
}

void IndicatorWindowController::measureError() {
    if (currentMode_.kind != IndicatorMode::Kind::error || !webView_) return;
    webkit_web_view_evaluate_javascript(webView_, "window.neededWidth ? window.neededWidth() : 0", -1, nullptr, nullptr,
                                        nullptr, IndicatorCallbacks::measured, GUINT_TO_POINTER(pageGeneration_));
}

void IndicatorWindowController::fitError(unsigned pageGeneration, int neededWidth) {
    if (pageGeneration != pageGeneration_ || currentMode_.kind != IndicatorMode::Kind::error || !window_) return;
    const IndicatorGeometry size = errorSize(neededWidth, workArea().width);
    if (size.height != errorHeight) evaluate("window.wrapMessage && window.wrapMessage();");
    if (size.width != frame_.width || size.height != frame_.height) place(size.width, size.height);
}

void IndicatorWindowController::place(int width, int height) {
    const IndicatorGeometry target = placement(width, height);
    // Level updates arrive many times a second; they must not cut short the
    // entrance of a pill that is already headed for this frame.
    if (animationSource_ && target == frame_) return;
    frame_ = target;
    if (animationSource_) {
        g_source_remove(animationSource_);
        animationSource_ = 0;
    }
    gtk_widget_set_size_request(GTK_WIDGET(webView_), width, height);
    gtk_window_move(GTK_WINDOW(window_), frame_.x, frame_.y);
    gtk_window_resize(GTK_WINDOW(window_), width, height);
    platform::windowshape::roundCorners(window_, width, height, cornerRadius_);
}

// Grows from 88 % of the frame, centred on it, to the whole frame.
void IndicatorWindowController::present() {
    if (animationSource_) {
        g_source_remove(animationSource_);
        animationSource_ = 0;
    }
    const IndicatorGeometry to = frame_;
    const int w = static_cast<int>(std::lround(to.width * 0.88)), h = static_cast<int>(std::lround(to.height * 0.88));
    const IndicatorGeometry from = {to.x + (to.width - w) / 2, to.y + (to.height - h) / 2, w, h};
    gtk_widget_set_opacity(window_, 1.0);
    gtk_window_move(GTK_WINDOW(window_), from.x, from.y);
    gtk_window_resize(GTK_WINDOW(window_), from.width, from.height);
    gtk_widget_show(window_);
    auto* anim = new Animation{from, to, g_get_monotonic_time()};
    animationSource_ =
        g_timeout_add_full(G_PRIORITY_DEFAULT, 15, IndicatorCallbacks::animate, anim, IndicatorCallbacks::freeAnimation);
}

void IndicatorWindowController::orderOut() {
    if (animationSource_) {
        g_source_remove(animationSource_);
        animationSource_ = 0;
    }
    gtk_widget_hide(window_);
    gtk_widget_set_opacity(window_, 1.0);
}

// An empty input shape lets every click through to the window below.
void IndicatorWindowController::setIgnoresMouseEvents(bool ignores) {
    ignoresMouse_ = ignores;
    if (!window_) return;
    if (ignores) {
        cairo_region_t* none = cairo_region_create();
        gtk_widget_input_shape_combine_region(window_, none);
        cairo_region_destroy(none);
    } else {
        gtk_widget_input_shape_combine_region(window_, nullptr);
    }
}

void IndicatorWindowController::scheduleHide(double seconds) {
    const unsigned generation = ++hideGeneration_;
    platform::MainQueue::asyncAfter(seconds, [this, generation] {
        if (generation == hideGeneration_) updateState(IndicatorMode::idle());
    });
}

void IndicatorWindowController::cancelHide() {
    ++hideGeneration_;
    pendingHideSeconds_.reset();
}

#pragma once
// The small floating pill that shows what a dictation is doing: a level
// meter while recording, "Transcribing" with live partial text, an error
// with an optional click-to-fix remedy, nothing when idle.
//
// On X11 it is an override-redirect popup (no decoration, no taskbar entry,
// never focused, above other windows) holding a WebKitGTK view. Its input
// shape is empty, so clicks fall through to the window below, except while
// an error with a remedy is shown.
#include <functional>
#include <optional>
#include <string>

#include "UI/IndicatorMode.h"
#include "UI/IndicatorPages.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _WebKitWebView WebKitWebView;

struct IndicatorGeometry {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const IndicatorGeometry&) const = default;
};

class IndicatorWindowController {
public:
    // Created on first use, never released. The window itself is made on
    // the main thread (at once when shared() is first called there).
    static IndicatorWindowController& shared();

    // Any thread; always posted to the main queue, in call order.
    void updateState(const IndicatorMode& mode);
    // Any thread; applied only while processing.
    void updatePartialText(const std::string& text);

    // Main thread: stores and reloads at once (see the .cpp).
    void setTheme(IndicatorTheme theme);
    // Any thread: the next recording page on a hidden pill uses the theme;
    // the setting is not written. Unknown names do nothing.
    void applyTheme(const std::string& name);

    std::function<void(const IndicatorMode&)> onStateChange;
    std::function<void()> onErrorAction;

    // Main-thread observers, for the application and its tests.
    const IndicatorMode& currentMode() const { return currentMode_; }
    IndicatorTheme currentTheme() const { return currentTheme_; }
    bool isVisible() const;
    bool ignoresMouseEvents() const { return ignoresMouse_; }
    bool isWebViewReady() const { return isWebViewReady_; }
    const std::string& currentLoadedHTML() const { return currentLoadedHTML_; }
    IndicatorGeometry frame() const;
    GtkWidget* window() const { return window_; }
    WebKitWebView* webView() const { return webView_; }

    // The pill's frame for a size on the monitor under the pointer: centred
    // horizontally, 96 px above the bottom of the monitor's work area.
    static IndicatorGeometry placement(int width, int height);
    // The same rule over an explicit work area.
    static IndicatorGeometry placementIn(const IndicatorGeometry& workArea, int width, int height);
    // The error pill's size for a message the page measured at
    // `neededWidth`: 260 x 30 at least, wider to show the whole message on
    // one line, and two lines high when even the monitor's width is short.
    static IndicatorGeometry errorSize(int neededWidth, int workAreaWidth);

    // The click on the pill (main thread).
    void handlePillClick();

private:
    IndicatorWindowController();
    void ensureWindow();
    void apply(const IndicatorMode& mode);
    void applyPartialText(const std::string& text);
    void loadPage(const std::string& html);
    void present();
    void place(int width, int height);
    void orderOut();
    void setIgnoresMouseEvents(bool ignores);
    void scheduleHide(double seconds);
    void cancelHide();
    void evaluate(const std::string& script);
    void didFinishLoading();
    // The work area of the monitor under the pointer; empty without one.
    static IndicatorGeometry workArea();
    // Asks the error page how wide its message is.
    void measureError();
    // Resizes the error pill to its message once the page has measured it.
    void fitError(unsigned pageGeneration, int neededWidth);

    GtkWidget* window_ = nullptr;
    WebKitWebView* webView_ = nullptr;
    IndicatorMode currentMode_;
    IndicatorTheme currentTheme_ = IndicatorThemes::defaultTheme;
    bool isWebViewReady_ = false;
    std::string currentLoadedHTML_;
    unsigned hideGeneration_ = 0;
    unsigned pageGeneration_ = 0;  // counts loads, so a late measurement of an old page is dropped
    unsigned animationSource_ = 0;
    std::optional<float> pendingLevel_;
    std::optional<std::string> pendingPartialText_;
    // How long a message stays once its page shows it (see apply).
    std::optional<double> pendingHideSeconds_;
    bool ignoresMouse_ = true;
    IndicatorGeometry frame_;
    int cornerRadius_ = 18;  // of the page shown, for the window's outline

    friend struct IndicatorCallbacks;
};

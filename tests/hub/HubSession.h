#pragma once
// The hub in the real engine: the shared controller with its real bridge,
// driven by JavaScript evaluated in its page, inside a private HOME.
#include <gtest/gtest.h>

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cairo.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Base/AppPaths.h"
#include "Platform/LinuxNames.h"
#include "Platform/Queues.h"
#include "UI/HubWindowController.h"
#include "support/EvaluateScript.h"

namespace hubtest {

// Where the program's log lines go in this test process (main sets it up).
std::filesystem::path logFile();
// The log so far.
inline std::string logText() {
    std::ifstream in(logFile());
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A display and WebKit are required inside the test session and under CI.
inline bool displayRequired() {
    const char* ci = std::getenv("CI");
    const char* session = std::getenv("ONDIRA_IN_TEST_SESSION");
    return (ci && std::string(ci) == "true") || (session && std::string(session) == "1");
}

// The desktop half is the real one except for the browser and the file
// choosers, which answer what the test says; the application half records.
class TestHost : public HubDesktopHost {
public:
    std::vector<std::string> openedURLs, permissionPanes, themes, insertedTexts;
    std::optional<std::string> savePath, openPath;
    std::vector<HotkeyMode> grabs;
    std::optional<std::string> grabRefusal;
    int languageChanges = 0;
    // A privacy report to answer with instead of the measured one, and how
    // many reports are being made right now (off the main thread).
    std::optional<nlohmann::json> privacy;
    std::atomic<int> privacyReportsRunning{0};

    void openURL(const std::string& url) override { openedURLs.push_back(url); }
    void chooseSaveFile(const std::string&, const std::string&,
                        std::function<void(std::optional<std::string>)> done) override {
        done(savePath);
    }
    void chooseOpenFile(const std::string&, const std::vector<std::string>&,
                        std::function<void(std::optional<std::string>)> done) override {
        done(openPath);
    }
    // Like the hotkey manager: an accepted key is stored, a refused one not.
    std::optional<std::string> regrabHotkey(HotkeyMode mode) override {
        grabs.push_back(mode);
        if (!grabRefusal) AppPaths::writeConfigValue("hotkey", HotkeyModes::rawValue(mode));
        return grabRefusal;
    }
    nlohmann::json healthItems() override {
        return nlohmann::json::array(
            {{{"id", "microphone"}, {"title", "Microphone"}, {"ok", true}, {"detail", "Default input found"}, {"fix", ""}},
             {{"id", "accessibility"},
              {"title", "Accessibility"},
              {"ok", false},
              {"detail", "The bus is off"},
              {"fix", LinuxNames::accessibilityAccessRemedy}}});
    }
    nlohmann::json privacyReport() override {
        struct Running {
            std::atomic<int>& n;
            explicit Running(std::atomic<int>& count) : n(count) { ++n; }
            ~Running() { --n; }
        } running(privacyReportsRunning);
        return privacy ? *privacy : HubDesktopHost::privacyReport();
    }
    void openPermissionSettings(const std::string& id) override { permissionPanes.push_back(id); }
    void applyIndicatorTheme(const std::string& theme) override { themes.push_back(theme); }
    void dictationLanguageChanged() override { ++languageChanges; }
    void insertStagedText(const std::string& text, std::function<void(bool, std::string)> done) override {
        insertedTexts.push_back(text);
        done(true, "");
    }
};

// The host the controller was given (set once for the whole process).
TestHost& host();

inline bool pumpUntil(double seconds, const std::function<bool()>& done) {
    platform::MainQueue::pump(seconds, done);
    return done();
}

// Evaluates an expression in the hub's page; its value as text.
inline std::optional<std::string> js(const std::string& expression) {
    std::string error;
    auto value = evaluateScript(HubWindowController::shared().webView(), expression, &error);
    if (!error.empty()) ADD_FAILURE() << "script failed: " << expression << "\n" << error;
    return value;
}

// Waits until a page expression is true.
inline bool waitFor(const std::string& expression, double seconds = 10) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        // An element that isn't there yet counts as not yet.
        if (js("(function(){try{return !!(" + expression + ");}catch(e){return false;}})()") == "true") return true;
        pumpUntil(0.05, [] { return false; });
    }
    return false;
}

// A JSON string literal for embedding text in a script.
inline std::string quoted(const std::string& text) { return nlohmann::json(text).dump(); }

// Clicks the element matching a selector; false when there is none.
inline bool click(const std::string& selector) {
    return js("(function(){var e=document.querySelector(" + quoted(selector) +
              ");if(!e)return false;e.click();return true;})()") == "true";
}

// Types into an input or text area the way a user does: value, then input and change events.
inline bool type(const std::string& selector, const std::string& text) {
    return js("(function(){var e=document.querySelector(" + quoted(selector) +
              ");if(!e)return false;e.focus();e.value=" + quoted(text) +
              ";e.dispatchEvent(new Event('input',{bubbles:true}));e.dispatchEvent(new Event('change',{bubbles:true}));"
              "return true;})()") == "true";
}

// Picks an option of a select and tells the page.
inline bool choose(const std::string& selector, const std::string& value) {
    return js("(function(){var e=document.querySelector(" + quoted(selector) +
              ");if(!e)return false;e.value=" + quoted(value) + ";if(e.value!==" + quoted(value) +
              ")return false;e.dispatchEvent(new Event('change',{bubbles:true}));return true;})()") == "true";
}

// Submits a form through its submit button, as a click on it does.
inline bool submit(const std::string& formSelector) {
    return js("(function(){var f=document.querySelector(" + quoted(formSelector) +
              ");if(!f)return false;f.requestSubmit();return true;})()") == "true";
}

// The visible text of an element.
inline std::string text(const std::string& selector) {
    return js("(function(){var e=document.querySelector(" + quoted(selector) + ");return e?e.textContent:'<none>';})()")
        .value_or("<no answer>");
}

// Saves what the web view shows as a PNG; false when WebKit gave no snapshot.
inline bool snapshot(const std::filesystem::path& file) {
    struct Result {
        bool done = false;
        cairo_surface_t* surface = nullptr;
    } result;
    webkit_web_view_get_snapshot(
        HubWindowController::shared().webView(), WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
        [](GObject* source, GAsyncResult* res, gpointer data) {
            auto* r = static_cast<Result*>(data);
            r->surface = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), res, nullptr);
            r->done = true;
        },
        &result);
    pumpUntil(10, [&] { return result.done; });
    if (!result.surface) return false;
    std::filesystem::create_directories(file.parent_path());
    const bool ok = cairo_surface_write_to_png(result.surface, file.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(result.surface);
    return ok;
}

}  // namespace hubtest

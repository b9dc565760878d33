#pragma once
// The hub page's bridge, without any GTK: the page posts plain strings to
// the script-message handler "ondira"; `HubBridge::handleMessage` routes each
// one to its handler, and every answer goes back as a call of a global page
// function through a `HubEmitter`.
//
// Who owns what:
// - Sources/UI/HubWindow.{h,cpp}: this dispatcher and its handlers (the
//   dispatcher is written there as `case "word":` / `prefix: "word:"` so the
//   self-test can compare its handler names with the page's act() calls).
// - Sources/UI/HubWindowController.{h,cpp}: the GTK window and the WebKit
//   view. It implements `HubEmitter` (webkit_web_view_evaluate_javascript,
//   queuing scripts until the page has loaded) and the desktop half of
//   `HubHost`, passes every string body of the "ondira" handler to
//   `handleMessage`, and calls `showFirstPage()` after each page load and
//   `refreshAfterDictation()` for the application.
// - The application (AppDelegate) supplies the rest of `HubHost`: the
//   hotkey re-grab, health checks, permission panes, indicator theme and
//   the insertion of staged text, all of which live above this layer.
//
// The dispatcher in HubWindow.cpp, between "void HubBridge::handleMessage("
// and "std::optional<std::string> strip(", writes each exact word as
// `body == "word"` and each prefix as `strip(body, "word:")`; an unknown body
// is logged by the line `bridgeLog("[bridge] UNHANDLED: " + body)`.
//
// Payloads the page sends (beyond the exact words, which carry none):
//   dict_add:{"from","to"}  dict_del:{"from"}  pack_set:{"pack","enabled"}
//   history_query:{"offset","limit"}  history_search:{"query","cap"?}
//   history_export:{"format":"json"|"txt"|"md"}
//   history_delete_one:{"date","time","text"}  (a row as it was sent)
//   hotkey_set:<mode>  mode_set:fast|balanced|polish  language_set:<id>|system
//   perm_open:microphone|speech|accessibility  logging_set:true|false
//   copy:<percent-encoded text>  open_url:<http(s) URL>  theme_set:<theme>
//   rewrite:{"reqId","mode","text","instruction"?}
//   correction_observed:{"heard","written","context"?,"app"?}
//   rules_set:{rule}  rules_delete:{"bundleID"}  snippets_set:{"trigger","expansion"}
//   snippets_delete:{"trigger"}  profiles_create:{"name","mode"?,3 flags}
//   profiles_rename:{"id","name"}  profiles_delete:{"id"}
//   engine_set:{"useDictationTranscriber"}  update_set_auto:true|false
//   learned_rules_revoke:{"heard","written"}  staging_edit:{"id","text"}
//   staging_delete:{"id"}  staging_move:{"id","toIndex"}
//   staging_commit:{"ids":[...],"joiner":"space"|"newline"|"blankLine"}
// The other prefixes ("rules_query:", "staging_clear:", ...) ignore their payload.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Input/HotkeyTypes.h"

class CorrectionLog;
class DictationLogger;
class PolishService;
class StagingBuffer;
class UpdateChecker;
namespace platform {
class URLSession;
}

// The page side. Called on the main thread only; the bridge hops there first.
class HubEmitter {
public:
    virtual ~HubEmitter() = default;
    // Evaluates one script in the page, with no completion.
    virtual void evaluateScript(const std::string& js) = 0;
};

// What the handlers need from the desktop and the application. All calls
// are made on the main thread; completions may run on any thread (the
// bridge hops to the main thread before it answers the page).
class HubHost {
public:
    virtual ~HubHost() = default;

    // --- desktop (the window layer, GtkFileChooserNative / GIO / GTK) ---
    // A save dialog; `done` gets the chosen path, or nothing when cancelled.
    virtual void chooseSaveFile(const std::string& title, const std::string& suggestedName,
                                std::function<void(std::optional<std::string> path)> done) = 0;
    // An open dialog for one file; `patterns` such as "*.json".
    virtual void chooseOpenFile(const std::string& title, const std::vector<std::string>& patterns,
                                std::function<void(std::optional<std::string> path)> done) = 0;
    // Puts the text on the CLIPBOARD selection as plain text.
    virtual void copyToClipboard(const std::string& text) = 0;
    // Opens the URL in the user's default browser. The bridge has already
    // checked that it is http or https.
    virtual void openURL(const std::string& url) = 0;

    // --- application ---
    // Re-grabs the global hotkey for `mode`. Nothing on success; the
    // user-facing message when the grab is refused (the old grab must then
    // still be in place).
    virtual std::optional<std::string> regrabHotkey(HotkeyMode mode) = 0;
    // The permission and health items as the page shows them: an array of
    // {id, title, ok, detail, fix} objects.
    virtual nlohmann::json healthItems() = 0;
    // Opens the desktop's settings for one permission ("microphone",
    // "speech", "accessibility"; the bridge passes only these words).
    virtual void openPermissionSettings(const std::string& permissionId) = 0;
    // The indicator theme was stored; re-render the indicator with it.
    virtual void applyIndicatorTheme(const std::string& theme) = 0;
    // The dictation language setting changed.
    virtual void dictationLanguageChanged() = 0;
    // Types `text` into the focused application; `done(inserted, message)`
    // once the insertion is confirmed or refused.
    virtual void insertStagedText(const std::string& text, std::function<void(bool inserted, std::string message)> done) = 0;
    // The privacy report for window.onPrivacyProbe; runs off the main
    // thread. The default reports what the diagnostics offer today.
    virtual nlohmann::json privacyReport();
};

// The stores the handlers work on; an empty field means the process-wide one.
struct HubStores {
    DictationLogger* history = nullptr;
    StagingBuffer* staging = nullptr;
    CorrectionLog* corrections = nullptr;
    PolishService* rewriter = nullptr;
    UpdateChecker* updates = nullptr;
    std::shared_ptr<platform::URLSession> updateSession;
};

// The dispatcher. Create it with `HubBridge::create` on the main thread and
// release it there; answers still on their way then are dropped. The emitter
// and host must outlive it.
class HubBridge : public std::enable_shared_from_this<HubBridge> {
public:
    static std::shared_ptr<HubBridge> create(HubEmitter& emitter, HubHost& host, HubStores stores = {});
    ~HubBridge();

    // One script-message body as the web view delivers it (only string
    // bodies reach here; the window layer drops all others).
    void handleMessage(const std::string& body);

    // After the page has loaded: statistics and the first history page,
    // computed off the main thread.
    void showFirstPage();
    // After a dictation was logged or staged: fresh history, statistics,
    // staging, learned corrections, engine use and personal model.
    void refreshAfterDictation();
    // The personal model was built, removed or attached: its panel again.
    void personalModelChanged();
    // The staging buffer changed outside the page (a dictation, the menu's
    // commit): the staging panel again.
    void stagingChanged();

    // "window.<name> && window.<name>(<json>);" evaluated on the main thread.
    void emit(const std::string& name, const nlohmann::json& payload);
    // "window.<name> && window.<name>();"
    void emit(const std::string& name);

    // The script of one call, as evaluated in the page.
    static std::string script(const std::string& name, const nlohmann::json& payload);
    static std::string script(const std::string& name);

    // The page size of the first history query.
    int currentHistoryLimit = 2000;

private:
    HubBridge(HubEmitter& emitter, HubHost& host, HubStores stores);
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

#pragma once
// Evaluates a script in a web view and waits on the main loop for its
// value as text; none when the script threw (the message goes to `error`).
#include <optional>
#include <string>

#include <webkit2/webkit2.h>

#include "Platform/Queues.h"

inline std::optional<std::string> evaluateScript(WebKitWebView* view, const std::string& script,
                                                 std::string* error = nullptr, double timeoutSeconds = 10) {
    struct Result {
        bool done = false;
        std::optional<std::string> value;
        std::string error;
    } result;
    webkit_web_view_evaluate_javascript(
        view, script.c_str(), -1, nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* res, gpointer data) {
            auto* r = static_cast<Result*>(data);
            GError* e = nullptr;
            if (JSCValue* v = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), res, &e)) {
                char* s = jsc_value_to_string(v);
                r->value = s ? s : "";
                g_free(s);
                g_object_unref(v);
            }
            if (e) {
                r->error = e->message;
                g_error_free(e);
            }
            r->done = true;
        },
        &result);
    platform::MainQueue::pump(timeoutSeconds, [&] { return result.done; });
    if (error) *error = result.error;
    return result.value;
}

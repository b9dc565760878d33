// Launching on GIO: the default handler is GIO's choice, as in
// g_app_info_launch_default_for_uri, but the child is spawned with a setup
// step that gives it the user's umask, which GIO's plain launch can't do.
#include "Platform/Launch.h"

#include "Platform/FileIO.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <sys/stat.h>

namespace platform {

namespace {

// Runs in the child between fork and exec: only async-signal-safe calls.
void restoreUserUmask(gpointer mask) { ::umask(static_cast<mode_t>(GPOINTER_TO_UINT(mask))); }

bool failed(GError* gerror, const std::string& fallback, std::string* error) {
    if (error) *error = gerror ? gerror->message : fallback;
    if (gerror) g_error_free(gerror);
    return false;
}

}  // namespace

bool openWithDefaultApplication(const std::string& uri, std::string* error) {
    GError* gerror = nullptr;
    GAppInfo* app = nullptr;
    // The scheme's handler first, then the handler of what the URI names,
    // as g_app_info_launch_default_for_uri chooses.
    gchar* scheme = g_uri_parse_scheme(uri.c_str());
    if (scheme && *scheme) app = g_app_info_get_default_for_uri_scheme(scheme);
    g_free(scheme);
    if (!app) {
        GFile* file = g_file_new_for_uri(uri.c_str());
        app = g_file_query_default_handler(file, nullptr, &gerror);
        g_object_unref(file);
    }
    if (!app) return failed(gerror, "no application opens " + uri, error);
    g_clear_error(&gerror);

    GList uris{const_cast<gchar*>(uri.c_str()), nullptr, nullptr};
    gboolean ok = FALSE;
    if (G_IS_DESKTOP_APP_INFO(app))
        ok = g_desktop_app_info_launch_uris_as_manager(G_DESKTOP_APP_INFO(app), &uris, nullptr, G_SPAWN_SEARCH_PATH,
                                                       restoreUserUmask, GUINT_TO_POINTER(startingUmask()), nullptr,
                                                       nullptr, &gerror);
    else
        ok = g_app_info_launch_uris(app, &uris, nullptr, &gerror);
    g_object_unref(app);
    if (!ok) return failed(gerror, "could not start the application for " + uri, error);
    return true;
}

bool startProgram(const std::vector<std::string>& argv, std::string* error) {
    std::vector<gchar*> words;
    for (const auto& word : argv) words.push_back(const_cast<gchar*>(word.c_str()));
    words.push_back(nullptr);
    GError* gerror = nullptr;
    if (g_spawn_async(nullptr, words.data(), nullptr, G_SPAWN_SEARCH_PATH, restoreUserUmask,
                      GUINT_TO_POINTER(startingUmask()), nullptr, &gerror))
        return true;
    return failed(gerror, "could not start " + (argv.empty() ? std::string("a program") : argv[0]), error);
}

}  // namespace platform

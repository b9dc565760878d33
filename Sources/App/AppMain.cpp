#include "App/Roads.h"

#include "Platform/Log.h"

#include <glib-unix.h>
#include <glib.h>

namespace {
gboolean quitLoop(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}
}  // namespace

// Until the status menu exists the application idles on the main loop, so
// `make run` starts a real process that ends cleanly on Ctrl+C or SIGTERM.
int Roads::runMenuBarApplication(int, char**) {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_unix_signal_add(SIGINT, quitLoop, loop);
    g_unix_signal_add(SIGTERM, quitLoop, loop);
    platform::log("AppDelegate", "Ondira is running (the status menu is not part of this build yet). Ctrl+C quits.");
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
    return 0;
}

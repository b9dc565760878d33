#include "App/Roads.h"

#include "App/AppDelegate.h"
#include "App/ApplicationHubHost.h"
#include "App/Permissions.h"
#include "Base/Branding.h"
#include "Platform/Log.h"
#include "Platform/Queues.h"

#include <gio/gio.h>
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace {
gboolean quitLoop(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

// One instance per user session: the program registers its id on the
// session bus. A later launch finds the name taken, asks the first instance
// to come forward (it shows its hub) and ends.
GApplication* registerSingleInstance(bool& isSecondary) {
    isSecondary = false;
    GApplication* app = g_application_new(Branding::bundleID, G_APPLICATION_DEFAULT_FLAGS);
    GError* error = nullptr;
    if (!g_application_register(app, nullptr, &error)) {
        platform::log("AppDelegate", std::string("Running without the single-instance check: ") +
                                         (error ? error->message : "no session bus"));
        if (error) g_error_free(error);
        return app;
    }
    isSecondary = g_application_get_is_remote(app);
    return app;
}
}  // namespace

int Roads::runMenuBarApplication(int argc, char** argv) {
    // The desktop starts us with the link of an ondira:// address; any such
    // link opens the hub, here or in the instance already running.
    bool openedForLink = false;
    for (int i = 1; i < argc; ++i) openedForLink = openedForLink || AppDelegate::isHubLink(argv[i]);
    bool isSecondary = false;
    GApplication* app = registerSingleInstance(isSecondary);
    if (isSecondary) {
        platform::log("AppDelegate", "Ondira is already running; bringing up its hub.");
        g_application_activate(app);
        // The request is only queued on the bus connection's own thread; on a
        // busy machine this process could end before it was written, and the
        // first instance would never hear it. g_application_run flushes on the
        // way out; we never run, so flush here.
        if (GDBusConnection* bus = g_application_get_dbus_connection(app))
            g_dbus_connection_flush_sync(bus, nullptr, nullptr);
        g_application_quit(app);
        g_object_unref(app);
        return 0;
    }
    if (!gtk_init_check(nullptr, nullptr)) {
        platform::log("AppDelegate", "No display to show the status menu on.");
        g_object_unref(app);
        return 1;
    }
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_unix_signal_add(SIGINT, quitLoop, loop);
    g_unix_signal_add(SIGTERM, quitLoop, loop);

    static AppDelegate* delegate = new AppDelegate();
    delegate->showHubAtLaunch = openedForLink;
    auto& hub = HubWindowController::shared();
    hub.setHost(std::make_unique<ApplicationHubHost>());
    // The page never prompts: it may listen only when the microphone is already usable.
    hub.setMicrophoneUsable([] { return OndiraPermission(OndiraPermission::microphone).isGranted(); });
    delegate->onQuit = [loop] { g_main_loop_quit(loop); };
    g_signal_connect(app, "activate", G_CALLBACK(+[](GApplication*, gpointer) {
                         if (AppDelegate* d = AppDelegate::shared()) d->applicationShouldHandleReopen();
                     }),
                     nullptr);
    platform::MainQueue::async([] { delegate->applicationDidFinishLaunching(); });
    g_main_loop_run(loop);
    // Quitting from the menu and a termination signal end the same way.
    delegate->applicationWillTerminate();
    g_main_loop_unref(loop);
    g_object_unref(app);
    // Workers of the services (probes, hub queries, model builds) may still be
    // running, and the services are never torn down: running the static
    // destructors under them crashed the process on a late SIGTERM. What must
    // survive is already on disk; flush what was printed and end here.
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::_Exit(0);
}

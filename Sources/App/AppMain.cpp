#include "App/Roads.h"

#include "App/AppActivation.h"
#include "App/AppDelegate.h"
#include "App/ApplicationHubHost.h"
#include "App/Permissions.h"
#include "Base/Branding.h"
#include "Platform/Log.h"
#include "Platform/Queues.h"

#include <gdk/gdk.h>
#include <gio/gio.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace {
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

// This process as the session sees it: its single-instance registration and
// the way it presents itself.
struct DesktopApplication {
    GApplication* handle;
    bool held = false;

    void setActivationPolicy(ActivationPolicy policy) {
        const bool accessory = policy == ActivationPolicy::accessory;
        // A tray application lives on with no window open: the hold keeps the
        // registration (and the hand-over from later launches) alive.
        if (accessory && !held) g_application_hold(handle);
        if (!accessory && held) g_application_release(handle);
        held = accessory;
        // A launcher that started us waits for a first window to end its
        // "starting" entry; none may come, so say start-up is done.
        if (accessory) gdk_notify_startup_complete();
    }
    ~DesktopApplication() {
        if (held) g_application_release(handle);
        g_object_unref(handle);
    }
};
}  // namespace

int Roads::runMenuBarApplication(int argc, char** argv) {
    // The desktop starts us with the link of an ondira:// address; any such
    // link opens the hub, here or in the instance already running.
    bool openedForLink = false;
    for (int i = 1; i < argc; ++i) openedForLink = openedForLink || AppDelegate::isHubLink(argv[i]);
    bool isSecondary = false;
    DesktopApplication app{registerSingleInstance(isSecondary)};
    if (isSecondary) {
        platform::log("AppDelegate", "Ondira is already running; bringing up its hub.");
        g_application_activate(app.handle);
        // The request is only queued on the bus connection's own thread; on a
        // busy machine this process could end before it was written, and the
        // first instance would never hear it. g_application_run flushes on the
        // way out; we never run, so flush here.
        if (GDBusConnection* bus = g_application_get_dbus_connection(app.handle))
            g_dbus_connection_flush_sync(bus, nullptr, nullptr);
        g_application_quit(app.handle);
        return 0;
    }
    if (!gtk_init_check(nullptr, nullptr)) {
        platform::log("AppDelegate", "No display to show the status menu on.");
        return 1;
    }
    static AppDelegate* delegate = new AppDelegate();
    delegate->showHubAtLaunch = openedForLink;
    auto& hub = HubWindowController::shared();
    hub.setHost(std::make_unique<ApplicationHubHost>());
    // The page never prompts: it may listen only when the microphone is already usable.
    hub.setMicrophoneUsable([] { return OndiraPermission(OndiraPermission::microphone).isGranted(); });
    g_signal_connect(app.handle, "activate", G_CALLBACK(+[](GApplication*, gpointer) {
                         if (AppDelegate* d = AppDelegate::shared()) d->applicationShouldHandleReopen();
                     }),
                     nullptr);
    app.setActivationPolicy(AppActivation::policy);
    platform::MainQueue::async([] { delegate->applicationDidFinishLaunching(); });
    delegate->runUntilQuit();
    // Workers of the services (probes, hub queries, model builds) may still be
    // running, and the services are never torn down: running the static
    // destructors under them crashed the process on a late SIGTERM. What must
    // survive is already on disk; flush what was printed and end here.
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::_Exit(0);
}

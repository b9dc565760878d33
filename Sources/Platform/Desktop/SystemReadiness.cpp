#include "Platform/SystemReadiness.h"

#include "Platform/Desktop/AccessibilityBusCalls.h"
#include "Platform/FileIO.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <gio/gio.h>
#include <pulse/pulseaudio.h>

#include <chrono>

namespace fs = std::filesystem;

namespace platform::readiness {

namespace {

struct PulseProbe {
    SoundServer result;
    bool serverInfoDone = false;
    bool sourceInfoDone = false;
    bool failed = false;
};

void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* probe = static_cast<PulseProbe*>(userdata);
    if (info) {
        probe->result.defaultSourceExists = true;
        probe->result.defaultSourceIsMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
    }
    if (eol != 0) probe->sourceInfoDone = true;
}

void onServerInfo(pa_context* context, const pa_server_info* info, void* userdata) {
    auto* probe = static_cast<PulseProbe*>(userdata);
    if (info) {
        probe->result.name = info->server_name ? info->server_name : "";
        probe->result.version = info->server_version ? info->server_version : "";
        probe->result.defaultSource = info->default_source_name ? info->default_source_name : "";
    }
    probe->serverInfoDone = true;
    if (probe->result.defaultSource.empty()) {
        probe->sourceInfoDone = true;
        return;
    }
    pa_operation* op = pa_context_get_source_info_by_name(context, probe->result.defaultSource.c_str(), onSourceInfo, probe);
    if (op) pa_operation_unref(op);
    else probe->sourceInfoDone = true;
}

void onContextState(pa_context* context, void* userdata) {
    auto* probe = static_cast<PulseProbe*>(userdata);
    switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY: {
            probe->result.reachable = true;
            pa_operation* op = pa_context_get_server_info(context, onServerInfo, probe);
            if (op) pa_operation_unref(op);
            else probe->failed = true;
            break;
        }
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            probe->result.error = pa_strerror(pa_context_errno(context));
            probe->failed = true;
            break;
        default: break;
    }
}

}  // namespace

SoundServer probeSoundServer(double timeoutSeconds) {
    PulseProbe probe;
    pa_mainloop* loop = pa_mainloop_new();
    if (!loop) {
        probe.result.error = "could not create a sound-server main loop";
        return probe.result;
    }
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "Ondira doctor");
    if (!context) {
        pa_mainloop_free(loop);
        probe.result.error = "could not create a sound-server context";
        return probe.result;
    }
    pa_context_set_state_callback(context, onContextState, &probe);
    // Never start a sound server just to look at it.
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        probe.result.error = pa_strerror(pa_context_errno(context));
        probe.failed = true;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000));
    while (!probe.failed && !(probe.serverInfoDone && probe.sourceInfoDone) && std::chrono::steady_clock::now() < deadline) {
        if (pa_mainloop_prepare(loop, 100 * 1000) < 0 || pa_mainloop_poll(loop) < 0 || pa_mainloop_dispatch(loop) < 0) {
            break;
        }
    }
    if (!probe.result.reachable && probe.result.error.empty()) probe.result.error = "no answer from the sound server";
    if (probe.result.reachable && !probe.serverInfoDone) probe.result.error = "the sound server did not describe itself";
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(loop);
    return probe.result;
}

SpeechModel probeSpeechModel(const fs::path& modelRoot, const std::string& language) {
    SpeechModel model;
    model.directory = modelRoot / language;
    const fs::path required[] = {
        model.directory / language / "mdef",
        model.directory / language / "means",
        model.directory / language / "variances",
        model.directory / language / "transition_matrices",
        model.directory / ("cmudict-" + language + ".dict"),
        model.directory / (language + ".lm.bin"),
    };
    for (const auto& file : required) {
        std::error_code ec;
        if (!fs::is_regular_file(file, ec)) {
            model.missing = file.string();
            return model;
        }
    }
    model.complete = true;
    return model;
}

bool sessionBusConfigured() {
    const auto address = platform::environment("DBUS_SESSION_BUS_ADDRESS");
    const auto runtime = platform::environment("XDG_RUNTIME_DIR");
    return (address && !address->empty()) || (runtime && platform::fileExists(fs::path(*runtime) / "bus"));
}

AccessibilityBus probeAccessibilityBus(int timeoutMilliseconds) {
    AccessibilityBus bus;
    // Without a session bus address GLib would launch a new session bus on
    // the X display, and a report must not change what it reports on.
    if (!sessionBusConfigured()) {
        bus.error = "no session bus";
        return bus;
    }
    GError* error = nullptr;
    GDBusConnection* session = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!session) {
        bus.error = dbuscalls::takeError(error, "no session bus");
        return bus;
    }
    const auto address = dbuscalls::accessibilityBusAddress(session, timeoutMilliseconds, &error);
    if (!address) {
        bus.error = dbuscalls::takeError(error, "org.a11y.Bus did not answer");
        g_object_unref(session);
        return bus;
    }
    const std::string busAddress = *address;
    bus.enabled = dbuscalls::accessibilityEnabled(session, timeoutMilliseconds);
    g_object_unref(session);

    if (busAddress.empty()) {
        bus.error = "org.a11y.Bus gave no address";
        return bus;
    }
    GDBusConnection* a11y = dbuscalls::connect(busAddress.c_str(), &error);
    if (!a11y) {
        bus.error = dbuscalls::takeError(error, "could not connect to the accessibility bus");
        return bus;
    }
    g_dbus_connection_close_sync(a11y, nullptr, nullptr);
    g_object_unref(a11y);
    bus.reachable = true;
    return bus;
}

XTest probeXTest() {
    XTest result;
    const auto display = platform::environment("DISPLAY");
    if (!display || display->empty()) {
        result.error = "no DISPLAY";
        return result;
    }
    Display* connection = XOpenDisplay(nullptr);
    if (!connection) {
        result.error = "cannot open display " + *display;
        return result;
    }
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    result.available = XTestQueryExtension(connection, &eventBase, &errorBase, &major, &minor) == True;
    if (!result.available) result.error = "the X server has no XTEST extension";
    XCloseDisplay(connection);
    return result;
}

DisplaySession probeDisplaySession() {
    const auto sessionType = platform::environment("XDG_SESSION_TYPE");
    const auto wayland = platform::environment("WAYLAND_DISPLAY");
    const auto x11 = platform::environment("DISPLAY");
    if ((sessionType && *sessionType == "wayland") || (wayland && !wayland->empty())) {
        std::string detail = wayland && !wayland->empty() ? "WAYLAND_DISPLAY=" + *wayland : "XDG_SESSION_TYPE=wayland";
        return {"wayland", detail};
    }
    if (x11 && !x11->empty()) return {"x11", "DISPLAY=" + *x11};
    return {"none", sessionType && !sessionType->empty() ? "XDG_SESSION_TYPE=" + *sessionType : "no DISPLAY"};
}

}  // namespace platform::readiness

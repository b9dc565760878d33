#include "App/Roads.h"

#include "Platform/Log.h"
#include "UI/IndicatorWindow.h"

#include <gtk/gtk.h>

#include <cmath>

namespace {
struct Demo {
    GMainLoop* loop = nullptr;
    double t = 0;
};

// 0.05 s ticks: recording levels for the first 6 s, then processing, and
// the end just after 9 s.
gboolean tick(gpointer data) {
    auto* demo = static_cast<Demo*>(data);
    auto& indicator = IndicatorWindowController::shared();
    demo->t += 0.05;
    if (demo->t > 6.0) {
        indicator.updateState(IndicatorMode::processing());
        if (demo->t > 9.0) {
            g_main_loop_quit(demo->loop);
            return G_SOURCE_REMOVE;
        }
        return G_SOURCE_CONTINUE;
    }
    const float level = static_cast<float>(std::fabs(std::sin(0.9 * demo->t)) * 0.95 + 0.05);
    indicator.updateState(IndicatorMode::recording(level));
    return G_SOURCE_CONTINUE;
}
}  // namespace

// Drives the indicator through its demonstration states without any
// dictation: no status menu, hotkey or permission work happens here.
int Roads::runHudDemo(int, char**) {
    if (!gtk_init_check(nullptr, nullptr)) {
        platform::log("hud-demo", "no display to show the indicator on");
        return 1;
    }
    Demo demo;
    demo.loop = g_main_loop_new(nullptr, FALSE);
    (void)IndicatorWindowController::shared();
    g_timeout_add(50, tick, &demo);
    g_main_loop_run(demo.loop);
    g_main_loop_unref(demo.loop);
    return 0;
}

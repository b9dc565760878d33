// Sleep and screen-lock signals reach the hotkey manager's callbacks. The
// test session has no system bus, so logind's signals are sent on the
// session bus, which the watch is told to use for them.
#include "Platform/DBus/SessionWatch.h"

#include <gtest/gtest.h>

#include "support/RequireService.h"

#include <gio/gio.h>

#include "Platform/Queues.h"
#include "support/TempDir.h"

namespace {

// Sent to this test's own connection only: a broadcast would reach every
// Ondira the other tests of the session have running, and a "lock" lets go
// of the hotkey in the middle of their takes.
void emit(GDBusConnection* bus, const char* path, const char* interfaceName, const char* member, GVariant* args) {
    g_dbus_connection_emit_signal(bus, g_dbus_connection_get_unique_name(bus), path, interfaceName, member, args,
                                  nullptr);
    g_dbus_connection_flush_sync(bus, nullptr, nullptr);
}

TEST(SessionWatch, SleepAndLockSignals) {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    ONDIRA_REQUIRE_SERVICE(bus, "no session bus");
    ScopedEnv session("XDG_SESSION_ID", std::string("2"));
    std::vector<std::string> seen;
    platform::SessionWatch watch(bus, bus);
    watch.install([&] { seen.push_back("sleep"); }, [&] { seen.push_back("lock"); });

    const struct {
        const char* path;
        const char* interfaceName;
        const char* member;
        GVariant* args;
    } signals[] = {
        {"/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep", g_variant_new("(b)", FALSE)},
        {"/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep", g_variant_new("(b)", TRUE)},
        {"/org/freedesktop/login1/session/_33", "org.freedesktop.login1.Session", "Lock", nullptr},  // another session
        {"/org/freedesktop/login1/session/_32", "org.freedesktop.login1.Session", "Lock", nullptr},
        {"/org/gnome/ScreenSaver", "org.gnome.ScreenSaver", "ActiveChanged", g_variant_new("(b)", FALSE)},
        {"/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged", g_variant_new("(b)", TRUE)},
    };
    for (const auto& s : signals) emit(bus, s.path, s.interfaceName, s.member, s.args);
    platform::MainQueue::pump(3.0, [&] { return seen.size() >= 3; });
    platform::MainQueue::pump(0.1);
    EXPECT_EQ(seen, (std::vector<std::string>{"sleep", "lock", "lock"}));

    watch.remove();
    emit(bus, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep", g_variant_new("(b)", TRUE));
    platform::MainQueue::pump(0.3);
    EXPECT_EQ(seen.size(), 3u);
    g_object_unref(bus);
}

}  // namespace

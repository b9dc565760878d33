#include "Platform/DBus/SessionWatch.h"

#include "Platform/FileIO.h"

#include <gio/gio.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace platform {

namespace {
constexpr const char* kScreensavers[] = {"org.freedesktop.ScreenSaver", "org.gnome.ScreenSaver", "org.mate.ScreenSaver",
                                         "org.cinnamon.ScreenSaver", "org.xfce.ScreenSaver"};

void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar* interfaceName, const gchar* signalName,
              GVariant* parameters, gpointer data) {
    bool flag = false;
    if (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) {
        gboolean b = FALSE;
        g_variant_get(parameters, "(b)", &b);
        flag = b;
    }
    static_cast<SessionWatch*>(data)->signalArrived(interfaceName, signalName, flag);
}
}  // namespace

std::shared_ptr<SessionWatch> SessionWatch::make() {
    GDBusConnection* system = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    GDBusConnection* session = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    auto watch = std::make_shared<SessionWatch>(system, session);
    if (system) g_object_unref(system);
    if (session) g_object_unref(session);
    return watch;
}

SessionWatch::SessionWatch(GDBusConnection* sleepBus, GDBusConnection* sessionBus)
    : sleepBus_(sleepBus ? G_DBUS_CONNECTION(g_object_ref(sleepBus)) : nullptr),
      sessionBus_(sessionBus ? G_DBUS_CONNECTION(g_object_ref(sessionBus)) : nullptr) {}

SessionWatch::~SessionWatch() {
    remove();
    if (sleepBus_) g_object_unref(sleepBus_);
    if (sessionBus_) g_object_unref(sessionBus_);
}

void SessionWatch::install(std::function<void()> onSleep, std::function<void()> onLock) {
    remove();
    onSleep_ = std::move(onSleep);
    onLock_ = std::move(onLock);
    auto subscribe = [this](GDBusConnection* bus, const char* interfaceName, const char* member, const char* path) {
        if (!bus) return;
        guint id = g_dbus_connection_signal_subscribe(bus, nullptr, interfaceName, member, path, nullptr,
                                                      G_DBUS_SIGNAL_FLAGS_NONE, onSignal, this, nullptr);
        subscriptions_.push_back({bus, id});
    };
    subscribe(sleepBus_, "org.freedesktop.login1.Manager", "PrepareForSleep", nullptr);
    // Only this session's Lock, when the session is known.
    std::string sessionPath;
    if (auto id = environment("XDG_SESSION_ID"); id && !id->empty()) {
        sessionPath = "/org/freedesktop/login1/session/";
        // logind's object-path escaping: "_" + two hex digits for anything but
        // letters and digits, and for a leading digit ("2" becomes "_32").
        for (std::size_t i = 0; i < id->size(); ++i) {
            unsigned char c = static_cast<unsigned char>((*id)[i]);
            if (std::isalpha(c) || (std::isdigit(c) && i > 0)) {
                sessionPath += char(c);
            } else {
                char hex[4];
                std::snprintf(hex, sizeof hex, "_%02x", c);
                sessionPath += hex;
            }
        }
    }
    subscribe(sleepBus_, "org.freedesktop.login1.Session", "Lock", sessionPath.empty() ? nullptr : sessionPath.c_str());
    for (const char* screensaver : kScreensavers) subscribe(sessionBus_, screensaver, "ActiveChanged", nullptr);
}

void SessionWatch::remove() {
    for (const auto& s : subscriptions_) g_dbus_connection_signal_unsubscribe(s.bus, s.id);
    subscriptions_.clear();
    onSleep_ = nullptr;
    onLock_ = nullptr;
}

void SessionWatch::signalArrived(const char* interfaceName, const char* signalName, bool flag) {
    if (std::strcmp(signalName, "PrepareForSleep") == 0) {
        if (flag && onSleep_) onSleep_();
        return;
    }
    if (std::strcmp(signalName, "Lock") == 0) {
        if (onLock_) onLock_();
        return;
    }
    (void)interfaceName;
    if (std::strcmp(signalName, "ActiveChanged") == 0 && flag && onLock_) onLock_();
}

}  // namespace platform

namespace platform {
std::shared_ptr<SessionEvents> desktopSessionEvents() { return SessionWatch::make(); }
}  // namespace platform

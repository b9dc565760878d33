#pragma once
// The calls on the session bus that find the accessibility bus and its
// switch, made by its watch (and by a one-off look, which is a watch asked once).
#include <gio/gio.h>

#include <optional>
#include <string>

namespace platform::readiness::dbuscalls {

// What went wrong, in GLib's words when it gave any, else `otherwise`; the
// error is freed.
inline std::string takeError(GError*& error, const char* otherwise) {
    std::string message = error ? error->message : otherwise;
    g_clear_error(&error);
    return message;
}

// A client connection to the message bus at `address`.
inline GDBusConnection* connect(const char* address, GError** error) {
    return g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, error);
}

// org.a11y.Bus GetAddress: nothing when the launcher did not answer (`error` says why).
inline std::optional<std::string> accessibilityBusAddress(GDBusConnection* session, int timeoutMilliseconds,
                                                          GError** error) {
    GVariant* reply =
        g_dbus_connection_call_sync(session, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", nullptr,
                                    G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, timeoutMilliseconds, nullptr, error);
    if (!reply) return std::nullopt;
    const gchar* address = nullptr;
    g_variant_get(reply, "(&s)", &address);
    std::string result = address ? address : "";
    g_variant_unref(reply);
    return result;
}

// org.a11y.Status IsEnabled, when the launcher answered.
inline std::optional<bool> accessibilityEnabled(GDBusConnection* session, int timeoutMilliseconds) {
    GVariant* reply =
        g_dbus_connection_call_sync(session, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Get",
                                    g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"), G_VARIANT_TYPE("(v)"),
                                    G_DBUS_CALL_FLAGS_NONE, timeoutMilliseconds, nullptr, nullptr);
    if (!reply) return std::nullopt;
    std::optional<bool> enabled;
    GVariant* inner = nullptr;
    g_variant_get(reply, "(v)", &inner);
    if (inner && g_variant_is_of_type(inner, G_VARIANT_TYPE_BOOLEAN)) enabled = g_variant_get_boolean(inner);
    if (inner) g_variant_unref(inner);
    g_variant_unref(reply);
    return enabled;
}

}  // namespace platform::readiness::dbuscalls

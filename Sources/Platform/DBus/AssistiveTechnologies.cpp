// The GNOME-family setting org.gnome.desktop.interface toolkit-accessibility
// (read at log-in by the session to start assistive technologies) and the
// accessibility bus's org.a11y.Status IsEnabled property (read by running
// toolkits), written together.
#include "Platform/AssistiveTechnologies.h"

#include "Platform/SystemReadiness.h"

#include <gio/gio.h>

#include <optional>

namespace platform {

namespace {

constexpr const char* interfaceSchema = "org.gnome.desktop.interface";
constexpr const char* accessibilityKey = "toolkit-accessibility";
constexpr int busTimeoutMs = 2000;

class DesktopAssistiveTechnologies : public AssistiveTechnologies {
public:
    Result switchOn() override {
        Result result;
        writeSetting(result);
        enableSession(result);
        // The bus keeps the switch in step with the lasting setting and acts
        // on that setting's change notices, which may still carry an older
        // "off" after our "on"; the switch is read back until it stays on.
        for (int check = 0; result.sessionEnabled && check < 15; ++check) {
            g_usleep(200 * 1000);
            if (sessionEnabled().value_or(true)) continue;
            enableSession(result);
        }
        return result;
    }

private:
    static void writeSetting(Result& result) {
        GSettingsSchemaSource* source = g_settings_schema_source_get_default();
        if (!source) return;
        GSettingsSchema* schema = g_settings_schema_source_lookup(source, interfaceSchema, TRUE);
        if (!schema) return;
        const bool hasKey = g_settings_schema_has_key(schema, accessibilityKey);
        g_settings_schema_unref(schema);
        if (!hasKey) return;
        result.settingAvailable = true;
        GSettings* settings = g_settings_new(interfaceSchema);
        result.settingWritten = g_settings_set_boolean(settings, accessibilityKey, TRUE);
        // The write reaches the settings back-end before this thread returns.
        g_settings_sync();
        g_object_unref(settings);
    }

    static std::optional<bool> sessionEnabled() { return readiness::probeAccessibilityBus(busTimeoutMs).enabled; }

    static void enableSession(Result& result) {
        GError* error = nullptr;
        GDBusConnection* session = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
        if (!session) {
            result.error = error ? error->message : "no session bus";
            g_clear_error(&error);
            return;
        }
        GVariant* reply =
            g_dbus_connection_call_sync(session, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
                                        g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE)),
                                        nullptr, G_DBUS_CALL_FLAGS_NONE, busTimeoutMs, nullptr, &error);
        if (reply) {
            result.sessionEnabled = true;
            g_variant_unref(reply);
        } else {
            result.error = error ? error->message : "the accessibility bus did not answer";
            g_clear_error(&error);
        }
        g_object_unref(session);
    }
};

}  // namespace

std::shared_ptr<AssistiveTechnologies> AssistiveTechnologies::system() {
    static const auto shared = std::make_shared<DesktopAssistiveTechnologies>();
    return shared;
}

}  // namespace platform

#include "App/StatusIndicator.h"

#include <gtk/gtk.h>
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <libayatana-appindicator/app-indicator.h>
#pragma GCC diagnostic pop

#include <string>

// GtkStatusIcon is deprecated in GTK 3, and is still what a system tray embeds.
G_GNUC_BEGIN_IGNORE_DEPRECATIONS

namespace {

struct OndiraIndicator {
    AppIndicator parent;
};
struct OndiraIndicatorClass {
    AppIndicatorClass parentClass;
};

GType ondiraIndicatorType();

void showIcon(AppIndicator* indicator, GtkStatusIcon* icon) {
    const gchar* name = app_indicator_get_icon(indicator);
    const gchar* path = app_indicator_get_icon_theme_path(indicator);
    const std::string file = path && name ? std::string(path) + "/" + name + ".png" : std::string();
    if (!file.empty() && g_file_test(file.c_str(), G_FILE_TEST_IS_REGULAR)) gtk_status_icon_set_from_file(icon, file.c_str());
    else if (name) gtk_status_icon_set_from_icon_name(icon, name);
    const gchar* title = app_indicator_get_title(indicator);
    gtk_status_icon_set_title(icon, title ? title : "");
    gtk_status_icon_set_tooltip_text(icon, title ? title : "");
    gtk_status_icon_set_visible(icon, app_indicator_get_status(indicator) != APP_INDICATOR_STATUS_PASSIVE);
}

void popUpMenu(GtkStatusIcon*, gpointer data) {
    if (GtkMenu* menu = app_indicator_get_menu(static_cast<AppIndicator*>(data)))
        gtk_menu_popup_at_pointer(menu, nullptr);
}

void popUpMenuAt(GtkStatusIcon* icon, guint, guint, gpointer data) { popUpMenu(icon, data); }

void refresh(AppIndicator* indicator, gpointer icon) { showIcon(indicator, static_cast<GtkStatusIcon*>(icon)); }
void refreshWithText(AppIndicator* indicator, const gchar*, gpointer icon) { refresh(indicator, icon); }
void refreshOnTitle(GObject* indicator, GParamSpec*, gpointer icon) { refresh(APP_INDICATOR(indicator), icon); }

GtkStatusIcon* fallback(AppIndicator* indicator) {
    GtkStatusIcon* icon = gtk_status_icon_new();
    showIcon(indicator, icon);
    g_signal_connect(icon, "activate", G_CALLBACK(popUpMenu), indicator);
    g_signal_connect(icon, "popup-menu", G_CALLBACK(popUpMenuAt), indicator);
    g_signal_connect_object(indicator, APP_INDICATOR_SIGNAL_NEW_ICON, G_CALLBACK(refresh), icon, GConnectFlags(0));
    g_signal_connect_object(indicator, APP_INDICATOR_SIGNAL_NEW_STATUS, G_CALLBACK(refreshWithText), icon, GConnectFlags(0));
    g_signal_connect_object(indicator, APP_INDICATOR_SIGNAL_NEW_ICON_THEME_PATH, G_CALLBACK(refreshWithText), icon,
                            GConnectFlags(0));
    g_signal_connect_object(indicator, "notify::title", G_CALLBACK(refreshOnTitle), icon, GConnectFlags(0));
    return icon;
}

void unfallback(AppIndicator* indicator, GtkStatusIcon* icon) {
    g_signal_handlers_disconnect_by_data(indicator, icon);
    gtk_status_icon_set_visible(icon, FALSE);
    g_object_unref(icon);
}

void ondiraIndicatorClassInit(gpointer klass, gpointer) {
    auto* indicatorClass = static_cast<AppIndicatorClass*>(klass);
    indicatorClass->fallback = fallback;
    indicatorClass->unfallback = unfallback;
}

GType ondiraIndicatorType() {
    static GType type = g_type_register_static_simple(
        app_indicator_get_type(), "OndiraIndicator", sizeof(OndiraIndicatorClass), ondiraIndicatorClassInit,
        sizeof(OndiraIndicator), nullptr, GTypeFlags(0));
    return type;
}

}  // namespace

namespace StatusIndicator {

AppIndicator* create(const char* id, const char* iconName, const char* iconThemePath) {
    return static_cast<AppIndicator*>(g_object_new(ondiraIndicatorType(), "id", id, "category", "ApplicationStatus",
                                                   "icon-name", iconName, "icon-theme-path", iconThemePath, nullptr));
}

}  // namespace StatusIndicator

G_GNUC_END_IGNORE_DEPRECATIONS

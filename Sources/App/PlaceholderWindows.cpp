#include "App/PlaceholderWindows.h"

#include "Platform/Log.h"

#include <gtk/gtk.h>

namespace PlaceholderWindows {
namespace {
int gOnboardingShows = 0;

void present(GtkWidget** slot, const char* title, const char* text) {
    if (!*slot) {
        GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_title(GTK_WINDOW(window), title);
        gtk_window_set_default_size(GTK_WINDOW(window), 420, 160);
        GtkWidget* label = gtk_label_new(text);
        gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
        gtk_widget_set_margin_start(label, 24);
        gtk_widget_set_margin_end(label, 24);
        gtk_container_add(GTK_CONTAINER(window), label);
        // Closing only hides it, so the next call brings the same window back.
        g_signal_connect(window, "delete-event", G_CALLBACK(gtk_widget_hide_on_delete), nullptr);
        gtk_widget_show_all(label);
        *slot = window;
    }
    gtk_window_present(GTK_WINDOW(*slot));
}
}  // namespace

void showOnboarding() {
    static GtkWidget* window = nullptr;
    ++gOnboardingShows;
    platform::log("AppDelegate", "Showing setup and permissions.");
    present(&window, "Ondira Setup & Permissions", "Setup and permissions are not part of this build yet.");
}

int onboardingShowCount() { return gOnboardingShows; }

}  // namespace PlaceholderWindows

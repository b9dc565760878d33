#include "UI/Notice.h"

#include <gtk/gtk.h>

namespace Notice {

void show(const std::string& message, const std::string& informativeText) {
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_INFO, GTK_BUTTONS_OK,
                                               "%s", message.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", informativeText.c_str());
    GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));
    GList* labels = gtk_container_get_children(GTK_CONTAINER(area));
    for (GList* l = labels; l; l = l->next)
        if (GTK_IS_LABEL(l->data)) gtk_label_set_selectable(GTK_LABEL(l->data), TRUE);
    g_list_free(labels);
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    g_signal_connect(dialog, "response", G_CALLBACK(gtk_widget_destroy), nullptr);
    gtk_widget_show(dialog);
}

}  // namespace Notice

#include "UI/FileChooser.h"

#include <gtk/gtk.h>

#include <memory>

namespace FileChooser {

namespace {

void onResponse(GtkNativeDialog* dialog, gint response, gpointer data) {
    std::unique_ptr<PathCallback> callback(static_cast<PathCallback*>(data));
    std::optional<std::filesystem::path> chosen;
    if (response == GTK_RESPONSE_ACCEPT) {
        if (gchar* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog))) {
            chosen = std::filesystem::path(name);
            g_free(name);
        }
    }
    g_object_unref(dialog);
    (*callback)(chosen);
}

void addFilter(GtkFileChooser* chooser, const Filter& filter) {
    if (filter.patterns.empty()) return;
    GtkFileFilter* f = gtk_file_filter_new();
    gtk_file_filter_set_name(f, filter.name.c_str());
    for (const auto& pattern : filter.patterns) gtk_file_filter_add_pattern(f, pattern.c_str());
    gtk_file_chooser_add_filter(chooser, f);
}

void show(GtkFileChooserNative* dialog, PathCallback callback, GtkWindow* parent) {
    if (parent) gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(dialog), TRUE);
    g_signal_connect(dialog, "response", G_CALLBACK(onResponse), new PathCallback(std::move(callback)));
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(dialog));
}

}  // namespace

void chooseFileToOpen(const std::string& title, const Filter& filter, PathCallback callback, GtkWindow* parent) {
    GtkFileChooserNative* dialog =
        gtk_file_chooser_native_new(title.c_str(), parent, GTK_FILE_CHOOSER_ACTION_OPEN, "_Open", "_Cancel");
    gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(dialog), FALSE);
    addFilter(GTK_FILE_CHOOSER(dialog), filter);
    show(dialog, std::move(callback), parent);
}

void chooseSaveLocation(const std::string& title, const std::string& suggestedName, const Filter& filter,
                        PathCallback callback, GtkWindow* parent) {
    GtkFileChooserNative* dialog =
        gtk_file_chooser_native_new(title.c_str(), parent, GTK_FILE_CHOOSER_ACTION_SAVE, "_Save", "_Cancel");
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
    if (!suggestedName.empty()) gtk_file_chooser_set_current_name(chooser, suggestedName.c_str());
    gtk_file_chooser_set_create_folders(chooser, TRUE);
    gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
    addFilter(chooser, filter);
    show(dialog, std::move(callback), parent);
}

}  // namespace FileChooser

#include "UI/FileChooser.h"

#include <gtk/gtk.h>

#include <memory>
#include <set>

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

std::set<GtkWidget*> fileChooserWindows() {
    std::set<GtkWidget*> windows;
    GList* tops = gtk_window_list_toplevels();
    for (GList* l = tops; l; l = l->next)
        if (GTK_IS_FILE_CHOOSER_DIALOG(l->data)) windows.insert(GTK_WIDGET(l->data));
    g_list_free(tops);
    return windows;
}

// GTK's own chooser window (what the native chooser shows where no portal
// answers) hands the keyboard to its location entry at the first typed
// character of a path, while that entry is still sliding in and has no
// window of its own; the key's release then reaches a widget that cannot
// take events, and GTK reports "gtk_widget_event: assertion
// 'WIDGET_REALIZED_FOR_EVENT' failed" on standard error. What takes the
// focus is realized first, so every event finds it ready.
void realizeWhatTakesTheFocus(GtkWidget* window) {
    g_signal_connect(window, "set-focus", G_CALLBACK(+[](GtkWindow*, GtkWidget* focus, gpointer) {
                         if (focus && !gtk_widget_get_realized(focus)) gtk_widget_realize(focus);
                     }),
                     nullptr);
}

// The native chooser builds GTK's own window at once, where no portal
// answers: a file chooser window that was not there before.
GtkFileChooserNative* newChooser(const std::string& title, GtkWindow* parent, GtkFileChooserAction action,
                                 const char* acceptLabel) {
    const std::set<GtkWidget*> before = fileChooserWindows();
    GtkFileChooserNative* dialog = gtk_file_chooser_native_new(title.c_str(), parent, action, acceptLabel, "_Cancel");
    for (GtkWidget* window : fileChooserWindows())
        if (!before.count(window)) realizeWhatTakesTheFocus(window);
    return dialog;
}

void show(GtkFileChooserNative* dialog, PathCallback callback, GtkWindow* parent) {
    if (parent) gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(dialog), TRUE);
    g_signal_connect(dialog, "response", G_CALLBACK(onResponse), new PathCallback(std::move(callback)));
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(dialog));
}

}  // namespace

void chooseFileToOpen(const std::string& title, const Filter& filter, PathCallback callback, GtkWindow* parent) {
    GtkFileChooserNative* dialog = newChooser(title, parent, GTK_FILE_CHOOSER_ACTION_OPEN, "_Open");
    gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(dialog), FALSE);
    addFilter(GTK_FILE_CHOOSER(dialog), filter);
    show(dialog, std::move(callback), parent);
}

void chooseSaveLocation(const std::string& title, const std::string& suggestedName, const Filter& filter,
                        PathCallback callback, GtkWindow* parent) {
    GtkFileChooserNative* dialog = newChooser(title, parent, GTK_FILE_CHOOSER_ACTION_SAVE, "_Save");
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
    if (!suggestedName.empty()) gtk_file_chooser_set_current_name(chooser, suggestedName.c_str());
    gtk_file_chooser_set_create_folders(chooser, TRUE);
    gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
    addFilter(chooser, filter);
    show(dialog, std::move(callback), parent);
}

}  // namespace FileChooser

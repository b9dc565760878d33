// A small GTK window for the insertion tests: one focused text entry whose
// text is written to a file on every change.
//   ondira_test_textwindow <text-file> [--password] [--clipboard] [--primary] [--slow-clipboard] [--busy]
// --password makes the entry a password field; --clipboard makes this
// program own the CLIPBOARD with a text and a PNG image, like a user's copy;
// --primary makes it own the PRIMARY selection with a text, like a user's
// highlighted words; --slow-clipboard makes it take 150 ms over handing out
// each form of its clipboard, like a loaded application;
// --busy makes it take 25 ms over every key press, like an application on a
// loaded machine, so it reads its key events well after they were sent.
// Creates <text-file>.ready once the entry has the keyboard focus.
#include <gtk/gtk.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {
std::string gTextFile;
bool gSlowClipboard = false;
bool gReadyPrinted = false;

const guint8 kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
const char* kClipboardText = "the user's own words";
const char* kPrimaryText = "the user's highlighted words";

void writeText(GtkEditable* editable, gpointer) {
    gchar* text = gtk_editable_get_chars(editable, 0, -1);
    std::string tmp = gTextFile + ".tmp";
    if (FILE* f = std::fopen(tmp.c_str(), "wb")) {
        std::fwrite(text, 1, std::strlen(text), f);
        std::fclose(f);
        std::rename(tmp.c_str(), gTextFile.c_str());
    }
    g_free(text);
}

gboolean reportFocus(GtkWidget* entry, GdkEvent*, gpointer) {
    if (!gReadyPrinted) {
        gReadyPrinted = true;
        if (FILE* f = std::fopen((gTextFile + ".ready").c_str(), "wb")) std::fclose(f);
    }
    (void)entry;
    return FALSE;
}

gboolean slowKey(GtkWidget*, GdkEvent*, gpointer) {
    g_usleep(25 * 1000);
    return FALSE;
}

void provide(GtkClipboard*, GtkSelectionData* data, guint info, gpointer) {
    if (gSlowClipboard) g_usleep(150 * 1000);
    if (info == 0) gtk_selection_data_set_text(data, kClipboardText, -1);
    else gtk_selection_data_set(data, gdk_atom_intern_static_string("image/png"), 8, kPng, sizeof kPng);
}
void providePrimary(GtkClipboard*, GtkSelectionData* data, guint, gpointer) {
    gtk_selection_data_set_text(data, kPrimaryText, -1);
}
}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    if (argc < 2) return 2;
    gTextFile = argv[1];
    bool password = false, clipboard = false, primary = false, busy = false;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--password") == 0) password = true;
        if (std::strcmp(argv[i], "--clipboard") == 0) clipboard = true;
        if (std::strcmp(argv[i], "--primary") == 0) primary = true;
        if (std::strcmp(argv[i], "--slow-clipboard") == 0) gSlowClipboard = true;
        if (std::strcmp(argv[i], "--busy") == 0) busy = true;
    }
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "Ondira test field");
    gtk_window_set_default_size(GTK_WINDOW(window), 600, 80);
    GtkWidget* entry = gtk_entry_new();
    if (password) gtk_entry_set_visibility(GTK_ENTRY(entry), FALSE);
    gtk_container_add(GTK_CONTAINER(window), entry);
    g_signal_connect(entry, "changed", G_CALLBACK(writeText), nullptr);
    g_signal_connect(entry, "focus-in-event", G_CALLBACK(reportFocus), nullptr);
    if (busy) g_signal_connect(entry, "key-press-event", G_CALLBACK(slowKey), nullptr);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    writeText(GTK_EDITABLE(entry), nullptr);
    if (clipboard) {
        static GtkTargetEntry targets[] = {{const_cast<gchar*>("UTF8_STRING"), 0, 0},
                                           {const_cast<gchar*>("image/png"), 0, 1}};
        gtk_clipboard_set_with_data(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), targets, 2, provide, nullptr, nullptr);
    }
    if (primary) {
        static GtkTargetEntry targets[] = {{const_cast<gchar*>("UTF8_STRING"), 0, 0}};
        gtk_clipboard_set_with_data(gtk_clipboard_get(GDK_SELECTION_PRIMARY), targets, 1, providePrimary, nullptr, nullptr);
    }
    gtk_widget_show_all(window);
    gtk_window_present(GTK_WINDOW(window));
    // No window manager in the test display: give the window the focus directly.
    gdk_window_focus(gtk_widget_get_window(window), GDK_CURRENT_TIME);
    gtk_widget_grab_focus(entry);
    gtk_main();
    return 0;
}

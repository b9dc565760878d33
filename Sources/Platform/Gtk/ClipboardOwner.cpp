#include "Platform/Gtk/ClipboardOwner.h"

#include <gtk/gtk.h>

#include <vector>

namespace platform::clipboard {

namespace {

bool gtkReady() {
    static const bool ready = gdk_display_get_default() != nullptr || gtk_init_check(nullptr, nullptr);
    return ready;
}

GtkClipboard* clipboard() { return gtkReady() ? gtk_clipboard_get(GDK_SELECTION_CLIPBOARD) : nullptr; }

bool isBookkeepingTarget(const std::string& name) {
    // Protocol targets, and text forms GTK converts from UTF8_STRING itself.
    static const char* const skip[] = {"TARGETS", "MULTIPLE", "TIMESTAMP", "SAVE_TARGETS", "DELETE",
                                       "INSERT_SELECTION", "INSERT_PROPERTY", "TEXT", "COMPOUND_TEXT"};
    for (const char* s : skip)
        if (name == s) return true;
    return false;
}

struct OfferedSnapshot {
    ClipboardSnapshot snapshot;
};

void provide(GtkClipboard*, GtkSelectionData* selection, guint info, gpointer data) {
    auto* offered = static_cast<OfferedSnapshot*>(data);
    if (info >= offered->snapshot.items.size()) return;
    const auto& [target, bytes] = offered->snapshot.items[info];
    gtk_selection_data_set(selection, gdk_atom_intern(target.c_str(), FALSE), 8, bytes.data(), static_cast<gint>(bytes.size()));
}

void release(GtkClipboard*, gpointer data) { delete static_cast<OfferedSnapshot*>(data); }

}  // namespace

ClipboardSnapshot snapshot() {
    ClipboardSnapshot snapshot;
    GtkClipboard* clip = clipboard();
    if (!clip) return snapshot;
    GdkAtom* targets = nullptr;
    gint count = 0;
    if (!gtk_clipboard_wait_for_targets(clip, &targets, &count)) return snapshot;
    for (gint i = 0; i < count; ++i) {
        gchar* name = gdk_atom_name(targets[i]);
        std::string target = name ? name : "";
        g_free(name);
        if (target.empty() || isBookkeepingTarget(target)) continue;
        GtkSelectionData* data = gtk_clipboard_wait_for_contents(clip, targets[i]);
        if (!data) continue;
        const gint length = gtk_selection_data_get_length(data);
        const guchar* bytes = gtk_selection_data_get_data(data);
        if (length >= 0 && bytes) snapshot.items.push_back({target, std::vector<std::uint8_t>(bytes, bytes + length)});
        gtk_selection_data_free(data);
    }
    g_free(targets);
    return snapshot;
}

void setText(const std::string& text) {
    if (GtkClipboard* clip = clipboard()) gtk_clipboard_set_text(clip, text.c_str(), static_cast<gint>(text.size()));
}

std::optional<std::string> text() {
    GtkClipboard* clip = clipboard();
    if (!clip) return std::nullopt;
    gchar* s = gtk_clipboard_wait_for_text(clip);
    if (!s) return std::nullopt;
    std::string out(s);
    g_free(s);
    return out;
}

void restore(const ClipboardSnapshot& snapshot) {
    GtkClipboard* clip = clipboard();
    if (!clip || snapshot.empty()) return;
    auto* offered = new OfferedSnapshot{snapshot};
    // The entries name the copy's strings, which live as long as the offer.
    std::vector<GtkTargetEntry> entries;
    for (std::size_t i = 0; i < offered->snapshot.items.size(); ++i)
        entries.push_back({const_cast<gchar*>(offered->snapshot.items[i].first.c_str()), 0, static_cast<guint>(i)});
    if (!gtk_clipboard_set_with_data(clip, entries.data(), static_cast<guint>(entries.size()), provide, release, offered))
        delete offered;
}

}  // namespace platform::clipboard

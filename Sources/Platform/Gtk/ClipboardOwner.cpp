#include "Platform/Gtk/ClipboardOwner.h"

#include <gtk/gtk.h>

#include <vector>

namespace platform::clipboard {

namespace {

// How long saved forms wait for the application to fetch the paste's text:
// a terminal busy with output reads its paste key late, and must still get
// the dictation, not the user's old selection put back meanwhile.
constexpr guint kFetchBoundMs = 3000;

enum Which { clipboardSelection = 0, primarySelection = 1 };

bool gtkReady() {
    static const bool ready = gdk_display_get_default() != nullptr || gtk_init_check(nullptr, nullptr);
    return ready;
}

GtkClipboard* selection(Which which) {
    if (!gtkReady()) return nullptr;
    return gtk_clipboard_get(which == clipboardSelection ? GDK_SELECTION_CLIPBOARD : GDK_SELECTION_PRIMARY);
}

bool isBookkeepingTarget(const std::string& name) {
    // Protocol targets, and text forms GTK converts from UTF8_STRING itself.
    static const char* const skip[] = {"TARGETS", "MULTIPLE", "TIMESTAMP", "SAVE_TARGETS", "DELETE",
                                       "INSERT_SELECTION", "INSERT_PROPERTY", "TEXT", "COMPOUND_TEXT"};
    for (const char* s : skip)
        if (name == s) return true;
    return false;
}

ClipboardSnapshot::Forms readForms(GtkClipboard* clip) {
    ClipboardSnapshot::Forms forms;
    if (!clip) return forms;
    GdkAtom* targets = nullptr;
    gint count = 0;
    if (!gtk_clipboard_wait_for_targets(clip, &targets, &count)) return forms;
    for (gint i = 0; i < count; ++i) {
        gchar* name = gdk_atom_name(targets[i]);
        std::string target = name ? name : "";
        g_free(name);
        if (target.empty() || isBookkeepingTarget(target)) continue;
        GtkSelectionData* data = gtk_clipboard_wait_for_contents(clip, targets[i]);
        if (!data) continue;
        const gint length = gtk_selection_data_get_length(data);
        const guchar* bytes = gtk_selection_data_get_data(data);
        if (length >= 0 && bytes) forms.push_back({target, std::vector<std::uint8_t>(bytes, bytes + length)});
        gtk_selection_data_free(data);
    }
    g_free(targets);
    return forms;
}

// Saved forms offered again.
struct OfferedForms {
    ClipboardSnapshot::Forms forms;
};

void provideSaved(GtkClipboard*, GtkSelectionData* selection, guint info, gpointer data) {
    auto* offered = static_cast<OfferedForms*>(data);
    if (info >= offered->forms.size()) return;
    const auto& [target, bytes] = offered->forms[info];
    gtk_selection_data_set(selection, gdk_atom_intern(target.c_str(), FALSE), 8, bytes.data(), static_cast<gint>(bytes.size()));
}

void releaseSaved(GtkClipboard*, gpointer data) { delete static_cast<OfferedForms*>(data); }

void offerForms(GtkClipboard* clip, const ClipboardSnapshot::Forms& forms) {
    auto* offered = new OfferedForms{forms};
    // The entries name the copy's strings, which live as long as the offer.
    std::vector<GtkTargetEntry> entries;
    for (std::size_t i = 0; i < offered->forms.size(); ++i)
        entries.push_back({const_cast<gchar*>(offered->forms[i].first.c_str()), 0, static_cast<guint>(i)});
    if (!gtk_clipboard_set_with_data(clip, entries.data(), static_cast<guint>(entries.size()), provideSaved, releaseSaved,
                                     offered))
        delete offered;
}

// Our text of the current paste (main thread only): one owner object per
// selection tells whether that selection still holds it; `fetched` says an
// application has asked for it since it was put there.
struct Paste {
    std::string text;
    bool fetched = false;
    GObject* owners[2] = {nullptr, nullptr};
    std::optional<ClipboardSnapshot> pendingRestore;
    guint restoreTimer = 0;
};

Paste& paste() {
    static Paste* current = new Paste();
    return *current;
}

bool holdsOurText(Which which) {
    GtkClipboard* clip = selection(which);
    GObject* owner = paste().owners[which];
    return clip && owner && gtk_clipboard_get_owner(clip) == owner;
}

void cancelPendingRestore() {
    Paste& p = paste();
    if (p.restoreTimer) g_source_remove(p.restoreTimer);
    p.restoreTimer = 0;
    p.pendingRestore.reset();
}

void restoreNow() {
    Paste& p = paste();
    if (!p.pendingRestore) return;
    const ClipboardSnapshot saved = std::move(*p.pendingRestore);
    cancelPendingRestore();
    // An empty clipboard before keeps the dictation; the PRIMARY selection
    // only carried it for the paste key, so it goes back to what it was.
    if (!saved.items.empty() && holdsOurText(clipboardSelection)) offerForms(selection(clipboardSelection), saved.items);
    if (holdsOurText(primarySelection)) {
        if (saved.primary.empty()) gtk_clipboard_clear(selection(primarySelection));
        else offerForms(selection(primarySelection), saved.primary);
    }
}

gboolean restoreLater(gpointer) {
    paste().restoreTimer = 0;
    restoreNow();
    return G_SOURCE_REMOVE;
}

void provideText(GtkClipboard*, GtkSelectionData* data, guint, gpointer) {
    Paste& p = paste();
    gtk_selection_data_set_text(data, p.text.c_str(), static_cast<gint>(p.text.size()));
    if (p.fetched) return;
    p.fetched = true;
    // Not from inside the selection handler: the restore replaces this offer.
    if (p.pendingRestore) {
        if (p.restoreTimer) g_source_remove(p.restoreTimer);
        p.restoreTimer = g_idle_add(restoreLater, nullptr);
    }
}

void releaseText(GtkClipboard*, gpointer) {}

void offerText(Which which) {
    GtkClipboard* clip = selection(which);
    if (!clip) return;
    Paste& p = paste();
    if (!p.owners[which]) p.owners[which] = G_OBJECT(g_object_new(G_TYPE_OBJECT, nullptr));
    GtkTargetList* list = gtk_target_list_new(nullptr, 0);
    gtk_target_list_add_text_targets(list, 0);
    gint count = 0;
    GtkTargetEntry* entries = gtk_target_table_new_from_list(list, &count);
    gtk_clipboard_set_with_owner(clip, entries, static_cast<guint>(count), provideText, releaseText, p.owners[which]);
    gtk_target_table_free(entries, count);
    gtk_target_list_unref(list);
}

}  // namespace

ClipboardSnapshot snapshot() {
    // A restore still waiting for the last paste to be fetched holds the
    // user's selections: they are what the next paste must give back.
    if (Paste& p = paste(); p.pendingRestore) {
        ClipboardSnapshot saved = std::move(*p.pendingRestore);
        cancelPendingRestore();
        return saved;
    }
    ClipboardSnapshot snapshot;
    snapshot.items = readForms(selection(clipboardSelection));
    snapshot.primary = readForms(selection(primarySelection));
    return snapshot;
}

void setText(const std::string& text) {
    Paste& p = paste();
    cancelPendingRestore();
    p.text = text;
    p.fetched = false;
    offerText(clipboardSelection);
}

void offerOnPrimaryToo() { offerText(primarySelection); }

std::optional<std::string> text() {
    if (holdsOurText(clipboardSelection)) return paste().text;
    GtkClipboard* clip = selection(clipboardSelection);
    if (!clip) return std::nullopt;
    gchar* s = gtk_clipboard_wait_for_text(clip);
    if (!s) return std::nullopt;
    std::string out(s);
    g_free(s);
    return out;
}

void restore(const ClipboardSnapshot& snapshot) {
    Paste& p = paste();
    cancelPendingRestore();
    if (snapshot.empty()) return;
    p.pendingRestore = snapshot;
    if (!p.fetched && (holdsOurText(clipboardSelection) || holdsOurText(primarySelection))) {
        p.restoreTimer = g_timeout_add(kFetchBoundMs, restoreLater, nullptr);
        return;
    }
    restoreNow();
}

}  // namespace platform::clipboard

#include "Platform/Gtk/ClipboardOwner.h"

#include <gtk/gtk.h>

#include <memory>
#include <vector>

namespace platform::clipboard {

namespace {

// How long saved forms wait for the application to fetch the paste's text:
// a terminal busy with output reads its paste key late, and must still get
// the dictation, not the user's old selection put back meanwhile.
constexpr guint kFetchBoundMs = 3000;

// How long the user's selections may take to hand over every form before a
// paste goes ahead with what arrived.
constexpr guint kSnapshotBoundMs = 1000;

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
    static const char* const skip[] = {"TARGETS",          "MULTIPLE",        "TIMESTAMP", "SAVE_TARGETS", "DELETE",
                                       "INSERT_SELECTION", "INSERT_PROPERTY", "TEXT",      "COMPOUND_TEXT"};
    for (const char* s : skip)
        if (name == s) return true;
    return false;
}

// One snapshot in progress: the targets of CLIPBOARD, then each of its
// forms, then the same for PRIMARY, every request answered through the main
// loop (never a nested wait on it). Whatever has arrived when the bound runs
// out is the snapshot; answers after that are dropped.
struct Reading {
    std::function<void(ClipboardSnapshot)> done;
    ClipboardSnapshot snapshot;
    Which which = clipboardSelection;
    std::vector<GdkAtom> targets;
    std::size_t next = 0;
    guint timer = 0;
    bool finished = false;
};
using ReadingRef = std::shared_ptr<Reading>;

void finishReading(const ReadingRef& reading) {
    if (reading->finished) return;
    reading->finished = true;
    if (reading->timer) g_source_remove(reading->timer);
    reading->timer = 0;
    auto done = std::move(reading->done);
    done(std::move(reading->snapshot));
}

// The reading a GTK callback carries, released with it.
ReadingRef takeReading(gpointer data) {
    auto* held = static_cast<ReadingRef*>(data);
    ReadingRef reading = std::move(*held);
    delete held;
    return reading;
}

void readSelection(const ReadingRef& reading);

void readNextForm(const ReadingRef& reading) {
    if (reading->next < reading->targets.size()) {
        gtk_clipboard_request_contents(
            selection(reading->which), reading->targets[reading->next++],
            [](GtkClipboard*, GtkSelectionData* data, gpointer held) {
                ReadingRef reading = takeReading(held);
                if (reading->finished) return;
                const gint length = data ? gtk_selection_data_get_length(data) : -1;
                const guchar* bytes = data ? gtk_selection_data_get_data(data) : nullptr;
                if (length >= 0 && bytes) {
                    gchar* name = gdk_atom_name(reading->targets[reading->next - 1]);
                    auto& forms = reading->which == clipboardSelection ? reading->snapshot.items : reading->snapshot.primary;
                    forms.push_back({name ? name : "", std::vector<std::uint8_t>(bytes, bytes + length)});
                    g_free(name);
                }
                readNextForm(reading);
            },
            new ReadingRef(reading));
        return;
    }
    if (reading->which == clipboardSelection) {
        reading->which = primarySelection;
        readSelection(reading);
        return;
    }
    finishReading(reading);
}

void readSelection(const ReadingRef& reading) {
    GtkClipboard* clip = selection(reading->which);
    if (!clip) {
        finishReading(reading);
        return;
    }
    gtk_clipboard_request_targets(
        clip,
        [](GtkClipboard*, GdkAtom* atoms, gint count, gpointer held) {
            ReadingRef reading = takeReading(held);
            if (reading->finished) return;
            reading->targets.clear();
            reading->next = 0;
            for (gint i = 0; i < count; ++i) {
                gchar* name = gdk_atom_name(atoms[i]);
                const std::string target = name ? name : "";
                g_free(name);
                if (!target.empty() && !isBookkeepingTarget(target)) reading->targets.push_back(atoms[i]);
            }
            readNextForm(reading);
        },
        new ReadingRef(reading));
}

// Saved forms offered again.
struct OfferedForms {
    ClipboardSnapshot::Forms forms;
};

void provideSaved(GtkClipboard*, GtkSelectionData* selection, guint info, gpointer data) {
    auto* offered = static_cast<OfferedForms*>(data);
    if (info >= offered->forms.size()) return;
    const auto& [target, bytes] = offered->forms[info];
    gtk_selection_data_set(selection, gdk_atom_intern(target.c_str(), FALSE), 8, bytes.data(),
                           static_cast<gint>(bytes.size()));
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

void snapshot(std::function<void(ClipboardSnapshot)> done) {
    // A restore still waiting for the last paste to be fetched holds the
    // user's selections: they are what the next paste must give back.
    if (Paste& p = paste(); p.pendingRestore) {
        ClipboardSnapshot saved = std::move(*p.pendingRestore);
        cancelPendingRestore();
        done(std::move(saved));
        return;
    }
    auto reading = std::make_shared<Reading>();
    reading->done = std::move(done);
    reading->timer = g_timeout_add_full(
        G_PRIORITY_DEFAULT, kSnapshotBoundMs,
        [](gpointer held) {
            ReadingRef reading = *static_cast<ReadingRef*>(held);
            reading->timer = 0;
            finishReading(reading);
            return gboolean(G_SOURCE_REMOVE);
        },
        new ReadingRef(reading), [](gpointer held) { delete static_cast<ReadingRef*>(held); });
    readSelection(reading);
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

bool holdsText(const std::string& text) { return holdsOurText(clipboardSelection) && paste().text == text; }

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

#include "Platform/DesktopInsertion.h"

#include "Platform/FrontmostApp.h"
#include "Platform/LinuxNames.h"
#include "Platform/Queues.h"
#include "Platform/Text.h"
#include "Platform/X11ErrorTrap.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <atspi/atspi.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <thread>
#include <vector>

namespace platform {

namespace {

// Every AT-SPI call waits at most this long for the application to answer.
constexpr int kAtspiTimeoutMs = 250;
// The pause before a spare key typed in this same text is given another
// character, so the receiving application has translated the earlier key
// events with the mapping they were sent under. Applications read the key
// map when they translate a key, not when it was sent.
constexpr auto kRemapPause = std::chrono::milliseconds(150);
constexpr double kSpareReturnDelay = 5.0;

bool atspiReady() {
    static const bool ready = [] {
        int status = atspi_init();
        if (status != 0 && status != 1) return false;
        atspi_set_timeout(kAtspiTimeoutMs, kAtspiTimeoutMs * 4);
        return true;
    }();
    return ready;
}

bool gtkReady() {
    static const bool ready = gdk_display_get_default() != nullptr || gtk_init_check(nullptr, nullptr);
    return ready;
}

std::optional<std::string> takeString(gchar* s) {
    if (!s) return std::nullopt;
    std::string out(s);
    g_free(s);
    return out;
}

bool hasState(AtspiAccessible* element, AtspiStateType state) {
    AtspiStateSet* set = atspi_accessible_get_state_set(element);
    if (!set) return false;
    bool has = atspi_state_set_contains(set, state);
    g_object_unref(set);
    return has;
}

bool ownProcess(AtspiAccessible* element) {
    GError* error = nullptr;
    guint pid = atspi_accessible_get_process_id(element, &error);
    if (error) {
        g_error_free(error);
        return false;
    }
    return pid == static_cast<guint>(getpid());
}

void onFocusEvent(AtspiEvent* event, void* data) {
    if (!event || !event->source) return;
    static_cast<DesktopInsertion*>(data)->focusChanged(event->source, event->detail1 != 0);
}

// Depth-first search for the focused element under an active window.
AtspiAccessible* findFocused(AtspiAccessible* node, int depth, int& budget) {
    if (!node || depth > 40 || --budget < 0) return nullptr;
    if (hasState(node, ATSPI_STATE_FOCUSED)) return ATSPI_ACCESSIBLE(g_object_ref(node));
    GError* error = nullptr;
    gint count = atspi_accessible_get_child_count(node, &error);
    if (error) {
        g_error_free(error);
        return nullptr;
    }
    for (gint i = 0; i < count && budget > 0; ++i) {
        AtspiAccessible* child = atspi_accessible_get_child_at_index(node, i, nullptr);
        if (!child) continue;
        AtspiAccessible* found = findFocused(child, depth + 1, budget);
        g_object_unref(child);
        if (found) return found;
    }
    return nullptr;
}

KeySym keysymForCodePoint(gunichar cp) {
    if (cp == '\n' || cp == '\r') return XK_Return;
    if (cp == '\t') return XK_Tab;
    if ((cp >= 0x20 && cp <= 0x7e) || (cp >= 0xa0 && cp <= 0xff)) return cp;
    return 0x01000000 | cp;
}

}  // namespace

// The keyboard as XTest drives it: spare key codes (no key of the keyboard
// sends them) and the characters they carry now. Spares are reused least
// recently loaned first, and given back (emptied) only well after the last
// typing, since an application reads the key map when it translates a key.
struct DesktopInsertion::Keyboard {
    std::deque<KeyCode> spares;  // front: loaned longest ago
    std::map<KeyCode, KeySym> loaned;
    int keysymsPerKeycode = 0;
    unsigned generation = 0;
    void touch(KeyCode code) {
        auto it = std::find(spares.begin(), spares.end(), code);
        if (it == spares.end()) return;
        spares.erase(it);
        spares.push_back(code);
    }
};

std::shared_ptr<DesktopInsertion> DesktopInsertion::shared() {
    static std::shared_ptr<DesktopInsertion> instance = std::make_shared<DesktopInsertion>();
    return instance;
}

bool DesktopInsertion::accessibilityAvailable() { return atspiReady(); }

bool DesktopInsertion::isTerminal(const std::string& applicationID) {
    const std::string id = text::lowercased(applicationID);
    if (id.find("terminal") != std::string::npos || id.find("console") != std::string::npos) return true;
    for (const char* name : LinuxNames::terminalApplications)
        if (id == name) return true;
    return false;
}

DesktopInsertion::DesktopInsertion() : keyboard_(std::make_unique<Keyboard>()) {}

void DesktopInsertion::startTrackingFocus() {
    // On the main thread: the listener's events arrive on the main loop.
    if (listener_ || !atspiReady()) return;
    AtspiEventListener* listener = atspi_event_listener_new(onFocusEvent, this, nullptr);
    if (atspi_event_listener_register(listener, "object:state-changed:focused", nullptr)) listener_ = listener;
    else g_object_unref(listener);
}

DesktopInsertion::~DesktopInsertion() {
    if (listener_) {
        auto* listener = static_cast<AtspiEventListener*>(listener_);
        atspi_event_listener_deregister(listener, "object:state-changed:focused", nullptr);
        g_object_unref(listener);
    }
    if (focused_) g_object_unref(focused_);
    returnSpares();
    if (display_) XCloseDisplay(display_);
}

bool DesktopInsertion::openDisplay() {
    if (display_) return true;
    display_ = XOpenDisplay(nullptr);
    if (!display_) return false;
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display_, &event, &error, &major, &minor)) {
        XCloseDisplay(display_);
        display_ = nullptr;
        return false;
    }
    int minCode = 0, maxCode = 0;
    XDisplayKeycodes(display_, &minCode, &maxCode);
    int per = 0;
    KeySym* map = XGetKeyboardMapping(display_, KeyCode(minCode), maxCode - minCode + 1, &per);
    keyboard_->keysymsPerKeycode = per;
    if (map) {
        for (int kc = minCode; kc <= maxCode; ++kc) {
            bool empty = true;
            for (int i = 0; i < per; ++i) empty = empty && map[(kc - minCode) * per + i] == NoSymbol;
            if (empty) keyboard_->spares.push_back(KeyCode(kc));
        }
        XFree(map);
    }
    // Keep the highest codes: the low empty ones are where new keyboards appear.
    if (keyboard_->spares.size() > 24)
        keyboard_->spares.erase(keyboard_->spares.begin(), keyboard_->spares.end() - 24);
    return true;
}

// MARK: - Focused field

void DesktopInsertion::focusChanged(AtspiAccessible* element, bool focused) {
    if (focused) {
        if (focused_) g_object_unref(focused_);
        focused_ = ATSPI_ACCESSIBLE(g_object_ref(element));
    } else if (focused_ == element) {
        g_object_unref(focused_);
        focused_ = nullptr;
    }
}

AtspiAccessible* DesktopInsertion::focusedElement() {
    if (!atspiReady()) return nullptr;
    startTrackingFocus();
    // Let pending focus events arrive first (a bounded number of turns: this
    // runs inside the main loop's own work).
    for (int turns = 0; turns < 50 && MainQueue::isMainThread() && g_main_context_pending(nullptr); ++turns)
        g_main_context_iteration(nullptr, FALSE);
    if (focused_ && hasState(focused_, ATSPI_STATE_FOCUSED) && !ownProcess(focused_))
        return ATSPI_ACCESSIBLE(g_object_ref(focused_));
    // No focus event seen yet (the field had the focus before we listened):
    // look under the active window of each application.
    AtspiAccessible* desktop = atspi_get_desktop(0);
    if (!desktop) return nullptr;
    AtspiAccessible* found = nullptr;
    gint apps = atspi_accessible_get_child_count(desktop, nullptr);
    for (gint a = 0; a < apps && !found; ++a) {
        AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, a, nullptr);
        if (!app) continue;
        if (!ownProcess(app)) {
            gint windows = atspi_accessible_get_child_count(app, nullptr);
            for (gint w = 0; w < windows && !found; ++w) {
                AtspiAccessible* window = atspi_accessible_get_child_at_index(app, w, nullptr);
                if (!window) continue;
                int budget = 3000;
                if (hasState(window, ATSPI_STATE_ACTIVE)) found = findFocused(window, 0, budget);
                g_object_unref(window);
            }
        }
        g_object_unref(app);
    }
    g_object_unref(desktop);
    return found;
}

std::optional<std::string> DesktopInsertion::focusedValue() {
    AtspiAccessible* element = focusedElement();
    if (!element) return std::nullopt;
    std::optional<std::string> value;
    if (AtspiText* text = atspi_accessible_get_text_iface(element)) {
        GError* error = nullptr;
        gint count = atspi_text_get_character_count(text, &error);
        if (!error) value = takeString(atspi_text_get_text(text, 0, count, &error));
        if (error) {
            g_error_free(error);
            value.reset();
        }
        g_object_unref(text);
    }
    g_object_unref(element);
    return value;
}

std::optional<std::string> DesktopInsertion::focusedSelectedText() {
    AtspiAccessible* element = focusedElement();
    if (!element) return std::nullopt;
    std::optional<std::string> selected;
    if (AtspiText* text = atspi_accessible_get_text_iface(element)) {
        GError* error = nullptr;
        gint n = atspi_text_get_n_selections(text, &error);
        if (!error && n > 0) {
            if (AtspiRange* range = atspi_text_get_selection(text, 0, &error)) {
                if (!error) selected = takeString(atspi_text_get_text(text, range->start_offset, range->end_offset, &error));
                g_free(range);
            }
        } else if (!error) {
            selected = std::string();
        }
        if (error) {
            g_error_free(error);
            selected.reset();
        }
        g_object_unref(text);
    }
    g_object_unref(element);
    return selected;
}

bool DesktopInsertion::insertAtFocus(const std::string& insertion) {
    AtspiAccessible* element = focusedElement();
    if (!element) return false;
    bool inserted = false;
    AtspiEditableText* editable = atspi_accessible_get_editable_text_iface(element);
    AtspiText* text = atspi_accessible_get_text_iface(element);
    if (editable && text && hasState(element, ATSPI_STATE_EDITABLE)) {
        GError* error = nullptr;
        gint caret = atspi_text_get_caret_offset(text, &error);
        if (!error)
            inserted = atspi_editable_text_insert_text(editable, caret, insertion.c_str(),
                                                       static_cast<gint>(insertion.size()), &error);
        if (error) {
            g_error_free(error);
            inserted = false;
        }
    }
    if (editable) g_object_unref(editable);
    if (text) g_object_unref(text);
    g_object_unref(element);
    return inserted;
}

bool DesktopInsertion::isSecureInputActive() {
    if (AtspiAccessible* element = focusedElement()) {
        GError* error = nullptr;
        AtspiRole role = atspi_accessible_get_role(element, &error);
        g_object_unref(element);
        if (error) g_error_free(error);
        else if (role == ATSPI_ROLE_PASSWORD_TEXT) return true;
    }
    if (!openDisplay()) return false;
    // Someone else holding the keyboard (a lock screen, a password prompt)
    // makes our grab fail; ours is let go at once.
    int status = XGrabKeyboard(display_, DefaultRootWindow(display_), False, GrabModeAsync, GrabModeAsync, CurrentTime);
    if (status == GrabSuccess) {
        XUngrabKeyboard(display_, CurrentTime);
        XSync(display_, False);
        return false;
    }
    return status == AlreadyGrabbed || status == GrabFrozen;
}

// MARK: - Keys

void DesktopInsertion::typeText(const std::string& text) {
    if (!openDisplay()) return;
    Keyboard& kb = *keyboard_;
    XkbStateRec state{};
    XkbGetState(display_, XkbUseCoreKbd, &state);
    const int group = state.group;
    const bool capsLock = state.locked_mods & LockMask;
    const KeyCode shift = XKeysymToKeycode(display_, XK_Shift_L);

    struct Stroke {
        KeyCode code;
        bool shifted;
    };
    std::vector<Stroke> pending;
    std::set<KeyCode> usedSincePause;  // spares typed since the last pause
    auto flush = [&] {
        for (const Stroke& s : pending) {
            if (s.shifted && shift) XTestFakeKeyEvent(display_, shift, True, 0);
            XTestFakeKeyEvent(display_, s.code, True, 0);
            XTestFakeKeyEvent(display_, s.code, False, 0);
            if (s.shifted && shift) XTestFakeKeyEvent(display_, shift, False, 0);
        }
        pending.clear();
        XSync(display_, False);
    };
    auto loan = [&](KeySym sym) -> KeyCode {
        if (kb.spares.empty()) return 0;
        for (const auto& [code, carried] : kb.loaned)
            if (carried == sym) return code;
        KeyCode code = kb.spares.front();
        if (usedSincePause.count(code)) {
            // Every spare is in use in this text: let the receiver catch up.
            flush();
            std::this_thread::sleep_for(kRemapPause);
            usedSincePause.clear();
        }
        kb.touch(code);
        std::vector<KeySym> syms(std::max(kb.keysymsPerKeycode, 2), NoSymbol);
        syms[0] = syms[1] = sym;
        XChangeKeyboardMapping(display_, code, static_cast<int>(syms.size()), syms.data(), 1);
        kb.loaned[code] = sym;
        return code;
    };

    const char* p = text.c_str();
    const char* end = p + text.size();
    while (p < end) {
        gunichar cp = g_utf8_get_char_validated(p, end - p);
        if (cp == static_cast<gunichar>(-1) || cp == static_cast<gunichar>(-2)) break;
        p = g_utf8_next_char(p);
        const KeySym sym = keysymForCodePoint(cp);
        KeyCode code = XKeysymToKeycode(display_, sym);
        bool shifted = false;
        bool onKeyboard = false;
        if (code) {
            if (XkbKeycodeToKeysym(display_, code, group, 0) == sym) onKeyboard = true;
            else if (XkbKeycodeToKeysym(display_, code, group, 1) == sym) onKeyboard = shifted = true;
        }
        if (onKeyboard && capsLock) {
            KeySym lower = 0, upper = 0;
            XConvertCase(sym, &lower, &upper);
            if (lower != upper) shifted = !shifted;
        }
        if (onKeyboard && kb.loaned.count(code)) {
            kb.touch(code);
            usedSincePause.insert(code);
        }
        if (!onKeyboard) {
            code = loan(sym);
            shifted = false;
            if (!code) continue;
            usedSincePause.insert(code);
        }
        pending.push_back({code, shifted});
    }
    flush();

    const unsigned generation = ++kb.generation;
    std::weak_ptr<DesktopInsertion> weak = weak_from_this();
    MainQueue::asyncAfter(kSpareReturnDelay, [weak, generation] {
        if (auto self = weak.lock(); self && self->keyboard_->generation == generation) self->returnSpares();
    });
}

void DesktopInsertion::returnSpares() {
    if (!display_ || keyboard_->loaned.empty()) return;
    std::vector<KeySym> none(std::max(keyboard_->keysymsPerKeycode, 2), NoSymbol);
    for (const auto& [code, sym] : keyboard_->loaned)
        XChangeKeyboardMapping(display_, code, static_cast<int>(none.size()), none.data(), 1);
    keyboard_->loaned.clear();
    XSync(display_, False);
}

void DesktopInsertion::sendPasteShortcut() {
    if (!openDisplay()) return;
    bool terminal = false;
    if (auto app = frontmostApplication()) terminal = isTerminal(app->applicationID) || isTerminal(app->displayName);
    const KeyCode control = XKeysymToKeycode(display_, XK_Control_L);
    const KeyCode shift = XKeysymToKeycode(display_, XK_Shift_L);
    const KeyCode v = XKeysymToKeycode(display_, XK_v);
    if (!control || !v) return;
    XTestFakeKeyEvent(display_, control, True, 0);
    if (terminal && shift) XTestFakeKeyEvent(display_, shift, True, 0);
    XTestFakeKeyEvent(display_, v, True, 0);
    XTestFakeKeyEvent(display_, v, False, 0);
    if (terminal && shift) XTestFakeKeyEvent(display_, shift, False, 0);
    XTestFakeKeyEvent(display_, control, False, 0);
    XSync(display_, False);
}

// MARK: - Clipboard

namespace {
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

ClipboardSnapshot DesktopInsertion::snapshotClipboard() {
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

void DesktopInsertion::setClipboardText(const std::string& text) {
    if (GtkClipboard* clip = clipboard()) gtk_clipboard_set_text(clip, text.c_str(), static_cast<gint>(text.size()));
}

std::optional<std::string> DesktopInsertion::clipboardText() {
    GtkClipboard* clip = clipboard();
    if (!clip) return std::nullopt;
    return takeString(gtk_clipboard_wait_for_text(clip));
}

void DesktopInsertion::restoreClipboard(const ClipboardSnapshot& snapshot) {
    GtkClipboard* clip = clipboard();
    if (!clip || snapshot.empty()) return;
    std::vector<GtkTargetEntry> entries;
    for (std::size_t i = 0; i < snapshot.items.size(); ++i)
        entries.push_back({const_cast<gchar*>(snapshot.items[i].first.c_str()), 0, static_cast<guint>(i)});
    auto* offered = new OfferedSnapshot{snapshot};
    // The entries name the copy's strings, which live as long as the offer.
    for (std::size_t i = 0; i < entries.size(); ++i) entries[i].target = const_cast<gchar*>(offered->snapshot.items[i].first.c_str());
    if (!gtk_clipboard_set_with_data(clip, entries.data(), static_cast<guint>(entries.size()), provide, release, offered))
        delete offered;
}

}  // namespace platform

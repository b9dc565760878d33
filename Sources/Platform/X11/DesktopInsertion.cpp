#include "Platform/X11/DesktopInsertion.h"

#include "Platform/FrontmostApp.h"
#include "Platform/LinuxNames.h"
#include "Platform/Queues.h"
#include "Platform/Unicode.h"
#include "Platform/X11/X11ErrorTrap.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <X11/Xatom.h>
#include <atspi/atspi.h>
#include <gtk/gtk.h>
#include <poll.h>
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
// An application translates a key code into a character when it reads the
// key event, with the key map it holds then (fetched again after each
// mapping change it has read), not with the map of the moment the key was
// sent. So a spare key code is given another character only once the
// receiving application has read every key event sent with it, releases
// included (a press read under one character and its release under another
// confuses applications that track held keys). The application shows it has
// read them by answering a _NET_WM_PING sent after them: its events are read
// in order. This is how long we wait for that answer.
constexpr auto kReceiverBound = std::chrono::milliseconds(2000);
// An application that doesn't answer pings (or no focused window) gets this
// pause after the last key instead: enough on an idle desktop, no promise
// on a loaded one.
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
    std::set<KeyCode> spareSet;
    std::map<KeyCode, KeySym> loaned;
    // Spares typed since the receiving application last showed it had read
    // our key events: none of them may be lent another character yet.
    std::set<KeyCode> unread;
    std::chrono::steady_clock::time_point lastTyped;
    int keysymsPerKeycode = 0;
    unsigned generation = 0;
    unsigned long pingStamp = 0;
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
        auto* listener = static_cast<AtspiEventListener*>(listener_.load());
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
        // Every empty code, highest first: the low empty ones are where new
        // keyboards appear, so they are lent only to texts that need them.
        for (int kc = maxCode; kc >= minCode; --kc) {
            bool empty = true;
            for (int i = 0; i < per; ++i) empty = empty && map[(kc - minCode) * per + i] == NoSymbol;
            if (empty) keyboard_->spares.push_back(KeyCode(kc));
        }
        XFree(map);
    }
    keyboard_->spareSet.insert(keyboard_->spares.begin(), keyboard_->spares.end());
    return true;
}

// MARK: - Focused field

void DesktopInsertion::focusChanged(AtspiAccessible* element, bool focused) {
    std::lock_guard<std::mutex> guard(focusLock_);
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
    if (MainQueue::isMainThread()) {
        startTrackingFocus();
    } else if (!listener_) {
        std::weak_ptr<DesktopInsertion> self = weak_from_this();
        MainQueue::async([self] {
            if (auto strong = self.lock()) strong->startTrackingFocus();
        });
    }
    // Let pending focus events arrive first (a bounded number of turns: this
    // runs inside the main loop's own work).
    for (int turns = 0; turns < 50 && MainQueue::isMainThread() && g_main_context_pending(nullptr); ++turns)
        g_main_context_iteration(nullptr, FALSE);
    AtspiAccessible* tracked = nullptr;
    {
        std::lock_guard<std::mutex> guard(focusLock_);
        if (focused_) tracked = ATSPI_ACCESSIBLE(g_object_ref(focused_));
    }
    if (tracked) {
        if (hasState(tracked, ATSPI_STATE_FOCUSED) && !ownProcess(tracked)) return tracked;
        g_object_unref(tracked);
    }
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
    // A window that takes the keyboard focus while we wait for the receiver
    // (a dialog popping up) must not get the rest of this text.
    Window startFocus = None;
    int revert = 0;
    XGetInputFocus(display_, &startFocus, &revert);
    bool focusMoved = false;

    struct Stroke {
        KeyCode code;
        bool shifted;
    };
    std::vector<Stroke> pending;
    auto flush = [&] {
        for (const Stroke& s : pending) {
            if (s.shifted && shift) XTestFakeKeyEvent(display_, shift, True, 0);
            XTestFakeKeyEvent(display_, s.code, True, 0);
            XTestFakeKeyEvent(display_, s.code, False, 0);
            if (s.shifted && shift) XTestFakeKeyEvent(display_, shift, False, 0);
        }
        if (!pending.empty()) kb.lastTyped = std::chrono::steady_clock::now();
        pending.clear();
        XSync(display_, False);
    };
    auto loan = [&](KeySym sym) -> KeyCode {
        if (kb.spares.empty()) return 0;
        for (const auto& [code, carried] : kb.loaned)
            if (carried == sym) return code;
        KeyCode code = kb.spares.front();
        if (kb.unread.count(code)) {
            // The receiver may not have read this spare's keys yet.
            flush();
            awaitReceiver();
            Window focus = None;
            XGetInputFocus(display_, &focus, &revert);
            if (focus != startFocus) {
                focusMoved = true;
                return 0;
            }
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
        if (focusMoved) break;
        const KeySym sym = keysymForCodePoint(cp);
        KeyCode code = XKeysymToKeycode(display_, sym);
        bool shifted = false;
        bool onKeyboard = false;
        if (code && kb.spareSet.count(code)) {
            // Our own map of the spares, not the client-side copy, which
            // lags behind our remapping.
            auto it = kb.loaned.find(code);
            onKeyboard = it != kb.loaned.end() && it->second == sym;
        } else if (code) {
            if (XkbKeycodeToKeysym(display_, code, group, 0) == sym) onKeyboard = true;
            else if (XkbKeycodeToKeysym(display_, code, group, 1) == sym) onKeyboard = shifted = true;
        }
        if (onKeyboard && capsLock && !kb.spareSet.count(code)) {
            KeySym lower = 0, upper = 0;
            XConvertCase(sym, &lower, &upper);
            if (lower != upper) shifted = !shifted;
        }
        if (onKeyboard && kb.loaned.count(code)) {
            kb.touch(code);
            kb.unread.insert(code);
        }
        if (!onKeyboard) {
            code = loan(sym);
            shifted = false;
            if (!code) continue;  // no spare, or the focus moved
            kb.unread.insert(code);
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

bool DesktopInsertion::receiverHasReadEverything() {
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display_, &focus, &revert);
    if (focus == None || focus == PointerRoot) return false;
    const Window root = DefaultRootWindow(display_);
    const Atom protocolsAtom = XInternAtom(display_, "WM_PROTOCOLS", False);
    const Atom pingAtom = XInternAtom(display_, "_NET_WM_PING", False);
    const Atom pidAtom = XInternAtom(display_, "_NET_WM_PID", False);
    Window target = None;
    {
        // The focus may sit on a child of the application's top-level window,
        // and any of these windows may vanish meanwhile.
        X11ErrorTrap trap(display_);
        for (Window w = focus; w != None && w != root && target == None;) {
            Atom* protocols = nullptr;
            int count = 0;
            if (XGetWMProtocols(display_, w, &protocols, &count)) {
                for (int i = 0; i < count; ++i)
                    if (protocols[i] == pingAtom) target = w;
                XFree(protocols);
            }
            if (target != None) break;
            Window treeRoot = None, parent = None;
            Window* children = nullptr;
            unsigned int childCount = 0;
            if (!XQueryTree(display_, w, &treeRoot, &parent, &children, &childCount)) break;
            if (children) XFree(children);
            w = parent;
        }
        if (target != None) {
            // Our own window can't answer while we wait on this thread.
            Atom type = None;
            int format = 0;
            unsigned long items = 0, after = 0;
            unsigned char* data = nullptr;
            if (XGetWindowProperty(display_, target, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &items,
                                   &after, &data) == Success && data) {
                if (type == XA_CARDINAL && format == 32 && items == 1 &&
                    *reinterpret_cast<unsigned long*>(data) == static_cast<unsigned long>(getpid()))
                    target = None;
                XFree(data);
            }
        }
        if (trap.finish() != 0) return false;
    }
    if (target == None) return false;

    // The answer goes to the root window, to clients that listen there for
    // structure changes.
    const unsigned long stamp = ++keyboard_->pingStamp;
    XSelectInput(display_, root, SubstructureNotifyMask);
    XClientMessageEvent ping{};
    ping.type = ClientMessage;
    ping.window = target;
    ping.message_type = protocolsAtom;
    ping.format = 32;
    ping.data.l[0] = static_cast<long>(pingAtom);
    ping.data.l[1] = static_cast<long>(stamp);
    ping.data.l[2] = static_cast<long>(target);
    bool sent = false;
    {
        X11ErrorTrap trap(display_);
        XSendEvent(display_, target, False, NoEventMask, reinterpret_cast<XEvent*>(&ping));
        sent = trap.finish() == 0;
    }
    bool answered = false;
    const auto deadline = std::chrono::steady_clock::now() + kReceiverBound;
    while (sent && !answered) {
        while (!answered && XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            answered = event.type == ClientMessage && event.xclient.message_type == protocolsAtom &&
                       static_cast<Atom>(event.xclient.data.l[0]) == pingAtom &&
                       static_cast<unsigned long>(event.xclient.data.l[1]) == stamp;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (answered || left.count() <= 0) break;
        pollfd fd{ConnectionNumber(display_), POLLIN, 0};
        poll(&fd, 1, static_cast<int>(std::min<long long>(left.count(), 50)));
    }
    XSelectInput(display_, root, NoEventMask);
    XSync(display_, True);
    return answered;
}

void DesktopInsertion::awaitReceiver() {
    Keyboard& kb = *keyboard_;
    if (kb.unread.empty()) return;
    if (!receiverHasReadEverything()) {
        const auto since = std::chrono::steady_clock::now() - kb.lastTyped;
        if (since < kRemapPause) std::this_thread::sleep_for(kRemapPause - since);
    }
    kb.unread.clear();
}

void DesktopInsertion::returnSpares() {
    if (!display_ || keyboard_->loaned.empty()) return;
    awaitReceiver();
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

namespace platform {
std::shared_ptr<InsertionTarget> desktopInsertionTarget() { return DesktopInsertion::shared(); }
bool accessibilityAvailable() { return DesktopInsertion::accessibilityAvailable(); }
}  // namespace platform

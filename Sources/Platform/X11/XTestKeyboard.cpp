#include "Platform/X11/XTestKeyboard.h"

#include "Platform/Queues.h"
#include "Platform/X11/WindowProperty.h"
#include "Platform/X11/X11ErrorTrap.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <glib.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <set>
#include <thread>
#include <vector>

namespace platform {

namespace {

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
struct XTestKeyboard::Spares {
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

XTestKeyboard::XTestKeyboard() : spares_(std::make_unique<Spares>()) {}

XTestKeyboard::~XTestKeyboard() {
    returnSpares();
    if (display_) XCloseDisplay(display_);
}

bool XTestKeyboard::openDisplay() {
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
    spares_->keysymsPerKeycode = per;
    if (map) {
        // Every empty code, highest first: the low empty ones are where new
        // keyboards appear, so they are lent only to texts that need them.
        for (int kc = maxCode; kc >= minCode; --kc) {
            bool empty = true;
            for (int i = 0; i < per; ++i) empty = empty && map[(kc - minCode) * per + i] == NoSymbol;
            if (empty) spares_->spares.push_back(KeyCode(kc));
        }
        XFree(map);
    }
    spares_->spareSet.insert(spares_->spares.begin(), spares_->spares.end());
    return true;
}

void XTestKeyboard::type(const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!openDisplay()) return;
    Spares& kb = *spares_;
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
    std::weak_ptr<XTestKeyboard> weak = weak_from_this();
    MainQueue::asyncAfter(kSpareReturnDelay, [weak, generation] {
        GlobalQueue::async(QoS::utility, [weak, generation] {
            auto self = weak.lock();
            if (!self) return;
            std::lock_guard<std::mutex> guard(self->lock_);
            if (self->spares_->generation == generation) self->returnSpares();
        });
    });
}

bool XTestKeyboard::receiverHasReadEverything() { return pingFocusedApplication(kReceiverBound).value_or(false); }

std::optional<bool> XTestKeyboard::focusedApplicationAnswers(double seconds) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!openDisplay()) return std::nullopt;
    return pingFocusedApplication(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(std::max(0.0, seconds))));
}

std::optional<bool> XTestKeyboard::pingFocusedApplication(std::chrono::milliseconds bound) {
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display_, &focus, &revert);
    if (focus == None || focus == PointerRoot) return std::nullopt;
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
            const auto pid = readWindowProperty(display_, trap, target, pidAtom, XA_CARDINAL);
            if (pid && pid->items.size() == 1 && pid->items[0] == static_cast<unsigned long>(getpid())) target = None;
        }
        if (trap.finish() != 0) return std::nullopt;
    }
    if (target == None) return std::nullopt;

    // The answer goes to the root window, to clients that listen there for
    // structure changes.
    const unsigned long stamp = ++spares_->pingStamp;
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
    const auto deadline = std::chrono::steady_clock::now() + bound;
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
    // A ping that could not be sent went to a window that is gone.
    if (!sent) return std::nullopt;
    return answered;
}

void XTestKeyboard::awaitReceiver() {
    Spares& kb = *spares_;
    if (kb.unread.empty()) return;
    if (!receiverHasReadEverything()) {
        const auto since = std::chrono::steady_clock::now() - kb.lastTyped;
        if (since < kRemapPause) std::this_thread::sleep_for(kRemapPause - since);
    }
    kb.unread.clear();
}

void XTestKeyboard::returnSpares() {
    if (!display_ || spares_->loaned.empty()) return;
    awaitReceiver();
    std::vector<KeySym> none(std::max(spares_->keysymsPerKeycode, 2), NoSymbol);
    for (const auto& [code, sym] : spares_->loaned)
        XChangeKeyboardMapping(display_, code, static_cast<int>(none.size()), none.data(), 1);
    spares_->loaned.clear();
    XSync(display_, False);
}

std::optional<bool> XTestKeyboard::grabbedByAnotherClient() {
    std::lock_guard<std::mutex> guard(lock_);
    if (!openDisplay()) return std::nullopt;
    // Someone else holding the keyboard makes our grab fail; ours is let go
    // at once.
    int status = XGrabKeyboard(display_, DefaultRootWindow(display_), False, GrabModeAsync, GrabModeAsync, CurrentTime);
    if (status == GrabSuccess) {
        XUngrabKeyboard(display_, CurrentTime);
        XSync(display_, False);
        return false;
    }
    if (status == AlreadyGrabbed || status == GrabFrozen) return true;
    // A refusal that says nothing about other clients.
    return std::nullopt;
}

void XTestKeyboard::pressChord(const std::vector<unsigned long>& keysyms) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!openDisplay()) return;
    std::vector<KeyCode> codes;
    for (unsigned long sym : keysyms) {
        const KeyCode code = XKeysymToKeycode(display_, static_cast<KeySym>(sym));
        if (!code) return;
        codes.push_back(code);
    }
    for (KeyCode code : codes) XTestFakeKeyEvent(display_, code, True, 0);
    for (auto it = codes.rbegin(); it != codes.rend(); ++it) XTestFakeKeyEvent(display_, *it, False, 0);
    XSync(display_, False);
}

}  // namespace platform

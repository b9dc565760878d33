#include "Platform/X11/X11HotKeys.h"

#include "Platform/KeyCodes.h"
#include "Platform/Queues.h"
#include "Platform/X11/X11ErrorTrap.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>
#include <glib.h>

#include <algorithm>
#include <chrono>

namespace platform {

namespace {
constexpr unsigned int kChordMask = ShiftMask | ControlMask | Mod1Mask | Mod4Mask;

gboolean onReadableThunk(GIOChannel*, GIOCondition condition, gpointer data) {
    return X11HotKeys::onReadable(int(condition), data);
}

std::uint32_t modifierOfKeysym(KeySym sym) {
    switch (sym) {
        case XK_Shift_L:
        case XK_Shift_R: return KeyCodes::shiftMask;
        case XK_Control_L:
        case XK_Control_R: return KeyCodes::controlMask;
        case XK_Alt_L:
        case XK_Alt_R:
        case XK_Meta_L:
        case XK_Meta_R: return KeyCodes::optionMask;
        case XK_Super_L:
        case XK_Super_R:
        case XK_Hyper_L:
        case XK_Hyper_R: return KeyCodes::commandMask;
        default: return 0;
    }
}
}  // namespace

int X11HotKeys::onReadable(int condition, void* data) {
    auto* self = static_cast<X11HotKeys*>(data);
    if (condition & (G_IO_HUP | G_IO_ERR | G_IO_NVAL)) {
        self->watchID_ = 0;  // this source ends itself by returning
        self->disconnect(true);
        return G_SOURCE_REMOVE;
    }
    self->processPendingEvents();
    return G_SOURCE_CONTINUE;
}

std::shared_ptr<X11HotKeys> X11HotKeys::shared() {
    static std::shared_ptr<X11HotKeys> instance = std::make_shared<X11HotKeys>();
    return instance;
}

X11HotKeys::X11HotKeys(std::string displayName) : displayName_(std::move(displayName)) {}

X11HotKeys::~X11HotKeys() {
    if (display_) disconnect(false);
}

bool X11HotKeys::connect() {
    if (display_) return true;
    display_ = XOpenDisplay(displayName_.empty() ? nullptr : displayName_.c_str());
    if (!display_) return false;
    Bool supported = False;
    XkbSetDetectableAutoRepeat(display_, True, &supported);
    int event = 0, error = 0;
    xiOpcode_ = -1;
    if (XQueryExtension(display_, "XInputExtension", &xiOpcode_, &event, &error)) {
        int major = 2, minor = 2;
        if (XIQueryVersion(display_, &major, &minor) != Success || major < 2) xiOpcode_ = -1;
    } else {
        xiOpcode_ = -1;
    }
    refreshLockMasks();
    GIOChannel* channel = g_io_channel_unix_new(ConnectionNumber(display_));
    watchID_ = g_io_add_watch(channel, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR | G_IO_NVAL), onReadableThunk, this);
    g_io_channel_unref(channel);
    regrabAll();
    if (listening_) selectRawEvents(true);
    return true;
}

void X11HotKeys::disconnect(bool connectionLost) {
    if (watchID_) g_source_remove(watchID_);
    watchID_ = 0;
    // A lost connection is never touched again: any request on it would end
    // in the fatal I/O error handler.
    if (!connectionLost) XCloseDisplay(display_);
    display_ = nullptr;
    for (auto& [ref, g] : grabs_) g.live = false;
    activeGrabs_.clear();
    heldKeys_.clear();
    if (listening_ && connectionLost) {
        listening_ = false;
        auto lost = onLost_;
        if (lost) lost();
    }
}

void X11HotKeys::dropConnectionForTesting() {
    if (!display_) return;
    Display* old = display_;
    disconnect(true);
    // The connection itself is still sound here; close it so nothing leaks.
    XCloseDisplay(old);
}

void X11HotKeys::refreshLockMasks() {
    numLockMask_ = 0;
    XModifierKeymap* map = XGetModifierMapping(display_);
    if (!map) return;
    KeyCode numLock = XKeysymToKeycode(display_, XK_Num_Lock);
    for (int i = 0; i < 8 && numLock; ++i)
        for (int j = 0; j < map->max_keypermod; ++j)
            if (map->modifiermap[i * map->max_keypermod + j] == numLock) numLockMask_ = 1u << i;
    XFreeModifiermap(map);
}

unsigned int X11HotKeys::resolveKeycode(std::uint32_t keyCode) const {
    auto sym = KeyCodes::keysymForKeyCode(keyCode);
    if (!sym) return 0;
    unsigned int code = XKeysymToKeycode(display_, *sym);
    if (code != 0) return code;
    int minCode = 0, maxCode = 0;
    XDisplayKeycodes(display_, &minCode, &maxCode);
    auto evdev = KeyCodes::evdevKeycodeForKeyCode(keyCode);
    if (evdev && int(*evdev) >= minCode && int(*evdev) <= maxCode &&
        XkbKeycodeToKeysym(display_, KeyCode(*evdev), 0, 0) != NoSymbol)
        return *evdev;
    return 0;
}

std::int32_t X11HotKeys::grab(Grab& g) {
    g.xKeycode = resolveKeycode(g.keyCode);
    if (g.xKeycode == 0) return statusUnknownKey;
    g.numLockMask = numLockMask_;
    g.taken.clear();
    if (g.carbonModifiers != anyModifiers) {
        const unsigned int xModifiers = KeyCodes::xModifiersForPortable(g.carbonModifiers);
        if (takenByAnotherGrab(g, xModifiers)) return statusAlreadyRegistered;
        if (int error = grabCombination(g.xKeycode, xModifiers, g.numLockMask)) return error;
        g.taken.push_back(xModifiers);
    } else {
        for (unsigned int xModifiers = 0; xModifiers <= kChordMask; ++xModifiers) {
            if ((xModifiers & ~kChordMask) != 0 || takenByAnotherGrab(g, xModifiers)) continue;
            const int error = grabCombination(g.xKeycode, xModifiers, g.numLockMask);
            // The key alone must be ours; a combination the desktop holds
            // (Alt+Esc, say) is left to it.
            if (error != 0 && xModifiers == 0) return error;
            if (error == 0) g.taken.push_back(xModifiers);
        }
    }
    g.live = true;
    scheduleDrain();
    return 0;
}

bool X11HotKeys::takenByAnotherGrab(const Grab& g, unsigned int xModifiers) const {
    for (const auto& [ref, other] : grabs_)
        if (&other != &g && other.live && other.xKeycode == g.xKeycode &&
            std::find(other.taken.begin(), other.taken.end(), xModifiers) != other.taken.end())
            return true;
    return false;
}

int X11HotKeys::grabCombination(unsigned int xKeycode, unsigned int xModifiers, unsigned int numLockMask) {
    Window root = DefaultRootWindow(display_);
    const unsigned int locks[] = {0, LockMask, numLockMask, LockMask | numLockMask};
    X11ErrorTrap trap(display_);
    for (unsigned int lock : locks)
        XGrabKey(display_, int(xKeycode), xModifiers | lock, root, False, GrabModeAsync, GrabModeAsync);
    const int error = trap.finish();
    if (error != 0) ungrabCombination(xKeycode, xModifiers, numLockMask);
    return error;
}

void X11HotKeys::ungrabCombination(unsigned int xKeycode, unsigned int xModifiers, unsigned int numLockMask) {
    Window root = DefaultRootWindow(display_);
    const unsigned int locks[] = {0, LockMask, numLockMask, LockMask | numLockMask};
    X11ErrorTrap trap(display_);
    for (unsigned int lock : locks) XUngrabKey(display_, int(xKeycode), xModifiers | lock, root);
    trap.finish();
}

void X11HotKeys::ungrab(const Grab& g) {
    for (unsigned int xModifiers : g.taken) ungrabCombination(g.xKeycode, xModifiers, g.numLockMask);
}

void X11HotKeys::regrabAll() {
    // Only grabs whose key moved (or whose NumLock bit changed) are taken
    // again, so remapping an unrelated key never opens a gap.
    for (auto& [ref, g] : grabs_) {
        if (g.live && g.xKeycode == resolveKeycode(g.keyCode) && g.numLockMask == numLockMask_) continue;
        if (g.live) ungrab(g);
        g.live = false;
    }
    for (auto& [ref, g] : grabs_)
        if (!g.live) grab(g);
}

std::int32_t X11HotKeys::registerHotKey(std::uint32_t keyCode, std::uint32_t carbonModifiers, std::uint32_t signature,
                                        std::uint32_t identifier, std::uint64_t& reference) {
    reference = 0;
    if (!connect()) return statusNoDisplay;
    Grab g{keyCode, carbonModifiers, signature, identifier};
    std::int32_t status = grab(g);
    if (status != 0) return status;
    reference = ++nextReference_;
    grabs_[reference] = g;
    return 0;
}

void X11HotKeys::unregisterHotKey(std::uint64_t reference) {
    auto it = grabs_.find(reference);
    if (it == grabs_.end()) return;
    if (display_ && it->second.live) ungrab(it->second);
    for (auto a = activeGrabs_.begin(); a != activeGrabs_.end();)
        a = a->second == reference ? activeGrabs_.erase(a) : std::next(a);
    grabs_.erase(it);
}

bool X11HotKeys::installHandler(Handler handler) {
    handler_ = std::move(handler);
    return true;
}

void X11HotKeys::removeHandler() { handler_ = nullptr; }

bool X11HotKeys::install(std::function<void(const RawKeyEvent&)> onKey, std::function<void()> onLost) {
    if (!connect() || xiOpcode_ < 0) return false;
    onKey_ = std::move(onKey);
    onLost_ = std::move(onLost);
    listening_ = true;
    selectRawEvents(true);
    return true;
}

void X11HotKeys::remove() {
    if (display_ && listening_) selectRawEvents(false);
    listening_ = false;
    onKey_ = nullptr;
    onLost_ = nullptr;
}

void X11HotKeys::selectRawEvents(bool on) {
    if (!display_ || xiOpcode_ < 0) return;
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    if (on) {
        XISetMask(bits, XI_RawKeyPress);
        XISetMask(bits, XI_RawKeyRelease);
    }
    XIEventMask mask{XIAllMasterDevices, int(sizeof(bits)), bits};
    X11ErrorTrap trap(display_);
    XISelectEvents(display_, DefaultRootWindow(display_), &mask, 1);
    trap.finish();
    heldKeys_.clear();
    scheduleDrain();
}

void X11HotKeys::scheduleDrain() {
    // XSync may have read events into Xlib's queue without the socket
    // becoming readable again; read them on the next turn of the main loop.
    if (drainScheduled_) return;
    drainScheduled_ = true;
    std::weak_ptr<X11HotKeys> weak = weak_from_this();
    MainQueue::async([weak] {
        if (auto self = weak.lock()) {
            self->drainScheduled_ = false;
            self->processPendingEvents();
        }
    });
}

void X11HotKeys::processPendingEvents() {
    while (display_ && XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        handleEvent(event);
    }
}

std::uint32_t X11HotKeys::heldModifiers() const {
    std::uint32_t mods = 0;
    for (unsigned int kc : heldKeys_) mods |= modifierOfKeysym(XkbKeycodeToKeysym(display_, KeyCode(kc), 0, 0));
    return mods;
}

void X11HotKeys::handleEvent(XEvent& event) {
    if (event.type == MappingNotify) {
        XRefreshKeyboardMapping(&event.xmapping);
        if (event.xmapping.request == MappingKeyboard || event.xmapping.request == MappingModifier) {
            // Keys may sit on other key codes now: take every grab again.
            refreshLockMasks();
            regrabAll();
        }
        return;
    }
    if (event.type == KeyPress) {
        for (const auto& [ref, g] : grabs_) {
            if (!g.live || g.xKeycode != event.xkey.keycode ||
                std::find(g.taken.begin(), g.taken.end(), event.xkey.state & kChordMask) == g.taken.end())
                continue;
            activeGrabs_[event.xkey.keycode] = ref;
            if (handler_) handler_(g.signature, g.identifier, true);
            return;
        }
        return;
    }
    if (event.type == KeyRelease) {
        // Matched by key alone: the modifiers may have been let go first.
        // The server does not send the raw release of a key while our grab
        // holds the keyboard; without this the key would stay "held" and
        // every later Right Ctrl would look like part of a chord.
        heldKeys_.erase(event.xkey.keycode);
        auto active = activeGrabs_.find(event.xkey.keycode);
        if (active == activeGrabs_.end()) return;
        auto g = grabs_.find(active->second);
        activeGrabs_.erase(active);
        if (g != grabs_.end() && handler_) handler_(g->second.signature, g->second.identifier, false);
        return;
    }
    if (event.type == GenericEvent && event.xcookie.extension == xiOpcode_ && XGetEventData(display_, &event.xcookie)) {
        const int type = event.xcookie.evtype;
        if (type == XI_RawKeyPress || type == XI_RawKeyRelease) {
            const auto* raw = static_cast<const XIRawEvent*>(event.xcookie.data);
            const unsigned int keycode = static_cast<unsigned int>(raw->detail);
            const bool pressed = type == XI_RawKeyPress;
            RawKeyEvent key;
            key.keysym = XkbKeycodeToKeysym(display_, KeyCode(keycode), 0, 0);
            key.pressed = pressed;
            key.autoRepeat = pressed && (heldKeys_.count(keycode) > 0 || (raw->flags & XIKeyRepeat));
            heldKeys_.erase(keycode);
            key.heldModifiers = heldModifiers();
            key.otherKeysHeld = !heldKeys_.empty();
            if (pressed) heldKeys_.insert(keycode);
            key.time = eventClock_.toMonotonic(
                static_cast<std::uint32_t>(raw->time),
                std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count());
            auto onKey = onKey_;
            XFreeEventData(display_, &event.xcookie);
            if (onKey && listening_) onKey(key);
            return;
        }
        XFreeEventData(display_, &event.xcookie);
    }
}

}  // namespace platform

namespace platform {
std::shared_ptr<HotKeyService> desktopHotKeyService() { return X11HotKeys::shared(); }
std::shared_ptr<KeyListener> desktopKeyListener() { return X11HotKeys::shared(); }
bool desktopHotKeysAvailable() { return X11HotKeys::shared()->ensureConnected(); }
}  // namespace platform

// Global hot keys and the key listener against the test session's X server:
// keys are synthesised with XTest from a second connection, as a keyboard
// would send them.
#include "Platform/X11/X11HotKeys.h"

#include <gtest/gtest.h>

#include "support/RequireService.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include "Platform/KeyCodes.h"
#include "Platform/Queues.h"
#include "support/HotkeyFakes.h"

namespace {

// A second client: the "keyboard" and, when asked, a rival grabbing keys.
struct Keyboard {
    Display* display = XOpenDisplay(nullptr);
    ~Keyboard() {
        if (display) XCloseDisplay(display);
    }
    KeyCode code(KeySym sym) const { return XKeysymToKeycode(display, sym); }
    void keyCode(KeyCode code, bool down) {
        XTestFakeKeyEvent(display, code, down ? True : False, 0);
        XSync(display, False);
    }
    void key(KeySym sym, bool down) { keyCode(code(sym), down); }
    // Presses the chord in order and lets it go in reverse order.
    void chord(std::vector<KeySym> keys, double hold = 0) {
        for (KeySym k : keys) key(k, true);
        if (hold > 0) platform::MainQueue::pump(hold);
        for (auto it = keys.rbegin(); it != keys.rend(); ++it) key(*it, false);
    }
};

struct Events {
    std::vector<std::string> seen;
    HotKeyService::Handler handler() {
        return [this](std::uint32_t, std::uint32_t id, bool pressed) {
            seen.push_back(std::to_string(id) + (pressed ? " down" : " up"));
        };
    }
    bool waitFor(std::size_t n, double seconds = 3.0) {
        platform::MainQueue::pump(seconds, [&] { return seen.size() >= n; });
        return seen.size() >= n;
    }
};

class X11HotKeysTest : public ::testing::Test {
protected:
    void SetUp() override { ONDIRA_REQUIRE_SERVICE(keyboard.display, "no X display"); }
    Keyboard keyboard;
    std::shared_ptr<platform::X11HotKeys> hotKeys = std::make_shared<platform::X11HotKeys>();
    Events events;
};

TEST_F(X11HotKeysTest, AGrabSeesPressAndReleaseWhateverTheLocks) {
    ASSERT_TRUE(hotKeys->installHandler(events.handler()));
    std::uint64_t ref = 0;
    ASSERT_EQ(hotKeys->registerHotKey(97, KeyCodes::controlMask, HotkeyManager::signature, 101, ref), 0);  // Ctrl+F6
    EXPECT_NE(ref, 0u);
    keyboard.chord({XK_Control_L, XK_F6});
    ASSERT_TRUE(events.waitFor(2));
    EXPECT_EQ(events.seen, (std::vector<std::string>{"101 down", "101 up"}));

    // Caps Lock on: the shortcut still arrives.
    keyboard.chord({XK_Caps_Lock});
    keyboard.chord({XK_Control_L, XK_F6});
    const bool arrived = events.waitFor(4);
    keyboard.chord({XK_Caps_Lock});
    EXPECT_TRUE(arrived);

    // Ctrl+Shift+F6 is another shortcut; F6 alone too.
    keyboard.chord({XK_Control_L, XK_Shift_L, XK_F6});
    keyboard.chord({XK_F6});
    platform::MainQueue::pump(0.3);
    EXPECT_EQ(events.seen.size(), 4u);

    hotKeys->unregisterHotKey(ref);
    keyboard.chord({XK_Control_L, XK_F6});
    platform::MainQueue::pump(0.3);
    EXPECT_EQ(events.seen.size(), 4u);
}

TEST_F(X11HotKeysTest, ReleasingTheModifierFirstStillEndsThePress) {
    hotKeys->installHandler(events.handler());
    std::uint64_t ref = 0;
    ASSERT_EQ(hotKeys->registerHotKey(49, KeyCodes::controlMask | KeyCodes::optionMask, HotkeyManager::signature, 100, ref),
              0);
    keyboard.key(XK_Control_L, true);
    keyboard.key(XK_Alt_L, true);
    keyboard.key(XK_space, true);
    keyboard.key(XK_Alt_L, false);
    keyboard.key(XK_Control_L, false);
    keyboard.key(XK_space, false);
    ASSERT_TRUE(events.waitFor(2));
    EXPECT_EQ(events.seen, (std::vector<std::string>{"100 down", "100 up"}));
}

TEST_F(X11HotKeysTest, AKeyAnotherClientHoldsIsRefusedWithBadAccess) {
    const KeyCode f7 = keyboard.code(XK_F7);
    for (unsigned int lock : {0u, unsigned(LockMask)})
        XGrabKey(keyboard.display, f7, ShiftMask | lock, DefaultRootWindow(keyboard.display), False, GrabModeAsync,
                 GrabModeAsync);
    XSync(keyboard.display, False);
    std::uint64_t ref = 7;
    EXPECT_EQ(hotKeys->registerHotKey(98, KeyCodes::shiftMask, HotkeyManager::signature, 102, ref), BadAccess);
    EXPECT_EQ(ref, 0u);
    // Nothing of ours is left behind: once the rival lets go, the key is free.
    XUngrabKey(keyboard.display, f7, AnyModifier, DefaultRootWindow(keyboard.display));
    XSync(keyboard.display, False);
    EXPECT_EQ(hotKeys->registerHotKey(98, KeyCodes::shiftMask, HotkeyManager::signature, 102, ref), 0);
    // The same combination twice from us is refused too.
    std::uint64_t again = 0;
    EXPECT_EQ(hotKeys->registerHotKey(98, KeyCodes::shiftMask, HotkeyManager::signature, 103, again),
              platform::X11HotKeys::statusAlreadyRegistered);
}

TEST_F(X11HotKeysTest, AKeyTakenWithAnyModifiersAnswersUnderEveryChordButLeavesOthersTheirs) {
    // A rival (the desktop) holds Alt+F9 already.
    const KeyCode f9 = keyboard.code(XK_F9);
    XGrabKey(keyboard.display, f9, Mod1Mask, DefaultRootWindow(keyboard.display), False, GrabModeAsync, GrabModeAsync);
    XSync(keyboard.display, False);
    hotKeys->installHandler(events.handler());
    std::uint64_t ref = 0;
    ASSERT_EQ(hotKeys->registerHotKey(101, HotKeyService::anyModifiers, HotkeyManager::signature, 106, ref), 0);  // F9
    keyboard.chord({XK_F9});
    keyboard.chord({XK_Control_R, XK_F9});
    keyboard.chord({XK_Shift_L, XK_Super_L, XK_F9});
    keyboard.chord({XK_Alt_L, XK_F9});  // the rival's
    platform::MainQueue::pump(3.0, [&] { return events.seen.size() >= 6; });
    platform::MainQueue::pump(0.3);
    EXPECT_EQ(events.seen, (std::vector<std::string>{"106 down", "106 up", "106 down", "106 up", "106 down", "106 up"}));

    // Let go, every combination is free again for another client.
    hotKeys->unregisterHotKey(ref);
    XUngrabKey(keyboard.display, f9, AnyModifier, DefaultRootWindow(keyboard.display));
    XSync(keyboard.display, False);
    platform::X11HotKeys rival;
    std::uint64_t rivalRef = 0;
    EXPECT_EQ(rival.registerHotKey(101, KeyCodes::controlMask, HotkeyManager::signature, 107, rivalRef), 0);
}

TEST_F(X11HotKeysTest, FunctionKeysBeyondF12AreFoundByKeyCode) {
    hotKeys->installHandler(events.handler());
    std::uint64_t ref = 0;
    ASSERT_EQ(hotKeys->registerHotKey(105, 0, HotkeyManager::signature, 104, ref), 0);  // F13
    keyboard.keyCode(KeyCode(191), true);
    keyboard.keyCode(KeyCode(191), false);
    ASSERT_TRUE(events.waitFor(2));
    EXPECT_EQ(events.seen, (std::vector<std::string>{"104 down", "104 up"}));
}

TEST_F(X11HotKeysTest, AKeyMovedToAnotherCodeIsGrabbedThere) {
    hotKeys->installHandler(events.handler());
    std::uint64_t ref = 0;
    ASSERT_EQ(hotKeys->registerHotKey(100, KeyCodes::controlMask, HotkeyManager::signature, 105, ref), 0);  // Ctrl+F8
    Display* d = keyboard.display;
    const KeyCode old = keyboard.code(XK_F8);
    int minCode = 0, maxCode = 0, per = 0;
    XDisplayKeycodes(d, &minCode, &maxCode);
    KeySym* map = XGetKeyboardMapping(d, KeyCode(minCode), maxCode - minCode + 1, &per);
    KeyCode moved = 0;
    for (int kc = maxCode; kc >= minCode && !moved; --kc) {
        bool empty = true;
        for (int i = 0; i < per; ++i) empty = empty && map[(kc - minCode) * per + i] == NoSymbol;
        if (empty) moved = KeyCode(kc);
    }
    std::vector<KeySym> saved(map + (old - minCode) * per, map + (old - minCode + 1) * per);
    XFree(map);
    ASSERT_NE(moved, 0);
    std::vector<KeySym> none(per, NoSymbol);
    XChangeKeyboardMapping(d, moved, per, saved.data(), 1);
    XChangeKeyboardMapping(d, old, per, none.data(), 1);
    XSync(d, False);
    platform::MainQueue::pump(0.5);

    keyboard.key(XK_Control_L, true);
    keyboard.keyCode(moved, true);
    keyboard.keyCode(moved, false);
    keyboard.key(XK_Control_L, false);
    const bool arrived = events.waitFor(2);

    XChangeKeyboardMapping(d, old, per, saved.data(), 1);
    XChangeKeyboardMapping(d, moved, per, none.data(), 1);
    XSync(d, False);
    EXPECT_TRUE(arrived);
    EXPECT_EQ(events.seen, (std::vector<std::string>{"105 down", "105 up"}));
}

TEST_F(X11HotKeysTest, ManagerSeesRightCtrlHoldAndAltSpaceThroughTheListener) {
    auto session = std::make_shared<FakeSession>();
    auto delegate = std::make_shared<RecordingDelegate>();
    HotkeyRig isolation;  // private settings for the manager
    HotkeyManager manager(HotkeyRunLoop::main(), hotKeys, hotKeys, session);
    manager.delegate = delegate;
    manager.mode = HotkeyMode::fn;
    manager.startListening();
    ASSERT_TRUE(manager.isKeyListenerInstalled());
    auto waitCalls = [&](std::size_t n) { platform::MainQueue::pump(3.0, [&] { return delegate->calls.size() >= n; }); };
    keyboard.chord({XK_Control_R}, 0.4);
    waitCalls(3);
    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"tentative", "press", "release"}));
    // Right Ctrl as part of Right Ctrl+C is no gesture.
    keyboard.key(XK_c, true);
    keyboard.chord({XK_Control_R});
    keyboard.key(XK_c, false);
    platform::MainQueue::pump(0.3);
    EXPECT_EQ(delegate->calls.size(), 3u);

    manager.setMode(HotkeyMode::altSpace);
    delegate->calls.clear();
    // Held long enough to auto-repeat: still one press.
    keyboard.chord({XK_Alt_L, XK_space}, 0.9);
    waitCalls(2);
    platform::MainQueue::pump(0.2);
    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"press", "release"}));

    // The default raw shortcut, Ctrl+Alt+Space, is a registered key.
    delegate->calls.clear();
    keyboard.chord({XK_Control_L, XK_Alt_L, XK_space});
    waitCalls(2);
    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"press:raw", "release:raw"}));
    manager.stopListening();
}

TEST_F(X11HotKeysTest, ALostConnectionIsHealedWithItsGrabs) {
    auto delegate = std::make_shared<RecordingDelegate>();
    HotkeyRig isolation;
    HotkeyManager manager(HotkeyRunLoop::main(), hotKeys, hotKeys, std::make_shared<FakeSession>());
    manager.delegate = delegate;
    manager.startListening();
    ASSERT_TRUE(manager.isKeyListenerInstalled());
    hotKeys->dropConnectionForTesting();
    EXPECT_FALSE(manager.isKeyListenerInstalled());
    platform::MainQueue::pump(3.0, [&] { return manager.isKeyListenerInstalled(); });
    ASSERT_TRUE(manager.isKeyListenerInstalled());
    keyboard.chord({XK_Control_L, XK_Alt_L, XK_space});
    platform::MainQueue::pump(3.0, [&] { return delegate->calls.size() >= 2; });
    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"press:raw", "release:raw"}));
    keyboard.chord({XK_Control_R}, 0.4);
    platform::MainQueue::pump(3.0, [&] { return delegate->calls.size() >= 5; });
    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"press:raw", "release:raw", "tentative", "press", "release"}));
    manager.stopListening();
}

}  // namespace

#pragma once
// Typing through XTest key events. A character with no key on the keyboard
// is typed through a spare key code lent that character's keysym (several
// characters at once on several spare codes). A spare typed with is lent
// another character only after the focused application answered a ping sent
// after those keys (a pause when it can't answer), and the spares are emptied
// only 5 s after the last typing, so the receiving application never
// translates a key with a mapping other than the one it was sent under;
// typing stops if another window took the keyboard focus meanwhile.
// Any thread; one caller at a time uses the connection, and the spares are
// emptied off the main thread (that may wait on the receiver too).
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

typedef struct _XDisplay Display;

namespace platform {

class XTestKeyboard : public std::enable_shared_from_this<XTestKeyboard> {
public:
    XTestKeyboard();
    ~XTestKeyboard();
    XTestKeyboard(const XTestKeyboard&) = delete;
    XTestKeyboard& operator=(const XTestKeyboard&) = delete;

    void type(const std::string& text);
    // Presses the keys of these keysyms in order and releases them in
    // reverse (a shortcut such as Control_L, v); nothing when one has no key.
    void pressChord(const std::vector<unsigned long>& keysyms);
    // Another client holds the keyboard grab (a lock screen, a password
    // prompt); none when the X server could not tell us (no display).
    std::optional<bool> grabbedByAnotherClient();
    // Whether the application with the keyboard focus answers a ping within
    // `seconds` (a stalled one does not); none when it has no window that
    // answers pings (xterm), the focus is ours, or there is no display.
    std::optional<bool> focusedApplicationAnswers(double seconds);

private:
    bool openDisplay();
    // Empties the spare key codes lent to characters.
    void returnSpares();
    // Returns once the application with the keyboard focus has read the key
    // events typed with spare codes so far (or, when it can't tell us, after
    // a pause), so those codes may carry other characters.
    void awaitReceiver();
    // Pings the focused application and waits (bounded) for its answer;
    // false when it has no window that answers pings.
    bool receiverHasReadEverything();
    // Pings the focused application and waits at most `bound` for its
    // answer; none when it has no window that answers pings.
    std::optional<bool> pingFocusedApplication(std::chrono::milliseconds bound);
    struct Spares;
    std::unique_ptr<Spares> spares_;
    std::mutex lock_;  // the connection and the spares
    Display* display_ = nullptr;
};

}  // namespace platform

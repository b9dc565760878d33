#pragma once
// The desktop side of text insertion on X11:
// - typing: XTest key events; a character with no key on the keyboard is
//   typed through a spare key code lent that character's keysym (several
//   characters at once on several spare codes; a spare typed with is lent
//   another character only after the focused application answered a ping
//   sent after those keys (a pause when it can't answer), and the spares are
//   emptied only 5 s after the last typing, so the receiving application
//   never translates a key with a mapping other than the one it was sent
//   under; typing stops if another window took the keyboard focus meanwhile);
// - the clipboard: the CLIPBOARD selection through GTK, every target of the
//   user's clipboard saved and offered again on restore;
// - paste: Ctrl+V, or Ctrl+Shift+V when the focused application is a terminal;
// - the focused field: read through AT-SPI2 (focus tracked with the
//   object:state-changed:focused event, every call bounded by a time-out);
// - secure input: a password field has the focus, or another client holds
//   the keyboard grab.
#include "Platform/Insertion.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

typedef struct _XDisplay Display;
typedef struct _AtspiAccessible AtspiAccessible;

namespace platform {

class DesktopInsertion : public InsertionTarget, public std::enable_shared_from_this<DesktopInsertion> {
public:
    static std::shared_ptr<DesktopInsertion> shared();
    static bool accessibilityAvailable();
    // An application id or class that names a terminal.
    static bool isTerminal(const std::string& applicationID);

    DesktopInsertion();
    ~DesktopInsertion() override;

    bool isSecureInputActive() override;
    std::optional<std::string> focusedValue() override;
    std::optional<std::string> focusedSelectedText() override;
    bool insertAtFocus(const std::string& text) override;
    void typeText(const std::string& text) override;
    ClipboardSnapshot snapshotClipboard() override;
    void setClipboardText(const std::string& text) override;
    std::optional<std::string> clipboardText() override;
    void restoreClipboard(const ClipboardSnapshot& snapshot) override;
    void sendPasteShortcut() override;

    // Follows focus changes from now on (also done on the first reading);
    // main thread. Until a change is seen, the focused element is searched for.
    void startTrackingFocus();
    // The focused accessible element (a new reference), or none.
    AtspiAccessible* focusedElement();
    // Called by the focus listener.
    void focusChanged(AtspiAccessible* element, bool focused);

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
    struct Keyboard;
    std::unique_ptr<Keyboard> keyboard_;
    Display* display_ = nullptr;
    // The screen-context harvest reads the focus from a thread of its own.
    std::mutex focusLock_;
    AtspiAccessible* focused_ = nullptr;
    std::atomic<void*> listener_{nullptr};
};

}  // namespace platform

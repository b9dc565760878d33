#pragma once
// What text insertion needs from the desktop: the focused field (its value
// and selection, whether it is a password field), typing, the clipboard and
// the paste shortcut. The X11/AT-SPI back-end implements it; the factory
// below is defined there.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Whether the focused field takes secret text: a password field has the
// focus, or another client holds the keyboard grab (a lock screen, a password
// prompt). `couldNotTell` when the desktop gave no answer: the field's
// application or the accessibility bus did not answer within the question's
// budget, or the display could not be opened. Insertion treats that as
// secret, since the field may be one. With the accessibility bus off no field
// says what it is at all: then only the grab is asked.
enum class SecureInputState { inactive, active, couldNotTell };

// Every form the clipboard held: (target name, bytes) pairs of one owner;
// the same for the PRIMARY selection, which some terminals paste from.
struct ClipboardSnapshot {
    using Forms = std::vector<std::pair<std::string, std::vector<std::uint8_t>>>;
    Forms items;
    Forms primary = {};
    bool empty() const { return items.empty() && primary.empty(); }
};

// What an insertion needs of the desktop. The field, typing, insertion at the
// caret and the paste shortcut may be used from any thread (one at a time);
// the clipboard calls belong to the main thread.
class InsertionTarget {
public:
    virtual ~InsertionTarget() = default;
    // May take as long as the question's budget when the field's
    // application does not answer (text could not reach it sooner anyway).
    virtual SecureInputState secureInputState() = 0;
    virtual std::optional<std::string> focusedValue() = 0;
    virtual std::optional<std::string> focusedSelectedText() = 0;
    // The last few characters before the caret of the focused field: empty at
    // the start of the field, none when the field can't tell.
    virtual std::optional<std::string> focusedTextBeforeCaret() { return std::nullopt; }
    // The window that has the focus, none when it can't be told.
    virtual std::optional<unsigned long> focusedWindow() { return std::nullopt; }
    // Inserts at the caret of the focused field through the accessibility
    // interface; false when it can't.
    virtual bool insertAtFocus(const std::string& text) = 0;
    virtual void typeText(const std::string& text) = 0;
    // Saves every form of the clipboard and PRIMARY without holding up the
    // main loop: `done` runs on the main thread with what their owners handed
    // over within a bound (an owner that never answers costs at most that).
    virtual void snapshotClipboard(std::function<void(ClipboardSnapshot)> done) = 0;
    virtual void setClipboardText(const std::string& text) = 0;
    virtual std::optional<std::string> clipboardText() = 0;
    // Whether the clipboard still holds `text` as we put it there. Asks no
    // other application, so it never waits: once another owner has taken the
    // clipboard, our text is not what it holds, whatever that owner answers.
    virtual bool clipboardStillHolds(const std::string& text) = 0;
    // Offers the saved forms again, but not before the application has
    // fetched the text of the paste (a busy terminal may read its paste key
    // late), and only where our text still stands: a newer copy of the user's
    // wins.
    virtual void restoreClipboard(const ClipboardSnapshot& snapshot) = 0;
    // The focused application's paste key: Ctrl+V; Ctrl+Shift+V in a
    // terminal; Shift+Insert in the xterm family, with the clipboard's text
    // put on the PRIMARY selection too, which is what that key pastes there.
    virtual void sendPasteShortcut() = 0;
};

namespace platform {
// The desktop's insertion target (XTest typing, AT-SPI focus, our own
// CLIPBOARD), one per process.
std::shared_ptr<InsertionTarget> desktopInsertionTarget();
// Whether the focused element can be read at all (the accessibility bus is up
// and assistive technologies are on).
bool accessibilityAvailable();
}  // namespace platform

#pragma once
// The desktop's insertion target on X11, put together from one part per
// concern:
// - typing: XTest key events (XTestKeyboard, spare key codes);
// - the focused field: read through AT-SPI2 (AtSpiFocus);
// - the clipboard: the CLIPBOARD selection through GTK, every target of the
//   user's clipboard saved and offered again on restore (ClipboardOwner);
// - paste: Ctrl+V; Ctrl+Shift+V when the focused application is a terminal;
//   Shift+Insert in the xterm family, whose paste key reads PRIMARY, so the
//   text is put on PRIMARY as well there;
// - secure input: a password field has the focus, or another client holds
//   the keyboard grab; an application that does not answer whether its field
//   is a password field is asked again until the question's budget is spent,
//   and then counts as one.
#include "Platform/Insertion.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform {

class AtSpiFocus;
class XTestKeyboard;

class DesktopInsertion : public InsertionTarget {
public:
    static std::shared_ptr<DesktopInsertion> shared();
    enum class PasteKey { controlV, controlShiftV, shiftInsertPrimary };
    // The paste key of an application, by its id or class.
    static PasteKey pasteKey(const std::string& applicationID);
    // An application id or class that names a terminal.
    static bool isTerminal(const std::string& applicationID);

    // What the secure-input answer is made of. The desktop's own questions
    // ask AT-SPI, the X server and the session bus; tests give their own.
    struct SecureInputQuestions {
        // Whether the focused field is a password field. Asked on the main
        // thread (libatspi's), again after `couldNotTell` until the budget is
        // spent.
        std::function<SecureInputState()> passwordField;
        // Whether another client holds the keyboard grab; any thread.
        std::function<SecureInputState()> keyboardGrab;
        // Whether the application with the keyboard focus answers within
        // the given seconds: `couldNotTell` when it does not, since a stalled
        // application the bus has not heard from may show a password field;
        // `inactive` when it answers or can't be asked. Any thread.
        std::function<SecureInputState(double seconds)> focusedApplication;
        // Whether the accessibility bus runs: without it no field can say
        // what it is, so not hearing from one is no reason to hold text back.
        std::function<bool()> accessibilityBusUp;
    };
    // Long enough for an application busy for a few seconds to answer; one
    // stalled for longer could not have taken the text any sooner.
    static constexpr double secureInputBudget = 5.0;

    DesktopInsertion();
    DesktopInsertion(SecureInputQuestions questions, double budgetSeconds);
    ~DesktopInsertion() override;

    SecureInputState secureInputState() override;
    std::optional<std::string> focusedValue() override;
    std::optional<std::string> focusedSelectedText() override;
    std::optional<std::string> focusedTextBeforeCaret() override;
    std::optional<unsigned long> focusedWindow() override;
    bool insertAtFocus(const std::string& text) override;
    void typeText(const std::string& text) override;
    void snapshotClipboard(std::function<void(ClipboardSnapshot)> done) override;
    void setClipboardText(const std::string& text) override;
    std::optional<std::string> clipboardText() override;
    bool clipboardStillHolds(const std::string& text) override;
    void restoreClipboard(const ClipboardSnapshot& snapshot) override;
    void sendPasteShortcut() override;

private:
    using Deadline = std::chrono::steady_clock::time_point;
    SecureInputState askPasswordField(Deadline deadline);

    std::shared_ptr<XTestKeyboard> keyboard_;
    std::shared_ptr<AtSpiFocus> focus_;
    SecureInputQuestions questions_;
    double budget_ = secureInputBudget;
};

}  // namespace platform

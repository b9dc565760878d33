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
//   the keyboard grab.
#include "Platform/Insertion.h"

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

    DesktopInsertion();
    ~DesktopInsertion() override;

    bool isSecureInputActive() override;
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
    std::shared_ptr<XTestKeyboard> keyboard_;
    std::shared_ptr<AtSpiFocus> focus_;
};

}  // namespace platform

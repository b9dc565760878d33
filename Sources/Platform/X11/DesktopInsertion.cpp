#include "Platform/X11/DesktopInsertion.h"

#include "Platform/AtSpi/FocusedElement.h"
#include "Platform/FrontmostApp.h"
#include "Platform/Gtk/ClipboardOwner.h"
#include "Platform/LinuxNames.h"
#include "Platform/Unicode.h"
#include "Platform/X11/XTestKeyboard.h"

namespace platform {

std::shared_ptr<DesktopInsertion> DesktopInsertion::shared() {
    static std::shared_ptr<DesktopInsertion> instance = std::make_shared<DesktopInsertion>();
    return instance;
}

bool DesktopInsertion::isTerminal(const std::string& applicationID) {
    const std::string id = text::lowercased(applicationID);
    if (id.find("terminal") != std::string::npos || id.find("console") != std::string::npos) return true;
    for (const char* name : LinuxNames::terminalApplications)
        if (id == name) return true;
    return false;
}

DesktopInsertion::DesktopInsertion()
    : keyboard_(std::make_shared<XTestKeyboard>()), focus_(std::make_shared<AtSpiFocus>()) {}

DesktopInsertion::~DesktopInsertion() = default;

bool DesktopInsertion::isSecureInputActive() {
    return focus_->passwordFieldFocused() || keyboard_->grabbedByAnotherClient();
}

std::optional<std::string> DesktopInsertion::focusedValue() { return focus_->value(); }

std::optional<std::string> DesktopInsertion::focusedSelectedText() { return focus_->selectedText(); }

bool DesktopInsertion::insertAtFocus(const std::string& text) { return focus_->insertAtCaret(text); }

void DesktopInsertion::typeText(const std::string& text) { keyboard_->type(text); }

void DesktopInsertion::sendPasteShortcut() {
    bool terminal = false;
    if (auto app = frontmostApplication()) terminal = isTerminal(app->applicationID) || isTerminal(app->displayName);
    keyboard_->sendPaste(terminal);
}

ClipboardSnapshot DesktopInsertion::snapshotClipboard() { return clipboard::snapshot(); }

void DesktopInsertion::setClipboardText(const std::string& text) { clipboard::setText(text); }

std::optional<std::string> DesktopInsertion::clipboardText() { return clipboard::text(); }

void DesktopInsertion::restoreClipboard(const ClipboardSnapshot& snapshot) { clipboard::restore(snapshot); }

std::shared_ptr<InsertionTarget> desktopInsertionTarget() { return DesktopInsertion::shared(); }

bool accessibilityAvailable() { return AtSpiFocus::available(); }

}  // namespace platform

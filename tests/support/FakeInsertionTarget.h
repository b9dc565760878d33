#pragma once
// The tests' double of the desktop's insertion target (Platform/Insertion.h).
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Insertion.h"

// A text field and a clipboard. A keystroke or a paste "lands" unless the
// field is deaf; what the field reads is scripted. `answerDelay` is how long
// the field's application (or the accessibility bus) takes to answer each
// check, reading and keystroke.
class FakeInsertionTarget : public InsertionTarget {
public:
    std::chrono::milliseconds answerDelay{0};
    SecureInputState secure = SecureInputState::inactive;
    bool deaf = false;     // keystrokes and pastes go nowhere
    bool readable = true;  // the field's value can be read
    bool caretReadable = false;  // the text before the caret (at the end of the value) can be read
    bool acceptsDirectInsert = false;
    std::string value = "Dear ";
    ClipboardSnapshot clipboard{{{"UTF8_STRING", {'m', 'i', 'n', 'e'}}, {"image/png", {0x89, 'P', 'N', 'G'}}}};
    std::vector<std::string> log;
    std::function<void()> duringPaste;  // runs as the paste shortcut is sent

    SecureInputState secureInputState() override {
        answer();
        return secure;
    }
    int readings = 0;
    std::optional<std::string> focusedValue() override {
        answer();
        ++readings;
        return readable ? std::optional(value) : std::nullopt;
    }
    std::optional<std::string> focusedSelectedText() override {
        answer();
        return std::nullopt;
    }
    std::optional<std::string> focusedTextBeforeCaret() override {
        answer();
        return caretReadable ? std::optional(value) : std::nullopt;
    }
    std::optional<unsigned long> window;  // the focused window, none: unknown
    std::optional<unsigned long> focusedWindow() override { return window; }
    bool insertAtFocus(const std::string& text) override {
        answer();
        log.push_back("insertAtFocus");
        if (!acceptsDirectInsert) return false;
        value += text;
        return true;
    }
    void typeText(const std::string& text) override {
        answer();
        log.push_back("type:" + text);
        if (!deaf) value += text;
    }
    void snapshotClipboard(std::function<void(ClipboardSnapshot)> done) override {
        log.push_back("snapshot:" + clipboardString());
        done(clipboard);
    }
    void setClipboardText(const std::string& text) override {
        clipboard = ClipboardSnapshot{{{"UTF8_STRING", std::vector<std::uint8_t>(text.begin(), text.end())}}};
    }
    // Reading the clipboard asks its owner, which may be another application
    // that is slow to answer.
    std::chrono::milliseconds clipboardOwnerDelay{0};
    std::optional<std::string> clipboardText() override {
        if (clipboardOwnerDelay.count() > 0) std::this_thread::sleep_for(clipboardOwnerDelay);
        return clipboardString();
    }
    bool clipboardStillHolds(const std::string& text) override { return clipboardString() == text; }
    void restoreClipboard(const ClipboardSnapshot& snapshot) override {
        log.push_back("restore");
        clipboard = snapshot;
    }
    void sendPasteShortcut() override {
        answer();
        if (duringPaste) duringPaste();
        log.push_back("paste:" + clipboardString());
        if (!deaf) value += clipboardString();
    }
    void answer() const {
        if (answerDelay.count() > 0) std::this_thread::sleep_for(answerDelay);
    }
    std::string clipboardString() const {
        for (const auto& [target, bytes] : clipboard.items)
            if (target == "UTF8_STRING") return std::string(bytes.begin(), bytes.end());
        return "";
    }
};

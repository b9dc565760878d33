#pragma once
// The focused field as AT-SPI2 shows it: focus followed through the
// object:state-changed:focused event (searched for under the active windows
// until one is seen), its text, its selection, insertion at its caret and
// whether it is a password field. Every call is bounded by a time-out and is
// made on the main thread: GTK's accessibility bridge in this process drives
// libatspi from the main loop (DesktopInsertion hops there for its callers).
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/Insertion.h"

typedef struct _AtspiAccessible AtspiAccessible;
typedef struct _AtspiText AtspiText;
typedef struct _GError GError;

namespace platform {

class AtSpiFocus : public std::enable_shared_from_this<AtSpiFocus> {
public:
    // The accessibility bus is up (initialised once per process).
    static bool available();

    AtSpiFocus() = default;
    ~AtSpiFocus();
    AtSpiFocus(const AtSpiFocus&) = delete;
    AtSpiFocus& operator=(const AtSpiFocus&) = delete;

    // Follows focus changes from now on (also done on the first reading);
    // main thread.
    void startTracking();
    // The focused accessible element of another process (a new reference),
    // or none. `certain`, when given, is set false when an element on the way
    // did not answer (a call timed out or failed) or the search gave up, so
    // that "none" may be wrong.
    AtspiAccessible* focusedElement(bool* certain = nullptr);
    // Called by the focus listener.
    void focusChanged(AtspiAccessible* element, bool focused);

    std::optional<std::string> value();
    std::optional<std::string> selectedText();
    // Up to `characters` characters before the caret; empty at the start.
    std::optional<std::string> textBeforeCaret(int characters);
    bool insertAtCaret(const std::string& text);
    // Whether the focused element is a password field: `couldNotTell` when
    // it could not be found or asked for certain; `inactive` with the bus down
    // (nothing can be told then) or when no application shows a focused
    // element (one that exports nothing, such as xterm).
    SecureInputState passwordField();

private:
    AtspiAccessible* searchFocused(bool& certain);
    std::optional<std::string> readFocusedText(
        const std::function<std::optional<std::string>(AtspiText*, GError**)>& read);

    std::mutex lock_;
    AtspiAccessible* focused_ = nullptr;
    std::atomic<void*> listener_{nullptr};
};

}  // namespace platform

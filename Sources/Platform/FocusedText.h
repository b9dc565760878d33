#pragma once
// The text of the element that has the keyboard focus in the frontmost
// application, as the accessibility interface tells it. The desktop's source
// is the one text insertion uses (AT-SPI2, focus followed by its events);
// every call is bounded by the accessibility time-out.
#include <memory>
#include <optional>
#include <string>

namespace platform {

class FocusedTextSource {
public:
    virtual ~FocusedTextSource() = default;
    // The whole text of the focused element; none when nothing readable has the focus.
    virtual std::optional<std::string> focusedValue() = 0;
    // Its selected text (empty when nothing is selected).
    virtual std::optional<std::string> focusedSelectedText() = 0;
};

// The desktop's source, unless another was set.
std::shared_ptr<FocusedTextSource> focusedTextSource();
// Replaces the source (checks use a scripted one); nullptr restores the desktop's.
void setFocusedTextSource(std::shared_ptr<FocusedTextSource> source);

}  // namespace platform

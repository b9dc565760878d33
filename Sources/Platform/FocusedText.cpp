#include "Platform/FocusedText.h"

#include <mutex>

#include "Platform/DesktopInsertion.h"

namespace platform {

namespace {
std::mutex sourceLock;
std::shared_ptr<FocusedTextSource> replacement;
}  // namespace

std::shared_ptr<FocusedTextSource> focusedTextSource() {
    {
        std::lock_guard<std::mutex> guard(sourceLock);
        if (replacement) return replacement;
    }
    return DesktopInsertion::shared();
}

void setFocusedTextSource(std::shared_ptr<FocusedTextSource> source) {
    std::lock_guard<std::mutex> guard(sourceLock);
    replacement = std::move(source);
}

}  // namespace platform

#pragma once
// The CLIPBOARD selection through GTK: the user's clipboard saved with every
// target its owner offers, our own text put there for a paste, and the saved
// forms offered again afterwards (we own the selection until another
// application takes it).
#include "Platform/Insertion.h"

#include <optional>
#include <string>

namespace platform::clipboard {

ClipboardSnapshot snapshot();
void setText(const std::string& text);
std::optional<std::string> text();
void restore(const ClipboardSnapshot& snapshot);

}  // namespace platform::clipboard

#pragma once
// The CLIPBOARD and PRIMARY selections through GTK: the user's selections
// saved with every target their owners offer, our own text put there for a
// paste, and the saved forms offered again once the paste has fetched our
// text (we own a selection until another application takes it).
#include "Platform/Insertion.h"

#include <functional>
#include <optional>
#include <string>

namespace platform::clipboard {

// Asks the owners for every form, one request at a time, from the main
// loop; `done` gets what arrived within a bound (main thread).
void snapshot(std::function<void(ClipboardSnapshot)> done);
// Our text on the CLIPBOARD, in every text form.
void setText(const std::string& text);
// The text of setText on the PRIMARY selection as well.
void offerOnPrimaryToo();
std::optional<std::string> text();
// Whether we still own the CLIPBOARD with `text` on it (asks no other owner).
bool holdsText(const std::string& text);
void restore(const ClipboardSnapshot& snapshot);

}  // namespace platform::clipboard

#pragma once
// One property of an X window, read under an error trap: the window may
// vanish between the question and the answer.
#include "Platform/X11/X11ErrorTrap.h"

#include <X11/Xlib.h>

#include <optional>
#include <vector>

namespace platform {

struct WindowProperty {
    Atom type = None;
    int format = 0;
    std::vector<unsigned char> bytes;   // format 8
    std::vector<unsigned long> items;  // format 32, as Xlib hands them back
};

// None when the window has no such property of `type`, or the request failed.
std::optional<WindowProperty> readWindowProperty(Display* display, X11ErrorTrap& trap, Window window, Atom property,
                                                 Atom type);

}  // namespace platform

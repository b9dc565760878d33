#pragma once
// The application that owns the focused window. On X11: the window named by
// the root window's _NET_ACTIVE_WINDOW; its identity is _GTK_APPLICATION_ID
// when set, else the WM_CLASS class; the display name comes from the matching
// desktop entry's Name when there is one, else the WM_CLASS class.
// Text insertion, per-application rules and the history all use this one call.
#include <optional>
#include <string>

namespace platform {

struct FrontmostApplication {
    std::string applicationID;  // stands where the program expects a bundle identifier
    std::string displayName;    // what the user calls it
    unsigned long window = 0;   // X window id
    int pid = -1;               // _NET_WM_PID, when known
};

// None when there is no display or no focused window. Never blocks for long.
std::optional<FrontmostApplication> frontmostApplication();

}  // namespace platform

#pragma once
// A display of the test process's own, for tests that start the application's
// delegate or windows: its hot keys are grabbed and its key listener hears
// every key for real, its windows take the focus and its pixels are read
// back. On the test session's shared display those would fight the tests
// that type, grab keys or read the screen; here nothing reaches them.
//
// Call it in SetUp, before GTK or Xlib first connects: it points DISPLAY at a
// new Xvfb for the rest of the process (ctest runs each test in a process of
// its own). When GTK is already connected, the process keeps that display.
#include <gdk/gdk.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/Subprocess.h"

inline bool usePrivateDisplay() {
    // The server lives as long as GTK's connection does, and no longer: the
    // unit tests end with _Exit, which runs no destructor, so it ends itself
    // (-terminate) once its last client, this process, has gone.
    static std::unique_ptr<Subprocess> xvfb;
    if (gdk_display_get_default() != nullptr || xvfb) return std::getenv("DISPLAY") != nullptr;
    xvfb = std::make_unique<Subprocess>(std::vector<std::string>{"/usr/bin/Xvfb", "-displayfd", "1", "-terminate",
                                                                 "-nolisten", "tcp", "-screen", "0", "1280x800x24"});
    // Xvfb writes its number once it accepts clients; a loaded machine may
    // take seconds to compile its keymap.
    const auto number = xvfb->readLine(30);
    if (!number || number->empty()) return false;
    ::setenv("DISPLAY", (":" + *number).c_str(), 1);
    return true;
}

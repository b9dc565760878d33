#include "Platform/X11/X11ErrorTrap.h"

#include <X11/Xlib.h>

namespace platform {

namespace {
Display* gTrapDisplay = nullptr;
int gTrapError = 0;
XErrorHandler gPrevious = nullptr;

int catchError(Display* display, XErrorEvent* event) {
    if (display == gTrapDisplay) {
        if (gTrapError == 0) gTrapError = event->error_code;
        return 0;
    }
    return gPrevious ? gPrevious(display, event) : 0;
}
}  // namespace

X11ErrorTrap::X11ErrorTrap(Display* display) : display_(display) {
    XSync(display_, False);
    gTrapDisplay = display_;
    gTrapError = 0;
    gPrevious = XSetErrorHandler(catchError);
}

int X11ErrorTrap::finish() {
    if (finished_) return gTrapError;
    XSync(display_, False);
    XSetErrorHandler(gPrevious);
    gTrapDisplay = nullptr;
    finished_ = true;
    return gTrapError;
}

X11ErrorTrap::~X11ErrorTrap() { finish(); }

}  // namespace platform

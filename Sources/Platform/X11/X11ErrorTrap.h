#pragma once
// Catches the X protocol errors of the requests made between its creation
// and finish(), on one display, instead of letting the default handler end
// the process. Errors of other displays go to the handler that was there
// before. Main thread only.
typedef struct _XDisplay Display;

namespace platform {

class X11ErrorTrap {
public:
    explicit X11ErrorTrap(Display* display);
    ~X11ErrorTrap();
    X11ErrorTrap(const X11ErrorTrap&) = delete;
    X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;
    // Waits for the server to answer everything sent so far; the first error
    // code seen, or 0.
    int finish();

private:
    Display* display_;
    bool finished_ = false;
};

}  // namespace platform

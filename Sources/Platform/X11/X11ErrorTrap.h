#pragma once
// Catches the X protocol errors of the requests made on one display while a
// trap is alive, instead of letting Xlib's default handler end the process.
//
// Xlib has one error handler per process. Ours is installed once and keeps a
// registry of the displays that have a trap open, so traps on different
// displays (the hotkeys on the main thread, the frontmost-window query on a
// worker) never swap the handler under each other. Errors of a display with
// no trap go to the handler that was installed before ours (GTK's).
typedef struct _XDisplay Display;

namespace platform {

class X11ErrorTrap {
public:
    explicit X11ErrorTrap(Display* display);
    ~X11ErrorTrap();
    X11ErrorTrap(const X11ErrorTrap&) = delete;
    X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;
    // The first error code seen so far on this display, or 0. A request that
    // waits for its reply has had its error delivered by the time it returns.
    int error() const;
    // Forgets the errors seen so far, so the next request is judged alone.
    void clear();
    // Waits for the server to answer everything sent so far; the first error
    // code seen, or 0. Ends the trap.
    int finish();

private:
    Display* display_;
    bool finished_ = false;
    int code_ = 0;  // what finish() found
};

}  // namespace platform

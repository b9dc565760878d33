#include "Platform/X11/X11ErrorTrap.h"

#include <X11/Xlib.h>

#include <map>
#include <mutex>

namespace platform {

namespace {

struct Registry {
    std::mutex lock;
    std::map<Display*, int> firstError;  // displays with an open trap
    XErrorHandler previous = nullptr;
};

Registry& registry() {
    static Registry* r = new Registry();  // never released: the handler may run at exit
    return *r;
}

int catchError(Display* display, XErrorEvent* event) {
    Registry& r = registry();
    XErrorHandler previous = nullptr;
    {
        std::lock_guard<std::mutex> guard(r.lock);
        auto it = r.firstError.find(display);
        if (it != r.firstError.end()) {
            if (it->second == 0) it->second = event->error_code;
            return 0;
        }
        previous = r.previous;
    }
    return previous ? previous(display, event) : 0;
}

void installOnce() {
    static std::once_flag once;
    std::call_once(once, [] { registry().previous = XSetErrorHandler(catchError); });
}

}  // namespace

X11ErrorTrap::X11ErrorTrap(Display* display) : display_(display) {
    installOnce();
    XSync(display_, False);  // earlier requests' errors are not ours to judge
    std::lock_guard<std::mutex> guard(registry().lock);
    registry().firstError[display_] = 0;
}

int X11ErrorTrap::error() const {
    if (finished_) return code_;
    std::lock_guard<std::mutex> guard(registry().lock);
    auto it = registry().firstError.find(display_);
    return it == registry().firstError.end() ? 0 : it->second;
}

void X11ErrorTrap::clear() {
    std::lock_guard<std::mutex> guard(registry().lock);
    registry().firstError[display_] = 0;
}

int X11ErrorTrap::finish() {
    if (finished_) return code_;
    XSync(display_, False);
    finished_ = true;
    std::lock_guard<std::mutex> guard(registry().lock);
    code_ = registry().firstError[display_];
    registry().firstError.erase(display_);
    return code_;
}

X11ErrorTrap::~X11ErrorTrap() { finish(); }

}  // namespace platform

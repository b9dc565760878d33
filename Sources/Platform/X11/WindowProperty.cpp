#include "Platform/X11/WindowProperty.h"

namespace platform {

std::optional<WindowProperty> readWindowProperty(Display* display, X11ErrorTrap& trap, Window window, Atom property,
                                                 Atom type) {
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    trap.clear();
    int status = XGetWindowProperty(display, window, property, 0, 4096, False, type, &actualType, &actualFormat, &count,
                                    &remaining, &data);
    if (status != Success || trap.error() != 0 || actualType == None || !data) {
        if (data) XFree(data);
        return std::nullopt;
    }
    WindowProperty result;
    result.type = actualType;
    result.format = actualFormat;
    if (actualFormat == 8) {
        result.bytes.assign(data, data + count);
    } else if (actualFormat == 32) {
        auto* longs = reinterpret_cast<unsigned long*>(data);  // Xlib hands 32-bit items back as longs
        result.items.assign(longs, longs + count);
    }
    XFree(data);
    return result;
}

}  // namespace platform

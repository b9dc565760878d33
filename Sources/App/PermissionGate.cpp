#include "App/PermissionGate.h"

#include "Engine/NativeAudioEngine.h"
#include "Input/TextInjector.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace PermissionGate {

bool microphoneAuthorized() { return NativeAudioEngine::isMicrophoneAuthorized(); }

bool accessibilityTrusted() {
    if (!TextInjector::isAccessibilityTrusted(false)) return false;
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    int event = 0, error = 0, major = 0, minor = 0;
    const bool xtest = XTestQueryExtension(display, &event, &error, &major, &minor);
    XCloseDisplay(display);
    return xtest;
}

}  // namespace PermissionGate

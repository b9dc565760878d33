#include "Platform/SystemReadiness.h"

#include "Platform/FileIO.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace fs = std::filesystem;

namespace platform::readiness {

SpeechModel probeSpeechModel(const fs::path& modelRoot, const std::string& language) {
    SpeechModel model;
    model.directory = modelRoot / language;
    const fs::path required[] = {
        model.directory / language / "mdef",
        model.directory / language / "means",
        model.directory / language / "variances",
        model.directory / language / "transition_matrices",
        model.directory / ("cmudict-" + language + ".dict"),
        model.directory / (language + ".lm.bin"),
    };
    for (const auto& file : required) {
        std::error_code ec;
        if (!fs::is_regular_file(file, ec)) {
            model.missing = file.string();
            return model;
        }
    }
    model.complete = true;
    return model;
}

bool sessionBusConfigured() {
    const auto address = platform::environment("DBUS_SESSION_BUS_ADDRESS");
    const auto runtime = platform::environment("XDG_RUNTIME_DIR");
    return (address && !address->empty()) || (runtime && platform::fileExists(fs::path(*runtime) / "bus"));
}

XTest probeXTest() {
    XTest result;
    const auto display = platform::environment("DISPLAY");
    if (!display || display->empty()) {
        result.error = "no DISPLAY";
        return result;
    }
    Display* connection = XOpenDisplay(nullptr);
    if (!connection) {
        result.error = "cannot open display " + *display;
        return result;
    }
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    result.available = XTestQueryExtension(connection, &eventBase, &errorBase, &major, &minor) == True;
    if (!result.available) result.error = "the X server has no XTEST extension";
    XCloseDisplay(connection);
    return result;
}

DisplaySession probeDisplaySession() {
    const auto sessionType = platform::environment("XDG_SESSION_TYPE");
    const auto wayland = platform::environment("WAYLAND_DISPLAY");
    const auto x11 = platform::environment("DISPLAY");
    if ((sessionType && *sessionType == "wayland") || (wayland && !wayland->empty())) {
        std::string detail = wayland && !wayland->empty() ? "WAYLAND_DISPLAY=" + *wayland : "XDG_SESSION_TYPE=wayland";
        return {"wayland", detail};
    }
    if (x11 && !x11->empty()) return {"x11", "DISPLAY=" + *x11};
    return {"none", sessionType && !sessionType->empty() ? "XDG_SESSION_TYPE=" + *sessionType : "no DISPLAY"};
}

}  // namespace platform::readiness

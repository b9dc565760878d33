#include "Platform/FrontmostApp.h"

#include "Platform/X11/WindowProperty.h"
#include "Platform/X11/X11ErrorTrap.h"

#include "Platform/FileIO.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace platform {

namespace {

// The focused window can vanish between reading its id and reading its
// properties (BadWindow): a trap on our private connection turns that into
// "no answer" instead of the default handler's exit. One query at a time, so
// the connection and its trap are never shared.
std::mutex gQueryLock;

// One property's raw bytes (8-bit formats) or items (32-bit formats, as longs).
std::string textOf(const WindowProperty& property) {
    std::string s(property.bytes.begin(), property.bytes.end());
    if (auto nul = s.find('\0'); nul != std::string::npos) s.resize(nul);
    return s;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The application directories in lookup order: the user's, then the system's.
std::vector<fs::path> applicationDirectories() {
    std::vector<fs::path> dirs;
    auto dataHome = environment("XDG_DATA_HOME");
    dirs.push_back((dataHome && !dataHome->empty() ? fs::path(*dataHome) : userHome() / ".local" / "share") /
                   "applications");
    auto dataDirs = environment("XDG_DATA_DIRS");
    std::string list = dataDirs && !dataDirs->empty() ? *dataDirs : "/usr/local/share:/usr/share";
    std::stringstream in(list);
    for (std::string dir; std::getline(in, dir, ':');) {
        if (!dir.empty()) dirs.push_back(fs::path(dir) / "applications");
    }
    return dirs;
}

struct DesktopEntry {
    std::map<std::string, std::string> keys;  // the [Desktop Entry] group only
};

std::optional<DesktopEntry> readDesktopEntry(const fs::path& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    DesktopEntry entry;
    bool inMainGroup = false;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inMainGroup) continue;
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        auto trim = [](std::string s) {
            s.erase(0, s.find_first_not_of(" \t"));
            s.erase(s.find_last_not_of(" \t") + 1);
            return s;
        };
        entry.keys.emplace(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
    }
    return entry;
}

// Name[ll_CC], then Name[ll], then Name, following the message locale.
std::string localizedName(const DesktopEntry& entry) {
    std::string locale;
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (auto v = environment(variable); v && !v->empty()) {
            locale = *v;
            break;
        }
    }
    locale = locale.substr(0, locale.find_first_of(".@"));
    std::vector<std::string> keys;
    if (!locale.empty() && locale != "C" && locale != "POSIX") {
        keys.push_back("Name[" + locale + "]");
        if (auto us = locale.find('_'); us != std::string::npos) keys.push_back("Name[" + locale.substr(0, us) + "]");
    }
    keys.push_back("Name");
    for (const auto& key : keys) {
        auto it = entry.keys.find(key);
        if (it != entry.keys.end() && !it->second.empty()) return it->second;
    }
    return {};
}

// The desktop entry named by the application id, else one whose file name or
// StartupWMClass matches the window class.
std::string desktopName(const std::string& applicationID, const std::string& windowClass) {
    const auto dirs = applicationDirectories();
    std::vector<std::string> fileNames;
    if (!applicationID.empty()) fileNames.push_back(applicationID + ".desktop");
    if (!windowClass.empty()) {
        fileNames.push_back(windowClass + ".desktop");
        fileNames.push_back(lower(windowClass) + ".desktop");
    }
    for (const auto& dir : dirs) {
        for (const auto& name : fileNames) {
            if (name.find('/') != std::string::npos) continue;
            if (auto entry = readDesktopEntry(dir / name)) {
                if (auto n = localizedName(*entry); !n.empty()) return n;
            }
        }
    }
    if (windowClass.empty()) return {};
    for (const auto& dir : dirs) {
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            if (it->path().extension() != ".desktop") continue;
            auto entry = readDesktopEntry(it->path());
            if (!entry) continue;
            auto wmClass = entry->keys.find("StartupWMClass");
            if (wmClass == entry->keys.end() || lower(wmClass->second) != lower(windowClass)) continue;
            if (auto n = localizedName(*entry); !n.empty()) return n;
        }
    }
    return {};
}

}  // namespace

std::optional<FrontmostApplication> frontmostApplication() {
    auto displayName = environment("DISPLAY");
    if (!displayName || displayName->empty()) return std::nullopt;

    std::lock_guard<std::mutex> guard(gQueryLock);
    Display* display = XOpenDisplay(displayName->c_str());
    if (!display) return std::nullopt;
    FrontmostApplication app;
    std::string windowClass;
    // Closes the private connection on every road out, after the trap ended.
    struct Connection {
        Display* display;
        ~Connection() { XCloseDisplay(display); }
    } connection{display};
    {
        X11ErrorTrap trap(display);
        const Window root = DefaultRootWindow(display);
        const Atom activeAtom = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
        const Atom gtkIDAtom = XInternAtom(display, "_GTK_APPLICATION_ID", False);
        const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
        const Atom utf8Atom = XInternAtom(display, "UTF8_STRING", False);

        auto active = readWindowProperty(display, trap, root, activeAtom, XA_WINDOW);
        if (!active || active->items.empty() || active->items[0] == None) return std::nullopt;
        const Window window = static_cast<Window>(active->items[0]);
        app.window = window;

        if (auto id = readWindowProperty(display, trap, window, gtkIDAtom, utf8Atom)) app.applicationID = textOf(*id);
        trap.clear();
        XClassHint hint{nullptr, nullptr};
        if (XGetClassHint(display, window, &hint) && trap.error() == 0) {
            if (hint.res_class) windowClass = hint.res_class;
        }
        if (hint.res_name) XFree(hint.res_name);
        if (hint.res_class) XFree(hint.res_class);
        if (auto pid = readWindowProperty(display, trap, window, pidAtom, XA_CARDINAL); pid && !pid->items.empty()) {
            app.pid = static_cast<int>(pid->items[0]);
        }
        // A window that vanished under us (BadWindow) names nobody.
        if (trap.finish() != 0 && app.applicationID.empty() && windowClass.empty()) return std::nullopt;
    }
    if (app.applicationID.empty()) app.applicationID = windowClass;
    if (app.applicationID.empty()) return std::nullopt;
    app.displayName = desktopName(app.applicationID, windowClass);
    if (app.displayName.empty()) app.displayName = windowClass.empty() ? app.applicationID : windowClass;
    return app;
}

}  // namespace platform

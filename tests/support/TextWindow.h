#pragma once
// The tests' text window (tests/input/TextWindow.cpp) in a process of its
// own, focused: what its entry holds is read back from the file it writes.
// Needs ONDIRA_TEXTWINDOW, the path of that program.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <glib.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Platform/FileIO.h"
#include "Platform/Queues.h"
#include "support/TempDir.h"

struct TextWindow {
    TempDir dir{"ondira-textwindow-"};
    std::filesystem::path file = dir / "field.txt";
    GPid pid = 0;
    explicit TextWindow(std::vector<std::string> options = {}) {
        std::vector<std::string> args = {ONDIRA_TEXTWINDOW, file.string()};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        g_spawn_async(nullptr, argv.data(), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid, nullptr);
        platform::MainQueue::pump(15.0, [&] { return std::filesystem::exists(file.string() + ".ready"); });
        // Let its accessibility objects settle before anyone reads them.
        platform::MainQueue::pump(0.3);
    }
    ~TextWindow() {
        if (pid > 0) {
            kill(pid, SIGCONT);
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            g_spawn_close_pid(pid);
        }
    }
    bool ready() const { return std::filesystem::exists(file.string() + ".ready"); }
    // Whether the keyboard focus is in this window now (and not in a window
    // another test opened meanwhile); asks the X server, so it answers even
    // while the program is stopped.
    bool hasKeyboardFocus() const {
        Display* display = XOpenDisplay(nullptr);
        if (!display) return false;
        Window focus = None;
        int revert = 0;
        XGetInputFocus(display, &focus, &revert);
        const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
        long owner = -1;
        // The focus may sit on a child of the top-level window that names the process.
        for (Window w = focus; w != None && w != PointerRoot && owner < 0;) {
            Atom type = None;
            int format = 0;
            unsigned long items = 0, after = 0;
            unsigned char* data = nullptr;
            if (XGetWindowProperty(display, w, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &items, &after,
                                   &data) == Success &&
                data) {
                if (type == XA_CARDINAL && format == 32 && items == 1) owner = *reinterpret_cast<long*>(data);
                XFree(data);
            }
            Window root = None, parent = None;
            Window* children = nullptr;
            unsigned int count = 0;
            if (!XQueryTree(display, w, &root, &parent, &children, &count)) break;
            if (children) XFree(children);
            w = parent == root ? None : parent;
        }
        XCloseDisplay(display);
        return owner == static_cast<long>(pid);
    }
    std::string text() const {
        auto bytes = platform::readFile(file);
        return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
    }
    bool waitFor(const std::string& expected, double seconds = 5.0) {
        platform::MainQueue::pump(seconds, [&] { return text() == expected; });
        return text() == expected;
    }
};

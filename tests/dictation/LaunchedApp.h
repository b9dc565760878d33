#pragma once
// Ondira as a user meets it: the menu-bar application launched with its own
// home, a focused field of another application beside it, keys sent with
// XTest and speech played into the sound server.
#include <gtest/gtest.h>

#include "support/RequireService.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <glib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/FileIO.h"
#include "support/SoundLock.h"
#include "support/TempDir.h"

namespace launched {

namespace fs = std::filesystem;

inline void sleepFor(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

inline bool waitUntil(double seconds, const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline && !condition()) sleepFor(0.05);
    return condition();
}

inline std::string fileText(const fs::path& file) {
    auto bytes = platform::readFile(file);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

// A child the test starts and always ends.
struct Child {
    GPid pid = 0;
    explicit Child(std::vector<std::string> args, const fs::path& output = {}) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        gint out = -1;
        g_spawn_async_with_pipes(nullptr, argv.data(), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid, nullptr,
                                 output.empty() ? nullptr : &out, nullptr, nullptr);
        if (out >= 0) {
            // Copies the child's output into `output` until it closes.
            std::thread([out, output] {
                std::ofstream sink(output, std::ios::app);
                char buf[4096];
                for (ssize_t n; (n = ::read(out, buf, sizeof buf)) > 0;) sink.write(buf, n).flush();
                ::close(out);
            }).detach();
        }
    }
    ~Child() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            g_spawn_close_pid(pid);
        }
    }
};

class Keyboard {
public:
    Keyboard() : display_(XOpenDisplay(nullptr)) {}
    ~Keyboard() {
        if (display_) XCloseDisplay(display_);
    }
    bool ok() const { return display_ != nullptr; }
    void key(KeySym sym, bool down) {
        XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, sym), down ? True : False, CurrentTime);
        XFlush(display_);
    }
    void tap(KeySym sym) {
        key(sym, true);
        sleepFor(0.08);
        key(sym, false);
    }
    // Whether the indicator's window (the pill) is on screen.
    bool indicatorShown() {
        Window root = None, parent = None;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count)) return false;
        bool shown = false;
        for (unsigned int i = 0; i < count && !shown; ++i) {
            char* name = nullptr;
            if (!XFetchName(display_, children[i], &name) || !name) continue;
            const bool indicator = std::string(name) == "Ondira Indicator";
            XFree(name);
            XWindowAttributes attributes{};
            shown = indicator && XGetWindowAttributes(display_, children[i], &attributes) &&
                    attributes.map_state == IsViewable;
        }
        if (children) XFree(children);
        return shown;
    }
    // The pixels of the lower half of the screen, where the indicator shows.
    std::vector<unsigned long> lowerHalf() {
        const int screen = DefaultScreen(display_);
        const int w = DisplayWidth(display_, screen), h = DisplayHeight(display_, screen);
        XImage* image = XGetImage(display_, RootWindow(display_, screen), 0, h / 2, w, h / 2, AllPlanes, ZPixmap);
        std::vector<unsigned long> pixels;
        if (!image) return pixels;
        for (int y = 0; y < h / 2; y += 2)
            for (int x = 0; x < w; x += 2) pixels.push_back(XGetPixel(image, x, y));
        XDestroyImage(image);
        return pixels;
    }

private:
    Display* display_;
};

// The application and the field, started in SetUp by `launch`.
class LaunchedApp : public ::testing::Test {
protected:
    // `fieldOptions` go to the field's program (--clipboard: it owns the
    // CLIPBOARD, like a user's earlier copy).
    void launch(const std::vector<std::string>& fieldOptions = {}) {
        ONDIRA_REQUIRE_SERVICE(std::getenv("DISPLAY"), "no X display");
        ASSERT_TRUE(keyboard.ok());
        fs::create_directories(home);
        app = std::make_unique<Child>(
            std::vector<std::string>{"/usr/bin/env", "HOME=" + home.string(),
                                     "XDG_CONFIG_HOME=" + (home / ".config").string(),
                                     "XDG_DATA_HOME=" + (home / ".local/share").string(), ONDIRA_APP},
            log);
        ASSERT_TRUE(waitUntil(30, [&] { return fileText(log).find("Hotkey & Audio initialized") != std::string::npos; }))
            << fileText(log);
        // The hub comes up 0.1 s after launch; the field opens after it so it keeps the focus.
        ASSERT_TRUE(waitUntil(10, [&] { return fileText(log).find("Showing the dashboard hub.") != std::string::npos; }));
        sleepFor(1.0);
        std::vector<std::string> fieldArgs{ONDIRA_TEXTWINDOW, field.string()};
        fieldArgs.insert(fieldArgs.end(), fieldOptions.begin(), fieldOptions.end());
        window = std::make_unique<Child>(fieldArgs);
        ASSERT_TRUE(waitUntil(15, [&] { return fs::exists(field.string() + ".ready"); }));
        sleepFor(0.5);
    }

    // Plays a WAV file into the sound server's sink, to the end.
    void play(const fs::path& file) {
        const std::string command = "paplay '" + file.string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }

    // What the screen shows, saved into the build tree for a person to look at.
    void screenshot(const std::string& name) {
        fs::create_directories(ONDIRA_SCREENSHOT_DIR);
        const std::string command = std::string("ffmpeg -v quiet -y -f x11grab -i '") + std::getenv("DISPLAY") +
                                    "' -frames:v 1 '" + (fs::path(ONDIRA_SCREENSHOT_DIR) / name).string() + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
    }

    std::optional<fs::path> historyFile() {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(home, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec))
            if (it->path().filename() == "dictation_log.jsonl") return it->path();
        return std::nullopt;
    }

    SoundLock soundLock;
    TempDir dir{"ondira-e2e-"};
    fs::path home = dir / "home";
    fs::path log = dir / "ondira.log";
    fs::path field = dir / "field.txt";
    Keyboard keyboard;
    std::unique_ptr<Child> app;
    std::unique_ptr<Child> window;
};

}  // namespace launched

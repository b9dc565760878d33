#pragma once
// The tests' text window (tests/input/TextWindow.cpp) in a process of its
// own, focused: what its entry holds is read back from the file it writes.
// Needs ONDIRA_TEXTWINDOW, the path of that program.
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
    std::string text() const {
        auto bytes = platform::readFile(file);
        return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
    }
    bool waitFor(const std::string& expected, double seconds = 5.0) {
        platform::MainQueue::pump(seconds, [&] { return text() == expected; });
        return text() == expected;
    }
};

#pragma once
// Runs the same body in several child processes released together, so their
// read-modify-writes of a shared file overlap as much as they can. A child
// never returns into the test runner; it exits 0 when its body returned.
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <vector>

// True when every child ran its body and exited cleanly.
inline bool raceInProcesses(int count, const std::function<void(int index)>& body) {
    int gate[2];
    if (::pipe(gate) != 0) return false;
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        const pid_t pid = ::fork();
        if (pid < 0) break;
        if (pid == 0) {
            ::close(gate[1]);
            char byte;
            while (::read(gate[0], &byte, 1) > 0) {}  // the parent closing its end releases everyone at once
            body(i);
            ::_exit(0);
        }
        children.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    bool clean = static_cast<int>(children.size()) == count;
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        clean = clean && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return clean;
}

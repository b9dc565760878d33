#pragma once
// A child process with its three standard streams on pipes, for driving an
// executable as a black box: write lines, read lines with a time limit,
// collect standard error, wait for the exit status.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class Subprocess {
public:
    // `env` entries override (value) or remove (nullopt) inherited variables.
    Subprocess(const std::vector<std::string>& argv, const std::map<std::string, std::optional<std::string>>& env = {}) {
        int in[2], out[2], err[2];
        ::pipe2(in, O_CLOEXEC);
        ::pipe2(out, O_CLOEXEC);
        ::pipe2(err, O_CLOEXEC);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<std::string> envStrings;
        for (char** e = environ; *e != nullptr; ++e) {
            std::string kv = *e;
            if (env.count(kv.substr(0, kv.find('='))) == 0) envStrings.push_back(kv);
        }
        for (auto& [k, v] : env)
            if (v) envStrings.push_back(k + "=" + *v);
        std::vector<char*> envp, args;
        for (auto& s : envStrings) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::vector<std::string> argCopy = argv;
        for (auto& s : argCopy) args.push_back(s.data());
        args.push_back(nullptr);
        spawnError = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        stdinFD = in[1];
        stdoutFD = out[0];
        stderrFD = err[0];
        if (spawnError != 0) pid = -1;
    }
    ~Subprocess() {
        closeStdin();
        if (pid > 0 && !exited) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (stdoutFD >= 0) ::close(stdoutFD);
        if (stderrFD >= 0) ::close(stderrFD);
    }

    bool write(const std::string& bytes) {
        return stdinFD >= 0 && ::write(stdinFD, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    void closeStdin() {
        if (stdinFD >= 0) ::close(stdinFD);
        stdinFD = -1;
    }

    // The next line of standard output without its line feed, or nothing on
    // end of file or time-out.
    std::optional<std::string> readLine(double timeoutSeconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
        for (;;) {
            if (auto nl = outBuffer.find('\n'); nl != std::string::npos) {
                std::string line = outBuffer.substr(0, nl);
                outBuffer.erase(0, nl + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{stdoutFD, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
            char buf[65536];
            ssize_t n = ::read(stdoutFD, buf, sizeof buf);
            if (n <= 0) return std::nullopt;
            outBuffer.append(buf, static_cast<std::size_t>(n));
        }
    }

    // Everything still to come on standard output, until end of file.
    std::string readRemainingStdout(double timeoutSeconds) { return readAll(stdoutFD, outBuffer, timeoutSeconds); }
    // All of standard error until end of file.
    std::string readStderr(double timeoutSeconds) {
        std::string none;
        return readAll(stderrFD, none, timeoutSeconds);
    }

    // The exit status, or nothing when the child is still running after the wait.
    std::optional<int> wait(double timeoutSeconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
        for (;;) {
            int status = 0;
            pid_t r = ::waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                exited = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    pid_t pid = -1;
    int spawnError = 0;
    int stdinFD = -1, stdoutFD = -1, stderrFD = -1;
    bool exited = false;

private:
    std::string readAll(int fd, std::string& pending, double timeoutSeconds) {
        std::string out = std::move(pending);
        pending.clear();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return out;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return out;
            char buf[65536];
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) return out;
            out.append(buf, static_cast<std::size_t>(n));
        }
    }
    std::string outBuffer;
};

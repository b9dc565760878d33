#pragma once
#include <cstdio>
#include <string>
namespace platform {
// One line to standard output, e.g. log("HotkeyManager", "Auto-healed ...")
// prints "[HotkeyManager] Auto-healed ...".
void log(const std::string& component, const std::string& message);

// While one lives, log lines go to standard error instead: a command-line
// run keeps standard output for its results, so a pipe never reads a log line.
class LogToStandardError {
public:
    LogToStandardError();
    ~LogToStandardError();
    LogToStandardError(const LogToStandardError&) = delete;
    LogToStandardError& operator=(const LogToStandardError&) = delete;

private:
    std::FILE* previous_;
};
}  // namespace platform

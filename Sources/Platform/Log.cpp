#include "Platform/Log.h"

#include <atomic>
#include <mutex>

namespace platform {
namespace {
std::atomic<std::FILE*> logTarget{nullptr};  // none: standard output
}  // namespace

void log(const std::string& component, const std::string& message) {
    static std::mutex m;
    std::lock_guard<std::mutex> g(m);
    std::FILE* target = logTarget.load();
    if (target == nullptr) target = stdout;
    std::fprintf(target, "[%s] %s\n", component.c_str(), message.c_str());
    std::fflush(target);
}

LogToStandardError::LogToStandardError() : previous_(logTarget.exchange(stderr)) {}
LogToStandardError::~LogToStandardError() { logTarget.store(previous_); }
}  // namespace platform

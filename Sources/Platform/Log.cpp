#include "Platform/Log.h"

#include <cstdio>
#include <mutex>

namespace platform {
void log(const std::string& component, const std::string& message) {
    static std::mutex m;
    std::lock_guard<std::mutex> g(m);
    std::fprintf(stdout, "[%s] %s\n", component.c_str(), message.c_str());
    std::fflush(stdout);
}
}  // namespace platform

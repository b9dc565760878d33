#include "Platform/Bundle.h"

#include "Platform/FileIO.h"

#include <unistd.h>

#include <climits>
#include <mutex>

namespace fs = std::filesystem;

namespace platform::Bundle {

namespace {
std::mutex gLock;
std::optional<fs::path> gOverride;

enum class Layout { buildTree, installed };

struct Resolved {
    fs::path bundle;
    Layout layout;
};

Resolved resolve() {
    {
        std::lock_guard<std::mutex> g(gLock);
        if (gOverride) return {*gOverride, Layout::buildTree};
    }
    fs::path exeDir = executablePath().parent_path();
    if (isDirectory(exeDir / "Resources")) return {exeDir, Layout::buildTree};
    fs::path prefix = exeDir.parent_path();
    if (isDirectory(prefix / "share" / "ondira")) return {prefix, Layout::installed};
    // No resources anywhere: behave as a bundle without a resource directory.
    return {exeDir, Layout::buildTree};
}
}  // namespace

fs::path executablePath() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return fs::current_path() / "Ondira";
    buf[n] = '\0';
    return fs::path(buf);
}

fs::path bundleURL() { return resolve().bundle; }

std::optional<fs::path> resourceURL() {
    Resolved r = resolve();
    fs::path dir = r.layout == Layout::installed ? r.bundle / "share" / "ondira" : r.bundle / "Resources";
    if (!isDirectory(dir)) return std::nullopt;
    return dir;
}

fs::path helperDirectory() {
    Resolved r = resolve();
    return r.layout == Layout::installed ? r.bundle / "lib" / "ondira" : r.bundle;
}

void overrideBundleDirectory(const std::optional<fs::path>& bundleDir) {
    std::lock_guard<std::mutex> g(gLock);
    gOverride = bundleDir;
}

}  // namespace platform::Bundle

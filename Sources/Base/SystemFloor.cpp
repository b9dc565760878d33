#include "Base/SystemFloor.h"

#include "Platform/SystemLibrary.h"

#include <vector>

namespace SystemFloor {

namespace {

struct Release {
    const char* release;
    std::vector<long> cLibrary;
};
// Debian releases and the C library each shipped with, oldest first.
const std::vector<Release>& releases() {
    static const std::vector<Release> table = {
        {"10.0", {2, 28}},
        {"11.0", {2, 31}},
        {"12.0", {2, 36}},
        {"13.0", {2, 41}},
    };
    return table;
}

std::vector<long> parts(const std::string& version) {
    std::vector<long> out;
    long value = 0;
    bool digits = false;
    for (char c : version) {
        if (c >= '0' && c <= '9') {
            value = value * 10 + (c - '0');
            digits = true;
        } else if (c == '.') {
            out.push_back(value);
            value = 0;
            digits = false;
        } else {
            break;
        }
    }
    if (digits) out.push_back(value);
    return out;
}

}  // namespace

std::optional<std::string> releaseNeeding(const std::string& cLibraryVersion) {
    const auto needed = parts(cLibraryVersion);
    if (needed.empty()) return std::nullopt;
    for (const auto& r : releases())
        if (r.cLibrary >= needed) return r.release;
    return std::nullopt;
}

std::string minimumSystemVersion() {
    const auto required = platform::system::requiredCLibraryVersion();
    if (!required) return {};
    return releaseNeeding(*required).value_or("");
}

}  // namespace SystemFloor

#include "Base/HostAllowList.h"

#include <algorithm>
#include <cctype>

namespace HostAllowList {

const std::vector<std::string>& allowedHostSuffixes() {
    static const std::vector<std::string> suffixes = {
        "debian.org", "ondira.app", "ondira.com", "example.com", "example.org", "example.net", "example.edu",
    };
    return suffixes;
}

bool isAllowedHost(const std::string& host, const std::vector<std::string>& suffixes) {
    // DNS names are case-insensitive, so "ONDIRA.app" is the same host.
    std::string lower = host;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const auto& suffix : suffixes) {
        if (lower == suffix) return true;
        if (lower.size() > suffix.size() + 1 && lower.compare(lower.size() - suffix.size(), suffix.size(), suffix) == 0 &&
            lower[lower.size() - suffix.size() - 1] == '.') {
            return true;
        }
    }
    return false;
}

}  // namespace HostAllowList

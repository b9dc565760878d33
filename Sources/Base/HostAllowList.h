#pragma once
// The only hosts the program may name or contact: the update checker refuses
// any other host, and the privacy probe reports every other host it finds.
#include <string>
#include <vector>

namespace HostAllowList {

// The platform vendor's domain, the product's two own domains and the four
// reserved example domains.
const std::vector<std::string>& allowedHostSuffixes();

// True when `host` equals one of `suffixes` or is a sub-domain of one (ends
// with "." followed by it). Host names compare without regard to ASCII case.
bool isAllowedHost(const std::string& host, const std::vector<std::string>& suffixes = allowedHostSuffixes());

}  // namespace HostAllowList

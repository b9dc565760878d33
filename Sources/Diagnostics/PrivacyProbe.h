#pragma once
// The privacy probe's allow list: the only hosts the program may name or
// contact. The update checker refuses any other host.
#include <string>
#include <vector>

namespace PrivacyProbe {

// The platform vendor's domain, the product's two own domains and the four
// reserved example domains.
const std::vector<std::string>& allowedHostSuffixes();

// True when `host` equals one of `suffixes` or is a sub-domain of one (ends
// with "." followed by it). Host names compare without regard to ASCII case.
bool isAllowedHost(const std::string& host, const std::vector<std::string>& suffixes = allowedHostSuffixes());

}  // namespace PrivacyProbe

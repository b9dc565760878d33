#pragma once
// The privacy probe: what this program could contact and what it keeps.
#include "Base/HostAllowList.h"

namespace PrivacyProbe {

// The probe judges hosts by the one allow list the update checker obeys too.
using HostAllowList::allowedHostSuffixes;
using HostAllowList::isAllowedHost;

}  // namespace PrivacyProbe

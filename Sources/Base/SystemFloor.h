#pragma once
// Which system release this build needs, on one
// scale: the Debian release ("12.0"), the scale the published release
// manifest's "minOS" and the hub's engine rows use. Both are worked out at
// run time from C library versions (Platform/SystemLibrary.h), so the
// declared floor can never drift from what the binary really needs.
#include <optional>
#include <string>

namespace SystemFloor {

// The oldest Debian release whose C library is at least `cLibraryVersion`
// ("2.34" gives "12.0"); none when it is newer than every release we know.
std::optional<std::string> releaseNeeding(const std::string& cLibraryVersion);

// The oldest system release the running build can start on, from the C
// library its executable needs; empty when that cannot be read.
std::string minimumSystemVersion();

}  // namespace SystemFloor

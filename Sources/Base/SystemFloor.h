#pragma once
// Which system release this build needs and which one it runs on, on one
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
// The newest Debian release whose C library is at most `cLibraryVersion`;
// none when it is older than every release we know.
std::optional<std::string> releaseProviding(const std::string& cLibraryVersion);

// The oldest system release the running build can start on, from the C
// library its executable needs; empty when that cannot be read.
std::string minimumSystemVersion();
// The running system's release on the same scale. Other distributions ship
// C libraries between Debian's, so the release it provides by its C library
// is raised to this build's own floor: the build running here proves the
// system meets it.
std::string runningSystemVersion();

}  // namespace SystemFloor

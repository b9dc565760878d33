#pragma once
// The privacy probe: self-checks that measure what the program could leak and
// what it keeps, shown by the hub's privacy panel and `ondira --privacy-report`.
// Every figure is counted from what is on disk or in /proc at the time of the
// call; a fact that can't be looked at reports "unknown", never "pass".
//
// Its allow list is also the only set of hosts the program may name or
// contact: the update checker refuses any other host.
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "Base/HostAllowList.h"

namespace platform::text {
class Regex;
}

namespace PrivacyProbe {

// The probe judges hosts by the one allow list the update checker obeys too.
using HostAllowList::allowedHostSuffixes;
using HostAllowList::isAllowedHost;

// ---------------------------------------------------------------- checks

enum class PrivacyCheckStatus { pass, unknown, fail };
const char* rawValue(PrivacyCheckStatus status);

struct OutboundHostsStats {
    std::int64_t bytesScanned = 0;
    std::int64_t stringsExtracted = 0;
    std::int64_t hostLiteralsFound = 0;
    std::int64_t allowListedCount = 0;
    std::vector<std::string> unknownHosts;  // sorted
    bool operator==(const OutboundHostsStats&) const = default;
};
struct AudioRetentionStats {
    std::int64_t fileCount = 0;
    std::int64_t totalBytes = 0;
    std::optional<std::int64_t> oldestAgeSeconds;  // absent when there is no recording
    bool operator==(const AudioRetentionStats&) const = default;
};
struct AccountStateStats {
    std::int64_t filesInspected = 0;
    std::int64_t credentialShapedCount = 0;
    bool operator==(const AccountStateStats&) const = default;
};
struct SocketCountStats {
    std::optional<std::int64_t> count;  // every socket descriptor of this process
    std::string method;
    // Of those, by what /proc/self/net says they are bound to.
    std::optional<std::int64_t> unixCount;
    std::optional<std::int64_t> loopbackCount;  // inet sockets bound and connected only to loopback
    std::optional<std::int64_t> networkCount;   // inet sockets that could reach another machine
    std::optional<std::int64_t> otherCount;     // kernel sockets (netlink and the like)
    bool operator==(const SocketCountStats&) const = default;
};
using PrivacyCheckStats =
    std::variant<std::monostate, OutboundHostsStats, AudioRetentionStats, AccountStateStats, SocketCountStats>;

struct PrivacyCheck {
    std::string id;
    std::string label;
    PrivacyCheckStatus status = PrivacyCheckStatus::unknown;
    std::string detail;
    PrivacyCheckStats stats;
};

// The ids the hub page renders, one row each.
const std::set<std::string>& expectedCheckIDs();

// The one case-insensitive host pattern; capture group 1 is the host. Only
// http and https URLs match (no bare domains, no other schemes).
const platform::text::Regex& hostPattern();
inline constexpr std::size_t minimumStringLength = 6;

// Every maximal run of bytes in 32...126 at least `minimumLength` long, in order.
std::vector<std::string> printableStrings(std::string_view bytes, std::size_t minimumLength = minimumStringLength);
// The distinct hosts of the host pattern inside the printable runs of `bytes`.
std::set<std::string> extractHosts(std::string_view bytes);

// Scans each executable's bytes for the host names it embeds. Files that
// can't be read make the check unknown (their bytes are not counted).
PrivacyCheck checkOutboundHosts(const std::vector<std::filesystem::path>& executables);
PrivacyCheck checkOutboundHosts(const std::optional<std::filesystem::path>& executable);

// Leftover recordings ("ondira_rec_*.wav") in the private temporary directory.
PrivacyCheck checkAudioRetention(const std::filesystem::path& tempDirectory, bool isCurrentlyRecording,
                                 std::time_t now = std::time(nullptr));

// Credential-shaped file names among the data folder's entries.
bool isCredentialShaped(const std::string& fileName);
PrivacyCheck checkAccountState(const std::filesystem::path& applicationSupportDirectory);

// This process's socket descriptors, read from /proc/self/fd; nothing when
// the table can't be read.
std::optional<std::int64_t> liveSocketFDCount();
// Informational: always unknown, whatever the count.
PrivacyCheck socketCountCheck();

// The four checks in the order outbound_hosts, audio_retention,
// account_state, socket_count.
std::vector<PrivacyCheck> runAllChecks(const std::vector<std::filesystem::path>& executables,
                                       const std::filesystem::path& tempDirectory, bool isCurrentlyRecording,
                                       const std::filesystem::path& applicationSupportDirectory);

// The program's own executables (Ondira and its rewrite helper, where they
// are), its private temporary directory and its data folder.
std::vector<std::filesystem::path> installedExecutables();
// Runs every check on this installation. `isCurrentlyRecording`: a
// dictation is capturing now.
std::vector<PrivacyCheck> runLiveChecks(bool isCurrentlyRecording = false);

// What the opt-in update check would contact, in one sentence (the update
// checker knows its address and switch; this layer doesn't reach up to it).
std::string updateCheckStatement(const std::string& manifestURL, bool automaticChecksEnabled);

// {"checks": [{"id", "label", "status", "detail", "stats"}], "generatedAt": seconds}.
nlohmann::json buildPayload(const std::vector<PrivacyCheck>& checks, std::int64_t generatedAt);
nlohmann::json statsObject(const PrivacyCheckStats& stats);

// Per check: "[STATUS] id — label", "  detail", "    key: value" for each
// stat in ascending key order, then an empty line.
std::vector<std::string> privacyReportLines(const std::vector<PrivacyCheck>& checks);

}  // namespace PrivacyProbe

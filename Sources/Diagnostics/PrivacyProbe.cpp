#include "Diagnostics/PrivacyProbe.h"

#include "Base/AppPaths.h"
#include "Platform/Bundle.h"
#include "Platform/FileIO.h"
#include "Platform/Unicode.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;
using json = nlohmann::json;
using platform::text::join;

namespace PrivacyProbe {

const char* rawValue(PrivacyCheckStatus status) {
    switch (status) {
        case PrivacyCheckStatus::pass: return "pass";
        case PrivacyCheckStatus::unknown: return "unknown";
        case PrivacyCheckStatus::fail: return "fail";
    }
    return "unknown";
}

const std::set<std::string>& expectedCheckIDs() {
    static const std::set<std::string> ids = {"outbound_hosts", "audio_retention", "account_state", "socket_count"};
    return ids;
}

const platform::text::Regex& hostPattern() {
    static const platform::text::Regex pattern(
        R"(https?://([A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?(?:\.[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?)+))",
        platform::text::Regex::caseInsensitive);
    return pattern;
}

namespace {

constexpr const char* kDash = " \u2014 ";
// Our executables are a few tens of megabytes; anything far larger is not one.
constexpr std::int64_t kMaxExecutableBytes = 512LL * 1024 * 1024;

bool isPrintable(unsigned char c) { return c >= 32 && c <= 126; }

// Walks bytes chunk by chunk, cutting them into printable runs; only runs
// that could hold a URL are kept for the host pattern.
class StringScanner {
public:
    void feed(std::string_view bytes) {
        for (unsigned char c : bytes) {
            if (isPrintable(c)) {
                current_.push_back(static_cast<char>(c));
            } else {
                endRun();
            }
        }
    }
    void finish() { endRun(); }

    std::int64_t runs = 0;
    std::set<std::string> hosts;

private:
    void endRun() {
        if (current_.size() >= minimumStringLength) {
            ++runs;
            if (platform::text::containsIgnoringCase(current_, "http")) {
                for (const auto& match : hostPattern().matches(current_)) {
                    if (match.groups.size() > 1 && match.groups[1]) {
                        hosts.insert(platform::text::lowercased(match.group(current_, 1)));
                    }
                }
            }
        }
        current_.clear();
    }
    std::string current_;
};

// Feeds a regular file of at most kMaxExecutableBytes to the scanner. The
// number of bytes read, or nothing when it can't be read.
std::optional<std::int64_t> scanFile(const fs::path& path, StringScanner& scanner) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxExecutableBytes) {
        ::close(fd);
        return std::nullopt;
    }
    std::string buffer(1 << 20, '\0');
    std::int64_t total = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        scanner.feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        total += n;
    }
    ::close(fd);
    scanner.finish();
    return total;
}

// The entries of a directory by name, or nothing when it can't be listed
// (missing, a plain file, no permission).
std::optional<std::vector<std::string>> listDirectory(const fs::path& directory) {
    DIR* dir = ::opendir(directory.c_str());
    if (!dir) return std::nullopt;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::string listText(const std::vector<std::string>& items) { return join(items, ", "); }

}  // namespace

std::vector<std::string> printableStrings(std::string_view bytes, std::size_t minimumLength) {
    std::vector<std::string> out;
    std::size_t start = 0;
    bool inRun = false;
    for (std::size_t i = 0; i <= bytes.size(); ++i) {
        const bool printable = i < bytes.size() && isPrintable(static_cast<unsigned char>(bytes[i]));
        if (printable && !inRun) {
            start = i;
            inRun = true;
        } else if (!printable && inRun) {
            if (i - start >= minimumLength) out.emplace_back(bytes.substr(start, i - start));
            inRun = false;
        }
    }
    return out;
}

std::set<std::string> extractHosts(std::string_view bytes) {
    StringScanner scanner;
    scanner.feed(bytes);
    scanner.finish();
    return scanner.hosts;
}

PrivacyCheck checkOutboundHosts(const std::vector<fs::path>& executables) {
    PrivacyCheck check{"outbound_hosts", "Outbound hosts embedded in the shipped binary", PrivacyCheckStatus::unknown,
                       "could not read this app's own executable to scan for embedded host strings", std::monostate{}};
    if (executables.empty()) return check;

    StringScanner scanner;
    OutboundHostsStats stats;
    std::vector<std::string> unreadable;
    for (const auto& path : executables) {
        if (const auto bytes = scanFile(path, scanner)) {
            stats.bytesScanned += *bytes;
        } else {
            unreadable.push_back(path.filename().string());
        }
    }
    if (unreadable.size() == executables.size()) return check;
    stats.stringsExtracted = scanner.runs;
    stats.hostLiteralsFound = static_cast<std::int64_t>(scanner.hosts.size());
    std::vector<std::string> allowed;
    for (const auto& host : scanner.hosts) {
        if (isAllowedHost(host)) {
            allowed.push_back(host);
        } else {
            stats.unknownHosts.push_back(host);
        }
    }
    stats.allowListedCount = static_cast<std::int64_t>(allowed.size());
    check.stats = stats;

    if (!stats.unknownHosts.empty()) {
        check.status = PrivacyCheckStatus::fail;
        check.detail = "unexpected outbound host(s) embedded in the binary: " + listText(stats.unknownHosts);
    } else if (!unreadable.empty()) {
        // What was read is clean, but a file that wasn't read proves nothing.
        check.detail = "could not read " + listText(unreadable) + " to scan for embedded host strings";
    } else {
        check.status = PrivacyCheckStatus::pass;
        check.detail = allowed.empty() ? "no embedded http(s) host strings found across " +
                                             std::to_string(stats.bytesScanned) + " bytes scanned"
                                       : std::to_string(allowed.size()) +
                                             " distinct host(s) found, all within the allowed list: " + listText(allowed);
    }
    return check;
}

PrivacyCheck checkOutboundHosts(const std::optional<fs::path>& executable) {
    return checkOutboundHosts(executable ? std::vector<fs::path>{*executable} : std::vector<fs::path>{});
}

PrivacyCheck checkAudioRetention(const fs::path& tempDirectory, bool isCurrentlyRecording, std::time_t now) {
    PrivacyCheck check{"audio_retention", "Audio retention after transcription", PrivacyCheckStatus::unknown,
                       "could not list " + tempDirectory.string() + " to check for leftover recording files",
                       std::monostate{}};
    const auto names = listDirectory(tempDirectory);
    if (!names) return check;

    AudioRetentionStats stats;
    std::vector<std::string> recordings;
    for (const auto& name : *names) {
        if (!platform::text::hasPrefix(name, "ondira_rec_") || !platform::text::hasSuffix(name, ".wav")) continue;
        recordings.push_back(name);
        struct stat st {};
        if (::lstat((tempDirectory / name).c_str(), &st) != 0) continue;
        stats.totalBytes += static_cast<std::int64_t>(st.st_size);
        const std::int64_t age = std::max<std::int64_t>(0, static_cast<std::int64_t>(now - st.st_mtime));
        if (!stats.oldestAgeSeconds || age > *stats.oldestAgeSeconds) stats.oldestAgeSeconds = age;
    }
    stats.fileCount = static_cast<std::int64_t>(recordings.size());
    check.stats = stats;

    if (recordings.empty()) {
        check.status = PrivacyCheckStatus::pass;
        check.detail = "0 leftover recording files in " + tempDirectory.string() +
                       " — recordings are deleted immediately after transcription, and on cancel";
    } else if (recordings.size() == 1 && isCurrentlyRecording) {
        check.status = PrivacyCheckStatus::pass;
        check.detail =
            "1 recording file present, but a dictation is in progress right now — expected, deleted at "
            "transcription";
    } else {
        check.status = PrivacyCheckStatus::fail;
        check.detail = std::to_string(recordings.size()) +
                       " leftover recording file(s) found with no dictation in progress: " + listText(recordings);
    }
    return check;
}

bool isCredentialShaped(const std::string& fileName) {
    static const char* const markers[] = {"session", "oauth", "cookie", "token"};
    const std::string lower = platform::text::lowercased(fileName);
    return std::any_of(std::begin(markers), std::end(markers),
                       [&](const char* marker) { return lower.find(marker) != std::string::npos; });
}

PrivacyCheck checkAccountState(const fs::path& applicationSupportDirectory) {
    PrivacyCheck check{"account_state", "Account / sign-in state", PrivacyCheckStatus::unknown,
                       "could not list " + applicationSupportDirectory.string() + " to check for a credential/session store",
                       std::monostate{}};
    const auto names = listDirectory(applicationSupportDirectory);
    if (!names) return check;

    std::vector<std::string> shaped;
    std::copy_if(names->begin(), names->end(), std::back_inserter(shaped), isCredentialShaped);
    check.stats = AccountStateStats{static_cast<std::int64_t>(names->size()), static_cast<std::int64_t>(shaped.size())};
    if (!shaped.empty()) {
        check.status = PrivacyCheckStatus::fail;
        check.detail = "found file(s) shaped like a session/credential store: " + listText(shaped);
    } else {
        check.status = PrivacyCheckStatus::pass;
        check.detail = "no session/OAuth/cookie-shaped file found among " + std::to_string(names->size()) + " file(s) in " +
                       applicationSupportDirectory.filename().string() + " — Ondira has no sign-in";
    }
    return check;
}

// ---------------------------------------------------------------- sockets

namespace {

// The socket inodes of this process, from the links in /proc/self/fd.
std::optional<std::vector<unsigned long>> socketInodes() {
    const auto names = listDirectory("/proc/self/fd");
    if (!names) return std::nullopt;
    std::vector<unsigned long> inodes;
    for (const auto& name : *names) {
        char target[128];
        const ssize_t n = ::readlink(("/proc/self/fd/" + name).c_str(), target, sizeof target - 1);
        if (n <= 0) continue;  // the descriptor the listing itself used is gone by now
        const std::string link(target, static_cast<std::size_t>(n));
        if (platform::text::hasPrefix(link, "socket:[")) inodes.push_back(std::stoul(link.substr(8)));
    }
    return inodes;
}

// "0100007F" (IPv4, little-endian) or the 32-digit IPv6 form, as written in
// /proc/net/tcp*: true when it is a loopback address or unspecified.
bool isLoopbackOrAny(const std::string& hexAddress) {
    if (hexAddress.size() == 8) {
        const unsigned long v = std::stoul(hexAddress, nullptr, 16);
        return v == 0 || (v & 0xFF) == 127;
    }
    if (hexAddress.size() == 32) {
        if (hexAddress == std::string(32, '0')) return true;
        if (hexAddress == "00000000000000000000000001000000") return true;  // ::1
        // ::ffff:127.x.y.z
        if (hexAddress.compare(0, 16, "0000000000000000") == 0 && hexAddress.compare(16, 8, "FFFF0000") == 0)
            return (std::stoul(hexAddress.substr(24, 8), nullptr, 16) & 0xFF) == 127;
    }
    return false;
}

// inode -> loopback-only (true) or not, over the inet tables of this process.
std::map<unsigned long, bool> inetSockets() {
    std::map<unsigned long, bool> out;
    for (const char* table : {"tcp", "tcp6", "udp", "udp6", "raw", "raw6"}) {
        std::ifstream in(std::string("/proc/self/net/") + table);
        std::string line;
        std::getline(in, line);  // header
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
            unsigned long inode = 0;
            if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode))
                continue;
            const auto address = [](const std::string& endpoint) { return endpoint.substr(0, endpoint.find(':')); };
            out[inode] = isLoopbackOrAny(address(local)) && isLoopbackOrAny(address(remote)) &&
                         address(local) != std::string(address(local).size(), '0');
        }
    }
    return out;
}

std::set<unsigned long> unixSockets() {
    std::set<unsigned long> out;
    std::ifstream in("/proc/self/net/unix");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string num, refCount, protocol, flags, type, st;
        unsigned long inode = 0;
        if (fields >> num >> refCount >> protocol >> flags >> type >> st >> inode) out.insert(inode);
    }
    return out;
}

}  // namespace

std::optional<std::int64_t> liveSocketFDCount() {
    const auto inodes = socketInodes();
    if (!inodes) return std::nullopt;
    return static_cast<std::int64_t>(inodes->size());
}

PrivacyCheck socketCountCheck() {
    SocketCountStats stats;
    stats.method =
        "readlink over /proc/self/fd counting socket:[inode] links, each matched against /proc/self/net/unix "
        "and /proc/self/net/{tcp,udp,raw}{,6}";
    const auto inodes = socketInodes();
    PrivacyCheck check{"socket_count", "Live socket count for this process", PrivacyCheckStatus::unknown,
                       "could not enumerate this process's file descriptors", std::monostate{}};
    if (inodes) {
        const auto inet = inetSockets();
        const auto unixes = unixSockets();
        std::int64_t unixCount = 0, loopback = 0, network = 0, other = 0;
        for (unsigned long inode : *inodes) {
            if (unixes.count(inode)) {
                ++unixCount;
            } else if (auto it = inet.find(inode); it != inet.end()) {
                ++(it->second ? loopback : network);
            } else {
                ++other;
            }
        }
        stats.count = static_cast<std::int64_t>(inodes->size());
        stats.unixCount = unixCount;
        stats.loopbackCount = loopback;
        stats.networkCount = network;
        stats.otherCount = other;
        check.detail = std::to_string(*stats.count) +
                       " open socket file descriptor(s) in this process right now: " + std::to_string(unixCount) +
                       " Unix, " + std::to_string(loopback) + " loopback, " + std::to_string(network) + " network, " +
                       std::to_string(other) + " kernel" + kDash +
                       "informational only; a connection to the update host exists only while an update check runs";
    }
    check.stats = stats;
    return check;
}

// ---------------------------------------------------------------- the whole probe

std::vector<PrivacyCheck> runAllChecks(const std::vector<fs::path>& executables, const fs::path& tempDirectory,
                                       bool isCurrentlyRecording, const fs::path& applicationSupportDirectory) {
    return {checkOutboundHosts(executables), checkAudioRetention(tempDirectory, isCurrentlyRecording),
            checkAccountState(applicationSupportDirectory), socketCountCheck()};
}

std::vector<fs::path> installedExecutables() {
    std::vector<fs::path> out = {platform::Bundle::executablePath()};
    if (auto helper = AppPaths::mirvaneHelperURL()) out.push_back(*helper);
    return out;
}

std::string updateCheckStatement(const std::string& manifestURL, bool automaticChecksEnabled) {
    return std::string("Update check: automatic checks are ") + (automaticChecksEnabled ? "on" : "off") +
           "; a check, automatic or from the menu, fetches only " + manifestURL + " and sends nothing else";
}

std::vector<PrivacyCheck> runLiveChecks(bool isCurrentlyRecording) {
    return runAllChecks(installedExecutables(), platform::temporaryDirectory(), isCurrentlyRecording,
                        AppPaths::applicationSupport());
}

// ---------------------------------------------------------------- payload and report

json statsObject(const PrivacyCheckStats& stats) {
    json object = json::object();
    if (const auto* s = std::get_if<OutboundHostsStats>(&stats)) {
        object = {{"bytesScanned", s->bytesScanned},
                  {"stringsExtracted", s->stringsExtracted},
                  {"hostLiteralsFound", s->hostLiteralsFound},
                  {"allowListedCount", s->allowListedCount},
                  {"unknownHosts", s->unknownHosts}};
    } else if (const auto* s = std::get_if<AudioRetentionStats>(&stats)) {
        object = {{"fileCount", s->fileCount}, {"totalBytes", s->totalBytes}};
        if (s->oldestAgeSeconds) object["oldestAgeSeconds"] = *s->oldestAgeSeconds;
    } else if (const auto* s = std::get_if<AccountStateStats>(&stats)) {
        object = {{"filesInspected", s->filesInspected}, {"credentialShapedCount", s->credentialShapedCount}};
    } else if (const auto* s = std::get_if<SocketCountStats>(&stats)) {
        object = {{"method", s->method}};
        const std::pair<const char*, const std::optional<std::int64_t>*> counts[] = {{"count", &s->count},
                                                                                     {"unixCount", &s->unixCount},
                                                                                     {"loopbackCount", &s->loopbackCount},
                                                                                     {"networkCount", &s->networkCount},
                                                                                     {"otherCount", &s->otherCount}};
        for (const auto& [key, value] : counts) {
            if (*value) object[key] = **value;
        }
    }
    return object;
}

json buildPayload(const std::vector<PrivacyCheck>& checks, std::int64_t generatedAt) {
    json list = json::array();
    for (const auto& check : checks) {
        list.push_back({{"id", check.id},
                        {"label", check.label},
                        {"status", rawValue(check.status)},
                        {"detail", check.detail},
                        {"stats", statsObject(check.stats)}});
    }
    return {{"checks", list}, {"generatedAt", generatedAt}};
}

std::vector<std::string> privacyReportLines(const std::vector<PrivacyCheck>& checks) {
    std::vector<std::string> lines;
    for (const auto& check : checks) {
        lines.push_back("[" + platform::text::uppercased(rawValue(check.status)) + "] " + check.id + kDash + check.label);
        lines.push_back("  " + check.detail);
        // nlohmann's object keeps its keys sorted, which is the order the report wants.
        const json stats = statsObject(check.stats);
        for (const auto& [key, value] : stats.items()) {
            std::string text;
            if (value.is_string()) {
                text = value.get<std::string>();
            } else if (value.is_array()) {
                std::vector<std::string> items;
                for (const auto& item : value)
                    items.push_back(item.is_string() ? "\"" + item.get<std::string>() + "\"" : item.dump());
                text = "[" + join(items, ", ") + "]";
            } else {
                text = value.dump();
            }
            lines.push_back("    " + key + ": " + text);
        }
        lines.push_back("");
    }
    return lines;
}

}  // namespace PrivacyProbe

// The privacy probe's own checks: host extraction, unknown for what can't be
// looked at, statistics counted from the real input, the hub payload and the
// report layout, and the command-line route to the report.
#include "CLI/OndiraCLI.h"
#include "Diagnostics/PrivacyProbe.h"
#include "Platform/FileIO.h"
#include "Platform/Unicode.h"
#include "Platform/UUID.h"
#include "SelfTest/SelfTest.h"

#include <fstream>

#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace PrivacyProbe;

namespace PrivacyProbeSelfTests {

namespace {

const fs::path kMissingExecutable = "/definitely/not/a/real/path/";
const fs::path kMissingTemp = "/definitely/not/a/real/dir/";
const fs::path kMissingSupport = "/definitely/not/a/real/support/";
constexpr const char* kAPIHost = "api.ondira.app";

std::string listForm(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", \"" : "\"") + items[i] + "\"";
    return out + "]";
}
template <typename Set>
std::string sortedList(const Set& items) {
    return listForm(std::vector<std::string>(items.begin(), items.end()));
}

std::string optionalNumber(const std::optional<std::int64_t>& value) {
    return value ? "Optional(" + std::to_string(*value) + ")" : "nil";
}

std::string statsKind(const PrivacyCheckStats& stats) {
    static const char* const names[] = {"none", "outboundHosts", "audioRetention", "accountState", "socketCount"};
    return names[stats.index()];
}

// A host outside the allow list, put together at run time so that it never
// stands whole in this program, whose own executable the real probe scans.
std::string unlistedHost() { return platform::text::join({"tracker", "unlisted", "invalid"}, "."); }

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

fs::path freshDirectory(const std::string& prefix) {
    const fs::path dir = platform::temporaryDirectory() / (prefix + platform::newUUID());
    std::error_code ec;
    fs::create_directories(dir, ec);
    return dir;
}

SelfTestOutcome fail(const std::string& message) { return SelfTestOutcome::fail(message); }

}  // namespace

std::vector<SelfTestCase> cases() {
    std::vector<SelfTestCase> out;

    out.push_back({"host extraction: finds a known embedded host and rejects non-host noise",
                   "a loosened URL pattern (bare domain-looking text without a scheme) or a dropped printable-run scan "
                   "would report prose or a file path as an outbound host, the false positive that makes the probe "
                   "untrustworthy",
                   [] {
                       std::string text = "junk";
                       text += std::string(2, '\0');
                       text += std::string("garbage https://") + kAPIHost + "/v1/foo more ";
                       text += "\x01\x02";
                       text +=
                           " bytes hello world not-a-host ftp://files.example.org/pub plain text mentioning "
                           "ondira.app without a scheme and a path /opt/someone/ondira.app/notarealhost";
                       const auto hosts = extractHosts(text);
                       if (hosts == std::set<std::string>{kAPIHost}) return SelfTestOutcome::pass();
                       return fail(std::string("expected exactly {") + kAPIHost + "}, got " + sortedList(hosts));
                   }});

    out.push_back({"a fact this probe cannot verify reports unknown, never pass",
                   "a read or list failure treated as a default pass would print a green check for something never "
                   "looked at",
                   [] {
                       const std::vector<PrivacyCheck> checks = {
                           checkOutboundHosts(std::optional<fs::path>(kMissingExecutable)),
                           checkAudioRetention(kMissingTemp, false), checkAccountState(kMissingSupport)};
                       std::vector<std::string> seen;
                       bool allUnknown = true;
                       for (const auto& check : checks) {
                           seen.push_back(check.id + "=" + rawValue(check.status));
                           allUnknown = allUnknown && check.status == PrivacyCheckStatus::unknown;
                       }
                       if (allUnknown) return SelfTestOutcome::pass();
                       return fail("expected all three unresolvable checks to report .unknown, got " + listForm(seen));
                   }});

    out.push_back(
        {"payload shape matches the bridge contract exactly",
         "a renamed or dropped key (checks, id, label, status, detail, generatedAt) or a changed value type "
         "(generatedAt as text, a capitalised status) would make the page's window.onPrivacyProbe silently "
         "render no rows",
         [] {
             const json payload = buildPayload({{"x", "X", PrivacyCheckStatus::pass, "d", std::monostate{}}}, 12345);
             json back;
             try {
                 back = json::parse(payload.dump());
             } catch (const std::exception& e) {
                 return fail(std::string("payload did not round-trip through JSONSerialization into the "
                                         "expected {checks:[...], generatedAt:Int} shape: ") +
                             e.what());
             }
             const bool shape = back.is_object() && back.contains("checks") && back["checks"].is_array() &&
                                back["checks"].size() == 1 && back.contains("generatedAt") &&
                                back["generatedAt"].is_number_integer() && back["generatedAt"] == 12345;
             if (!shape) return fail("payload fields did not match the contract shape: " + back.dump());
             const json& row = back["checks"][0];
             if (row.value("id", json()) == "x" && row.value("label", json()) == "X" &&
                 row.value("status", json()) == "pass" && row.value("detail", json()) == "d")
                 return SelfTestOutcome::pass();
             return fail("payload fields did not match the contract shape: " + back.dump());
         }});

    out.push_back({"a plain file where a directory is expected degrades to unknown, not a crash",
                   "a directory listing error that is not caught would crash the app on a realistic misconfiguration "
                   "instead of reporting unknown",
                   [] {
                       const fs::path file =
                           platform::temporaryDirectory() / ("privacyprobe-selftest-" + platform::newUUID() + ".txt");
                       writeFile(file, "not a directory");
                       const PrivacyCheck check = checkAccountState(file);
                       SelfTestSupport::removeIfPresent(file);
                       if (check.status == PrivacyCheckStatus::unknown) return SelfTestOutcome::pass();
                       return fail(
                           std::string("expected .unknown when pointed at a plain file instead of a directory, got ") +
                           rawValue(check.status));
                   }});

    out.push_back(
        {"structured-but-non-URL binary bytes never crash the scanner and yield no host matches",
         "extraction that assumed well-formed text would crash or throw on raw non-text bytes instead of "
         "returning no hosts",
         [] {
             std::string bytes(4096, '\0');
             for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((41 + 137 * i) % 256);
             const auto hosts = extractHosts(bytes);
             // The same bytes as a file through the real check: counted, clean, nothing invented.
             const fs::path file = platform::temporaryDirectory() / ("privacyprobe-selftest-bytes-" + platform::newUUID());
             writeFile(file, bytes);
             const PrivacyCheck check = checkOutboundHosts(std::optional<fs::path>(file));
             SelfTestSupport::removeIfPresent(file);
             if (!hosts.empty())
                 return fail("expected no host matches in structured-but-non-URL random bytes, got " + sortedList(hosts));
             const auto* stats = std::get_if<OutboundHostsStats>(&check.stats);
             if (!stats || stats->bytesScanned != 4096 || stats->hostLiteralsFound != 0 ||
                 check.status != PrivacyCheckStatus::pass)
                 return fail(std::string("expected the scan of those bytes to pass with 4096 bytes and no "
                                         "hosts, got ") +
                             rawValue(check.status) + " " + statsObject(check.stats).dump());
             return SelfTestOutcome::pass();
         }});

    out.push_back(
        {"the check list covers exactly the ids the Hub UI is contracted to render",
         "adding, renaming or removing a check without updating both runAllChecks(), "
         "PrivacyProbe.expectedCheckIDs and the page contract would make a row vanish or render nothing",
         [] {
             const std::set<std::string> contract = {"outbound_hosts", "audio_retention", "account_state", "socket_count"};
             std::set<std::string> ids;
             for (const auto& check : runAllChecks({}, kMissingTemp, false, kMissingSupport)) ids.insert(check.id);
             if (ids != contract)
                 return fail("expected " + sortedList(contract) + ", got " + sortedList(ids) + " from runAllChecks()");
             if (expectedCheckIDs() != contract)
                 return fail("PrivacyProbe.expectedCheckIDs " + sortedList(expectedCheckIDs()) +
                             " is out of sync with the real contract ids " + sortedList(contract));
             return SelfTestOutcome::pass();
         }});

    out.push_back(
        {"outbound hosts stats: byte/string/host counts match the synthetic binary scanned, unknown host "
         "reported by name",
         "counts derived from anything but the bytes scanned, or an unknown host dropped instead of named, "
         "would fail; the fixture has exactly one allow-listed host and one outside the list",
         [] {
             const std::string unknown = unlistedHost();
             const std::string data =
                 "junk https://ondira.app/help more junk https://" + unknown + "/x padding padding padding";
             const fs::path file = platform::temporaryDirectory() / ("privacyprobe-selftest-exe-" + platform::newUUID());
             writeFile(file, data);
             const PrivacyCheck check = checkOutboundHosts(std::optional<fs::path>(file));
             SelfTestSupport::removeIfPresent(file);
             const auto independent = static_cast<std::int64_t>(printableStrings(data, 6).size());
             const auto* stats = std::get_if<OutboundHostsStats>(&check.stats);
             if (!stats) return fail("expected .outboundHosts stats, got " + statsKind(check.stats));
             if (stats->bytesScanned != static_cast<std::int64_t>(data.size()))
                 return fail("bytesScanned " + std::to_string(stats->bytesScanned) + " != actual data.count " +
                             std::to_string(data.size()));
             if (stats->stringsExtracted != independent)
                 return fail("stringsExtracted " + std::to_string(stats->stringsExtracted) + " != independently computed " +
                             std::to_string(independent));
             if (stats->hostLiteralsFound != 2 || stats->allowListedCount != 1 ||
                 stats->unknownHosts != std::vector<std::string>{unknown})
                 return fail("expected hostLiteralsFound=2 allowListedCount=1 unknownHosts=[" + unknown +
                             "], got hostLiteralsFound=" + std::to_string(stats->hostLiteralsFound) + " allowListedCount=" +
                             std::to_string(stats->allowListedCount) + " unknownHosts=" + listForm(stats->unknownHosts));
             if (check.status != PrivacyCheckStatus::fail)
                 return fail(std::string("expected .fail status since an unknown host is present, got ") +
                             rawValue(check.status));
             return SelfTestOutcome::pass();
         }});

    out.push_back(
        {"audio retention stats: file count and total bytes match a synthetic 3-file fixture, oldest age is "
         "present and non-negative",
         "counting all directory entries instead of only the leftover recordings, or a fixed size instead of "
         "each file's real size, would fail",
         [] {
             const fs::path dir = freshDirectory("privacyprobe-selftest-audio-");
             writeFile(dir / "ondira_rec_0.wav", std::string(100, '\0'));
             writeFile(dir / "ondira_rec_1.wav", std::string(250, '\0'));
             writeFile(dir / "ondira_rec_2.wav", std::string(400, '\0'));
             writeFile(dir / "not_a_recording.txt", "x");
             const PrivacyCheck check = checkAudioRetention(dir, false);
             SelfTestSupport::removeIfPresent(dir);
             const auto* stats = std::get_if<AudioRetentionStats>(&check.stats);
             if (!stats) return fail("expected .audioRetention stats, got " + statsKind(check.stats));
             if (stats->fileCount != 3) return fail("expected fileCount 3, got " + std::to_string(stats->fileCount));
             if (stats->totalBytes != 750) return fail("expected totalBytes 750, got " + std::to_string(stats->totalBytes));
             if (!stats->oldestAgeSeconds || *stats->oldestAgeSeconds < 0)
                 return fail("expected a non-nil, non-negative oldestAgeSeconds, got " +
                             optionalNumber(stats->oldestAgeSeconds));
             return SelfTestOutcome::pass();
         }});

    out.push_back(
        {"audio retention stats: an empty directory reports 0 files, 0 bytes, no oldest age — never a "
         "fabricated number",
         "defaulting the oldest age to 0 instead of absent would report a fake age for the healthy empty state", [] {
             const fs::path dir = freshDirectory("privacyprobe-selftest-audio-empty-");
             const PrivacyCheck check = checkAudioRetention(dir, false);
             SelfTestSupport::removeIfPresent(dir);
             const auto* stats = std::get_if<AudioRetentionStats>(&check.stats);
             if (!stats) return fail("expected .audioRetention stats, got " + statsKind(check.stats));
             if (stats->fileCount == 0 && stats->totalBytes == 0 && !stats->oldestAgeSeconds) return SelfTestOutcome::pass();
             return fail("expected fileCount:0 totalBytes:0 oldestAgeSeconds:nil for an empty dir, got fileCount=" +
                         std::to_string(stats->fileCount) + " totalBytes=" + std::to_string(stats->totalBytes) +
                         " oldestAgeSeconds=" + optionalNumber(stats->oldestAgeSeconds));
         }});

    out.push_back(
        {"account state stats: files-inspected and credential-shaped counts match a synthetic fixture exactly",
         "numbers printed next to a verdict must come from the same listing and the same credential "
         "predicate (sessionMarkers) that decide the verdict",
         [] {
             const fs::path dir = freshDirectory("privacyprobe-selftest-account-");
             for (const char* name : {"prefs.plist", "vocab.json", "oauth_cache.bin", "snippets.json", "session_token.dat"})
                 writeFile(dir / name, "{}");
             const PrivacyCheck check = checkAccountState(dir);
             SelfTestSupport::removeIfPresent(dir);
             const auto* stats = std::get_if<AccountStateStats>(&check.stats);
             if (!stats) return fail("expected .accountState stats, got " + statsKind(check.stats));
             if (stats->filesInspected != 5)
                 return fail("expected filesInspected 5, got " + std::to_string(stats->filesInspected));
             if (stats->credentialShapedCount != 2)
                 return fail("expected credentialShapedCount 2 (session_token.dat, oauth_cache.bin), got " +
                             std::to_string(stats->credentialShapedCount));
             if (check.status != PrivacyCheckStatus::fail)
                 return fail(std::string("expected .fail status with credential-shaped files present, got ") +
                             rawValue(check.status));
             return SelfTestOutcome::pass();
         }});

    out.push_back(
        {"socket count stats: carries the same integer liveSocketFDCount() reports, and status stays unknown "
         "regardless of the count",
         "turning the socket check into pass or fail once a count exists is the change this feature forbids; "
         "the carried count must be what liveSocketFDCount() returns",
         [] {
             const auto independent = liveSocketFDCount();
             const PrivacyCheck check = socketCountCheck();
             const auto* stats = std::get_if<SocketCountStats>(&check.stats);
             if (!stats) return fail("expected .socketCount stats, got " + statsKind(check.stats));
             if (check.status != PrivacyCheckStatus::unknown)
                 return fail(std::string("socket_count status must always be .unknown by design, got ") +
                             rawValue(check.status));
             if (stats->method.empty()) return fail("expected a non-empty method description");
             if (stats->count != independent)
                 return fail("stats.count " + optionalNumber(stats->count) +
                             " != independently-called liveSocketFDCount() " + optionalNumber(independent));
             return SelfTestOutcome::pass();
         }});

    out.push_back({"payload 'stats' key round-trips through JSON for a real stat variant and for .none",
                   "if the payload builder left out the stats dictionary or put it under another key, the panel's "
                   "numbers would never reach the page",
                   [] {
                       const json payload =
                           buildPayload({{"a", "A", PrivacyCheckStatus::pass, "d", OutboundHostsStats{10, 2, 1, 1, {}}},
                                         {"b", "B", PrivacyCheckStatus::pass, "d", std::monostate{}}},
                                        1);
                       json back;
                       try {
                           back = json::parse(payload.dump());
                       } catch (const std::exception& e) {
                           return fail(std::string("payload with stats did not round-trip through JSONSerialization: ") +
                                       e.what());
                       }
                       const json first = back["checks"][0].value("stats", json());
                       const json expected = {{"bytesScanned", 10},
                                              {"stringsExtracted", 2},
                                              {"hostLiteralsFound", 1},
                                              {"allowListedCount", 1},
                                              {"unknownHosts", json::array()}};
                       if (first != expected)
                           return fail("checks[0].stats did not match the outboundHosts fixture: " + first.dump());
                       const json second = back["checks"][1].value("stats", json());
                       if (!second.is_object() || !second.empty())
                           return fail("checks[1].stats (a .none-stats check) should serialize to an empty object, got " +
                                       second.dump());
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"privacyReportLines renders id/label/status/detail and every stat key, sorted, for a fixture check",
                   "dropping the stats loop, unsorted keys, or a header without id and label would make "
                   "--privacy-report omit the numbers asked for",
                   [] {
                       const std::vector<std::string> keys = {"allowListedCount", "bytesScanned", "hostLiteralsFound",
                                                              "stringsExtracted", "unknownHosts"};
                       const auto lines = privacyReportLines(
                           {{"outbound_hosts", "Outbound hosts embedded in the shipped binary", PrivacyCheckStatus::pass,
                             "no embedded http(s) host strings found across 100 bytes scanned",
                             OutboundHostsStats{100, 5, 0, 0, {}}}});
                       if (lines.size() != 8)
                           return fail("expected header + detail + 5 sorted stat lines + trailing blank (8 lines), got " +
                                       std::to_string(lines.size()) + ": " + listForm(lines));
                       if (lines[0] != "[PASS] outbound_hosts — Outbound hosts embedded in the shipped binary")
                           return fail("unexpected header line: " + lines[0]);
                       if (lines[1].find("100 bytes scanned") == std::string::npos)
                           return fail("unexpected detail line: " + lines[1]);
                       for (std::size_t i = 0; i < keys.size(); ++i) {
                           if (lines[2 + i].find(keys[i] + ":") == std::string::npos)
                               return fail("expected stat lines sorted by key in order " + listForm(keys) + ", got " +
                                           listForm({lines.begin() + 2, lines.begin() + 7}));
                       }
                       if (!lines[7].empty()) return fail("expected a trailing blank line between checks, got " + lines[7]);
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"--privacy-report parses to .command(.privacyReport) and rejects extra arguments",
                   "without the route, or with a trailing argument silently accepted, the process would fall through to "
                   "the application launch or ignore a mistyped argument",
                   [] {
                       if (!OndiraCLI::isSubcommand("--privacy-report"))
                           return fail("isSubcommand(\"--privacy-report\") is false");
                       const auto parsed = OndiraCLI::parse({"--privacy-report"});
                       if (!parsed.command || parsed.command->kind != OndiraCLI::Command::Kind::privacyReport)
                           return fail("parse([\"--privacy-report\"]) did not return .command(.privacyReport): " +
                                       OndiraCLI::describe(parsed));
                       const auto extra = OndiraCLI::parse({"--privacy-report", "extra"});
                       if (extra.isCommand())
                           return fail("parse with a trailing argument should be a usage error, got " +
                                       OndiraCLI::describe(extra));
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"usageText documents the --privacy-report subcommand",
                   "if the CLI usage text were edited without adding a line for --privacy-report, running `Ondira help` "
                   "would hide a working flag from the person using it",
                   [] {
                       if (OndiraCLI::usageText().find("--privacy-report") != std::string::npos)
                           return SelfTestOutcome::pass();
                       return fail("usageText does not mention '--privacy-report'");
                   }});
    return out;
}

}  // namespace PrivacyProbeSelfTests

ONDIRA_SELFTEST_SUITE("PrivacyProbe", PrivacyProbeSelfTests::cases);

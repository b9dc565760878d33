#include "Base/AppPaths.h"
#include "Base/SystemFloor.h"
#include "Diagnostics/PrivacyProbe.h"
#include "Platform/FileIO.h"
#include "Platform/Queues.h"
#include "Platform/SystemLibrary.h"
#include "Platform/Unicode.h"
#include "Platform/URLSession.h"
#include "Platform/UUID.h"
#include "SelfTest/SelfTest.h"
#include "Update/UpdateChecker.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <cstring>
#include <chrono>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace fs = std::filesystem;

namespace UpdateCheckerSelfTests {

fs::path makeTemporaryDirectory();
std::array<long long, 3> normalizedVersionTriple(const std::string& version);

namespace {

const std::string kFixtureText = "Ondira self-test fixture for checksum verification\n";
// SHA-256 of kFixtureText, computed independently and written down here.
const std::string kFixtureDigest = "a53a6501ff9178c6949433f359eb4c610b93a7bf48e51a45ef6d102b9fa44c95";
const std::string kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string kAllZeroDigest(64, '0');
const std::string kPublishedDigest = "98B0CC22B1CE1234567890ABCDEF1234567890ABCDEF1234567890ABCDEF1234";
const std::string kRoundTripDigest = "abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789";
const std::size_t kLargeFileBytes = 6 * 1024 * 1024 + 777;
const double kBoundedWaitSeconds = 30.0;

std::string downloadURL(const std::string& version) { return "https://ondira.app/releases/Ondira-" + version + ".dmg"; }

const std::string kValidManifest = R"({
    "version": "2.1.0",
    "build": 210,
    "releaseDate": "2026-09-01",
    "downloadURL": ")" + downloadURL("2.1.0") +
                                   R"(",
    "releaseNotes": "Enhanced streaming preview and bug fixes.",
    "minMacOSVersion": "13.0"
})";
const std::string kBuildOnlyManifest = R"({
    "build": 210
})";
const std::string kWithoutSHA256Manifest = R"({
    "version": "2.1.0",
    "build": 210,
    "downloadURL": ")" + downloadURL("2.1.0") +
                                           R"("
})";
const std::string kWithSHA256Manifest = R"({
    "version": "2.1.0",
    "build": 210,
    "downloadURL": ")" + downloadURL("2.1.0") +
                                        R"(",
    "sha256": ")" + kPublishedDigest + R"("
})";
const std::string kCanonicalManifest = R"({
    "version": "2.2.0",
    "build": 220,
    "downloadURL": ")" + downloadURL("2.2.0") +
                                       R"(",
    "releaseNotes": "Canonical-spelling release notes.",
    "minMacOSVersion": "14.0"
})";
const std::string kBothSpellingsManifest = R"({
    "version": "2.3.0",
    "build": 230,
    "downloadURL": ")" + downloadURL("2.3.0") +
                                           R"(",
    "releaseNotes": "CANONICAL wins",
    "notes": "alias should be ignored",
    "minMacOSVersion": "15.0",
    "minOS": "10.0"
})";
const std::string kNeitherSpellingManifest = R"({
    "version": "2.4.0",
    "downloadURL": ")" + downloadURL("2.4.0") +
                                             R"("
})";
// The manifest published for this release, byte for byte. Its "minOS" is the
// oldest supported system release (Debian 12).
const std::string kShippedNotes =
    "Ondira 2.0.0 production release with on-device LLM rewrite, zero-telemetry updater, staging buffer, and 100% "
    "offline verification.";
const std::string kShippedManifest =
    R"({"version":"2.0.0","build":200,"minOS":"12.0","releaseDate":"2026-08-27","downloadURL":")" + downloadURL("2.0.0") +
    R"(","sha256":"2c70e4b2c49b2c61221fcd5337df3056c836e4b1513b3408e1ce392df34d7c64","notes":")" + kShippedNotes + R"("})";

std::optional<ReleaseManifest> tryDecode(const std::string& text) {
    try {
        return ReleaseManifest::decode(text);
    } catch (const ManifestDecodingError&) {
        return std::nullopt;
    }
}

std::string printed(const std::optional<std::string>& value) { return value ? "Optional(\"" + *value + "\")" : "nil"; }
std::string printed(bool value) { return value ? "true" : "false"; }

// Runs `body` with a fresh fixture directory that is removed on every path.
SelfTestOutcome withFixtureDirectory(const std::function<SelfTestOutcome(const fs::path&)>& body) {
    fs::path dir;
    try {
        dir = makeTemporaryDirectory();
    } catch (const std::exception& e) {
        return SelfTestOutcome::fail(std::string("could not create the fixture directory: ") + e.what());
    }
    SelfTestOutcome outcome = SelfTestOutcome::fail("the case did not finish");
    try {
        outcome = body(dir);
    } catch (...) {
        SelfTestSupport::removeIfPresent(dir);
        throw;
    }
    SelfTestSupport::removeIfPresent(dir);
    return outcome;
}

bool writeFixture(const fs::path& file, const std::string& bytes) { return platform::atomicWrite(file, bytes, 0600); }

// Random bytes in blocks of at most 256 KiB, so the whole file is never in memory.
bool writeLargeRandomFile(const fs::path& file, std::size_t size) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    std::vector<char> block(256 * 1024);
    bool ok = true;
    for (std::size_t written = 0; ok && written < size;) {
        const std::size_t n = std::min(block.size(), size - written);
        for (std::size_t filled = 0; filled < n;) {
            const ssize_t got = ::getrandom(block.data() + filled, n - filled, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                ok = false;
                break;
            }
            filled += static_cast<std::size_t>(got);
        }
        ok = ok && platform::writeAll(fd, std::string_view(block.data(), n));
        written += n;
    }
    return ::close(fd) == 0 && ok;
}

struct ChildRun {
    std::optional<std::string> launchError;
    int exitStatus = -1;
    bool timedOut = false;
    std::string output;  // standard output and standard error together
};

// Runs a program with its output on one pipe, waiting at most `timeoutSeconds`.
ChildRun runChild(const std::vector<std::string>& argv, double timeoutSeconds) {
    ChildRun run;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        run.launchError = std::strerror(errno);
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        run.launchError = std::strerror(spawned);
        return run;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            run.timedOut = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        run.output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    if (run.timedOut) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    run.exitStatus = !run.timedOut && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

SelfTestCase versionComparatorCase() {
    return {"version comparator: handles major, minor, patch, and equal versions correctly",
            "a broken comparator would never detect an update (2.1.0 over 2.0.9 failing) or would keep offering an "
            "older or identical version",
            [] {
                const bool major = UpdateChecker::isVersion("3.0.0", "2.9.9");
                const bool minor = UpdateChecker::isVersion("2.1.0", "2.0.9");
                const bool patch = UpdateChecker::isVersion("2.0.1", "2.0.0");
                if (!major || !minor || !patch) {
                    return SelfTestOutcome::fail("failed newer version comparisons: major=" + printed(major) +
                                                 ", minor=" + printed(minor) + ", patch=" + printed(patch));
                }
                const bool same = UpdateChecker::isVersion("2.0.0", "2.0.0");
                const bool older = UpdateChecker::isVersion("1.9.9", "2.0.0");
                const bool longerCurrent = UpdateChecker::isVersion("2.0.0", "2.0.0.1");
                if (same || older || longerCurrent) {
                    return SelfTestOutcome::fail("false positive on equal/older versions: same=" + printed(same) +
                                                 ", older=" + printed(older) + ", longerCurrent=" + printed(longerCurrent));
                }
                if (!UpdateChecker::isVersion("2.0.0.1", "2.0.0")) {
                    return SelfTestOutcome::fail("failed comparison with extra patch component");
                }
                return SelfTestOutcome::pass();
            }};
}

SelfTestCase manifestDecodingCase() {
    return {"manifest decoding: decodes valid manifest JSON and rejects malformed payloads",
            "key names that diverge from the server's manifest schema would turn every check into a parse error", [] {
                auto manifest = tryDecode(kValidManifest);
                if (!manifest) return SelfTestOutcome::fail("failed to decode valid ReleaseManifest JSON");
                if (manifest->version != "2.1.0" || manifest->build != 210 ||
                    manifest->downloadURL.find("Ondira-2.1.0.dmg") == std::string::npos) {
                    return SelfTestOutcome::fail("decoded manifest fields mismatch: " + manifest->describe());
                }
                if (tryDecode(kBuildOnlyManifest)) {
                    return SelfTestOutcome::fail("expected decoding to fail for missing version and downloadURL");
                }
                return SelfTestOutcome::pass();
            }};
}

SelfTestCase endpointPolicyCase() {
    return {"privacy check: default manifest endpoint uses https and domain is within allowed host set",
            "an update endpoint using plain http or an unapproved domain would violate the zero-leak and transport "
            "security guarantees",
            [] {
                auto parts = platform::parseURL(UpdateChecker::defaultManifestURL());
                if (!parts || parts->scheme != "https") {
                    return SelfTestOutcome::fail("UpdateChecker default endpoint must use HTTPS, got: " +
                                                 (parts ? parts->scheme : std::string("nil")));
                }
                if (!PrivacyProbe::isAllowedHost(parts->host, PrivacyProbe::allowedHostSuffixes())) {
                    return SelfTestOutcome::fail("UpdateChecker host '" + parts->host +
                                                 "' is not in PrivacyProbe.allowedHostSuffixes");
                }
                return SelfTestOutcome::pass();
            }};
}

// Answers every request at once, on the caller's thread, by turns with a
// transport error and a server error: each check then writes the status twice
// (checking, then failed) with reasons of different lengths.
class InstantFailingSession final : public platform::URLSession {
public:
    static constexpr const char* transportError = "the connection was reset by the peer while reading the answer";
    void get(const std::string&, std::function<void(platform::HTTPResult)> completion) override {
        platform::HTTPResult result;
        if (turn_.fetch_xor(1) == 0) result.error = transportError;
        else result.statusCode = 503;
        completion(result);
    }

private:
    std::atomic<int> turn_{0};
};

SelfTestCase threadSafeStatusCase() {
    return {"thread-safe status: UpdateChecker initial status is idle and thread-safe",
            "concurrent access to update status without locking could cause data races across background tasks: a "
            "reader copying the status while a check writes it would see one status's kind with another's reason",
            [] {
                auto checker = std::make_shared<UpdateChecker>(AppPaths::standardDefaults());
                const UpdateStatus initial = checker->status();
                if (!(initial == UpdateStatus::idle())) {
                    return SelfTestOutcome::fail("expected initial status to be .idle, got " + initial.describe());
                }
                // Every status a check can leave, whole: anything else a reader
                // sees was copied half-way through a write.
                const std::vector<UpdateStatus> whole = {
                    UpdateStatus::idle(),
                    UpdateStatus::checking(),
                    UpdateStatus::failed(std::string("The update server could not be reached (") +
                                         InstantFailingSession::transportError + ")."),
                    UpdateStatus::failed("The update server answered with HTTP status 503."),
                };
                struct Shared {
                    std::atomic<bool> stop{false};
                    std::atomic<long> reads{0}, writes{0}, torn{0};
                    std::mutex firstTornLock;
                    std::string firstTorn;
                    platform::Semaphore done;
                };
                auto shared = std::make_shared<Shared>();
                auto session = std::make_shared<InstantFailingSession>();
                constexpr int writers = 2, readers = 3;
                // Threads of their own, so readers and writers really overlap
                // whatever the size of the shared pool. Each owns what it
                // touches: giving up on a deadlocked lock leaves nothing dangling.
                for (int i = 0; i < writers; ++i) {
                    std::thread([checker, session, shared] {
                        while (!shared->stop.load()) {
                            checker->checkForUpdates(UpdateChecker::defaultManifestURL(), session, {});
                            ++shared->writes;
                        }
                        shared->done.signal();
                    }).detach();
                }
                for (int i = 0; i < readers; ++i) {
                    std::thread([checker, shared, whole] {
                        while (!shared->stop.load()) {
                            const UpdateStatus seen = checker->status();
                            (void)checker->lastCheckedDate();
                            ++shared->reads;
                            if (std::find(whole.begin(), whole.end(), seen) == whole.end()) {
                                if (++shared->torn == 1) {
                                    std::lock_guard<std::mutex> guard(shared->firstTornLock);
                                    // A torn text may hold bytes of both: keep the report printable.
                                    shared->firstTorn = seen.describe();
                                    for (char& c : shared->firstTorn)
                                        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
                                }
                                shared->stop = true;
                            }
                        }
                        shared->done.signal();
                    }).detach();
                }
                // Long enough for thousands of overlapping writes and reads on
                // a busy two-core machine; a torn copy ends the run at once.
                const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
                while (!shared->stop.load() && std::chrono::steady_clock::now() < until)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                shared->stop = true;
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kBoundedWaitSeconds);
                for (int finished = 0; finished < writers + readers; ++finished) {
                    const double left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
                    if (left <= 0 || !shared->done.wait(left)) {
                        return SelfTestOutcome::fail("only " + std::to_string(finished) + " of " +
                                                     std::to_string(writers + readers) +
                                                     " concurrent status readers and writers finished within " +
                                                     platform::text::formatDouble(kBoundedWaitSeconds) + " s");
                    }
                }
                if (shared->torn.load() > 0) {
                    std::lock_guard<std::mutex> guard(shared->firstTornLock);
                    return SelfTestOutcome::fail("a status read while checks wrote it was torn: " + shared->firstTorn);
                }
                if (shared->writes.load() == 0 || shared->reads.load() == 0) {
                    return SelfTestOutcome::fail("the readers and writers never overlapped (" +
                                                 std::to_string(shared->reads.load()) + " reads, " +
                                                 std::to_string(shared->writes.load()) + " writes)");
                }
                return SelfTestOutcome::pass();
            }};
}

SelfTestCase matchingDigestCase() {
    return {"checksum: matching digest reports .matched",
            "a comparator that always says mismatched, or hashes the wrong file, would call a byte-identical download "
            "tampered",
            [] {
                return withFixtureDirectory([](const fs::path& dir) {
                    const fs::path file = dir / "small.bin";
                    if (!writeFixture(file, kFixtureText)) return SelfTestOutcome::fail("could not write fixture file");
                    auto result = ChecksumVerifier::verify(file, kFixtureDigest);
                    if (result == ChecksumVerificationResult::matched()) return SelfTestOutcome::pass();
                    return SelfTestOutcome::fail("expected .matched, got " + result.describe());
                });
            }};
}

SelfTestCase mismatchedDigestCase() {
    return {"checksum: single-character digest difference reports .mismatched with the true actual digest",
            "a comparator that echoes the expected value as the actual one would hide real corruption in the mismatch "
            "message",
            [] {
                return withFixtureDirectory([](const fs::path& dir) {
                    const fs::path file = dir / "small.bin";
                    if (!writeFixture(file, kFixtureText)) return SelfTestOutcome::fail("could not write fixture file");
                    std::string altered = kFixtureDigest;
                    altered.back() = altered.back() == '8' ? '9' : '8';
                    auto result = ChecksumVerifier::verify(file, altered);
                    if (result.kind != ChecksumVerificationResult::Kind::mismatched) {
                        return SelfTestOutcome::fail("expected .mismatched, got " + result.describe());
                    }
                    if (result.expected != platform::text::lowercased(altered)) {
                        return SelfTestOutcome::fail(
                            "mismatch should echo back the digest that was actually expected: got " + result.expected);
                    }
                    if (result.actual != kFixtureDigest) {
                        return SelfTestOutcome::fail("mismatch reported actual digest '" + result.actual +
                                                     "', but the file's true digest is '" + kFixtureDigest + "'");
                    }
                    return SelfTestOutcome::pass();
                });
            }};
}

SelfTestCase emptyFileCase() {
    return {"checksum: empty file hashes to the well-known SHA-256-of-empty-input digest",
            "an off-by-one in the chunked read loop shows most easily on a zero-byte file", [] {
                return withFixtureDirectory([](const fs::path& dir) {
                    const fs::path file = dir / "empty.bin";
                    if (!writeFixture(file, "")) return SelfTestOutcome::fail("could not create empty fixture file");
                    auto result = ChecksumVerifier::verify(file, kEmptyDigest);
                    if (result == ChecksumVerificationResult::matched()) return SelfTestOutcome::pass();
                    return SelfTestOutcome::fail("expected .matched for empty file against SHA-256(\"\"), got " +
                                                 result.describe());
                });
            }};
}

// The independent reference is coreutils' sha256sum, the Linux counterpart of
// `shasum -a 256`; its wait is bounded so a hung tool can't stall the run.
SelfTestCase largeFileCase() {
    return {"checksum: a multi-megabyte file streams correctly and matches an independent `shasum -a 256` computation",
            "dropping the final chunk, or capping the bytes read, gives a wrong digest only for files larger than one "
            "chunk",
            [] {
                return withFixtureDirectory([](const fs::path& dir) {
                    const fs::path file = dir / "large.bin";
                    if (!writeLargeRandomFile(file, kLargeFileBytes)) {
                        return SelfTestOutcome::fail("could not open fixture file for writing");
                    }
                    SHA256Result ours = ChecksumVerifier::sha256Hex(file);
                    if (!ours.ok()) {
                        return SelfTestOutcome::fail("ChecksumVerifier.sha256Hex failed to read the fixture file");
                    }
                    const std::string tool = "/usr/bin/sha256sum";
                    ChildRun reference = runChild({tool, file.string()}, kBoundedWaitSeconds);
                    if (reference.launchError) {
                        return SelfTestOutcome::fail("could not launch " + tool + ": " + *reference.launchError);
                    }
                    auto pieces = platform::text::splitWords(reference.output);
                    if (reference.exitStatus != 0 || pieces.empty()) {
                        return SelfTestOutcome::fail("sha256sum did not produce a usable digest: '" + reference.output +
                                                     "'" + (reference.timedOut ? " (timed out)" : ""));
                    }
                    if (pieces[0] != ours.hex) {
                        return SelfTestOutcome::fail("streamed digest '" + ours.hex + "' != sha256sum reference '" +
                                                     pieces[0] + "' for a " + std::to_string(kLargeFileBytes) +
                                                     "-byte file");
                    }
                    return SelfTestOutcome::pass();
                });
            }};
}

SelfTestCase malformedDigestCase() {
    return {
        "checksum: malformed expected digests are rejected, and a correctly-cased-differently digest is still "
        "accepted",
        "a validator that checks length but not hex-ness, or compares case-sensitively, accepts garbage or rejects "
        "a correct upper-case manifest value",
        [] {
            return withFixtureDirectory([](const fs::path& dir) {
                const fs::path file = dir / "small.bin";
                if (!writeFixture(file, kFixtureText)) return SelfTestOutcome::fail("could not write fixture file");
                const std::string truncated = kFixtureDigest.substr(0, 60);
                if (ChecksumVerifier::verify(file, truncated).kind != ChecksumVerificationResult::Kind::unreadable) {
                    return SelfTestOutcome::fail(
                        "a truncated (60-char) digest must be rejected as unreadable, not compared");
                }
                if (ChecksumVerifier::isValidHexDigest(truncated)) {
                    return SelfTestOutcome::fail("isValidHexDigest incorrectly accepted a 60-character string");
                }
                const std::string nonHex = kFixtureDigest.substr(0, 63) + "g";
                if (ChecksumVerifier::verify(file, nonHex).kind != ChecksumVerificationResult::Kind::unreadable) {
                    return SelfTestOutcome::fail(
                        "a digest containing a non-hex character must be rejected as unreadable, not compared");
                }
                if (ChecksumVerifier::isValidHexDigest(nonHex)) {
                    return SelfTestOutcome::fail("isValidHexDigest incorrectly accepted a non-hex character");
                }
                const std::string upper = platform::text::uppercased(kFixtureDigest);
                if (!ChecksumVerifier::isValidHexDigest(upper)) {
                    return SelfTestOutcome::fail("isValidHexDigest rejected a valid uppercase hex digest");
                }
                auto result = ChecksumVerifier::verify(file, upper);
                if (!(result == ChecksumVerificationResult::matched())) {
                    return SelfTestOutcome::fail(
                        "expected an uppercase-but-correct digest to still match (case-insensitive compare), got " +
                        result.describe());
                }
                return SelfTestOutcome::pass();
            });
        }};
}

SelfTestCase missingFileCase() {
    return {"checksum: a missing file reports .unreadable, never crashes and never reports a pass",
            "force-opening the file, or treating an open failure as an empty file, would crash or report a missing "
            "download as verified",
            [] {
                return withFixtureDirectory([](const fs::path& dir) {
                    auto result = ChecksumVerifier::verify(dir / "does-not-exist.dmg", kEmptyDigest);
                    if (result.kind == ChecksumVerificationResult::Kind::unreadable) return SelfTestOutcome::pass();
                    return SelfTestOutcome::fail("expected .unreadable for a nonexistent file, got " + result.describe());
                });
            }};
}

ReleaseManifest policyManifest(std::optional<std::string> sha256) {
    ReleaseManifest m;
    m.version = "2.1.0";
    m.downloadURL = downloadURL("2.1.0");
    m.sha256 = std::move(sha256);
    return m;
}

SelfTestCase noDigestPolicyCase() {
    return {"manifest policy: a manifest with no published sha256 is .noDigestPublished, never .verified",
            "treating a missing sha256 as a pass would present an unverifiable download like a checked one", [] {
                return withFixtureDirectory([](const fs::path& dir) {
                    const fs::path file = dir / "payload.bin";
                    if (!writeFixture(file, std::string("\x01\x02\x03", 3))) {
                        return SelfTestOutcome::fail("could not create fixture file");
                    }
                    auto outcome = UpdateChecker::verifyDownloadedArtifact(file, policyManifest(std::nullopt));
                    if (outcome == DownloadIntegrityOutcome::noDigestPublished()) return SelfTestOutcome::pass();
                    return SelfTestOutcome::fail("expected .noDigestPublished for a manifest without sha256, got " +
                                                 outcome.describe());
                });
            }};
}

SelfTestCase matchingDigestPolicyCase() {
    return {"manifest policy: a manifest WITH a matching sha256 verifies to .verified",
            "ignoring manifest.sha256 would never catch a tampered download published beside a correct digest", [] {
                return withFixtureDirectory([](const fs::path& dir) {
                    const fs::path file = dir / "payload.bin";
                    if (!writeFixture(file, kFixtureText)) return SelfTestOutcome::fail("could not write fixture file");
                    auto outcome = UpdateChecker::verifyDownloadedArtifact(file, policyManifest(kFixtureDigest));
                    if (outcome == DownloadIntegrityOutcome::verified()) return SelfTestOutcome::pass();
                    return SelfTestOutcome::fail("expected .verified for a matching digest, got " + outcome.describe());
                });
            }};
}

SelfTestCase withoutSHA256DecodingCase() {
    return {"manifest decoding: a manifest JSON without \"sha256\" still decodes (backward compatibility)",
            "a required sha256 would break every manifest published before the field existed", [] {
                auto manifest = tryDecode(kWithoutSHA256Manifest);
                if (!manifest) return SelfTestOutcome::fail("failed to decode a manifest JSON that omits sha256 entirely");
                if (manifest->sha256) {
                    return SelfTestOutcome::fail("expected sha256 to decode as nil when absent from JSON, got " +
                                                 printed(manifest->sha256));
                }
                return SelfTestOutcome::pass();
            }};
}

SelfTestCase withSHA256DecodingCase() {
    return {"manifest decoding: a manifest JSON WITH \"sha256\" decodes and carries the value",
            "a mistyped or dropped key would silently discard the published checksum", [] {
                auto manifest = tryDecode(kWithSHA256Manifest);
                if (!manifest) return SelfTestOutcome::fail("failed to decode a manifest JSON that includes sha256");
                if (manifest->sha256 != kPublishedDigest) {
                    return SelfTestOutcome::fail("expected sha256 to decode to the published value, got " +
                                                 printed(manifest->sha256));
                }
                return SelfTestOutcome::pass();
            }};
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::vector<std::string> quoted;
    for (const auto& l : lines) quoted.push_back("\"" + l + "\"");
    return "[" + platform::text::join(quoted, ", ") + "]";
}

SelfTestCase verifyDownloadCommandCase() {
    return {
        "CLI: verifyDownloadCLI reports OK/FAIL/usage-error correctly and never crashes on a missing path",
        "a handler that always exits 0, or force-unwraps its arguments, would report failures as OK or crash", [] {
            return withFixtureDirectory([](const fs::path& dir) {
                const fs::path file = dir / "small.bin";
                if (!writeFixture(file, kFixtureText)) return SelfTestOutcome::fail("could not write fixture file");
                struct Call {
                    int code;
                    std::vector<std::string> lines;
                };
                auto call = [](const std::vector<std::string>& args) {
                    Call c{0, {}};
                    c.code = UpdateChecker::verifyDownloadCLI(args, [&c](const std::string& l) { c.lines.push_back(l); });
                    return c;
                };
                auto any = [](const Call& c, auto predicate) {
                    for (const auto& l : c.lines) {
                        if (predicate(l)) return true;
                    }
                    return false;
                };
                Call usage = call({});
                if (usage.code != 2 ||
                    !any(usage, [](const std::string& l) { return l.find("Usage:") != std::string::npos; })) {
                    return SelfTestOutcome::fail("expected exit code 2 and a Usage message for zero arguments, got code " +
                                                 std::to_string(usage.code) + ", output " + joinLines(usage.lines));
                }
                Call ok = call({file.string(), kFixtureDigest});
                if (ok.code != 0 || !any(ok, [](const std::string& l) { return platform::text::hasPrefix(l, "OK:"); })) {
                    return SelfTestOutcome::fail("expected exit code 0 and an OK message for a matching digest, got code " +
                                                 std::to_string(ok.code) + ", output " + joinLines(ok.lines));
                }
                Call bad = call({file.string(), kAllZeroDigest});
                if (bad.code != 1 || !any(bad, [](const std::string& l) { return platform::text::hasPrefix(l, "FAIL:"); })) {
                    return SelfTestOutcome::fail(
                        "expected exit code 1 and a FAIL message for a mismatching digest, got code " +
                        std::to_string(bad.code) + ", output " + joinLines(bad.lines));
                }
                return SelfTestOutcome::pass();
            });
        }};
}

SelfTestCase shippedManifestCase() {
    return {
        "manifest decoding: the REAL shipped manifest.json (notes/minOS spellings) decodes releaseNotes and "
        "minMacOSVersion",
        "without key mappings for \"notes\" and \"minOS\" both fields silently decode as nil; the fixture is the "
        "literal published manifest",
        [] {
            auto manifest = tryDecode(kShippedManifest);
            if (!manifest) return SelfTestOutcome::fail("failed to decode the real shipped manifest.json JSON at all");
            if (!manifest->releaseNotes) {
                return SelfTestOutcome::fail(
                    "manifest.releaseNotes decoded to nil from the shipped manifest's "
                    "\"notes\" key -- release notes silently lost");
            }
            if (*manifest->releaseNotes != kShippedNotes) {
                return SelfTestOutcome::fail("releaseNotes decoded but did not carry the published \"notes\" text, got " +
                                             printed(manifest->releaseNotes));
            }
            if (!manifest->minMacOSVersion) {
                return SelfTestOutcome::fail(
                    "manifest.minMacOSVersion decoded to nil from the shipped manifest's "
                    "\"minOS\" key -- OS-compatibility gate has nothing to check");
            }
            if (*manifest->minMacOSVersion != "12.0") {
                return SelfTestOutcome::fail(
                    "minMacOSVersion decoded but did not carry the published \"minOS\" value, got " +
                    printed(manifest->minMacOSVersion));
            }
            return SelfTestOutcome::pass();
        }};
}

SelfTestCase manifestHonestyCase() {
    return {"manifest honesty: the shipped manifest's minOS equals the app bundle's own LSMinimumSystemVersion",
            "the published minimum system version must be the one the running build needs, read from its own "
            "executable's C library needs at run time, so changing either number without the other (the manifest, "
            "the release table, or a build against a newer C library) makes the case fail",
            [] {
                auto manifest = tryDecode(kShippedManifest);
                if (!manifest) return SelfTestOutcome::fail("failed to decode the shipped manifest literal at all");
                if (!manifest->minMacOSVersion) {
                    return SelfTestOutcome::fail(
                        "the shipped manifest carries no minOS at all -- nothing gates a buyer on an unsupported OS");
                }
                const std::string declared = SystemFloor::minimumSystemVersion();
                if (declared.empty()) {
                    return SelfTestOutcome::fail(
                        "the running executable's C library needs could not be read -- the "
                        "shipped app states no OS floor of its own");
                }
                const auto floor = normalizedVersionTriple(declared);
                const std::string source =
                    declared + " (from C library " + platform::system::requiredCLibraryVersion().value_or("?") + ")";
                if (normalizedVersionTriple(*manifest->minMacOSVersion) != floor) {
                    return SelfTestOutcome::fail("published minOS " + *manifest->minMacOSVersion +
                                                 " != this build's minimum system version " + source +
                                                 " -- one of the two is lying to buyers about which system versions "
                                                 "can run this build");
                }
                return SelfTestOutcome::pass();
            }};
}

SelfTestCase canonicalSpellingsCase() {
    return {
        "manifest decoding: canonical spellings (releaseNotes/minMacOSVersion) still decode -- backward "
        "compatibility",
        "an alias-only decoder would break every manifest written in the canonical spelling, including the "
        "product's own encoder output",
        [] {
            auto manifest = tryDecode(kCanonicalManifest);
            if (!manifest) {
                return SelfTestOutcome::fail(
                    "failed to decode a manifest using the canonical releaseNotes/minMacOSVersion spellings");
            }
            if (manifest->releaseNotes != std::optional<std::string>("Canonical-spelling release notes.")) {
                return SelfTestOutcome::fail("expected canonical \"releaseNotes\" value to decode through, got " +
                                             printed(manifest->releaseNotes));
            }
            if (manifest->minMacOSVersion != std::optional<std::string>("14.0")) {
                return SelfTestOutcome::fail("expected canonical \"minMacOSVersion\" value to decode through, got " +
                                             printed(manifest->minMacOSVersion));
            }
            return SelfTestOutcome::pass();
        }};
}

SelfTestCase bothSpellingsCase() {
    return {
        "manifest decoding: BOTH spellings present for the same field resolves deterministically to the canonical "
        "key (releaseNotes/minMacOSVersion win over notes/minOS)",
        "letting the alias overwrite the canonical key would make the meaning depend on JSON key order, which the "
        "decoder does not guarantee",
        [] {
            auto manifest = tryDecode(kBothSpellingsManifest);
            if (!manifest) {
                return SelfTestOutcome::fail("failed to decode a manifest carrying both canonical and alias keys");
            }
            if (manifest->releaseNotes != std::optional<std::string>("CANONICAL wins")) {
                return SelfTestOutcome::fail(
                    "expected the canonical \"releaseNotes\" key to win over the \"notes\" alias, got " +
                    printed(manifest->releaseNotes));
            }
            if (manifest->minMacOSVersion != std::optional<std::string>("15.0")) {
                return SelfTestOutcome::fail(
                    "expected the canonical \"minMacOSVersion\" key to win over the \"minOS\" alias, got " +
                    printed(manifest->minMacOSVersion));
            }
            return SelfTestOutcome::pass();
        }};
}

SelfTestCase neitherSpellingCase() {
    return {"manifest decoding: neither spelling present decodes releaseNotes/minMacOSVersion as nil, never throws",
            "treating an absent field as an error would fail a valid minimal manifest", [] {
                auto manifest = tryDecode(kNeitherSpellingManifest);
                if (!manifest) {
                    return SelfTestOutcome::fail(
                        "expected a manifest with neither spelling of "
                        "releaseNotes/minMacOSVersion to still decode successfully");
                }
                if (manifest->releaseNotes) {
                    return SelfTestOutcome::fail(
                        "expected releaseNotes to be nil when neither \"releaseNotes\" nor "
                        "\"notes\" is present, got " +
                        printed(manifest->releaseNotes));
                }
                if (manifest->minMacOSVersion) {
                    return SelfTestOutcome::fail(
                        "expected minMacOSVersion to be nil when neither \"minMacOSVersion\" "
                        "nor \"minOS\" is present, got " +
                        printed(manifest->minMacOSVersion));
                }
                return SelfTestOutcome::pass();
            }};
}

SelfTestCase roundTripCase() {
    return {
        "manifest round-trip: encode -> decode produces an equal ReleaseManifest, and encodes canonical key names",
        "an encoder that emitted alias names, or asymmetric keys, would mutate a manifest every time it is re-saved", [] {
            ReleaseManifest original;
            original.version = "2.5.0";
            original.build = 250;
            original.releaseDate = "2026-09-15";
            original.downloadURL = downloadURL("2.5.0");
            original.releaseNotes = "Round-trip fixture notes.";
            original.minMacOSVersion = "13.5";
            original.sha256 = kRoundTripDigest;
            std::string bytes;
            try {
                bytes = original.encode();
            } catch (const std::exception&) {
                return SelfTestOutcome::fail("failed to encode a fully-populated ReleaseManifest");
            }
            auto redecoded = tryDecode(bytes);
            if (!redecoded) return SelfTestOutcome::fail("failed to decode the freshly-encoded ReleaseManifest bytes back");
            if (!(*redecoded == original)) {
                return SelfTestOutcome::fail("round-tripped manifest != original: original=" + original.describe() +
                                             ", redecoded=" + redecoded->describe());
            }
            if (!platform::text::isValidUTF8(bytes)) {
                return SelfTestOutcome::fail("could not decode encoded JSON bytes as utf8 for key-name inspection");
            }
            auto has = [&bytes](const char* key) { return bytes.find(key) != std::string::npos; };
            if (!has("\"releaseNotes\"")) {
                return SelfTestOutcome::fail("encoded JSON did not contain the canonical \"releaseNotes\" key: " + bytes);
            }
            if (!has("\"minMacOSVersion\"")) {
                return SelfTestOutcome::fail("encoded JSON did not contain the canonical \"minMacOSVersion\" key: " + bytes);
            }
            if (has("\"notes\"")) {
                return SelfTestOutcome::fail(
                    "encoded JSON leaked the alias \"notes\" key instead of only the canonical \"releaseNotes\": " + bytes);
            }
            if (has("\"minOS\"")) {
                return SelfTestOutcome::fail(
                    "encoded JSON leaked the alias \"minOS\" key instead of only the canonical \"minMacOSVersion\": " +
                    bytes);
            }
            return SelfTestOutcome::pass();
        }};
}

}  // namespace

fs::path makeTemporaryDirectory() {
    fs::path dir = platform::temporaryDirectory() / ("ondira-updatechecker-selftest-" + platform::newUUID());
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) throw std::runtime_error("could not create " + dir.string() + ": " + ec.message());
    return dir;
}

std::array<long long, 3> normalizedVersionTriple(const std::string& version) {
    std::array<long long, 3> triple = {0, 0, 0};
    std::size_t index = 0;
    std::string piece;
    auto flush = [&] {
        if (piece.empty()) return;
        if (index < 3) {
            long long value = -1;
            bool digits = piece.size() <= 18;
            std::size_t start = (piece[0] == '+' || piece[0] == '-') ? 1 : 0;
            if (start == piece.size()) digits = false;
            for (std::size_t i = start; digits && i < piece.size(); ++i) digits = piece[i] >= '0' && piece[i] <= '9';
            if (digits) value = std::stoll(piece);
            triple[index] = value;
        }
        ++index;
        piece.clear();
    };
    for (char c : version) {
        if (c == '.') flush();
        else piece += c;
    }
    flush();
    return triple;
}

std::vector<SelfTestCase> cases() {
    return {
        versionComparatorCase(),
        manifestDecodingCase(),
        endpointPolicyCase(),
        threadSafeStatusCase(),
        matchingDigestCase(),
        mismatchedDigestCase(),
        emptyFileCase(),
        largeFileCase(),
        malformedDigestCase(),
        missingFileCase(),
        noDigestPolicyCase(),
        matchingDigestPolicyCase(),
        withoutSHA256DecodingCase(),
        withSHA256DecodingCase(),
        verifyDownloadCommandCase(),
        shippedManifestCase(),
        manifestHonestyCase(),
        canonicalSpellingsCase(),
        bothSpellingsCase(),
        neitherSpellingCase(),
        roundTripCase(),
    };
}

}  // namespace UpdateCheckerSelfTests

ONDIRA_SELFTEST_SUITE("UpdateChecker", UpdateCheckerSelfTests::cases);

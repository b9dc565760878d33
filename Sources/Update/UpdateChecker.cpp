#include "Update/UpdateChecker.h"

#include "Base/AppPaths.h"
#include "Base/Branding.h"
#include "Base/HostAllowList.h"
#include "Platform/Log.h"
#include "Platform/Unicode.h"

#include <mutex>

namespace {

double secondsSince1970(UpdateChecker::Clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

UpdateChecker::Clock::time_point fromSecondsSince1970(double seconds) {
    return UpdateChecker::Clock::time_point(
        std::chrono::duration_cast<UpdateChecker::Clock::duration>(std::chrono::duration<double>(seconds)));
}

// The integer pieces of a dotted version; empty pieces and pieces that are
// not whole numbers are dropped.
std::vector<std::string> splitOnDots(const std::string& text) {
    std::vector<std::string> pieces(1);
    for (char c : text) {
        if (c == '.') pieces.emplace_back();
        else pieces.back() += c;
    }
    return pieces;
}

std::vector<long long> versionComponents(const std::string& version) {
    std::vector<long long> out;
    for (const auto& piece : splitOnDots(platform::text::trimmed(version))) {
        const std::size_t digitsFrom = (!piece.empty() && (piece[0] == '+' || piece[0] == '-')) ? 1 : 0;
        if (piece.size() == digitsFrom || piece.size() - digitsFrom > 18) continue;
        if (piece.find_first_not_of("0123456789", digitsFrom) != std::string::npos) continue;
        out.push_back(std::stoll(piece));
    }
    return out;
}

UpdateStatus statusFromResponse(const platform::HTTPResult& response) {
    if (response.error) return UpdateStatus::failed("The update server could not be reached (" + *response.error + ").");
    if (response.statusCode != 200) {
        return UpdateStatus::failed("The update server answered with HTTP status " + std::to_string(response.statusCode) + ".");
    }
    try {
        return UpdateChecker::statusFor(ReleaseManifest::decode(response.body), UpdateChecker::currentAppVersion());
    } catch (const ManifestDecodingError& e) {
        return UpdateStatus::failed(std::string("The release manifest could not be read (") + e.what() + ").");
    }
}

}  // namespace

struct UpdateChecker::State {
    std::shared_ptr<platform::SettingsStore> defaults;
    mutable std::mutex lock;
    UpdateStatus status;
    std::optional<Clock::time_point> lastChecked;
};

std::string UpdateStatus::describe() const {
    switch (kind) {
        case Kind::upToDate: return "upToDate(currentVersion: \"" + currentVersion + "\")";
        case Kind::updateAvailable:
            return "updateAvailable(manifest: " + (manifest ? manifest->describe() : std::string("nil")) +
                   ", currentVersion: \"" + currentVersion + "\")";
        case Kind::failed: return "failed(reason: \"" + reason + "\")";
        case Kind::idle: return "idle";
        case Kind::checking: return "checking";
    }
    return "?";
}

UpdateChecker& UpdateChecker::shared() {
    static UpdateChecker checker(AppPaths::standardDefaults());
    return checker;
}

UpdateChecker::UpdateChecker(std::shared_ptr<platform::SettingsStore> defaults) : state_(std::make_shared<State>()) {
    state_->defaults = std::move(defaults);
}

const std::string& UpdateChecker::defaultManifestURL() {
    static const std::string url = "https://ondira.app/releases/manifest.json";
    return url;
}

std::string UpdateChecker::currentAppVersion() { return Branding::version; }

UpdateStatus UpdateChecker::status() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->status;
}

std::optional<UpdateChecker::Clock::time_point> UpdateChecker::lastCheckedDate() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (state_->lastChecked) return state_->lastChecked;
    const double stored = state_->defaults->doubleValue(lastCheckedAtKey);
    if (stored > 0) return fromSecondsSince1970(stored);
    return std::nullopt;
}

bool UpdateChecker::automaticChecksEnabled() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->defaults->boolValue(automaticChecksEnabledKey);
}

void UpdateChecker::setAutomaticChecksEnabled(bool enabled) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->defaults->setBool(automaticChecksEnabledKey, enabled);
}

bool UpdateChecker::shouldCheckAutomatically(bool enabled, std::optional<Clock::time_point> lastChecked,
                                             Clock::time_point now, double interval) {
    if (!enabled) return false;
    if (!lastChecked) return true;
    // A stamp in the future means the clock went back: check rather than wait for it.
    if (*lastChecked > now) return true;
    return secondsSince1970(now) - secondsSince1970(*lastChecked) >= interval;
}

bool UpdateChecker::checkAutomaticallyIfDue(Clock::time_point now, std::shared_ptr<platform::URLSession> session,
                                            Completion completion) {
    if (!shouldCheckAutomatically(automaticChecksEnabled(), lastCheckedDate(), now, automaticCheckInterval)) {
        return false;
    }
    checkForUpdates(defaultManifestURL(), std::move(session), std::move(completion));
    return true;
}

bool UpdateChecker::isPermittedManifestURL(const std::string& url, std::string* why) {
    const auto parts = platform::parseURL(url);
    if (!parts) {
        if (why) *why = "not a URL: " + url;
        return false;
    }
    if (parts->scheme != "https") {
        if (why) *why = "only https is allowed, got " + parts->scheme + ": " + url;
        return false;
    }
    if (!HostAllowList::isAllowedHost(parts->host)) {
        if (why) *why = "the host " + parts->host + " is not on the allow list";
        return false;
    }
    return true;
}

void UpdateChecker::checkForUpdates(const std::string& manifestURL, std::shared_ptr<platform::URLSession> session,
                                    Completion completion) {
    std::string why;
    if (!isPermittedManifestURL(manifestURL, &why) || !session) {
        UpdateStatus refused = UpdateStatus::failed("The release manifest was not fetched (" +
                                                    (session ? why : std::string("no URL session")) + ").");
        {
            std::lock_guard<std::mutex> guard(state_->lock);
            state_->status = refused;
        }
        platform::log("UpdateChecker", refused.reason);
        if (completion) completion(refused);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        const Clock::time_point now = Clock::now();
        state_->status = UpdateStatus::checking();
        state_->lastChecked = now;
        state_->defaults->setDouble(lastCheckedAtKey, secondsSince1970(now));
    }
    // The state outlives this checker for as long as the request runs.
    session->get(manifestURL, [state = state_, completion = std::move(completion)](platform::HTTPResult response) {
        UpdateStatus result = statusFromResponse(response);
        {
            std::lock_guard<std::mutex> guard(state->lock);
            state->status = result;
        }
        if (completion) completion(result);
    });
}

UpdateStatus UpdateChecker::statusFor(ReleaseManifest manifest, const std::string& currentVersion) {
    // "minOS" is carried to the user with the release, never used to withhold
    // it: the user decides whether to install, the notes say what it needs.
    if (!isVersion(manifest.version, currentVersion)) return UpdateStatus::upToDate(currentVersion);
    return UpdateStatus::updateAvailable(std::move(manifest), currentVersion);
}

bool UpdateChecker::isVersion(const std::string& version, const std::string& newerThan) {
    const auto a = versionComponents(version);
    const auto b = versionComponents(newerThan);
    const std::size_t n = std::max(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const long long x = i < a.size() ? a[i] : 0;
        const long long y = i < b.size() ? b[i] : 0;
        if (x != y) return x > y;
    }
    return false;
}

std::string UpdateChecker::stateToken(const UpdateStatus& status) {
    switch (status.kind) {
        case UpdateStatus::Kind::upToDate: return "uptodate";
        case UpdateStatus::Kind::updateAvailable: return "available";
        case UpdateStatus::Kind::failed: return "error";
        case UpdateStatus::Kind::idle: return "idle";
        case UpdateStatus::Kind::checking: return "checking";
    }
    return "idle";
}

DownloadIntegrityOutcome UpdateChecker::verifyDownloadedArtifact(const std::filesystem::path& file,
                                                                 const ReleaseManifest& manifest) {
    // Manifests are edited by hand: a blank or line break around the digest is
    // not part of it, and a digest of blanks alone is no digest.
    const std::string published = platform::text::trimmed(manifest.sha256.value_or(""));
    if (published.empty()) return DownloadIntegrityOutcome::noDigestPublished();
    const ChecksumVerificationResult result = ChecksumVerifier::verify(file, published);
    switch (result.kind) {
        case ChecksumVerificationResult::Kind::matched: return DownloadIntegrityOutcome::verified();
        case ChecksumVerificationResult::Kind::mismatched:
            return DownloadIntegrityOutcome::mismatched(result.expected, result.actual);
        case ChecksumVerificationResult::Kind::unreadable: return DownloadIntegrityOutcome::unreadable(result.message);
    }
    return DownloadIntegrityOutcome::unreadable("unknown verification result");
}

int UpdateChecker::verifyDownloadCLI(const std::vector<std::string>& arguments,
                                     const std::function<void(const std::string&)>& output) {
    if (arguments.size() < 2) {
        output("Usage: verify-download <file-path> <expected-sha256-hex>");
        return 2;
    }
    const ChecksumVerificationResult result = ChecksumVerifier::verify(arguments[0], arguments[1]);
    switch (result.kind) {
        case ChecksumVerificationResult::Kind::matched:
            output("OK: sha256 matches (" + platform::text::lowercased(arguments[1]) + ")");
            return 0;
        case ChecksumVerificationResult::Kind::unreadable: output("FAIL: " + result.message); return 1;
        case ChecksumVerificationResult::Kind::mismatched:
            output("FAIL: sha256 mismatch\n  expected: " + result.expected + "\n  actual:   " + result.actual);
            return 1;
    }
    return 1;
}

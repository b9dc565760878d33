#pragma once
// The update checker: whether a newer release is published. It fetches the
// release manifest from the vendor's server, only over HTTPS and only from an
// allow-listed host, and only when asked: automatic checks are off until the
// user turns them on, and then run at most once a day.
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/SettingsStore.h"
#include "Platform/URLSession.h"
#include "Update/ChecksumVerifier.h"
#include "Update/ReleaseManifest.h"

struct UpdateStatus {
    enum class Kind { upToDate, updateAvailable, failed, idle, checking };
    Kind kind = Kind::idle;
    std::string currentVersion;               // upToDate, updateAvailable
    std::optional<ReleaseManifest> manifest;  // updateAvailable
    std::string reason;                       // failed

    static UpdateStatus upToDate(std::string currentVersion) {
        return {Kind::upToDate, std::move(currentVersion), std::nullopt, {}};
    }
    static UpdateStatus updateAvailable(ReleaseManifest manifest, std::string currentVersion) {
        return {Kind::updateAvailable, std::move(currentVersion), std::move(manifest), {}};
    }
    static UpdateStatus failed(std::string reason) { return {Kind::failed, {}, std::nullopt, std::move(reason)}; }
    static UpdateStatus idle() { return {}; }
    static UpdateStatus checking() { return {Kind::checking, {}, std::nullopt, {}}; }
    bool operator==(const UpdateStatus&) const = default;
    std::string describe() const;
};

class UpdateChecker {
public:
    using Clock = std::chrono::system_clock;
    using Completion = std::function<void(UpdateStatus)>;

    static constexpr double automaticCheckInterval = 86400.0;
    static constexpr const char* automaticChecksEnabledKey = "ondira.update.automaticChecksEnabled";
    static constexpr const char* lastCheckedAtKey = "ondira.update.lastCheckedAt";

    // The process-wide checker, on the program's standard settings store.
    static UpdateChecker& shared();
    explicit UpdateChecker(std::shared_ptr<platform::SettingsStore> defaults);

    // https://<release host>/releases/manifest.json
    static const std::string& defaultManifestURL();
    static std::string currentAppVersion();

    UpdateStatus status() const;
    // The in-memory stamp when one was recorded, else the stored one when > 0.
    std::optional<Clock::time_point> lastCheckedDate() const;
    // Off when never set. The setter writes the store at once.
    bool automaticChecksEnabled() const;
    void setAutomaticChecksEnabled(bool enabled);

    // Starts a check on the default manifest only when automatic checks are
    // on and the last one is absent, in the future or at least a day old.
    // Returns whether it started one; `completion` runs on the session's queue.
    bool checkAutomaticallyIfDue(Clock::time_point now, std::shared_ptr<platform::URLSession> session,
                                 Completion completion);
    // Records the check time, fetches the manifest and reports up to date,
    // update available or failed. A URL that is not HTTPS on an allow-listed
    // host fails without any request; that completion runs at once, on the
    // caller's thread.
    void checkForUpdates(const std::string& manifestURL, std::shared_ptr<platform::URLSession> session,
                         Completion completion);

    static bool isVersion(const std::string& version, const std::string& newerThan);
    // The decision on a fetched manifest: update available when it is newer
    // than `currentVersion`, else up to date. Its "minOS" is shown, not enforced.
    static UpdateStatus statusFor(ReleaseManifest manifest, const std::string& currentVersion);
    static bool shouldCheckAutomatically(bool enabled, std::optional<Clock::time_point> lastChecked, Clock::time_point now,
                                         double interval);
    // The hub's token: "uptodate", "available", "error", "idle", "checking".
    static std::string stateToken(const UpdateStatus& status);
    // A manifest without a digest is never reported as verified.
    static DownloadIntegrityOutcome verifyDownloadedArtifact(const std::filesystem::path& file,
                                                             const ReleaseManifest& manifest);
    // verify-download <file-path> <expected-sha256-hex>; `output` is called once.
    static int verifyDownloadCLI(const std::vector<std::string>& arguments,
                                 const std::function<void(const std::string&)>& output);
    // Whether `url` is one the checker may fetch; `why` says why not.
    static bool isPermittedManifestURL(const std::string& url, std::string* why = nullptr);

private:
    struct State;
    std::shared_ptr<State> state_;
};

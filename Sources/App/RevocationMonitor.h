#pragma once
#include "App/Permissions.h"

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

// The one loss of a grant the user is being shown, observed by onboarding.
// Main thread only.
class RevocationMonitor {
public:
    static RevocationMonitor& shared();

    const std::optional<OndiraPermission>& activeRevocation() const { return activeRevocation_; }
    void setActiveRevocation(std::optional<OndiraPermission> permission);

    // Called with each new value; answers a token for removeObserver.
    int addObserver(std::function<void(const std::optional<OndiraPermission>&)> observer);
    void removeObserver(int token);

private:
    std::optional<OndiraPermission> activeRevocation_;
    std::map<int, std::function<void(const std::optional<OndiraPermission>&)>> observers_;
    int nextToken_ = 1;
};

// The watch over the grants while the application runs: a grant seen in
// this process and then lost is surfaced once, until it comes back.
class PermissionWatch {
public:
    // One pass over the grants. `bringOnboardingForward` runs for each newly
    // surfaced loss.
    void refresh(const std::function<bool(OndiraPermission)>& isGranted,
                 const std::function<void()>& bringOnboardingForward);
    void refresh(const std::function<void()>& bringOnboardingForward);

    const std::map<std::string, bool>& lastKnownPermissionState() const { return lastKnownPermissionState_; }
    const std::set<std::string>& alreadySurfacedRevocations() const { return alreadySurfacedRevocations_; }

private:
    std::map<std::string, bool> lastKnownPermissionState_;
    std::set<std::string> alreadySurfacedRevocations_;
};

#include "App/RevocationMonitor.h"

#include "Platform/Log.h"

RevocationMonitor& RevocationMonitor::shared() {
    static RevocationMonitor* monitor = new RevocationMonitor();
    return *monitor;
}

void RevocationMonitor::setActiveRevocation(std::optional<OndiraPermission> permission) {
    activeRevocation_ = permission;
    // A copy: an observer may remove itself while being told.
    const auto observers = observers_;
    for (const auto& entry : observers) entry.second(activeRevocation_);
}

int RevocationMonitor::addObserver(std::function<void(const std::optional<OndiraPermission>&)> observer) {
    const int token = nextToken_++;
    observers_[token] = std::move(observer);
    return token;
}

void RevocationMonitor::removeObserver(int token) { observers_.erase(token); }

// ---------------------------------------------------------------- PermissionWatch

void PermissionWatch::refresh(const std::function<bool(OndiraPermission)>& isGranted,
                              const std::function<void()>& bringOnboardingForward) {
    RevocationMonitor& monitor = RevocationMonitor::shared();
    for (OndiraPermission permission : OndiraPermission::allCases()) {
        const std::string id = permission.id();
        const auto known = lastKnownPermissionState_.find(id);
        const bool wasGranted = known != lastKnownPermissionState_.end() && known->second;
        const bool grantedNow = isGranted(permission);
        if (wasGranted && !grantedNow && alreadySurfacedRevocations_.insert(id).second) {
            platform::log("Permissions", std::string(permission.title()) + " is no longer available.");
            monitor.setActiveRevocation(permission);
            if (bringOnboardingForward) bringOnboardingForward();
        }
        if (grantedNow) {
            alreadySurfacedRevocations_.erase(id);
            if (monitor.activeRevocation() == permission) monitor.setActiveRevocation(std::nullopt);
        }
        lastKnownPermissionState_[id] = grantedNow;
    }
}

void PermissionWatch::refresh(const std::function<void()>& bringOnboardingForward) {
    refresh([](OndiraPermission p) { return p.isGranted(); }, bringOnboardingForward);
}

void PermissionWatch::refresh(const std::map<std::string, bool>& grants,
                              const std::function<void()>& bringOnboardingForward) {
    refresh(
        [&grants](OndiraPermission p) {
            const auto it = grants.find(p.id());
            return it != grants.end() && it->second;
        },
        bringOnboardingForward);
}

#pragma once
#include "App/Permissions.h"

#include <functional>
#include <map>
#include <optional>

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

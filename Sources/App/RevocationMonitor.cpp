#include "App/RevocationMonitor.h"

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


#pragma once
// Plain stand-ins for the hub and the onboarding window: one window each,
// brought forward on every call.
namespace PlaceholderWindows {
void showHub();
void showOnboarding();
// How many times the hub was brought up in this process.
int hubShowCount();
// How many times onboarding was brought forward in this process.
int onboardingShowCount();
}  // namespace PlaceholderWindows

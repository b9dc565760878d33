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
// After a dictation was recorded: the hub shows no history yet, so this only
// counts the calls the real hub will answer with a fresh history page.
void refreshHubAfterDictation();
int hubRefreshCount();
}  // namespace PlaceholderWindows

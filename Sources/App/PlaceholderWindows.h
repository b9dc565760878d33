#pragma once
// A plain stand-in for the onboarding window, brought forward on every call.
namespace PlaceholderWindows {
void showOnboarding();
// How many times onboarding was brought forward in this process.
int onboardingShowCount();
}  // namespace PlaceholderWindows

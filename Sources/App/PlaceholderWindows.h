#pragma once
// A plain stand-in for the hub: one window, brought forward on every call.
namespace PlaceholderWindows {
void showHub();
// How many times the hub was brought up in this process.
int hubShowCount();
// After a dictation was recorded: the hub shows no history yet, so this only
// counts the calls the real hub will answer with a fresh history page.
void refreshHubAfterDictation();
int hubRefreshCount();
}  // namespace PlaceholderWindows

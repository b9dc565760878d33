#include "App/ApplicationHubHost.h"

#include "App/AppDelegate.h"
#include "Base/AppPaths.h"
#include "App/Permissions.h"
#include "Engine/SpeechEngine.h"
#include "Input/HotkeyManager.h"
#include "Input/TextInjector.h"
#include "Platform/Queues.h"
#include "UI/IndicatorWindow.h"

std::optional<std::string> ApplicationHubHost::regrabHotkey(HotkeyMode mode) {
    // selectHotkeyMode keeps the old grab when the new one is refused.
    if (auto error = HotkeyManager::shared().selectHotkeyMode(mode)) return error->description();
    return std::nullopt;
}

nlohmann::json ApplicationHubHost::healthItems() {
    nlohmann::json items = nlohmann::json::array();
    for (const auto& permission : OndiraPermission::allCases()) {
        items.push_back({{"id", permission.id()},
                         {"title", permission.title()},
                         {"ok", permission.isGranted()},
                         {"detail", permission.why()},
                         {"fix", permission.settingsPage().instructions}});
    }
    return items;
}

void ApplicationHubHost::openPermissionSettings(const std::string& permissionId) {
    if (auto permission = OndiraPermission::fromRawValue(permissionId)) permission->openSystemSettings();
}

void ApplicationHubHost::applyIndicatorTheme(const std::string& theme) {
    IndicatorWindowController::shared().applyTheme(theme);
}

void ApplicationHubHost::dictationLanguageChanged() {
    SpeechEngine::shared().applyPersistedLocale(*AppPaths::userDefaults());
    if (AppDelegate* d = AppDelegate::shared()) d->dictation().prewarmRecognizer();
}

void ApplicationHubHost::insertStagedText(const std::string& text,
                                          std::function<void(bool inserted, std::string message)> done) {
    // The injector answers nothing for empty text.
    if (text.empty()) {
        if (done) done(false, "Nothing staged yet");
        return;
    }
    HubWindowController::shared().hide();
    platform::MainQueue::asyncAfter(focusReturnDelay, [text, done = std::move(done)] {
        TextInjector::shared().inject(text, true, [done](InjectionOutcome outcome) {
            const auto failure = DictationController::insertionFailureMessage(outcome, /*textStaysStaged=*/true);
            if (done) done(!failure, failure.value_or(""));
        });
    });
}

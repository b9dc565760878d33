#pragma once
// What the hub's bridge needs from the running application: the hotkey
// re-grab, the health items, the settings panes, the indicator theme, the
// dictation language and the insertion of staged text. The desktop half
// (file choosers, clipboard, browser) comes from the window layer.
#include "UI/HubWindowController.h"

class ApplicationHubHost : public HubDesktopHost {
public:
    std::optional<std::string> regrabHotkey(HotkeyMode mode) override;
    nlohmann::json healthItems() override;
    void openPermissionSettings(const std::string& permissionId) override;
    void applyIndicatorTheme(const std::string& theme) override;
    void dictationLanguageChanged() override;
    // The hub has the focus when its "Commit" is clicked: it steps aside
    // first, so the text lands in the window the user was working in.
    void insertStagedText(const std::string& text, std::function<void(bool inserted, std::string message)> done) override;

    // How long the hub waits after hiding before it types, so the window
    // manager has handed the focus back.
    static constexpr double focusReturnDelay = 0.3;
};

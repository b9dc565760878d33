#pragma once
// Launch at login through an XDG autostart entry: a desktop file named after
// the application in the user's autostart directory.
#include <filesystem>
#include <optional>
#include <string>

class AutoStartManager {
public:
    static AutoStartManager& shared();

    // $XDG_CONFIG_HOME/autostart/com.ondira.app.desktop (isolated with the
    // rest of the settings during a self-test run).
    static std::filesystem::path entryPath();

    // The entry exists and is not hidden or switched off.
    bool isEnabled() const;
    // Writes or removes the entry; nothing when it already is as asked.
    // Answers the error text of a failure.
    std::optional<std::string> setEnabled(bool enabled);

    // The desktop entry that starts `executable` (with its path quoted for
    // the Exec key).
    static std::optional<std::string> desktopEntry(const std::filesystem::path& executable);
    // One argument of an Exec key, quoted and escaped as the desktop entry
    // format asks; none for text that can't be written there (line breaks).
    static std::optional<std::string> execArgument(const std::string& argument);

private:
    AutoStartManager() = default;
};

#include "App/AutoStartManager.h"

#include "Base/AppPaths.h"
#include "Base/Branding.h"
#include "Platform/Bundle.h"
#include "Platform/FileIO.h"
#include "Platform/Unicode.h"

namespace fs = std::filesystem;

AutoStartManager& AutoStartManager::shared() {
    static AutoStartManager* instance = new AutoStartManager();
    return *instance;
}

fs::path AutoStartManager::entryPath() {
    // The settings directory is <config home>/Ondira.
    return AppPaths::settingsDirectory().parent_path() / "autostart" / "com.ondira.app.desktop";
}

bool AutoStartManager::isEnabled() const {
    auto text = platform::readFile(entryPath());
    if (!text) return false;
    for (const auto& raw : platform::text::splitLines(*text)) {
        const std::string line = platform::text::trimmed(raw);
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") return false;
    }
    return true;
}

std::optional<std::string> AutoStartManager::setEnabled(bool enabled) {
    if (enabled == isEnabled()) return std::nullopt;
    const fs::path path = entryPath();
    if (!enabled) {
        std::error_code ec;
        fs::remove(path, ec);
        if (ec) return ec.message();
        return std::nullopt;
    }
    auto entry = desktopEntry(platform::Bundle::executablePath());
    if (!entry) return std::string("the program's path can't be written into an autostart entry");
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    std::string error;
    if (!platform::atomicWrite(path, *entry, 0644, &error)) return error;
    return std::nullopt;
}

std::optional<std::string> AutoStartManager::execArgument(const std::string& argument) {
    if (argument.find_first_of("\n\r") != std::string::npos) return std::nullopt;
    static const std::string reserved = " \t\"'\\><~|&;$*?#()`";
    std::string arg;
    // A literal percent sign would read as a field code.
    for (char c : argument) {
        if (c == '%') arg += "%%";
        else arg += c;
    }
    if (arg.find_first_of(reserved) != std::string::npos) {
        std::string quoted = "\"";
        for (char c : arg) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
            quoted += c;
        }
        arg = quoted + "\"";
    }
    // The Exec value is itself a string value, where a backslash is escaped.
    std::string value;
    for (char c : arg) {
        if (c == '\\') value += "\\\\";
        else value += c;
    }
    return value;
}

std::optional<std::string> AutoStartManager::desktopEntry(const fs::path& executable) {
    auto exec = execArgument(executable.string());
    if (!exec) return std::nullopt;
    return std::string("[Desktop Entry]\n") + "Type=Application\n" + "Name=" + Branding::appName + "\n" +
           "Comment=Voice dictation\n" + "Exec=" + *exec + "\n" + "Terminal=false\n" + "NoDisplay=true\n" +
           "X-GNOME-Autostart-enabled=true\n";
}

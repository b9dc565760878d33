#pragma once
// "Export Support Bundle…" from the status menu: the user chooses where to
// save, the bundle is generated off the main thread, put in place under the
// chosen name in one rename (an existing file of that name is replaced only
// once the new one is complete) and shown in the file manager.
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace SupportBundleExport {

inline constexpr const char* failureMessage = "Could not create support bundle";
inline constexpr const char* savedMessage = "Support bundle saved";

// "ondira-support-bundle-" + the local date "yyyy-MM-dd" + ".txt".
std::string suggestedFileName(std::time_t now);

// Writes a bundle into a directory under its own name and returns the file.
using Generator = std::function<std::filesystem::path(const std::filesystem::path& directory)>;

// Generates into a private folder made inside the chosen file's folder (so no
// other file there is touched and the rename below stays on one file
// system), renames the result onto `chosen` and removes the private folder.
// Returns `chosen`. Throws std::runtime_error when any step fails; the
// chosen file, if one was there, is then left as it was.
std::filesystem::path exportTo(const std::filesystem::path& chosen, const Generator& generate);

// What the flow needs of the desktop. Callbacks arrive on the main thread.
struct Desktop {
    std::function<void(const std::string& suggestedName, std::function<void(std::optional<std::filesystem::path>)>)>
        chooseSaveLocation;
    std::function<void(const std::string& message, const std::string& informativeText)> alert;
    std::function<void(const std::filesystem::path&)> reveal;
    // Tells the user, without waiting for an answer, where the bundle was saved.
    std::function<void(const std::string& message, const std::string& informativeText)> confirm;
};

// GtkFileChooserNative for the save location, a message dialog, and the file
// manager's ShowItems call.
Desktop gtkDesktop();

struct Options {
    Desktop desktop = gtkDesktop();
    Generator generate;  // the live bundle when unset
    // Called on the main thread when the flow has nothing more to do (tests).
    std::function<void()> onFinished;
};

// The menu action. Main thread; returns at once.
void exportSupportBundle(Options options = {});

}  // namespace SupportBundleExport

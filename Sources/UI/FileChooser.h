#pragma once
// The one open/save chooser of the windows: GtkFileChooserNative, so it is
// the desktop's own dialog where a portal offers one. It never blocks the main
// loop; the answer (the chosen path, or none when cancelled) arrives later
// through the callback, on the main thread.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

typedef struct _GtkWindow GtkWindow;

namespace FileChooser {

using PathCallback = std::function<void(std::optional<std::filesystem::path>)>;

// A filter shown in the chooser: its name and shell patterns (case matters,
// so callers spell both cases where the platform's names vary).
struct Filter {
    std::string name;
    std::vector<std::string> patterns;
};

// With a parent window the chooser is modal to it. A filter with no patterns
// adds none; an empty suggested name leaves the name field as the desktop sets it.
void chooseFileToOpen(const std::string& title, const Filter& filter, PathCallback callback, GtkWindow* parent = nullptr);
// Asks before replacing an existing file; folders can be made from the dialog.
void chooseSaveLocation(const std::string& title, const std::string& suggestedName, const Filter& filter,
                        PathCallback callback, GtkWindow* parent = nullptr);

}  // namespace FileChooser

#pragma once
// Being told when files change on disk, whoever changed them: the command
// line, an editor, another copy of the program. The stores are written by
// temp file and rename, so a watch looks at each file's directory and counts
// a file renamed into place like one written in place, created or removed.
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <vector>

namespace platform {

class FileWatch {
public:
    virtual ~FileWatch() = default;
};

using FileWatchHandler = std::function<void(const std::set<std::filesystem::path>& changed)>;

// Watches `files` (each through its directory). Once none of them has
// changed for `debounceSeconds`, `changed` runs on the main queue with the
// ones that did, so a burst of writes is one call. Create and destroy it on
// the main thread; the handler never runs after it is destroyed. None when
// no directory could be watched.
std::unique_ptr<FileWatch> watchFiles(const std::vector<std::filesystem::path>& files, double debounceSeconds,
                                      FileWatchHandler changed);

}  // namespace platform

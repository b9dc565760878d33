// The file watch on GIO's GFileMonitor (inotify underneath): events arrive on
// the default main context, the one the main queue runs on.
#include "Platform/FileWatch.h"

#include "Platform/Log.h"

#include <gio/gio.h>

#include <map>
#include <string>

namespace platform {

namespace {

namespace fs = std::filesystem;

class GioFileWatch final : public FileWatch {
public:
    GioFileWatch(double debounceSeconds, FileWatchHandler changed)
        : debounceMilliseconds_(static_cast<guint>(debounceSeconds * 1000.0)), changed_(std::move(changed)) {}

    ~GioFileWatch() override {
        if (timer_) g_source_remove(timer_);
        for (auto& [monitor, handler] : monitors_) {
            g_signal_handler_disconnect(monitor, handler);
            g_file_monitor_cancel(monitor);
            g_object_unref(monitor);
        }
    }

    bool watchDirectory(const fs::path& directory, std::set<std::string> names) {
        GFile* dir = g_file_new_for_path(directory.c_str());
        GError* error = nullptr;
        // Moves are reported as renames naming both sides, so "x.tmp -> x" names x.
        GFileMonitor* monitor = g_file_monitor_directory(dir, G_FILE_MONITOR_WATCH_MOVES, nullptr, &error);
        g_object_unref(dir);
        if (!monitor) {
            log("FileWatch", "Cannot watch " + directory.string() + ": " + (error ? error->message : "unknown error"));
            if (error) g_error_free(error);
            return false;
        }
        watched_[monitor] = {directory, std::move(names)};
        const gulong handler = g_signal_connect(monitor, "changed", G_CALLBACK(&GioFileWatch::onEvent), this);
        monitors_.emplace_back(monitor, handler);
        return true;
    }

private:
    struct Directory {
        fs::path path;
        std::set<std::string> names;
    };

    static void onEvent(GFileMonitor* monitor, GFile* file, GFile* other, GFileMonitorEvent event, gpointer data) {
        // Attribute changes (a chmod, an access time) leave the contents alone.
        if (event == G_FILE_MONITOR_EVENT_ATTRIBUTE_CHANGED || event == G_FILE_MONITOR_EVENT_PRE_UNMOUNT ||
            event == G_FILE_MONITOR_EVENT_UNMOUNTED)
            return;
        auto* self = static_cast<GioFileWatch*>(data);
        const auto it = self->watched_.find(monitor);
        if (it == self->watched_.end()) return;
        bool ours = false;
        for (GFile* f : {file, other}) {
            if (!f) continue;
            char* name = g_file_get_basename(f);
            if (name && it->second.names.count(name)) {
                self->pending_.insert(it->second.path / name);
                ours = true;
            }
            g_free(name);
        }
        if (!ours) return;
        // Every event restarts the wait, so a burst is reported once, after it.
        if (self->timer_) g_source_remove(self->timer_);
        self->timer_ = g_timeout_add(self->debounceMilliseconds_, &GioFileWatch::onQuiet, self);
    }

    static gboolean onQuiet(gpointer data) {
        auto* self = static_cast<GioFileWatch*>(data);
        self->timer_ = 0;
        std::set<fs::path> changed;
        changed.swap(self->pending_);
        self->changed_(changed);
        return G_SOURCE_REMOVE;
    }

    guint debounceMilliseconds_;
    FileWatchHandler changed_;
    std::map<GFileMonitor*, Directory> watched_;
    std::vector<std::pair<GFileMonitor*, gulong>> monitors_;
    std::set<fs::path> pending_;
    guint timer_ = 0;
};

}  // namespace

std::unique_ptr<FileWatch> watchFiles(const std::vector<fs::path>& files, double debounceSeconds, FileWatchHandler changed) {
    std::map<fs::path, std::set<std::string>> byDirectory;
    for (const auto& file : files) byDirectory[file.parent_path()].insert(file.filename().string());
    auto watch = std::make_unique<GioFileWatch>(debounceSeconds, std::move(changed));
    bool any = false;
    for (auto& [directory, names] : byDirectory) any = watch->watchDirectory(directory, std::move(names)) || any;
    if (!any) return nullptr;
    return watch;
}

}  // namespace platform

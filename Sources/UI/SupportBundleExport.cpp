#include "UI/SupportBundleExport.h"

#include "Diagnostics/SupportBundle.h"
#include "Platform/Log.h"
#include "Platform/Queues.h"
#include "UI/TranscribeFileFlow.h"

#include <gtk/gtk.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace SupportBundleExport {

std::string suggestedFileName(std::time_t now) {
    std::tm tm {};
    ::localtime_r(&now, &tm);
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", &tm);
    return std::string(SupportBundle::fileNamePrefix) + date + ".txt";
}

fs::path exportTo(const fs::path& chosen, const Generator& generate) {
    const fs::path folder = chosen.parent_path().empty() ? fs::path(".") : chosen.parent_path();
    std::string pattern = (folder / ".ondira-support-bundle-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data())) {
        throw std::runtime_error("could not write into " + folder.string() + ": " + std::strerror(errno));
    }
    const fs::path staging(buffer.data());
    const auto cleanUp = [&] {
        std::error_code ec;
        fs::remove_all(staging, ec);
    };
    try {
        const fs::path written = generate(staging);
        // rename(2) swaps the new file in for any old one in a single step.
        if (::rename(written.c_str(), chosen.c_str()) != 0) {
            throw std::runtime_error("could not save the bundle as " + chosen.string() + ": " + std::strerror(errno));
        }
    } catch (...) {
        cleanUp();
        throw;
    }
    cleanUp();
    return chosen;
}

// ---------------------------------------------------------------------------
// The GTK desktop

namespace {

using PathCallback = std::function<void(std::optional<fs::path>)>;

void onNativeResponse(GtkNativeDialog* dialog, gint response, gpointer data) {
    std::unique_ptr<PathCallback> callback(static_cast<PathCallback*>(data));
    std::optional<fs::path> chosen;
    if (response == GTK_RESPONSE_ACCEPT) {
        if (gchar* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog))) {
            chosen = fs::path(name);
            g_free(name);
        }
    }
    g_object_unref(dialog);
    (*callback)(chosen);
}

void chooseSaveLocation(const std::string& suggestedName, PathCallback callback) {
    GtkFileChooserNative* dialog = gtk_file_chooser_native_new("Export Support Bundle", nullptr,
                                                               GTK_FILE_CHOOSER_ACTION_SAVE, "_Save", "_Cancel");
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
    gtk_file_chooser_set_current_name(chooser, suggestedName.c_str());
    gtk_file_chooser_set_create_folders(chooser, TRUE);
    gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, "Plain text");
    gtk_file_filter_add_mime_type(filter, "text/plain");
    gtk_file_chooser_add_filter(chooser, filter);
    // Not modal: the answer comes through the response signal.
    g_signal_connect(dialog, "response", G_CALLBACK(onNativeResponse), new PathCallback(std::move(callback)));
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(dialog));
}

}  // namespace

Desktop gtkDesktop() {
    // The alert and the file manager call are the ones the transcript flow uses.
    const TranscribeFileFlow::Desktop shared = TranscribeFileFlow::gtkDesktop();
    return {chooseSaveLocation, shared.alert, shared.reveal};
}

// ---------------------------------------------------------------------------
// The flow

void exportSupportBundle(Options options) {
    auto shared = std::make_shared<Options>(std::move(options));
    if (!shared->generate) {
        shared->generate = [](const fs::path& directory) { return SupportBundle::generateAndWrite(directory, std::nullopt); };
    }
    shared->desktop.chooseSaveLocation(suggestedFileName(std::time(nullptr)), [shared](std::optional<fs::path> chosen) {
        if (!chosen) {
            if (shared->onFinished) shared->onFinished();
            return;
        }
        platform::GlobalQueue::async(platform::QoS::utility, [shared, chosen = *chosen] {
            std::optional<std::string> failure;
            try {
                exportTo(chosen, shared->generate);
            } catch (const std::exception& e) {
                failure = e.what();
                platform::log("SupportBundle", std::string("export failed: ") + e.what());
            }
            platform::MainQueue::async([shared, chosen, failure] {
                if (failure) {
                    shared->desktop.alert(failureMessage, *failure);
                } else {
                    shared->desktop.reveal(chosen);
                }
                if (shared->onFinished) shared->onFinished();
            });
        });
    });
}

}  // namespace SupportBundleExport

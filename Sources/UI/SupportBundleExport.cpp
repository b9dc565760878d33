#include "UI/SupportBundleExport.h"

#include "UI/FileChooser.h"

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
    std::tm tm{};
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

void chooseSaveLocation(const std::string& suggestedName, FileChooser::PathCallback callback) {
    FileChooser::chooseSaveLocation("Export Support Bundle", suggestedName, {"Plain text", {"*.[tT][xX][tT]"}},
                                    std::move(callback));
}

}  // namespace

Desktop gtkDesktop() {
    // The alert and the file manager call are the ones the transcript flow uses.
    const TranscribeFileFlow::Desktop shared = TranscribeFileFlow::gtkDesktop();
    return {chooseSaveLocation, shared.alert, TranscribeFileFlow::revealer("SupportBundle", "the support bundle"),
            shared.confirm};
}

// ---------------------------------------------------------------------------
// The flow

void exportSupportBundle(Options options) {
    auto shared = std::make_shared<Options>(std::move(options));
    if (!shared->generate) {
        shared->generate = [](const fs::path& directory) {
            return SupportBundle::generateAndWrite(directory, std::nullopt);
        };
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
                    if (shared->desktop.confirm)
                        shared->desktop.confirm(savedMessage, TranscribeFileFlow::savedText(chosen));
                    shared->desktop.reveal(chosen);
                }
                if (shared->onFinished) shared->onFinished();
            });
        });
    });
}

}  // namespace SupportBundleExport

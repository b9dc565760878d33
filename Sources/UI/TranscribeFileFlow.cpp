#include "UI/TranscribeFileFlow.h"

#include "UI/FileChooser.h"
#include "UI/Notice.h"

#include "Engine/SphinxWindowRecognizer.h"
#include "Platform/Launch.h"
#include "Platform/Log.h"
#include "Platform/Queues.h"

#include <gio/gio.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <thread>
#include <utility>

namespace fs = std::filesystem;

namespace TranscribeFileFlow {

std::string transcribingTooltip(const std::string& fileName) { return "Ondira \u2014 transcribing " + fileName + "\u2026"; }

std::string progressTooltip(const std::string& fileName, double fraction) {
    char percent[32];
    std::snprintf(percent, sizeof percent, "%.0f", fraction * 100.0);
    return transcribingTooltip(fileName) + " " + percent + "%";
}

std::string suggestedTranscriptName(const fs::path& source) { return source.stem().string() + ".txt"; }

std::string failureText(const std::exception& error) {
    if (auto* fileError = dynamic_cast<const FileTranscriber::TranscriptionFileError*>(&error)) {
        std::string description = fileError->errorDescription();
        return description.empty() ? "Transcription failed." : description;
    }
    return error.what();
}

std::vector<std::string> caseInsensitivePatterns() {
    std::vector<std::string> patterns;
    for (auto format : FileTranscriber::allFormats()) {
        std::string pattern = "*.";
        for (char c : FileTranscriber::rawValue(format)) {
            if (std::isalpha(static_cast<unsigned char>(c))) {
                pattern += '[';
                pattern += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                pattern += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                pattern += ']';
            } else {
                pattern += c;
            }
        }
        patterns.push_back(pattern);
    }
    return patterns;
}

// ---------------------------------------------------------------------------
// The GTK desktop

namespace {

void chooseFile(FileChooser::PathCallback callback) {
    FileChooser::chooseFileToOpen(openPanelMessage, {"Audio and video files", caseInsensitivePatterns()},
                                  std::move(callback));
}

void chooseSaveLocation(const std::string& suggestedName, FileChooser::PathCallback callback) {
    FileChooser::chooseSaveLocation("Save Transcript", suggestedName, {"Plain text", {"*.[tT][xX][tT]"}},
                                    std::move(callback));
}

void copyToClipboard(const std::string& text) {
    GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    gtk_clipboard_clear(clipboard);
    gtk_clipboard_set_text(clipboard, text.c_str(), static_cast<gint>(text.size()));
    gtk_clipboard_store(clipboard);
}

void alert(const std::string& message, const std::string& informativeText) {
    GtkWidget* dialog =
        gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING, GTK_BUTTONS_OK, "%s", message.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", informativeText.c_str());
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}

struct RevealRequest {
    std::string folderURI;
    std::string component;
    std::string what;
};

void openFolder(const RevealRequest& request) {
    std::string error;
    if (!platform::openWithDefaultApplication(request.folderURI, &error))
        platform::log(request.component, "could not show " + request.what + " in its folder: " + error);
}

// The progress window: the file's name, a bar and Cancel. Closing the
// window counts as Cancel; closing it from the flow does not.
std::shared_ptr<ProgressPanel> showProgress(const std::string& fileName, std::function<void()> onCancel) {
    struct State {
        GtkWidget* window = nullptr;
        GtkWidget* bar = nullptr;
        std::function<void()> onCancel;
    };
    auto state = std::make_shared<State>();
    state->onCancel = std::move(onCancel);
    state->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(state->window), transcribingTooltip(fileName).c_str());
    gtk_window_set_resizable(GTK_WINDOW(state->window), FALSE);
    gtk_window_set_keep_above(GTK_WINDOW(state->window), TRUE);
    gtk_container_set_border_width(GTK_CONTAINER(state->window), 12);
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    GtkWidget* label = gtk_label_new(transcribingTooltip(fileName).c_str());
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    state->bar = gtk_progress_bar_new();
    gtk_widget_set_size_request(state->bar, 320, -1);
    GtkWidget* button = gtk_button_new_with_label(cancelButtonLabel);
    gtk_widget_set_halign(button, GTK_ALIGN_END);
    gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), state->bar, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), button, FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(state->window), box);

    // The handlers hold the state through a pointer the window owns, so a
    // press after the flow let go of the panel still reaches the cancel.
    auto* held = new std::shared_ptr<State>(state);
    auto cancel = +[](GtkWidget*, gpointer data) {
        auto& st = *static_cast<std::shared_ptr<State>*>(data);
        if (auto run = std::exchange(st->onCancel, nullptr)) run();
        if (st->window) gtk_widget_destroy(st->window);
    };
    g_signal_connect(button, "clicked", G_CALLBACK(cancel), held);
    g_signal_connect(state->window, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                         auto& st = *static_cast<std::shared_ptr<State>*>(data);
                         if (auto run = std::exchange(st->onCancel, nullptr)) run();
                         return FALSE;  // the window goes
                     }),
                     held);
    g_signal_connect(state->window, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer data) {
                         auto* st = static_cast<std::shared_ptr<State>*>(data);
                         (*st)->window = nullptr;
                         (*st)->bar = nullptr;
                         delete st;
                     }),
                     held);
    gtk_widget_show_all(state->window);

    auto panel = std::make_shared<ProgressPanel>();
    panel->setFraction = [state](double fraction) {
        if (state->bar) gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(state->bar), std::clamp(fraction, 0.0, 1.0));
    };
    panel->close = [state] {
        state->onCancel = nullptr;
        if (state->window) gtk_widget_destroy(state->window);
    };
    return panel;
}

void onShowItemsDone(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<RevealRequest> request(static_cast<RevealRequest*>(data));
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (reply) {
        g_variant_unref(reply);
        return;
    }
    g_clear_error(&error);
    // No file manager answers the standard interface: open the folder instead.
    openFolder(*request);
}

void reveal(const fs::path& file, const std::string& component, const std::string& what) {
    gchar* fileURI = g_filename_to_uri(file.c_str(), nullptr, nullptr);
    gchar* folderURI = g_filename_to_uri(file.parent_path().c_str(), nullptr, nullptr);
    if (!fileURI || !folderURI) {
        g_free(fileURI);
        g_free(folderURI);
        return;
    }
    auto* request = new RevealRequest{folderURI, component, what};
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (bus) {
        const gchar* uris[] = {fileURI, nullptr};
        g_dbus_connection_call(bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                               "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(^ass)", uris, ""), nullptr,
                               G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, onShowItemsDone, request);
        g_object_unref(bus);
    } else {
        openFolder(*request);
        delete request;
    }
    g_free(fileURI);
    g_free(folderURI);
}

}  // namespace

Desktop gtkDesktop() {
    Desktop d;
    d.showProgress = showProgress;
    d.chooseFile = chooseFile;
    d.chooseSaveLocation = chooseSaveLocation;
    d.copyToClipboard = copyToClipboard;
    d.alert = alert;
    d.reveal = revealer("TranscribeFile", "the transcript");
    d.confirm = Notice::show;
    return d;
}

std::function<void(const fs::path&)> revealer(std::string component, std::string what) {
    return [component = std::move(component), what = std::move(what)](const fs::path& file) {
        reveal(file, component, what);
    };
}

std::string savedText(const fs::path& file) { return "Saved as " + file.string() + "."; }

std::string endsEarlyText(const FileTranscriber::FileTranscriptionResult& result) {
    return result.sourceURL.filename().string() + " ends early: " + result.shortfall() + ".";
}

// ---------------------------------------------------------------------------
// The flow

namespace {

void setTooltip(const std::weak_ptr<Host>& host, const std::string& text) {
    if (auto h = host.lock(); h && h->setTooltip) h->setTooltip(text);
}

void finish(const Options& options) {
    if (options.onFinished) options.onFinished();
}

void offerToSave(std::shared_ptr<Options> options, const FileTranscriber::FileTranscriptionResult& result) {
    options->desktop.copyToClipboard(result.fullText);
    // The transcript stops where the file does, not where the recording did.
    if (result.endsEarly() && options->desktop.confirm)
        options->desktop.confirm(endsEarlyMessage, endsEarlyText(result));
    options->desktop.chooseSaveLocation(suggestedTranscriptName(result.sourceURL),
                                        [options, text = result.fullText](std::optional<fs::path> destination) {
                                            if (destination) {
                                                try {
                                                    FileTranscriber::writeTranscript(text, *destination);
                                                    if (options->desktop.confirm)
                                                        options->desktop.confirm(savedMessage, savedText(*destination));
                                                    options->desktop.reveal(*destination);
                                                } catch (const std::exception& e) {
                                                    options->desktop.alert(saveFailedMessage, e.what());
                                                }
                                            }
                                            finish(*options);
                                        });
}

void transcribe(std::weak_ptr<Host> host, std::shared_ptr<Options> options, const fs::path& file) {
    const std::string fileName = file.filename().string();
    setTooltip(host, transcribingTooltip(fileName));
    // The progress window's Cancel is the one thing that cancels.
    auto token = std::make_shared<FileTranscriber::CancellationToken>();
    std::shared_ptr<ProgressPanel> panel;
    if (options->desktop.showProgress) panel = options->desktop.showProgress(fileName, [token] { token->cancel(); });
    auto closePanel = [panel] {
        if (panel && panel->close) panel->close();
    };
    std::thread([host, options, file, fileName, token, panel, closePanel] {
        // The tooltip steps with whole windows (a ten-minute recording shows
        // about 40, 80 and 100 %); the steps within a window are for the
        // command line's bar, which is watched, not hovered over.
        auto windowsShown = std::make_shared<int>(0);
        auto onProgress = [host, fileName, windowsShown, panel](const FileTranscriber::Progress& progress) {
            const double fraction = progress.fractionComplete();
            if (panel && panel->setFraction)
                platform::MainQueue::async([panel, fraction] { panel->setFraction(fraction); });
            if (progress.chunksCompleted == *windowsShown) return;
            *windowsShown = progress.chunksCompleted;
            platform::MainQueue::async(
                [host, fileName, fraction] { setTooltip(host, progressTooltip(fileName, fraction)); });
        };
        try {
            const FileTranscriber::Engine engine =
                options->engine.prepare ? options->engine : SphinxWindowRecognizer::engine();
            const std::string locale =
                options->localeIdentifier.empty() ? FileTranscriber::currentLocaleIdentifier() : options->localeIdentifier;
            auto result = FileTranscriber::transcribeFile(file, {}, locale, FileTranscriber::defaultChunkSeconds,
                                                          FileTranscriber::defaultOverlapSeconds, token, onProgress, engine);
            platform::MainQueue::async([host, options, closePanel, result = std::move(result)] {
                closePanel();
                setTooltip(host, idleTooltip);
                offerToSave(options, result);
            });
        } catch (const std::exception& e) {
            const auto* fileError = dynamic_cast<const FileTranscriber::TranscriptionFileError*>(&e);
            // The user's own Cancel ends the flow quietly.
            const bool cancelled =
                fileError && fileError->kind() == FileTranscriber::TranscriptionFileError::Kind::cancelled;
            platform::log("TranscribeFile", std::string("transcription ") + (cancelled ? "cancelled" : "failed: ") +
                                                (cancelled ? "" : e.what()));
            platform::MainQueue::async([host, options, closePanel, cancelled, text = failureText(e)] {
                closePanel();
                setTooltip(host, idleTooltip);
                if (!cancelled) options->desktop.alert(transcribeFailedMessage, text);
                finish(*options);
            });
        }
    }).detach();
}

}  // namespace

void transcribeAudioFile(std::weak_ptr<Host> host, Options options) {
    auto shared = std::make_shared<Options>(std::move(options));
    shared->desktop.chooseFile([host, shared](std::optional<fs::path> file) {
        if (!file || host.expired()) {
            finish(*shared);
            return;
        }
        transcribe(host, shared, *file);
    });
}

}  // namespace TranscribeFileFlow

// The transcribe-file flow without a screen: a recording desktop stands in for
// the panels, clipboard and alerts, a scripted recogniser for the decoder.
#include "Platform/FileIO.h"
#include "Platform/Queues.h"
#include "UI/TranscribeFileFlow.h"
#include "support/PrivateDisplay.h"
#include "support/TempDir.h"
#include "unit/engine/SpeechFixtures.h"

#include <gtest/gtest.h>

#include "support/RequireService.h"

#include <fnmatch.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace fs = std::filesystem;
using namespace TranscribeFileFlow;

namespace {

TEST(TranscribeFileFlowTexts, TooltipsNamesAndFailureTexts) {
    EXPECT_EQ(transcribingTooltip("talk.m4a"), "Ondira \u2014 transcribing talk.m4a\u2026");
    EXPECT_EQ(progressTooltip("talk.m4a", 0.3967), "Ondira \u2014 transcribing talk.m4a\u2026 40%");
    EXPECT_EQ(progressTooltip("100%s %d.wav", 1.0), "Ondira \u2014 transcribing 100%s %d.wav\u2026 100%");
    EXPECT_EQ(suggestedTranscriptName("/x/board meeting.final.MP3"), "board meeting.final.txt");
    EXPECT_EQ(suggestedTranscriptName("/x/noextension"), "noextension.txt");
    EXPECT_EQ(
        failureText(FileTranscriber::TranscriptionFileError::of(FileTranscriber::TranscriptionFileError::Kind::emptyFile)),
        "That file is empty \u2014 there's nothing to transcribe.");
    EXPECT_EQ(failureText(std::runtime_error("disk on fire")), "disk on fire");
}

TEST(TranscribeFileFlowTexts, OpenPanelPatternsIgnoreLetterCase) {
    const auto patterns = caseInsensitivePatterns();
    ASSERT_EQ(patterns.size(), FileTranscriber::allFormats().size());
    auto accepted = [&](const std::string& name) {
        for (const auto& p : patterns)
            if (fnmatch(p.c_str(), name.c_str(), 0) == 0) return true;
        return false;
    };
    for (const char* name : {"a.wav", "B.WAV", "c.Mp3", "d.m4a", "e.M4V", "f.flac", "g.AiFf", "h.mov"})
        EXPECT_TRUE(accepted(name)) << name;
    for (const char* name : {"a.ogg", "a.wav.txt", "a.mp3x", "wav"}) EXPECT_FALSE(accepted(name)) << name;
}

// Everything the flow did, in order.
struct RecordingDesktop {
    std::optional<fs::path> chosenFile;
    std::optional<fs::path> saveTo;
    std::vector<std::string> events;
    std::vector<std::string> tooltips;
    std::optional<std::string> clipboard;
    std::string suggestedName;
    std::vector<std::string> panelEvents;  // the progress window's life
    std::function<void()> cancel;          // its Cancel while it is shown

    Desktop desktop() {
        Desktop d;
        d.showProgress = [this](const std::string& name, std::function<void()> onCancel) {
            panelEvents.push_back("shown for " + name);
            cancel = std::move(onCancel);
            auto panel = std::make_shared<ProgressPanel>();
            panel->setFraction = [](double) {};
            panel->close = [this] {
                panelEvents.push_back("closed");
                cancel = nullptr;
            };
            return panel;
        };
        d.chooseFile = [this](auto callback) { callback(chosenFile); };
        d.chooseSaveLocation = [this](const std::string& name, auto callback) {
            suggestedName = name;
            events.push_back("save panel");
            callback(saveTo);
        };
        d.copyToClipboard = [this](const std::string& text) { clipboard = text; };
        d.alert = [this](const std::string& m, const std::string& i) { events.push_back("alert: " + m + " / " + i); };
        d.reveal = [this](const fs::path& p) { events.push_back("reveal " + p.filename().string()); };
        d.confirm = [this](const std::string& m, const std::string& i) { events.push_back("confirm: " + m + " / " + i); };
        return d;
    }
};

// Hears "hello world" in every window, or nothing for a silent engine.
FileTranscriber::Engine scripted(bool hearsSpeech) {
    struct Recognizer : FileTranscriber::WindowRecognizer {
        bool speech;
        std::vector<FileTranscriber::Segment> recognize(const std::vector<float>&) override {
            if (!speech) return {};
            return {{"hello", 0.1, 0.5}, {"world", 0.5, 0.9}};
        }
    };
    FileTranscriber::Engine e;
    e.parallelWindows = 1;
    e.prepare = [hearsSpeech](const std::string&, const std::vector<std::string>&) -> FileTranscriber::RecognizerFactory {
        return [hearsSpeech] {
            auto r = std::make_unique<Recognizer>();
            r->speech = hearsSpeech;
            return r;
        };
    };
    return e;
}

class TranscribeFileFlowRun : public ::testing::Test {
protected:
    TempDir dir{"ondira-flow-"};
    RecordingDesktop desk;
    std::shared_ptr<Host> host = std::make_shared<Host>();

    void SetUp() override {
        platform::MainQueue::markCurrentThreadAsMain();
        host->setTooltip = [this](const std::string& t) { desk.tooltips.push_back(t); };
    }

    void run(bool hearsSpeech) {
        bool finished = false;
        Options options;
        options.desktop = desk.desktop();
        options.engine = scripted(hearsSpeech);
        options.localeIdentifier = "en_US";
        options.onFinished = [&] { finished = true; };
        transcribeAudioFile(host, options);
        platform::MainQueue::pump(20.0, [&] { return finished; });
        ASSERT_TRUE(finished);
    }
};

TEST_F(TranscribeFileFlowRun, TenMinuteRecordingShowsProgressThenCopiesAndSaves) {
    desk.chosenFile = dir / "50% louder.wav";
    speechfixtures::writeWav(*desk.chosenFile, 600.0);
    desk.saveTo = dir / "transcript.txt";
    run(true);

    const std::string name = "50% louder.wav";
    EXPECT_EQ(desk.tooltips,
              (std::vector<std::string>{transcribingTooltip(name), progressTooltip(name, 0.40), progressTooltip(name, 0.80),
                                        progressTooltip(name, 1.0), idleTooltip}));
    EXPECT_EQ(desk.tooltips[2], "Ondira \u2014 transcribing 50% louder.wav\u2026 80%");
    EXPECT_EQ(desk.suggestedName, "50% louder.txt");
    ASSERT_TRUE(desk.clipboard);
    EXPECT_EQ(desk.clipboard->rfind("hello world hello world", 0), 0u);
    EXPECT_EQ(platform::readFile(*desk.saveTo), desk.clipboard);
    EXPECT_EQ(desk.events,
              (std::vector<std::string>{"save panel", "confirm: Transcript saved / Saved as " + desk.saveTo->string() + ".",
                                        "reveal transcript.txt"}));
}

TEST_F(TranscribeFileFlowRun, SilentRecordingAlertsAndLeavesTheClipboardAlone) {
    desk.chosenFile = dir / "quiet.wav";
    speechfixtures::writeWav(*desk.chosenFile, 3.0, 0.0);
    run(false);
    EXPECT_FALSE(desk.clipboard);
    EXPECT_EQ(desk.events,
              (std::vector<std::string>{"alert: Could not transcribe file / No speech was detected in that file."}));
    EXPECT_EQ(desk.tooltips.back(), idleTooltip);
}

TEST_F(TranscribeFileFlowRun, CancelledOrFailedSaveKeepsTheClipboard) {
    desk.chosenFile = dir / "memo.wav";
    speechfixtures::writeWav(*desk.chosenFile, 3.0);
    run(true);  // save panel cancelled
    EXPECT_EQ(desk.clipboard, "hello world");
    EXPECT_EQ(desk.events, (std::vector<std::string>{"save panel"}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), {}), 1);

    desk.events.clear();
    desk.saveTo = dir / "no-such-folder" / "memo.txt";
    run(true);
    ASSERT_EQ(desk.events.size(), 2u);
    EXPECT_EQ(desk.events[1].rfind("alert: Could not save transcript / ", 0), 0u) << desk.events[1];
}

// A file cut short is transcribed as far as it goes, and the user is told so
// before choosing where the transcript goes; a whole one says nothing of it.
TEST_F(TranscribeFileFlowRun, AFileThatEndsEarlyIsSaidToBeCutShort) {
    desk.chosenFile = dir / "cut memo.wav";
    speechfixtures::writeWav(*desk.chosenFile, 10.0);
    const std::string bytes = platform::readFile(*desk.chosenFile).value_or("");
    constexpr std::size_t bytesPerSecond = 16000 * 2;
    ASSERT_TRUE(platform::atomicWrite(*desk.chosenFile, bytes.substr(0, bytes.size() - 6 * bytesPerSecond)));
    run(true);
    EXPECT_EQ(desk.clipboard, "hello world");
    EXPECT_EQ(desk.events, (std::vector<std::string>{"confirm: The file ends early / cut memo.wav ends early: only 4.0 s "
                                                     "of the 10.0 s its header gives could be read; the transcript "
                                                     "covers those.",
                                                     "save panel"}));
}

// The progress window's Cancel stops a transcription that is still at work:
// the flow ends quietly, with no alert, no clipboard and no save panel.
TEST_F(TranscribeFileFlowRun, CancelInTheProgressWindowStopsTheTranscription) {
    desk.chosenFile = dir / "long talk.wav";
    speechfixtures::writeWav(*desk.chosenFile, 3.0);
    // A recogniser stuck in its first utterance until the test ends.
    auto started = std::make_shared<std::atomic<bool>>(false);
    auto release = std::make_shared<std::atomic<bool>>(false);
    struct Stuck : FileTranscriber::WindowRecognizer {
        std::shared_ptr<std::atomic<bool>> started, release;
        std::vector<FileTranscriber::Segment> recognize(const std::vector<float>&) override {
            *started = true;
            for (int i = 0; i < 1200 && !*release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return {{"hello", 0.1, 0.5}};
        }
    };
    bool finished = false;
    Options options;
    options.desktop = desk.desktop();
    options.engine.parallelWindows = 1;
    options.engine.prepare = [started, release](const std::string&,
                                                const std::vector<std::string>&) -> FileTranscriber::RecognizerFactory {
        return [started, release] {
            auto r = std::make_unique<Stuck>();
            r->started = started;
            r->release = release;
            return r;
        };
    };
    options.localeIdentifier = "en_US";
    options.onFinished = [&] { finished = true; };
    transcribeAudioFile(host, options);
    platform::MainQueue::pump(30.0, [&] { return started->load(); });
    ASSERT_TRUE(started->load());
    ASSERT_EQ(desk.panelEvents, (std::vector<std::string>{"shown for long talk.wav"}));
    ASSERT_TRUE(desk.cancel);
    desk.cancel();  // the user presses Cancel
    platform::MainQueue::pump(20.0, [&] { return finished; });
    *release = true;
    ASSERT_TRUE(finished) << "the transcription went on after Cancel";
    EXPECT_EQ(desk.panelEvents, (std::vector<std::string>{"shown for long talk.wav", "closed"}));
    EXPECT_TRUE(desk.events.empty()) << desk.events.front();
    EXPECT_FALSE(desk.clipboard);
    EXPECT_EQ(desk.tooltips.back(), idleTooltip);
}

TEST_F(TranscribeFileFlowRun, NothingHappensWithoutAFileOrAHost) {
    run(true);  // open panel cancelled
    EXPECT_TRUE(desk.tooltips.empty());
    EXPECT_TRUE(desk.events.empty());

    desk.chosenFile = dir / "memo.wav";
    speechfixtures::writeWav(*desk.chosenFile, 1.0);
    host.reset();  // the application let go of its status item
    run(true);
    EXPECT_TRUE(desk.tooltips.empty());
    EXPECT_TRUE(desk.events.empty());
}

}  // namespace

#include <gtk/gtk.h>

namespace {
// The real clipboard, on a display of its own: the insertion and dictation
// tests check what the shared display's clipboard holds.
TEST(TranscribeFileFlowDesktop, ClipboardHoldsTheTranscript) {
    ONDIRA_REQUIRE_SERVICE(usePrivateDisplay() && gtk_init_check(nullptr, nullptr), "no display");
    gtkDesktop().copyToClipboard("hello  world\nline two");
    gchar* text = gtk_clipboard_wait_for_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD));
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "hello  world\nline two");
    g_free(text);
}
}  // namespace

namespace {
GtkWidget* progressWindow(const std::string& title) {
    GtkWidget* found = nullptr;
    GList* tops = gtk_window_list_toplevels();
    for (GList* l = tops; l; l = l->next) {
        const gchar* t = gtk_window_get_title(GTK_WINDOW(l->data));
        if (t && title == t && gtk_widget_get_visible(GTK_WIDGET(l->data))) found = GTK_WIDGET(l->data);
    }
    g_list_free(tops);
    return found;
}

GtkWidget* buttonLabelled(GtkWidget* widget, const std::string& label) {
    if (GTK_IS_BUTTON(widget)) {
        const gchar* l = gtk_button_get_label(GTK_BUTTON(widget));
        if (l && label == l) return widget;
    }
    if (!GTK_IS_CONTAINER(widget)) return nullptr;
    GtkWidget* found = nullptr;
    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    for (GList* l = children; l && !found; l = l->next) found = buttonLabelled(GTK_WIDGET(l->data), label);
    g_list_free(children);
    return found;
}

// The real progress window: its Cancel button cancels and the window goes;
// the flow closing it cancels nothing.
TEST(TranscribeFileFlowDesktop, ProgressWindowCancelButtonCancels) {
    ONDIRA_REQUIRE_SERVICE(std::getenv("DISPLAY") && gtk_init_check(nullptr, nullptr), "no display");
    const std::string title = transcribingTooltip("talk.wav");
    int cancels = 0;
    auto panel = gtkDesktop().showProgress("talk.wav", [&] { ++cancels; });
    GtkWidget* window = progressWindow(title);
    ASSERT_NE(window, nullptr);
    panel->setFraction(0.4);
    GtkWidget* cancel = buttonLabelled(window, cancelButtonLabel);
    ASSERT_NE(cancel, nullptr);
    gtk_button_clicked(GTK_BUTTON(cancel));
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(progressWindow(title), nullptr);
    panel->setFraction(0.8);  // late updates and the flow's close find no window, and do nothing
    panel->close();
    EXPECT_EQ(cancels, 1);

    auto other = gtkDesktop().showProgress("talk.wav", [&] { ++cancels; });
    ASSERT_NE(progressWindow(title), nullptr);
    other->close();
    EXPECT_EQ(progressWindow(title), nullptr);
    EXPECT_EQ(cancels, 1);
}
}  // namespace

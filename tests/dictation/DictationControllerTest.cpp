#include "App/AppDelegate.h"
#include "UI/HubWindowController.h"
// Before Xlib.h, whose Status macro would rename a type of it.
#include "Learning/PersonalModel.h"

#include <gtest/gtest.h>

#include "support/RequireService.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gtk/gtk.h>

#include <signal.h>

#include <fstream>
#include <future>
#include <stdexcept>

#include "Base/AppPaths.h"
#include "App/SoundCues.h"
#include "Base/FaultLog.h"
#include "Engine/MicrophoneRecorder.h"
#include "Engine/TranscriptionTypes.h"
#include "Input/HotkeyManager.h"
#include "Input/TextInjector.h"
#include "Learning/DictationLogger.h"
#include "Platform/Bundle.h"
#include "Platform/FileIO.h"
#include "Platform/LinuxNames.h"
#include "Platform/Queues.h"
#include "Platform/X11/DesktopInsertion.h"
#include "Text/AppRules.h"
#include "Text/StagingBuffer.h"
#include "UI/IndicatorWindow.h"
#include "dictation/DelegateFixture.h"
#include "support/SessionLock.h"
#include "support/TempDir.h"
#include "support/TextWindow.h"

namespace fs = std::filesystem;

TEST(DictationDelivery, EveryInsertionOutcomeHasItsMessageAndOnlyAConfirmedOneHasNone) {
    struct Row {
        InjectionOutcome outcome;
        bool staged;  // committing staged text, which stays staged when it doesn't land
        std::optional<std::string> message;
    };
    const Row rows[] = {
        {InjectionOutcome::confirmed(), false, std::nullopt},
        {InjectionOutcome::unconfirmed(true), false,
         std::string("Couldn't paste — your text is on the clipboard, press ") + LinuxNames::pasteShortcut},
        {InjectionOutcome::unconfirmed(false), false, "Couldn't paste into this app"},
        // Ondira holds the words back, and says that they were not kept.
        {InjectionOutcome::blockedBySecureInput(), false, "Secure field — Ondira held your words back and kept none"},
        {InjectionOutcome::blockedBySecureInput(true), false,
         "Field didn't say if it's secure — Ondira held your words back and kept none"},
        {InjectionOutcome::blockedBySecureInput(), true,
         "Secure field — Ondira held your staged text back; it stays staged"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(DictationController::insertionFailureMessage(row.outcome, row.staged), row.message)
            << row.outcome.description();
}

TEST(DictationDelivery, LatencyIsTheEnginesFigurePlusCleanUpElseTheTimeSinceStop) {
    EXPECT_DOUBLE_EQ(DictationController::reportedLatency(0.2, 0.05, 9.0), 0.25);
    EXPECT_DOUBLE_EQ(DictationController::reportedLatency(0.0, 0.05, 0.4), 0.4);
}

namespace {
int linesContaining(const fs::path& file, const std::string& needle) {
    int n = 0;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        if (line.find(needle) != std::string::npos) ++n;
    return n;
}
}  // namespace

// The delegate with its state isolated; staging on, so a delivery never
// types into the shared display.
class DictationControllerTest : public DelegateFixture {
protected:
    void SetUp() override {
        AppPaths::userDefaults()->setBool(DictationController::stagingModeKey, true);
        ONDIRA_REQUIRE_SERVICE(startDelegate(), "no X display");
        road = &delegate->dictation();
        road->onDictationFailed = [this](const std::string& m) { failures.push_back(m); };
        StagingBuffer::shared().clear();
        historyBefore = historyCount();
        staleBefore = staleDrops();
    }
    int historyCount() {
        DictationLogger::shared().rotateIfNeeded();  // waits for queued writes
        return static_cast<int>(DictationLogger::shared().readAllEntries().size());
    }
    int staleDrops() { return linesContaining(FaultLog::faultsFileURL(), "transcription_dropped_stale"); }
    void settle(const std::function<bool()>& until = {}) {
        if (until) platform::MainQueue::pump(10, until);
        platform::MainQueue::pump(0.3);
        DictationLogger::shared().rotateIfNeeded();
    }

    // A dictation that has reached transcription, with its recording on disk.
    DictationController::DictationJob transcribing(DictationMode mode = DictationMode::standard) {
        ++road->dictationGeneration;
        road->lifecycle = DictationLifecycle::transcribing;
        const fs::path recording = dir / ("ondira_rec_" + std::to_string(road->dictationGeneration.load()) + ".wav");
        std::ofstream(recording) << "RIFF";
        return {
            recording, road->dictationGeneration.load(), mode, AppRules::globalDefault(), std::chrono::system_clock::now(),
            1.5};
    }
    static TranscriptionResult heard(const std::string& text) {
        TranscriptionResult r;
        r.text = text;
        r.audioSeconds = 1.5;
        r.endToEndSeconds = 0.1;
        r.engineIdentifier = "test";
        return r;
    }

    // The staging buffer and the history keep the place they were first
    // opened in, so the isolated state outlives each test.
    static const TempDir& state() {
        static const TempDir* dir = new TempDir("ondira-dictation-state-");
        return *dir;
    }
    ScopedEnv env{AppPaths::selfTestStateDirVariable, state().path.string()};
    DictationController* road = nullptr;
    TempDir dir;
    std::vector<std::string> failures;
    int historyBefore = 0;
    int staleBefore = 0;
};

TEST_F(DictationControllerTest, ACurrentResultIsCleanedLoggedAndStagedAndTheRecordingDeleted) {
    struct Case {
        DictationMode mode;
        std::string heard;
        std::string staged;
    };
    const Case cases[] = {
        {DictationMode::raw, "  um so the plan works  ", "um so the plan works"},
        {DictationMode::standard, "um so the plan works", "So the plan works"},
    };
    int logged = historyBefore;
    int refreshes = HubWindowController::shared().refreshRequests();
    for (const auto& c : cases) {
        const auto job = transcribing(c.mode);
        road->completeRecognition(job, heard(c.heard));
        settle([&] { return road->lifecycle == DictationLifecycle::idle; });
        EXPECT_FALSE(fs::exists(job.audioURL));
        ASSERT_FALSE(StagingBuffer::shared().allEntries().empty());
        EXPECT_EQ(StagingBuffer::shared().allEntries().back().text, c.staged);
        EXPECT_TRUE(StagingBuffer::shared().allEntries().back().polished);
        EXPECT_EQ(historyCount(), ++logged);
        EXPECT_EQ(HubWindowController::shared().refreshRequests(), ++refreshes);
        EXPECT_EQ(road->lifecycle, DictationLifecycle::idle);
        EXPECT_EQ(IndicatorWindowController::shared().currentMode(), IndicatorMode::done());
    }
}

TEST_F(DictationControllerTest, ATextThatVoiceCommandsTakeBackEndsTheDictationWithNothingStagedInsertedOrLogged) {
    struct Case {
        bool staging;
        std::string heard;
    };
    const int refreshes = HubWindowController::shared().refreshRequests();
    for (const Case& c : {Case{true, "hello world scratch that"}, Case{false, "hello delete last word"}}) {
        AppPaths::userDefaults()->setBool(DictationController::stagingModeKey, c.staging);
        const auto job = transcribing();
        road->completeRecognition(job, heard(c.heard));
        settle([&] { return road->lifecycle == DictationLifecycle::idle; });
        EXPECT_EQ(road->lifecycle, DictationLifecycle::idle) << c.heard;
        EXPECT_EQ(IndicatorWindowController::shared().currentMode(), IndicatorMode::idle()) << c.heard;
        EXPECT_TRUE(StagingBuffer::shared().isEmpty()) << c.heard;
        EXPECT_EQ(historyCount(), historyBefore) << c.heard;
        EXPECT_EQ(HubWindowController::shared().refreshRequests(), refreshes) << c.heard;
        EXPECT_FALSE(fs::exists(job.audioURL)) << c.heard;
    }
}

TEST_F(DictationControllerTest, AnOvertakenOrCancelledResultIsNeitherLoggedNorDelivered) {
    const int refreshes = HubWindowController::shared().refreshRequests();
    // Overtaken: a newer dictation started before recognition answered.
    const auto old = transcribing();
    const auto newer = transcribing();
    road->completeRecognition(old, heard("first words"));
    settle();
    EXPECT_FALSE(fs::exists(old.audioURL)) << "the recording goes even when the result is dropped";
    EXPECT_EQ(staleDrops(), staleBefore + 1);

    // Cancelled after recognition answered but before the main thread ran
    // the history and delivery step.
    road->completeRecognition(newer, heard("second words"));
    road->hotkeyDidRequestCancel();
    settle();
    EXPECT_EQ(staleDrops(), staleBefore + 2);
    EXPECT_TRUE(StagingBuffer::shared().isEmpty());
    EXPECT_EQ(historyCount(), historyBefore);
    EXPECT_EQ(HubWindowController::shared().refreshRequests(), refreshes) << "a dropped dictation must not refresh the hub";
    EXPECT_EQ(road->lifecycle, DictationLifecycle::idle);
    EXPECT_EQ(IndicatorWindowController::shared().currentMode(),
              IndicatorMode::cancel("Cancelled — transcription discarded"));
}

TEST_F(DictationControllerTest, NoSpeechAndAFailedRecognitionEndTheDictationWithoutAnEntry) {
    const auto silent = transcribing();
    road->completeRecognition(silent, heard(""));
    settle();
    EXPECT_EQ(failures, std::vector<std::string>{DictationController::noSpeechMessage});
    EXPECT_EQ(road->lifecycle, DictationLifecycle::idle);
    EXPECT_EQ(IndicatorWindowController::shared().currentMode(), IndicatorMode::idle());

    const int errorsBefore = linesContaining(FaultLog::faultsFileURL(), "\"transcribe_error\"");
    const auto failed = transcribing();
    road->failRecognition(failed, "TranscriptionError", "Speech recognition failed: broken");
    settle();
    EXPECT_EQ(failures.back(), "Speech recognition failed: broken");
    EXPECT_FALSE(fs::exists(failed.audioURL)) << "a failed take's recording outlives it";
    EXPECT_EQ(IndicatorWindowController::shared().currentMode(), IndicatorMode::error("Speech recognition failed: broken"));
    EXPECT_EQ(linesContaining(FaultLog::faultsFileURL(), "\"transcribe_error\""), errorsBefore + 1);
    EXPECT_EQ(historyCount(), historyBefore);
    EXPECT_TRUE(StagingBuffer::shared().isEmpty());
}

TEST_F(DictationControllerTest, AnApplicationThatIsNeverDictatedIsRefusedBeforeAnythingStarts) {
    const long long generation = road->dictationGeneration.load();
    road->startDictation(DictationMode::standard, std::string(LinuxNames::passwordManagerID));
    EXPECT_FALSE(road->isRecording);
    EXPECT_EQ(road->dictationGeneration.load(), generation);
    EXPECT_EQ(road->lifecycle, DictationLifecycle::idle);
    settle();
    EXPECT_EQ(IndicatorWindowController::shared().currentMode(),
              IndicatorMode::error(std::string("Dictation is off for ") + LinuxNames::passwordManagerName));
}

// The application that has the focus when the text is ready decides, not
// the one the dictation began in: a never-dictated one gets nothing.
TEST_F(DictationControllerTest, TheApplicationInFrontAtDeliveryDecidesWhetherTheTextGoesIn) {
    SessionLock activeWindow{"active-window"};
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    const Window root = DefaultRootWindow(display);
    const Atom active = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    const Window window = XCreateSimpleWindow(display, root, 0, 0, 10, 10, 0, 0, 0);
    XClassHint hint{const_cast<char*>("vault"), const_cast<char*>(LinuxNames::passwordManagerID)};
    XSetClassHint(display, window, &hint);
    long id = static_cast<long>(window);
    XChangeProperty(display, root, active, XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&id), 1);
    XSync(display, False);
    AppPaths::userDefaults()->setBool(DictationController::stagingModeKey, false);

    road->completeRecognition(transcribing(), heard("the vault code"));
    settle([&] { return road->lifecycle == DictationLifecycle::idle; });
    EXPECT_EQ(IndicatorWindowController::shared().currentMode(),
              IndicatorMode::error(std::string("Dictation is off for ") + LinuxNames::passwordManagerName));
    EXPECT_TRUE(StagingBuffer::shared().isEmpty());

    XDeleteProperty(display, root, active);
    XDestroyWindow(display, window);
    XCloseDisplay(display);
}

TEST_F(DictationControllerTest, AnInterruptedTakeIsTranscribedWhenLongEnoughAndTheStateIsReset) {
    struct Case {
        double seconds;
        DictationLifecycle after;
    };
    for (const Case c : {Case{1.0, DictationLifecycle::transcribing}, Case{0.3, DictationLifecycle::idle}}) {
        road->isRecording = true;
        road->lifecycle = DictationLifecycle::capturing;
        const fs::path recording = dir / "interrupted.wav";
        std::ofstream(recording) << "RIFF";
        road->audioEngineDidInterrupt(recording, c.seconds);
        EXPECT_FALSE(road->isRecording) << c.seconds;
        EXPECT_EQ(road->lifecycle, c.after) << c.seconds;
        EXPECT_DOUBLE_EQ(road->lastAudioSeconds, c.seconds);
        EXPECT_EQ(road->lastAudioBytes, 4);
        // The take goes on to recognition, which finds no usable audio here.
        platform::MainQueue::pump(10, [&] { return road->lifecycle == DictationLifecycle::idle; });
        EXPECT_EQ(road->lifecycle, DictationLifecycle::idle);
    }
    EXPECT_EQ(failures.back(), DictationController::shortHoldMessage) << "the 0.3 s take is the last one";
}

TEST_F(DictationControllerTest, AHandsFreeSessionEndedForTheUserStopsTheMicrophone) {
    struct Case {
        const char* reason;
        bool shortHoldReported;  // the stop ran (no take was recorded here)
    };
    for (const Case c : {Case{"max-duration", true}, Case{"system-sleep", false}, Case{"screen-lock", false}}) {
        failures.clear();
        road->isRecording = true;
        road->lifecycle = DictationLifecycle::capturing;
        road->hotkeyDidRequestHandsFreeStop(c.reason);
        EXPECT_FALSE(road->isRecording) << c.reason;
        EXPECT_EQ(road->lifecycle, DictationLifecycle::idle) << c.reason;
        EXPECT_EQ(!failures.empty(), c.shortHoldReported) << c.reason;
    }
    // A tap's release has already stopped the take itself.
    road->isRecording = true;
    road->hotkeyDidRequestHandsFreeStop("tap");
    EXPECT_TRUE(road->isRecording);
    road->isRecording = false;
}

namespace {
// A recogniser that answers (or fails) only once the test lets it.
struct HeldRecognizer {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    DictationController::Recognizer make(std::optional<std::string> text) {
        auto gate = released;
        return [gate, text](const std::shared_ptr<AudioBufferStream>&, const fs::path&, const std::vector<std::string>&,
                            const std::function<void(const std::string&)>&) {
            gate.wait();
            if (!text) throw std::runtime_error("the decoder broke");
            TranscriptionResult r;
            r.text = *text;
            r.audioSeconds = 1.0;
            r.engineIdentifier = "test";
            return r;
        };
    }
};
}  // namespace

// The recording is stopped (here: by the microphone, as a release would) and
// recognition is under way when the user cancels or goes away.
TEST_F(DictationControllerTest, EscapeDuringRecognitionLeavesNothingOfTheTakeWhateverTheRecogniserAnswers) {
    for (const std::optional<std::string>& answer :
         {std::optional<std::string>("send the report"), std::optional<std::string>()}) {
        const std::string label = answer.value_or("a failure");
        HeldRecognizer recognizer;
        road->setRecognizer(recognizer.make(answer));
        const int errorsBefore = linesContaining(FaultLog::faultsFileURL(), "\"transcribe_error\"");
        const int stale = staleDrops();
        const fs::path recording = dir / "cancelled.wav";
        std::ofstream(recording) << "RIFF";
        road->isRecording = true;
        road->lifecycle = DictationLifecycle::capturing;
        road->audioEngineDidInterrupt(recording, 1.0);
        ASSERT_EQ(road->lifecycle, DictationLifecycle::transcribing);
        road->hotkeyDidRequestCancel();
        recognizer.release.set_value();
        settle([&] { return staleDrops() > stale; });
        EXPECT_EQ(staleDrops(), stale + 1) << label;
        EXPECT_FALSE(fs::exists(recording)) << label << ": a cancelled take leaves no recording";
        EXPECT_EQ(linesContaining(FaultLog::faultsFileURL(), "\"transcribe_error\""), errorsBefore) << label;
        EXPECT_TRUE(failures.empty()) << label;
        EXPECT_TRUE(StagingBuffer::shared().isEmpty()) << label;
        EXPECT_EQ(historyCount(), historyBefore) << label;
        EXPECT_EQ(road->lifecycle, DictationLifecycle::idle) << label;
        EXPECT_EQ(IndicatorWindowController::shared().currentMode(),
                  IndicatorMode::cancel("Cancelled — transcription discarded"))
            << label;
    }
}

TEST_F(DictationControllerTest, SleepOrLockThrowsAwayAHeldTakeLikeAHandsFreeOne) {
    struct Case {
        const char* reason;
        bool handsFree;
        bool staged;  // only a take ended for another reason goes on
    };
    const Case cases[] = {{"system-sleep", false, false},
                          {"screen-lock", false, false},
                          {"system-sleep", true, false},
                          {"screen-lock", true, false},
                          {"max-hold-timeout", false, true}};
    for (const Case& c : cases) {
        StagingBuffer::shared().clear();
        HeldRecognizer recognizer;
        road->setRecognizer(recognizer.make("send the report"));
        recognizer.release.set_value();
        const int logged = historyCount();
        road->isRecording = true;
        road->lifecycle = DictationLifecycle::capturing;
        if (c.handsFree) {
            road->hotkeyDidRequestHandsFreeStop(c.reason);
        } else {
            // The hotkey manager releases the held key, then says why.
            const fs::path recording = dir / "held.wav";
            std::ofstream(recording) << "RIFF";
            road->audioEngineDidInterrupt(recording, 1.0);
            road->hotkeyDidForceRelease(c.reason);
        }
        if (c.staged) settle([&] { return !StagingBuffer::shared().isEmpty(); });
        else platform::MainQueue::pump(1.0);  // a result that would arrive has arrived by now
        settle();
        EXPECT_EQ(!StagingBuffer::shared().isEmpty(), c.staged) << c.reason << (c.handsFree ? " hands-free" : " held");
        EXPECT_EQ(historyCount(), logged + (c.staged ? 1 : 0)) << c.reason;
        EXPECT_FALSE(road->isRecording) << c.reason;
        EXPECT_EQ(road->lifecycle, DictationLifecycle::idle) << c.reason;
        if (!c.staged) {
            EXPECT_EQ(IndicatorWindowController::shared().currentMode(), IndicatorMode::idle()) << c.reason;
        }
    }
}

TEST_F(DictationControllerTest, EscapeDependsOnThePhase) {
    const long long generation = ++road->dictationGeneration;
    for (auto phase : {DictationLifecycle::idle, DictationLifecycle::injected}) {
        road->lifecycle = phase;
        road->hotkeyDidRequestCancel();
        EXPECT_EQ(road->lifecycle, phase);
        EXPECT_EQ(road->dictationGeneration.load(), generation);
    }
    road->isRecording = true;
    road->lifecycle = DictationLifecycle::capturing;
    road->hotkeyDidRequestCancel();
    EXPECT_FALSE(road->isRecording);
    EXPECT_EQ(road->lifecycle, DictationLifecycle::idle);
    settle();
    EXPECT_EQ(IndicatorWindowController::shared().currentMode(), IndicatorMode::cancel("Cancelled — nothing was recorded"));
}

// Every way a take can end leaves no recording behind: each row starts a
// take on the session's microphone, ends it its own way, and then looks for
// the file. Recognition is a stand-in that answers as the row says.
TEST_F(DictationControllerTest, NoRoadThatEndsATakeLeavesItsRecording) {
    struct Road {
        const char* name;
        bool tentative;   // begun by a lone Right Ctrl
        double recordFor;  // seconds of capture before the take ends
        std::optional<std::string> heard;  // none: recognition fails
        std::function<void(DictationController&)> end;
    };
    const auto stop = [](DictationController& d) { d.stopDictation(); };
    const auto cancel = [](DictationController& d) { d.hotkeyDidRequestCancel(); };
    const auto stopThenCancel = [](DictationController& d) {
        d.stopDictation();
        d.hotkeyDidRequestCancel();
    };
    const auto stopThenSleep = [](DictationController& d) {
        d.stopDictation();
        d.hotkeyDidForceRelease("system-sleep");
    };
    const auto confirmThenStop = [](DictationController& d) {
        d.startDictation(DictationMode::standard);
        d.stopDictation();
    };
    const Road roads[] = {
        {"a tap of Right Ctrl", true, 0.0, "words", confirmThenStop},
        {"a 250 ms press", false, 0.25, "words", stop},
        {"a chord takes the tentative take back", true, 0.1, "words",
         [](DictationController& d) { d.hotkeyDidRequestDiscard(); }},
        {"a take with no speech", false, 0.6, "", stop},
        {"a failed recognition", false, 0.6, std::nullopt, stop},
        {"Esc while recording", false, 0.4, "words", cancel},
        {"Esc during recognition", false, 0.6, "words", stopThenCancel},
        {"sleep ends a hands-free take", false, 0.4, "words",
         [](DictationController& d) { d.hotkeyDidRequestHandsFreeStop("screen-lock"); }},
        {"sleep after a held take's release", false, 0.6, "words", stopThenSleep},
        {"quitting while recording", false, 0.4, "words", [](DictationController& d) { d.endForQuit(); }},
        {"quitting during recognition", false, 0.6, "words",
         [](DictationController& d) {
             d.stopDictation();
             d.endForQuit();
         }},
    };
    for (const Road& r : roads) {
        HeldRecognizer recognizer;
        road->setRecognizer(recognizer.make(r.heard));
        if (r.tentative) road->beginTentativeTake();
        else road->startDictation(DictationMode::standard, std::nullopt);
        const auto recording = MicrophoneRecorder::shared().currentRecordingURL();
        ASSERT_TRUE(recording && fs::exists(*recording)) << r.name << ": no take started";
        if (r.recordFor > 0) platform::MainQueue::pump(r.recordFor);
        r.end(*road);
        recognizer.release.set_value();
        settle([&] { return !fs::exists(*recording) && road->lifecycle == DictationLifecycle::idle; });
        EXPECT_FALSE(fs::exists(*recording)) << r.name << " left " << recording->filename();
        EXPECT_FALSE(road->isRecording) << r.name;
        EXPECT_EQ(road->lifecycle, DictationLifecycle::idle) << r.name;
    }
    StagingBuffer::shared().clear();
}

// The microphone is started off the main thread, so a press can be over
// before its start fails: a confirmed take still says why nothing was
// recorded, and a take a chord took back stays silent.
TEST_F(DictationControllerTest, AMicrophoneThatFailsToStartIsReportedEvenAfterAQuickRelease) {
    ScopedEnv noServer("PULSE_SERVER", "unix:/nonexistent/ondira-no-sound-server");
    auto& indicator = IndicatorWindowController::shared();
    road->beginTentativeTake();
    road->hotkeyDidRequestDiscard();
    settle();
    EXPECT_EQ(indicator.currentMode(), IndicatorMode::idle()) << "a chord's take back must stay silent";

    road->startDictation(DictationMode::standard, std::nullopt);
    road->stopDictation();
    settle([&] { return indicator.currentMode().kind == IndicatorMode::Kind::error; });
    EXPECT_EQ(indicator.currentMode().kind, IndicatorMode::Kind::error);
    EXPECT_EQ(indicator.currentMode().message, MicrophoneFaults::message(MicrophoneFault::soundServerNotRunning));
    EXPECT_FALSE(road->isRecording);
    EXPECT_EQ(road->lifecycle, DictationLifecycle::idle);
}

// Right Ctrl alone goes down: the take records from that moment and shows,
// but nothing the user would hear or another application would see happens
// before the press is confirmed; a shortcut takes the take back without a
// trace. The sink records the cues instead of playing them.
TEST_F(DictationControllerTest, ATentativeTakeRecordsUnheardAndIsConfirmedOrTakenBackWithoutATrace) {
    std::vector<std::string> cues;
    const auto previousSink = SoundCues::playbackSink();
    SoundCues::setPlaybackSink([&](const SystemSound& s) { cues.push_back(s.name()); });
    AppPaths::userDefaults()->setBool(SoundCues::enabledKey, true);
    auto& indicator = IndicatorWindowController::shared();
    auto& hotkeys = HotkeyManager::shared();
    const std::string startCue = SoundCueInfo::systemSoundName(SoundCue::recordingStarted);

    for (const bool confirmed : {false, true}) {
        const std::string label = confirmed ? "confirmed" : "taken back";
        cues.clear();
        road->beginTentativeTake();
        settle();
        ASSERT_TRUE(road->isRecording) << label;
        EXPECT_EQ(road->lifecycle, DictationLifecycle::capturing) << label;
        const auto recording = MicrophoneRecorder::shared().currentRecordingURL();
        ASSERT_TRUE(recording && fs::exists(*recording)) << label << ": the microphone records from key-down";
        EXPECT_EQ(indicator.currentMode().kind, IndicatorMode::Kind::recording) << label;
        EXPECT_TRUE(indicator.isVisible()) << label;
        EXPECT_TRUE(cues.empty()) << label << ": the start cue waits for the confirmation";
        EXPECT_FALSE(hotkeys.isEscapeCancelArmed()) << label << ": Esc stays the application's";

        if (!confirmed) {
            road->hotkeyDidRequestDiscard();
            settle();
            EXPECT_FALSE(road->isRecording);
            EXPECT_EQ(road->lifecycle, DictationLifecycle::idle);
            EXPECT_FALSE(fs::exists(*recording)) << "a taken-back take leaves its recording behind";
            EXPECT_EQ(indicator.currentMode(), IndicatorMode::idle());
            EXPECT_FALSE(indicator.isVisible());
            EXPECT_TRUE(cues.empty());
            EXPECT_TRUE(failures.empty());
            EXPECT_EQ(historyCount(), historyBefore);
            continue;
        }
        road->startDictation(DictationMode::standard);
        EXPECT_EQ(cues, std::vector<std::string>{startCue});
        EXPECT_TRUE(hotkeys.isEscapeCancelArmed());
        EXPECT_EQ(MicrophoneRecorder::shared().currentRecordingURL(), recording) << "the confirmed take is the same one";
        // Let go at once: too short a take, which ends idle like any other.
        road->stopDictation();
        settle([&] { return road->lifecycle == DictationLifecycle::idle; });
        EXPECT_FALSE(hotkeys.isEscapeCancelArmed());
    }
    SoundCues::setPlaybackSink(previousSink);
    AppPaths::userDefaults()->setBool(SoundCues::enabledKey, false);
}

namespace {
// Every regular file under `root` whose bytes contain `words`.
std::vector<fs::path> filesContaining(const fs::path& root, const std::string& words) {
    std::vector<fs::path> found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (!it->is_regular_file(ec)) continue;
        const auto bytes = platform::readFile(it->path());
        if (bytes && std::string(bytes->begin(), bytes->end()).find(words) != std::string::npos)
            found.push_back(it->path());
    }
    return found;
}
}  // namespace

// Words spoken into a password field may be a secret: a take held back from
// one leaves them in no file of Ondira's (the history, the staging buffer,
// the corrections, the personal model's corpus), nor on the clipboard or in
// the hub, and the pill says they were not kept. The field's application
// answers, or is stopped for the take so that it can't; an ordinary field
// shows that the same search finds words that were kept.
TEST_F(DictationControllerTest, ATakeHeldBackFromAPasswordFieldLeavesItsWordsNowhere) {
    SessionLock clipboard{"clipboard"};
    AppPaths::userDefaults()->setBool(DictationController::stagingModeKey, false);
    const std::string heldBack = " \u2014 Ondira held your words back and kept none";
    struct Row {
        const char* name;
        std::vector<std::string> fieldOptions;
        bool stopped;
        std::string spoken;
        std::string words;  // what the cleaned text holds of them
        bool kept;
    };
    const Row rows[] = {
        {"a password field", {"--password"}, false, "my secret courts are purple monkey", "purple monkey", false},
        {"a password field whose application is stopped", {"--password"}, true, "the vault opens at dawn",
         "opens at dawn", false},
        {"an ordinary field", {}, false, "the meeting moves to noon", "moves to noon", true},
    };
    auto& indicator = IndicatorWindowController::shared();
    // A window another test opens may take the keyboard focus during a
    // take: the row is then tried again, with a fresh word.
    const std::string takes[] = {"alpha", "bravo", "charlie"};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        bool focusStayed = false;
        for (const std::string& take : takes) {
            TextWindow field(row.fieldOptions);
            ASSERT_TRUE(field.ready());
            const std::string words = row.words + " " + take;
            const int refreshes = HubWindowController::shared().refreshRequests();
            const int logged = historyCount();
            if (row.stopped) kill(field.pid, SIGSTOP);
            road->completeRecognition(transcribing(), heard(row.spoken + " " + take));
            platform::MainQueue::pump(platform::DesktopInsertion::secureInputBudget + 15.0,
                                      [&] { return road->lifecycle == DictationLifecycle::idle; });
            focusStayed = field.hasKeyboardFocus();
            kill(field.pid, SIGCONT);
            settle();
            ASSERT_EQ(road->lifecycle, DictationLifecycle::idle);
            if (!focusStayed) continue;
            if (row.kept) {
                EXPECT_TRUE(field.waitFor("The meeting moves to noon " + take)) << field.text();
                EXPECT_FALSE(filesContaining(state().path, words).empty()) << "the history keeps a landed dictation";
                EXPECT_EQ(HubWindowController::shared().refreshRequests(), refreshes + 1);
                break;
            }
            const std::string message = indicator.currentMode().message;
            EXPECT_EQ(indicator.currentMode().kind, IndicatorMode::Kind::error);
            EXPECT_TRUE(message.size() > heldBack.size() &&
                        message.compare(message.size() - heldBack.size(), heldBack.size(), heldBack) == 0)
                << message;
            EXPECT_EQ(field.text(), "");
            EXPECT_EQ(filesContaining(state().path, words), std::vector<fs::path>{});
            EXPECT_EQ(historyCount(), logged);
            for (const auto& [phrase, count] : PersonalModel::readCorpus())
                EXPECT_EQ(phrase.find(words), std::string::npos) << phrase;
            EXPECT_TRUE(StagingBuffer::shared().isEmpty());
            EXPECT_NE(platform::desktopInsertionTarget()->clipboardText().value_or("").find(words), 0u);
            EXPECT_EQ(HubWindowController::shared().refreshRequests(), refreshes) << "the hub shows nothing new";
            break;
        }
        EXPECT_TRUE(focusStayed) << "another window kept taking the keyboard focus";
    }
}

// A hands-free start refused outright (dictation is off for the application
// in front) ends the hotkey manager's session at once: no take runs whose
// end would end it.
TEST_F(DictationControllerTest, AHandsFreeStartRefusedOutrightEndsItsSession) {
    // A window of our own made the active one, as a window manager would,
    // under a rule that never dictates into it.
    SessionLock activeWindowLock{"active-window"};
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    const Window root = DefaultRootWindow(display);
    const Window window = XCreateSimpleWindow(display, root, 0, 0, 10, 10, 0, 0, 0);
    XClassHint hint{const_cast<char*>("quiet"), const_cast<char*>("OndiraQuietProbe")};
    XSetClassHint(display, window, &hint);
    const long active = static_cast<long>(window);
    const Atom activeAtom = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    XChangeProperty(display, root, activeAtom, XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&active), 1);
    XSync(display, False);
    const auto defaults = AppPaths::userDefaults();
    const auto storedRules = AppRules::loadStoredOverrides(defaults);
    AppRule quiet;
    quiet.bundleID = "OndiraQuietProbe";
    quiet.displayName = "Quiet Probe";
    quiet.neverDictate = true;
    AppRules::persist({quiet}, defaults);

    auto& hotkeys = HotkeyManager::shared();
    for (int tap = 0; tap < 2; ++tap) {
        hotkeys.triggerPress();
        hotkeys.triggerRelease();
    }
    ASSERT_TRUE(hotkeys.isHandsFreeActive());
    settle([&] { return !hotkeys.isHandsFreeActive(); });
    EXPECT_FALSE(road->isRecording);
    EXPECT_FALSE(hotkeys.isHandsFreeActive()) << "the refused start left its session running";
    EXPECT_EQ(IndicatorWindowController::shared().currentMode(), IndicatorMode::error("Dictation is off for Quiet Probe"))
        << "the start was not refused for the application's rule";

    hotkeys.endHandsFreeQuietly();
    AppRules::persist(storedRules, defaults);
    XDeleteProperty(display, root, activeAtom);
    XDestroyWindow(display, window);
    XCloseDisplay(display);
}

// A hands-free take that ends without the key (the menu's stop, the
// microphone going away, a microphone that never started) ends the hotkey
// manager's session with it: left running, the key's next press would count
// as one inside a session, and a shortcut could not take its take back.
TEST_F(DictationControllerTest, AHandsFreeTakeThatEndsWithoutTheKeyEndsItsSession) {
    struct Road {
        const char* name;
        bool microphoneStarts;
        std::function<void(DictationController&)> end;
    };
    // The sound server is connected once and then kept: the row without one comes first.
    const Road roads[] = {
        {"the microphone never started", false, [](DictationController&) {}},
        {"the menu's stop", true, [](DictationController& d) { d.toggleDictation(); }},
        {"the microphone went away", true,
         [](DictationController& d) {
             const auto [recording, seconds] = MicrophoneRecorder::shared().stopRecording();
             d.audioEngineDidInterrupt(recording, seconds);
         }},
    };
    auto& hotkeys = HotkeyManager::shared();
    for (const Road& r : roads) {
        std::optional<ScopedEnv> noServer;
        if (!r.microphoneStarts) noServer.emplace("PULSE_SERVER", "unix:/nonexistent/ondira-no-sound-server");
        HeldRecognizer recognizer;
        road->setRecognizer(recognizer.make(""));
        recognizer.release.set_value();
        // A double tap, as the key listener reports one: each press opens a
        // take, and so does the hands-free request.
        const long long generation = road->dictationGeneration.load();
        for (int tap = 0; tap < 2; ++tap) {
            hotkeys.triggerPress();
            hotkeys.triggerRelease();
        }
        ASSERT_TRUE(hotkeys.isHandsFreeActive()) << r.name;
        settle([&] {
            return road->dictationGeneration.load() == generation + 3 &&
                   (r.microphoneStarts ? MicrophoneRecorder::shared().currentRecordingURL().has_value() : !road->isRecording);
        });
        ASSERT_EQ(road->dictationGeneration.load(), generation + 3) << r.name << ": no hands-free take began";
        ASSERT_EQ(road->isRecording, r.microphoneStarts) << r.name;
        r.end(*road);
        settle([&] { return !road->isRecording && road->lifecycle == DictationLifecycle::idle; });
        EXPECT_FALSE(road->isRecording) << r.name;
        EXPECT_FALSE(hotkeys.isHandsFreeActive()) << r.name << ": the session outlives its take";
        hotkeys.endHandsFreeQuietly();
    }
}

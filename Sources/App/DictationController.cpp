// The dictation road (see DictationController.h).
#include "App/DictationController.h"

#include "Base/AppPaths.h"
#include "App/SoundCues.h"
#include "Base/FaultLog.h"
#include "Engine/SpeechEngine.h"
#include "Engine/MicrophoneRecorder.h"
#include "Engine/StreamingSupport.h"
#include "Input/HotkeyManager.h"
#include "Input/TextInjector.h"
#include "Learning/DictationLogger.h"
#include "Platform/FrontmostApp.h"
#include "Platform/LinuxNames.h"
#include "Platform/Log.h"
#include "Platform/Queues.h"
#include "Text/PolishEngine.h"
#include "Text/Snippets.h"
#include "Text/StagingBuffer.h"
#include "Text/TextPipeline.h"
#include "Text/Vocabulary.h"
#include "UI/HubWindowController.h"
#include "UI/IndicatorWindow.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <set>
#include <thread>

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

// One take from the moment its capture starts: the recogniser works on it on
// its own thread while the user speaks, and waits there for the stop to say
// whether the take goes on to delivery or is thrown away. The thread was
// given its recording's path when it started; the stop's job reaches it only
// through the decision, copied under the lock, so the main thread and the
// recognition thread never share a job they both touch.
struct DictationTake {
    enum class Decision { pending, transcribe, abandon, cancelled };

    void decide(Decision decision, std::optional<DictationController::DictationJob> finalJob = std::nullopt) {
        std::lock_guard<std::mutex> guard(lock_);
        if (decision_ != Decision::pending) return;
        job_ = std::move(finalJob);
        decision_ = decision;
        changed_.notify_all();
    }
    // Esc, or the user going away, after the stop: a take on its way to
    // delivery is cancelled, one still being captured abandoned.
    void cancel() {
        std::lock_guard<std::mutex> guard(lock_);
        decision_ = decision_ == Decision::transcribe ? Decision::cancelled : Decision::abandon;
        changed_.notify_all();
    }
    // The decision, with the job of a take that goes on to delivery.
    std::pair<Decision, std::optional<DictationController::DictationJob>> waitForDecision() {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [this] { return decision_ != Decision::pending; });
        return {decision_, job_};
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    Decision decision_ = Decision::pending;
    std::optional<DictationController::DictationJob> job_;
};

// The delegate side of the audio engine and the hotkey manager. Both hold
// their delegate weakly, so the application delegate owns this adapter.
class DictationEvents : public AudioEngineDelegate, public HotkeyManagerDelegate {
public:
    explicit DictationEvents(DictationController& owner) : d_(owner) {}

    void audioEngineDidUpdateRMS(float level) override {
        if (d_.isRecording)
            IndicatorWindowController::shared().updateState(IndicatorMode::recording(level, d_.currentDictationMode));
    }
    void audioEngineDidStartRecording() override {
        // Posted from the audio queue: a take stopped already must not bring the meter back.
        if (d_.isRecording)
            IndicatorWindowController::shared().updateState(IndicatorMode::recording(0.1f, d_.currentDictationMode));
    }
    void audioEngineDidStopRecording(const std::optional<fs::path>&, double) override {}
    void audioEngineDidEncounterError(const AudioEngineError& error) override { d_.showError(error.errorDescription()); }
    void audioEngineDidInterrupt(const std::optional<fs::path>& audioURL, double duration,
                                 AudioInterruptionReason) override {
        d_.audioEngineDidInterrupt(audioURL, duration);
    }

    void hotkeyDidBeginTentativePress() override { d_.beginTentativeTake(); }
    void hotkeyDidPress() override { d_.startDictation(DictationMode::standard); }
    void hotkeyDidRelease() override { d_.stopDictation(); }
    void hotkeyDidPress(DictationMode mode) override { d_.startDictation(mode); }
    void hotkeyDidRequestCancel() override { d_.hotkeyDidRequestCancel(); }
    void hotkeyDidRequestErrorAction() override { d_.hotkeyDidRequestErrorAction(); }
    bool hotkeyDidRequestHandsFreeStart() override {
        d_.startDictation(DictationMode::standard);
        return d_.isRecording;
    }
    void hotkeyDidRequestHandsFreeStop(const std::string& reason) override { d_.hotkeyDidRequestHandsFreeStop(reason); }
    void hotkeyDidRefuseHotkey(const std::string& message) override { d_.showError(message); }
    void hotkeyDidRequestDiscard() override { d_.hotkeyDidRequestDiscard(); }
    void hotkeyDidForceRelease(const std::string& reason) override { d_.hotkeyDidForceRelease(reason); }

private:
    DictationController& d_;
};

namespace {

std::string formatted(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

// The rule in force for an application, with its profile applied.
AppRule ruleFor(const std::optional<std::string>& bundleID) {
    auto userDefaults = AppPaths::userDefaults();
    return Profiles::materialize(AppRules::resolve(bundleID, AppRules::effectiveRules(userDefaults)),
                                 Profiles::effectiveProfiles(userDefaults));
}

std::optional<std::string> frontBundleID() {
    auto front = platform::frontmostApplication();
    if (!front || front->applicationID.empty()) return std::nullopt;
    return front->applicationID;
}

// Partial text only ever reaches the indicator, and only while the road
// that asked for it is still there.
PartialTextCallback partialTextForwarder(std::weak_ptr<DictationController> controller) {
    return [controller](const std::string& text) {
        platform::MainQueue::async([controller, text] {
            if (controller.lock()) IndicatorWindowController::shared().updatePartialText(text);
        });
    };
}

// The speech engine's recognition of one take: live from its buffer stream
// when it has one, else from the file alone.
TranscriptionResult recognizeOnDevice(const std::shared_ptr<AudioBufferStream>& stream, const fs::path& audioURL,
                                      const std::vector<std::string>& contextTerms,
                                      const PartialTextCallback& onPartialText) {
    auto& speechEngine = SpeechEngine::shared();
    if (!stream) return speechEngine.transcribeDetailed(audioURL, contextTerms, std::nullopt, onPartialText);
    return speechEngine.transcribeStreaming(stream, audioURL, contextTerms, std::nullopt, onPartialText).result;
}

void recordStaleDrop() { FaultLog::record("transcription_dropped_stale", {{"reason", "cancelled_or_superseded"}}); }

// A take's recording is the user's voice: once the take has ended, however it
// ended, the file goes. A failure to delete is left to the sweep at launch.
void deleteRecording(const std::optional<fs::path>& audioURL) {
    if (!audioURL) return;
    std::error_code ec;
    fs::remove(*audioURL, ec);
}

// The recordings of takes whose threads are still at work, so that quitting,
// which doesn't wait for those threads, can delete them first.
class RecordingsInFlight {
public:
    static RecordingsInFlight& shared() {
        static RecordingsInFlight* registry = new RecordingsInFlight();
        return *registry;
    }
    void add(const fs::path& url) {
        std::lock_guard<std::mutex> guard(lock_);
        urls_.insert(url);
    }
    void finish(const fs::path& url) {
        std::lock_guard<std::mutex> guard(lock_);
        deleteRecording(url);
        urls_.erase(url);
    }
    void deleteAll() {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& url : urls_) deleteRecording(url);
        urls_.clear();
    }

private:
    std::mutex lock_;
    std::set<fs::path> urls_;
};

// The user is gone (the machine sleeps or the screen locks): a take of
// theirs is thrown away, whichever gesture began it.
bool userWentAway(const std::string& reason) { return reason == "system-sleep" || reason == "screen-lock"; }

// The thread of one take: recognise, wait for the stop's decision, hand over.
// `audioURL` is the thread's own copy of the recording's path.
void runTake(std::weak_ptr<DictationController> controller, std::shared_ptr<DictationTake> take,
             DictationController::Recognizer recognizer, std::shared_ptr<AudioBufferStream> stream, fs::path audioURL) {
    // Whatever the stop decides (delivery, a failure, a cancel or a take too
    // short to keep), the recording does not outlive this thread.
    struct RecordingGoes {
        const fs::path& url;
        ~RecordingGoes() { RecordingsInFlight::shared().finish(url); }
    } recordingGoes{audioURL};
    const std::vector<std::string> contextTerms = Vocabulary::shared().getContextTerms();
    std::optional<TranscriptionResult> result;
    std::string errorType, errorDescription;
    try {
        const PartialTextCallback forwarder = partialTextForwarder(controller);
        result = recognizer(stream, audioURL, contextTerms, /*onPartialText=*/forwarder);
    } catch (const TranscriptionError& error) {
        errorType = "TranscriptionError";
        errorDescription = error.errorDescription();
    } catch (const std::exception& error) {
        errorType = "exception";
        errorDescription = error.what();
    }
    const auto [decision, job] = take->waitForDecision();
    if (decision == DictationTake::Decision::cancelled) {
        // Cancelled while recognition ran: nothing of the take is handed over.
        recordStaleDrop();
        return;
    }
    if (decision == DictationTake::Decision::abandon || !job) return;
    auto road = controller.lock();
    if (!road) return;
    if (result) road->completeRecognition(*job, *result);
    else road->failRecognition(*job, errorType, errorDescription);
}

}  // namespace

// ---------------------------------------------------------------- start-up

DictationController::DictationController(Host& host) : host_(host), recognizer_(recognizeOnDevice) {}

void DictationController::setRecognizer(Recognizer recognizer) { recognizer_ = std::move(recognizer); }

void DictationController::wire() {
    if (events_) return;
    events_ = std::make_shared<DictationEvents>(*this);
    MicrophoneRecorder::shared().setDelegate(events_);
    auto& hotkeyManager = HotkeyManager::shared();
    hotkeyManager.delegate = events_;
    hotkeyManager.startListening();
    platform::log("Ondira Native", "Hotkey & Audio initialized immediately on startup.");
}

void DictationController::prewarmRecognizer() {
    auto& speechEngine = SpeechEngine::shared();
    speechEngine.applyPersistedLocale(*AppPaths::userDefaults());
    const std::string locale = speechEngine.locale();
    platform::GlobalQueue::async(platform::QoS::utility,
                                 [locale] { SpeechEngine::shared().prewarmAndInstallModel(locale); });
}

// ---------------------------------------------------------------- start and capture

void DictationController::toggleDictation() {
    if (!isRecording) {
        startDictation(DictationMode::standard);
        return;
    }
    stopDictation();
    endHandsFreeWithTheTake();
}

void DictationController::startDictation(DictationMode mode) {
    if (isRecording) {
        confirmTentativeTake(mode);
        return;
    }
    startDictation(mode, frontBundleID());
}

void DictationController::startDictation(DictationMode mode, const std::optional<std::string>& frontBundleID) {
    if (isRecording) {
        confirmTentativeTake(mode);
        return;
    }
    const AppRule rule = ruleFor(frontBundleID);
    if (rule.neverDictate) {
        showError("Dictation is off for " + rule.displayName);
        return;
    }
    openTake(mode, rule);
    takeConfirmed_ = true;
    HotkeyManager::shared().armEscapeCancel();
    SoundCues::shared().play(SoundCue::recordingStarted);
    // No consent dialogue exists here: the microphone is usable or it isn't.
    // The watch's last answer decides; asking the sound server here would
    // hold the key press up for as long as the server takes to answer.
    if (host_.knownMicrophoneGrant() == false) {
        host_.refreshPermissionStates();
        isRecording = false;
        returnToIdle();
        showError(MicrophoneFaults::message(MicrophoneRecorder::lastMicrophoneFault()),
                  ErrorRemedy::openSystemPane(SettingsPane::microphone));
        return;
    }
    beginCapture();
}

// Only what the user cannot notice happens here: the key may yet turn out to
// be part of a shortcut, and then the take goes as if it never was. Anything
// that would refuse the take is left to the confirming press, which tells.
void DictationController::beginTentativeTake() {
    // A take still on its way to the text is never overtaken by a key that
    // may be a shortcut's.
    if (isRecording || lifecycle != DictationLifecycle::idle) return;
    if (host_.knownMicrophoneGrant() == false) return;
    openTake(DictationMode::standard, AppRules::globalDefault());
    isTentative_ = true;
    beginCapture();
    // Finding the focused application opens an X connection and reads
    // desktop files: that happens off the main thread while the indicator
    // draws, and its rule follows.
    const long long generation = dictationGeneration.load();
    platform::GlobalQueue::async(platform::QoS::userInitiated, [road = weak_from_this(), generation] {
        const std::optional<std::string> front = frontBundleID();
        platform::MainQueue::async([road, generation, front] {
            if (auto d = road.lock()) d->applyFrontRule(generation, front);
        });
    });
}

void DictationController::applyFrontRule(long long generation, const std::optional<std::string>& frontBundleID) {
    if (generation != dictationGeneration.load() || !isRecording) return;
    const AppRule rule = ruleFor(frontBundleID);
    if (!rule.neverDictate) {
        currentAppRule = rule;
        return;
    }
    // Unconfirmed, the take goes unheard and the confirming press refuses
    // with the reason; confirmed already, it is refused now.
    const bool confirmed = !isTentative_;
    hotkeyDidRequestDiscard();
    if (confirmed) showError("Dictation is off for " + rule.displayName);
}

void DictationController::confirmTentativeTake(DictationMode mode) {
    if (!isTentative_ || mode != currentDictationMode) return;
    isTentative_ = false;
    takeConfirmed_ = true;
    HotkeyManager::shared().armEscapeCancel();
    SoundCues::shared().play(SoundCue::recordingStarted);
}

void DictationController::openTake(DictationMode mode, const AppRule& rule) {
    isRecording = true;
    takeConfirmed_ = false;
    currentDictationMode = mode;
    currentAppRule = rule;
    ++dictationGeneration;
    lifecycle = DictationLifecycle::capturing;
    IndicatorWindowController::shared().updateState(IndicatorMode::recording(0.15f, mode));
}

// The one capture road of every take, whatever began it. The sound server
// takes tens of milliseconds to open the input; on the audio queue that
// happens while the main thread draws the indicator, so the pill shows at
// once. A stop or a discard meanwhile waits behind the start on that queue,
// so it always finds the microphone running. The live stream's sink goes on
// in the same step, before the start, so the first buffer of the take
// reaches the recogniser; a start that fails takes the sink off again before
// another take can begin.
void DictationController::beginCapture() {
    pendingBufferStream = AudioBufferStream::make();
    const long long generation = dictationGeneration.load();
    MicrophoneRecorder::shared().audioQueue().async([road = weak_from_this(), generation, stream = pendingBufferStream] {
        auto& audioEngine = MicrophoneRecorder::shared();
        std::optional<std::string> failure;
        audioEngine.attachStreamingSink(AudioBufferStream::sinkFeeding(stream));
        try {
            audioEngine.startRecording();
        } catch (const AudioEngineError& error) {
            audioEngine.detachStreamingSink();
            failure = error.errorDescription();
        }
        platform::MainQueue::async([road, generation, failure] {
            if (auto d = road.lock()) d->captureStarted(generation, failure);
        });
    });
}

void DictationController::captureStarted(long long generation, const std::optional<std::string>& failure) {
    if (generation != dictationGeneration.load()) return;
    if (failure) {
        pendingBufferStream = nullptr;
        if (isRecording) {
            isRecording = false;
            isTentative_ = false;
            endHandsFreeWithTheTake();
            returnToIdle();
            IndicatorWindowController::shared().updateState(IndicatorMode::idle());
        }
        // A confirmed take says why it recorded nothing, even when its key is
        // up by now; an unconfirmed one stays unheard, and the confirming
        // press tries again and tells.
        if (takeConfirmed_) showError(*failure);
        return;
    }
    // A take stopped or taken back meanwhile has already stopped the microphone.
    if (!isRecording) return;
    auto s = std::move(pendingBufferStream);
    pendingBufferStream = nullptr;
    // Recognition starts with the take, so that releasing the key only
    // finishes its last fraction of a second.
    if (const std::optional<fs::path> audioURL = MicrophoneRecorder::shared().currentRecordingURL())
        startLiveRecognition(std::move(s), *audioURL);
}

void DictationController::startLiveRecognition(std::shared_ptr<AudioBufferStream> stream, const fs::path& audioURL) {
    auto take = std::make_shared<DictationTake>();
    liveTake_ = take;
    RecordingsInFlight::shared().add(audioURL);
    std::thread(runTake, weak_from_this(), take, recognizer_, std::move(stream), audioURL).detach();
}

// ---------------------------------------------------------------- stop

void DictationController::stopDictation() {
    if (!isRecording) return;
    isRecording = false;
    const auto stopTime = Clock::now();
    IndicatorWindowController::shared().updateState(IndicatorMode::processing());
    auto& audioEngine = MicrophoneRecorder::shared();
    const auto [audioURL, duration] = audioEngine.stopRecording();
    SoundCues::shared().play(SoundCue::recordingStopped);
    endCapture(audioURL, duration, stopTime);
}

void DictationController::audioEngineDidInterrupt(const std::optional<fs::path>& audioURL, double duration) {
    // The microphone is already off; what was recorded up to here is a take
    // like any other. The engine's error message follows on its own.
    if (!isRecording) return;
    isRecording = false;
    endHandsFreeWithTheTake();
    endCapture(audioURL, duration, Clock::now());
}

void DictationController::endCapture(const std::optional<fs::path>& audioURL, double duration, Clock::time_point stopTime) {
    isTentative_ = false;
    lastAudioSeconds = duration;
    lastAudioBytes = 0;
    if (audioURL) {
        std::error_code ec;
        const auto size = fs::file_size(*audioURL, ec);
        if (!ec) lastAudioBytes = static_cast<long long>(size);
    }
    std::shared_ptr<DictationTake> take = std::move(liveTake_);
    liveTake_ = nullptr;
    if (audioURL && duration > minimumTakeSeconds) {
        lifecycle = DictationLifecycle::transcribing;
        HotkeyManager::shared().armEscapeCancel();
        const DictationJob job{*audioURL, dictationGeneration.load(), currentDictationMode, currentAppRule, stopTime,
                               duration};
        if (!take) {
            // No live stream for this take: the file alone is recognised.
            take = std::make_shared<DictationTake>();
            RecordingsInFlight::shared().add(job.audioURL);
            std::thread(runTake, weak_from_this(), take, recognizer_, nullptr, job.audioURL).detach();
        }
        take->decide(DictationTake::Decision::transcribe, job);
        transcriptionTask_ = take;
        return;
    }
    if (take) take->decide(DictationTake::Decision::abandon);
    deleteRecording(audioURL);
    returnToIdle();
    IndicatorWindowController::shared().updateState(IndicatorMode::idle());
    if (onDictationFailed) onDictationFailed(shortHoldMessage);
}

// ---------------------------------------------------------------- completion

double DictationController::reportedLatency(double endToEndSeconds, double cleanUpSeconds, double sinceStopSeconds) {
    return endToEndSeconds > 0 ? endToEndSeconds + cleanUpSeconds : sinceStopSeconds;
}

void DictationController::completeRecognition(const DictationJob& job, const TranscriptionResult& result) {
    deleteRecording(job.audioURL);
    if (result.isTruncated)
        FaultLog::record("transcript_truncated", {{"audio_secs", formatted("%.2f", result.audioSeconds)}});
    if (job.generation != dictationGeneration.load()) {
        recordStaleDrop();
        return;
    }
    if (result.text.empty()) {
        endWithoutText(job.generation, noSpeechMessage);
        return;
    }
    const auto t0 = Clock::now();
    const std::string cleaned = TextPipeline::cleanUpDictation(result.text, job.mode == DictationMode::raw, job.rule,
                                                               PolishEngine::shared(), Snippets::shared());
    const auto t1 = Clock::now();
    if (cleaned.empty()) {
        // Voice commands took every word back ("hello world scratch that"):
        // the user asked for nothing, so nothing is logged, staged or
        // inserted; the injector would never answer an empty insertion.
        endWithoutText(job.generation, nullptr);
        return;
    }
    const double latency = reportedLatency(result.endToEndSeconds, std::chrono::duration<double>(t1 - t0).count(),
                                           std::chrono::duration<double>(t1 - job.stopTime).count());
    // The history entry, the hub and the delivery happen together on the
    // main thread, where a cancel runs too: a dictation cancelled by now is
    // neither logged nor delivered.
    const double transcriptionSeconds = result.transcriptionSeconds;
    const std::string engine = result.engineIdentifier;
    // The application that receives the text is asked here, not on the main
    // thread: its window's properties wait on the X server and its name on
    // reading desktop entries.
    const auto front = platform::frontmostApplication();
    std::optional<std::string> receivingBundleID;
    if (front && !front->applicationID.empty()) receivingBundleID = front->applicationID;
    const std::string appName = front && !front->displayName.empty() ? front->displayName : "Unknown";
    platform::MainQueue::async([this, job, cleaned, latency, transcriptionSeconds, engine, receivingBundleID, appName] {
        if (job.generation != dictationGeneration.load()) {
            recordStaleDrop();
            return;
        }
        // Words held back from a secure field may be a secret: they are
        // written nowhere, so the history is only written once delivery
        // knows where they went.
        auto keep = [cleaned, appName, date = Clock::now(), duration = job.duration, latency, transcriptionSeconds,
                     engine] {
            auto& logger = DictationLogger::shared();
            if (logger.isLoggingEnabled())
                logger.append(cleaned, appName, date, duration, latency, transcriptionSeconds, engine);
            HubWindowController::shared().refreshAfterDictation();
        };
        deliverFinalText(cleaned, job.generation, receivingBundleID, keep);
    });
}

void DictationController::endWithoutText(long long generation, const char* failureMessage) {
    platform::MainQueue::async([this, generation, failureMessage] {
        if (generation != dictationGeneration.load()) return;
        returnToIdle();
        IndicatorWindowController::shared().updateState(IndicatorMode::idle());
        if (!failureMessage) return;
        SoundCues::shared().play(SoundCue::error);
        if (onDictationFailed) onDictationFailed(failureMessage);
    });
}

void DictationController::failRecognition(const DictationJob& job, const std::string& typeName,
                                          const std::string& description) {
    deleteRecording(job.audioURL);
    platform::log("Ondira Native", "Transcription error: " + description);
    platform::MainQueue::async([this, job, typeName, description] {
        auto& audioEngine = MicrophoneRecorder::shared();
        FaultLog::record("transcribe_error", {{"error", typeName},
                                              {"reason", description},
                                              {"peakRMS", formatted("%.4f", audioEngine.lastPeakRMS())},
                                              {"inputDevice", audioEngine.currentInputName()},
                                              {"audioSeconds", formatted("%.2f", lastAudioSeconds)},
                                              {"audioBytes", std::to_string(lastAudioBytes)},
                                              {"engineRan", audioEngine.didCaptureAnyBuffer() ? "yes" : "NO"}});
        if (job.generation != dictationGeneration.load()) return;
        returnToIdle();
        showError(description);
        if (onDictationFailed) onDictationFailed(description);
    });
}

// ---------------------------------------------------------------- delivery

std::optional<std::string> DictationController::insertionFailureMessage(const InjectionOutcome& outcome,
                                                                       bool textStaysStaged) {
    switch (outcome.kind) {
        case InjectionOutcome::Kind::confirmed: return std::nullopt;
        case InjectionOutcome::Kind::blockedBySecureInput:
            return std::string(outcome.couldNotTell ? "Field didn't say if it's secure" : "Secure field") +
                   (textStaysStaged ? " \u2014 Ondira held your staged text back; it stays staged"
                                    : " \u2014 Ondira held your words back and kept none");
        case InjectionOutcome::Kind::unconfirmed:
            if (outcome.textOnClipboard)
                return std::string("Couldn't paste \u2014 your text is on the clipboard, press ") +
                       LinuxNames::pasteShortcut;
            return std::string("Couldn't paste into this app");
    }
    return std::nullopt;
}

void DictationController::deliverFinalText(const std::string& text, long long generation,
                                           const std::optional<std::string>& receivingBundleID,
                                           std::function<void()> keep) {
    if (!keep) keep = [] {};
    if (generation != dictationGeneration.load()) return;
    lifecycle = DictationLifecycle::injected;
    HotkeyManager::shared().disarmEscapeCancel();
    if (onDictationCompleted) onDictationCompleted(text);
    auto& indicator = IndicatorWindowController::shared();

    std::optional<std::string> stagingMessage;
    if (AppPaths::userDefaults()->boolValue(stagingModeKey)) {
        auto& staging = StagingBuffer::shared();
        const StagingAppendResult appended = staging.append(text, true, Clock::now());
        if (appended.isAppended()) {
            keep();
            host_.stagedEntriesChanged(static_cast<long long>(staging.count()));
            indicator.updateState(IndicatorMode::done());
            SoundCues::shared().play(SoundCue::success);
            returnToIdle();
            return;
        }
        stagingMessage = appended.fallbackMessage();
        if (stagingMessage) showError(*stagingMessage);
    }

    // The application that receives the text may not be the one the
    // dictation began in; its own rule decides.
    const AppRule receiving = ruleFor(receivingBundleID);
    if (receiving.neverDictate) {
        keep();
        showError("Dictation is off for " + receiving.displayName);
        returnToIdle();
        return;
    }

    TextInjector::shared().inject(text, true,
                                  [weak = weak_from_this(), generation, stagingMessage, keep](InjectionOutcome outcome) {
                                      if (outcome.kind != InjectionOutcome::Kind::blockedBySecureInput) keep();
                                      auto d = weak.lock();
                                      // A newer dictation owns the indicator and the lifecycle by now.
                                      if (!d || generation != d->dictationGeneration.load()) return;
                                      if (auto message = insertionFailureMessage(outcome)) {
                                          d->showError(*message);
                                      } else if (!stagingMessage) {
                                          IndicatorWindowController::shared().updateState(IndicatorMode::done());
                                          SoundCues::shared().play(SoundCue::success);
                                      }
                                      d->returnToIdle();
                                  });
}

// ---------------------------------------------------------------- cancel and errors

void DictationController::hotkeyDidRequestCancel() {
    const auto [next, outcome] = DictationLifecycles::cancelled(lifecycle);
    lifecycle = next;
    HotkeyManager::shared().disarmEscapeCancel();
    switch (outcome) {
        case DictationLifecycles::CancelOutcome::cancelledDiscardAudio:
            discardCapture();
            showCancel("Cancelled — nothing was recorded");
            break;
        case DictationLifecycles::CancelOutcome::cancelledDropTranscript:
            dropTranscription();
            showCancel("Cancelled — transcription discarded");
            break;
        case DictationLifecycles::CancelOutcome::noOp: break;
    }
}

void DictationController::dropTranscription() {
    if (transcriptionTask_) transcriptionTask_->cancel();
    transcriptionTask_ = nullptr;
    ++dictationGeneration;
    returnToIdle();
}

void DictationController::discardCapture() {
    isRecording = false;
    isTentative_ = false;
    auto& audioEngine = MicrophoneRecorder::shared();
    const auto stopped = audioEngine.stopRecording();
    if (liveTake_) liveTake_->decide(DictationTake::Decision::abandon);
    liveTake_ = nullptr;
    deleteRecording(stopped.first);
}

void DictationController::endForQuit() {
    // The process ends before a take's thread could finish: the take being
    // captured stops here, and every recording of this run goes with it.
    if (isRecording) discardCapture();
    if (transcriptionTask_) transcriptionTask_->cancel();
    transcriptionTask_ = nullptr;
    ++dictationGeneration;
    returnToIdle();
    RecordingsInFlight::shared().deleteAll();
}

void DictationController::hotkeyDidRequestDiscard() {
    if (!isRecording) return;
    discardCapture();
    returnToIdle();
    IndicatorWindowController::shared().updateState(IndicatorMode::idle());
}

void DictationController::hotkeyDidRequestErrorAction() { host_.runErrorRemedy(); }

void DictationController::hotkeyDidRequestHandsFreeStop(const std::string& reason) {
    // A tap's release has already stopped the take.
    if (reason == "tap" || !isRecording) return;
    if (userWentAway(reason)) {
        // Nobody is there to hear the take: the microphone stops and the take is thrown away.
        discardCapture();
        returnToIdle();
        IndicatorWindowController::shared().updateState(IndicatorMode::idle());
        return;
    }
    stopDictation();
}

void DictationController::hotkeyDidForceRelease(const std::string& reason) {
    // The release just before this call stopped a held take and sent it on
    // to recognition; the user is gone, so it is thrown away like a
    // hands-free take.
    if (!userWentAway(reason) || lifecycle != DictationLifecycle::transcribing) return;
    dropTranscription();
    IndicatorWindowController::shared().updateState(IndicatorMode::idle());
}

// A take ended here, not by the key: a hands-free session it belonged to
// ends too, or the key's next press would count as one inside it, and no
// shortcut takes such a press's take back.
void DictationController::endHandsFreeWithTheTake() { HotkeyManager::shared().endHandsFreeQuietly(); }

void DictationController::returnToIdle() {
    lifecycle = DictationLifecycle::idle;
    HotkeyManager::shared().disarmEscapeCancel();
}

void DictationController::showCancel(const std::string& message) {
    IndicatorWindowController::shared().updateState(IndicatorMode::cancel(message));
    SoundCues::shared().play(SoundCue::error);
}

void DictationController::showError(const std::string& message, std::optional<ErrorRemedy> remedy) {
    IndicatorWindowController::shared().updateState(IndicatorMode::error(message, remedy));
    SoundCues::shared().play(SoundCue::error);
}

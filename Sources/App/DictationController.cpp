// The dictation road of the application delegate: the hotkey starts a take,
// the microphone records it into a file and a live buffer stream, the
// recogniser decodes the stream while the user speaks, and releasing the key
// finishes the decode, cleans the text up, records it in the history and
// delivers it into the staging buffer or the focused application.
//
// Every dictation carries its generation. Anything a job shows, logs or
// delivers is checked against the current generation on the main thread
// first, so a cancelled or overtaken dictation leaves no trace.
#include "App/AppDelegate.h"

#include "Base/AppPaths.h"
#include "App/Permissions.h"
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

#include <gtk/gtk.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

// One take from the moment its capture starts: the recogniser works on it on
// its own thread while the user speaks, and waits there for the stop to say
// whether the take goes on to delivery or is thrown away.
struct DictationTake {
    enum class Decision { pending, transcribe, abandon };

    AppDelegate::DictationJob job;
    std::atomic<bool> cancelled{false};

    void decide(Decision decision, const AppDelegate::DictationJob* finalJob = nullptr) {
        std::lock_guard<std::mutex> guard(lock_);
        if (decision_ != Decision::pending) return;
        if (finalJob) job = *finalJob;
        decision_ = decision;
        changed_.notify_all();
    }
    Decision waitForDecision() {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [this] { return decision_ != Decision::pending; });
        return decision_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    Decision decision_ = Decision::pending;
};

// The delegate side of the audio engine and the hotkey manager. Both hold
// their delegate weakly, so the application delegate owns this adapter.
class DictationEvents : public AudioEngineDelegate, public HotkeyManagerDelegate {
public:
    explicit DictationEvents(AppDelegate& owner) : d_(owner) {}

    void audioEngineDidUpdateRMS(float level) override {
        if (d_.isRecording) IndicatorWindowController::shared().updateState(IndicatorMode::recording(level, d_.currentDictationMode));
    }
    void audioEngineDidStartRecording() override {
        // Posted from the audio queue: a take stopped already must not bring the meter back.
        if (d_.isRecording) IndicatorWindowController::shared().updateState(IndicatorMode::recording(0.1f, d_.currentDictationMode));
    }
    void audioEngineDidStopRecording(const std::optional<fs::path>&, double) override {}
    void audioEngineDidEncounterError(const AudioEngineError& error) override { d_.showError(error.errorDescription()); }
    void audioEngineDidInterrupt(const std::optional<fs::path>& audioURL, double duration, AudioInterruptionReason) override {
        d_.audioEngineDidInterrupt(audioURL, duration);
    }

    void hotkeyDidPress() override { d_.startDictation(DictationMode::standard); }
    void hotkeyDidRelease() override { d_.stopDictation(); }
    void hotkeyDidPress(DictationMode mode) override { d_.startDictation(mode); }
    void hotkeyDidRequestCancel() override { d_.hotkeyDidRequestCancel(); }
    void hotkeyDidRequestErrorAction() override { d_.hotkeyDidRequestErrorAction(); }
    void hotkeyDidRequestHandsFreeStart() override { d_.startDictation(DictationMode::standard); }
    void hotkeyDidRequestHandsFreeStop(const std::string& reason) override { d_.hotkeyDidRequestHandsFreeStop(reason); }

private:
    AppDelegate& d_;
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

// Partial text only ever reaches the indicator.
PartialTextCallback partialTextForwarder() {
    return [](const std::string& text) {
        platform::MainQueue::async([text] {
            if (AppDelegate::shared()) IndicatorWindowController::shared().updatePartialText(text);
        });
    };
}

// Recognition of one take: live from its buffer stream when it has one,
// else from the file alone.
TranscriptionResult recognize(const std::shared_ptr<AudioBufferStream>& stream, const fs::path& audioURL,
                              const std::vector<std::string>& contextTerms) {
    auto& speechEngine = SpeechEngine::shared();
    const PartialTextCallback forwarder = partialTextForwarder();
    if (!stream) return speechEngine.transcribeDetailed(audioURL, contextTerms, std::nullopt, /*onPartialText=*/forwarder);
    return speechEngine.transcribeStreaming(stream, audioURL, contextTerms, std::nullopt, /*onPartialText=*/forwarder).result;
}

// The thread of one take: recognise, wait for the stop's decision, hand over.
void runTake(AppDelegate* delegate, std::shared_ptr<DictationTake> take, std::shared_ptr<AudioBufferStream> stream) {
    const std::vector<std::string> contextTerms = Vocabulary::shared().getContextTerms();
    std::optional<TranscriptionResult> result;
    std::string errorType, errorDescription;
    try {
        result = recognize(stream, take->job.audioURL, contextTerms);
    } catch (const TranscriptionError& error) {
        errorType = "TranscriptionError";
        errorDescription = error.errorDescription();
    } catch (const std::exception& error) {
        errorType = "exception";
        errorDescription = error.what();
    }
    if (take->waitForDecision() == DictationTake::Decision::abandon) return;
    if (result) delegate->completeRecognition(take->job, *result);
    else delegate->failRecognition(take->job, errorType, errorDescription);
}

void recordStaleDrop() { FaultLog::record("transcription_dropped_stale", {{"reason", "cancelled_or_superseded"}}); }

}  // namespace

// ---------------------------------------------------------------- start-up

void AppDelegate::wireDictationRoad() {
    dictationEvents_ = std::make_shared<DictationEvents>(*this);
    MicrophoneRecorder::shared().setDelegate(dictationEvents_);
    auto& hotkeyManager = HotkeyManager::shared();
    hotkeyManager.delegate = dictationEvents_;
    hotkeyManager.startListening();
    platform::log("Ondira Native", "Hotkey & Audio initialized immediately on startup.");
}

void AppDelegate::prewarmRecognizer() {
    auto& speechEngine = SpeechEngine::shared();
    speechEngine.applyPersistedLocale(*AppPaths::userDefaults());
    const std::string locale = speechEngine.locale();
    platform::GlobalQueue::async(platform::QoS::utility,
                                 [locale] { SpeechEngine::shared().prewarmAndInstallModel(locale); });
}

// ---------------------------------------------------------------- start and capture

void AppDelegate::toggleDictation() {
    if (!isRecording) startDictation(DictationMode::standard);
    else stopDictation();
}

void AppDelegate::startDictation(DictationMode mode) {
    if (isRecording) return;
    startDictation(mode, frontBundleID());
}

void AppDelegate::startDictation(DictationMode mode, const std::optional<std::string>& frontBundleID) {
    if (isRecording) return;
    const AppRule rule = ruleFor(frontBundleID);
    if (rule.neverDictate) {
        showError("Dictation is off for " + rule.displayName);
        return;
    }
    isRecording = true;
    currentDictationMode = mode;
    currentAppRule = rule;
    ++dictationGeneration;
    lifecycle = DictationLifecycle::capturing;
    HotkeyManager::shared().armEscapeCancel();
    IndicatorWindowController::shared().updateState(IndicatorMode::recording(0.15f, mode));
    SoundCues::shared().play(SoundCue::recordingStarted);
    // No consent dialogue exists here: the microphone is usable or it isn't.
    // The watch's last answer decides; asking the sound server here would
    // hold the key press up for as long as the server takes to answer.
    const auto& known = permissionWatch_.lastKnownPermissionState();
    const auto microphone = known.find(OndiraPermission(OndiraPermission::microphone).id());
    if (microphone != known.end() && !microphone->second) {
        refreshPermissionStates();
        isRecording = false;
        returnToIdle();
        showError(MicrophoneFaults::message(MicrophoneRecorder::lastMicrophoneFault()),
                  ErrorRemedy::openSystemPane(SettingsPane::microphone));
        return;
    }
    beginCapture();
}

void AppDelegate::beginCapture() {
    auto& audioEngine = MicrophoneRecorder::shared();
    pendingBufferStream = AudioBufferStream::make();
    audioEngine.attachStreamingSink(AudioBufferStream::sinkFeeding(pendingBufferStream));
    try {
        audioEngine.startRecording();
    } catch (const AudioEngineError& error) {
        audioEngine.detachStreamingSink();
        pendingBufferStream = nullptr;
        isRecording = false;
        returnToIdle();
        showError(error.errorDescription());
        return;
    }
    // Recognition starts with the take, so that releasing the key only
    // finishes its last fraction of a second.
    const std::optional<fs::path> audioURL = audioEngine.currentRecordingURL();
    if (!audioURL) return;
    auto s = std::move(pendingBufferStream);
    pendingBufferStream = nullptr;
    startLiveRecognition(std::move(s), *audioURL);
}

void AppDelegate::startLiveRecognition(std::shared_ptr<AudioBufferStream> stream, const fs::path& audioURL) {
    auto take = std::make_shared<DictationTake>();
    take->job = DictationJob{audioURL, dictationGeneration.load(), currentDictationMode, currentAppRule, {}, 0};
    liveTake_ = take;
    std::thread(runTake, this, take, std::move(stream)).detach();
}

// ---------------------------------------------------------------- stop

void AppDelegate::stopDictation() {
    if (!isRecording) return;
    isRecording = false;
    const auto stopTime = Clock::now();
    IndicatorWindowController::shared().updateState(IndicatorMode::processing());
    auto& audioEngine = MicrophoneRecorder::shared();
    const auto [audioURL, duration] = audioEngine.stopRecording();
    SoundCues::shared().play(SoundCue::recordingStopped);
    endCapture(audioURL, duration, stopTime);
}

void AppDelegate::audioEngineDidInterrupt(const std::optional<fs::path>& audioURL, double duration) {
    // The microphone is already off; what was recorded up to here is a take
    // like any other. The engine's error message follows on its own.
    if (!isRecording) return;
    isRecording = false;
    endCapture(audioURL, duration, Clock::now());
}

void AppDelegate::endCapture(const std::optional<fs::path>& audioURL, double duration, Clock::time_point stopTime) {
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
        const DictationJob job{*audioURL, dictationGeneration.load(), currentDictationMode, currentAppRule, stopTime, duration};
        if (!take) {
            // No live stream for this take: the file alone is recognised.
            take = std::make_shared<DictationTake>();
            take->job = job;
            std::thread(runTake, this, take, nullptr).detach();
        }
        take->decide(DictationTake::Decision::transcribe, &job);
        transcriptionTask = take;
        return;
    }
    if (take) take->decide(DictationTake::Decision::abandon);
    returnToIdle();
    IndicatorWindowController::shared().updateState(IndicatorMode::idle());
    if (onDictationFailed) onDictationFailed(shortHoldMessage);
}

// ---------------------------------------------------------------- completion

double AppDelegate::reportedLatency(double endToEndSeconds, double cleanUpSeconds, double sinceStopSeconds) {
    return endToEndSeconds > 0 ? endToEndSeconds + cleanUpSeconds : sinceStopSeconds;
}

void AppDelegate::completeRecognition(const DictationJob& job, const TranscriptionResult& result) {
    if (!result.isTruncated) {
        std::error_code ec;
        fs::remove(job.audioURL, ec);
    } else {
        FaultLog::record("transcript_truncated", {{"audio_secs", formatted("%.2f", result.audioSeconds)}});
    }
    if (job.generation != dictationGeneration.load()) {
        recordStaleDrop();
        return;
    }
    if (result.text.empty()) {
        platform::MainQueue::async([this, job] {
            if (job.generation != dictationGeneration.load()) return;
            returnToIdle();
            IndicatorWindowController::shared().updateState(IndicatorMode::idle());
            SoundCues::shared().play(SoundCue::error);
            if (onDictationFailed) onDictationFailed(noSpeechMessage);
        });
        return;
    }
    const auto t0 = Clock::now();
    const std::string cleaned = TextPipeline::cleanUpDictation(result.text, job.mode == DictationMode::raw, job.rule,
                                                               PolishEngine::shared(), Snippets::shared());
    const auto t1 = Clock::now();
    const double latency = reportedLatency(result.endToEndSeconds, std::chrono::duration<double>(t1 - t0).count(),
                                           std::chrono::duration<double>(t1 - job.stopTime).count());
    // The history entry, the hub and the delivery happen together on the
    // main thread, where a cancel runs too: a dictation cancelled by now is
    // neither logged nor delivered.
    platform::MainQueue::async([this, job, cleaned, latency, transcriptionSeconds = result.transcriptionSeconds,
                                engine = result.engineIdentifier] {
        if (job.generation != dictationGeneration.load()) {
            recordStaleDrop();
            return;
        }
        auto& logger = DictationLogger::shared();
        if (logger.isLoggingEnabled()) {
            auto front = platform::frontmostApplication();
            const std::string appName = front && !front->displayName.empty() ? front->displayName : "Unknown";
            logger.append(cleaned, appName, Clock::now(), job.duration, latency, transcriptionSeconds, engine);
        }
        HubWindowController::shared().refreshAfterDictation();
        deliverFinalText(cleaned, job.generation);
    });
}

void AppDelegate::failRecognition(const DictationJob& job, const std::string& typeName, const std::string& description) {
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

void AppDelegate::deliverFinalText(const std::string& text, long long generation) {
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
            if (stagingCommitItem_)
                gtk_menu_item_set_label(GTK_MENU_ITEM(stagingCommitItem_),
                                        stagingCommitTitle(static_cast<long long>(staging.count())).c_str());
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
    const AppRule receiving = ruleFor(frontBundleID());
    if (receiving.neverDictate) {
        showError("Dictation is off for " + receiving.displayName);
        returnToIdle();
        return;
    }

    TextInjector::shared().inject(text, true, [generation, stagingMessage](InjectionOutcome outcome) {
        AppDelegate* d = AppDelegate::shared();
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

void AppDelegate::hotkeyDidRequestCancel() {
    const auto [next, outcome] = DictationLifecycles::cancelled(lifecycle);
    lifecycle = next;
    HotkeyManager::shared().disarmEscapeCancel();
    switch (outcome) {
        case DictationLifecycles::CancelOutcome::cancelledDiscardAudio:
            discardCapture();
            showError("Cancelled — nothing was recorded");
            break;
        case DictationLifecycles::CancelOutcome::cancelledDropTranscript:
            if (transcriptionTask) transcriptionTask->cancelled = true;
            ++dictationGeneration;
            showError("Cancelled — transcription discarded");
            break;
        case DictationLifecycles::CancelOutcome::noOp: break;
    }
}

void AppDelegate::discardCapture() {
    if (transcriptionTask) transcriptionTask->cancelled = true;
    isRecording = false;
    auto& audioEngine = MicrophoneRecorder::shared();
    const auto stopped = audioEngine.stopRecording();
    if (liveTake_) liveTake_->decide(DictationTake::Decision::abandon);
    liveTake_ = nullptr;
    if (stopped.first) {
        std::error_code ec;
        fs::remove(*stopped.first, ec);
    }
}

void AppDelegate::hotkeyDidRequestErrorAction() { runErrorRemedy(); }

void AppDelegate::hotkeyDidRequestHandsFreeStop(const std::string& reason) {
    // A tap's release has already stopped the take.
    if (reason == "tap" || !isRecording) return;
    if (reason == "system-sleep" || reason == "screen-lock") {
        // Nobody is there to hear the take: the microphone stops and the take is thrown away.
        discardCapture();
        returnToIdle();
        IndicatorWindowController::shared().updateState(IndicatorMode::idle());
        return;
    }
    stopDictation();
}

void AppDelegate::returnToIdle() {
    lifecycle = DictationLifecycle::idle;
    HotkeyManager::shared().disarmEscapeCancel();
}

void AppDelegate::showError(const std::string& message, std::optional<ErrorRemedy> remedy) {
    IndicatorWindowController::shared().updateState(IndicatorMode::error(message, remedy));
    SoundCues::shared().play(SoundCue::error);
}

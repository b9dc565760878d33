#include "Engine/MicrophoneRecorder.h"

#include "Base/Branding.h"

#include <atomic>
#include <cmath>
#include <system_error>
#include <utility>

#include "Platform/FileIO.h"
#include "Platform/SystemReadiness.h"
#include "Platform/Log.h"
#include "Platform/UUID.h"

namespace fs = std::filesystem;

AudioEngineError AudioEngineError::forInputProblem(platform::AudioInputProblem problem, std::string detail) {
    switch (problem) {
        case platform::AudioInputProblem::serverUnreachable: return {Kind::soundServerUnavailable, std::move(detail)};
        case platform::AudioInputProblem::noSource: return {Kind::microphonePermissionDenied, {}};
        case platform::AudioInputProblem::sourceRefused: return {Kind::engineStartFailed, std::move(detail)};
    }
    return {Kind::engineStartFailed, std::move(detail)};
}

std::optional<MicrophoneFault> AudioEngineError::microphoneFault() const {
    switch (kind) {
        case Kind::soundServerUnavailable: return MicrophoneFault::soundServerNotRunning;
        case Kind::microphonePermissionDenied: return MicrophoneFault::noInputDevice;
        case Kind::engineStartFailed: return MicrophoneFault::deviceBusy;
        default: return std::nullopt;
    }
}

std::string AudioEngineError::errorDescription() const {
    if (auto fault = microphoneFault()) return MicrophoneFaults::message(*fault);
    switch (kind) {
        case Kind::recordingFileCreationFailed:
            return "Ondira couldn't start recording because it can't write to temporary storage.";
        case Kind::diskWriteFailed: return "Recording stopped: audio could not be saved. Some speech may be missing.";
        case Kind::invalidInputFormat: return "No usable microphone was found. Check your input device and try again.";
        case Kind::converterUnavailable:
            return "This microphone's audio format isn't supported. Try a different input device.";
        case Kind::audioRouteChanged:
            return "Recording stopped because the audio device changed. Press the hotkey to continue.";
        case Kind::captureInterrupted: return "Recording was interrupted. Press the hotkey to continue.";
        case Kind::soundServerUnavailable:
        case Kind::microphonePermissionDenied:
        case Kind::engineStartFailed: break;  // worded by their fault above
    }
    return {};
}

std::string AudioEngineError::diagnosticDetail() const {
    switch (kind) {
        case Kind::recordingFileCreationFailed: return "recordingFileCreationFailed: " + message;
        case Kind::engineStartFailed: return "engineStartFailed: " + message;
        case Kind::diskWriteFailed: return "diskWriteFailed: " + message;
        case Kind::microphonePermissionDenied: return "microphonePermissionDenied";
        case Kind::invalidInputFormat: return "invalidInputFormat";
        case Kind::converterUnavailable: return "converterUnavailable";
        case Kind::audioRouteChanged: return "audioRouteChanged";
        case Kind::captureInterrupted: return message.empty() ? "captureInterrupted" : "captureInterrupted: " + message;
        case Kind::soundServerUnavailable:
            return message.empty() ? "soundServerUnavailable" : "soundServerUnavailable: " + message;
    }
    return {};
}

MicrophoneRecorder& MicrophoneRecorder::shared() {
    static MicrophoneRecorder* instance = new MicrophoneRecorder();
    return *instance;
}

MicrophoneRecorder::MicrophoneRecorder()
    : engine_(Branding::appName),
      streamingQueue_("com.ondira.audio.streaming", platform::QoS::defaultQoS),
      audioQueue_("com.ondira.audio.queue", platform::QoS::userInteractive) {
    // The engine is never released, so the handler may refer to it for good.
    engine_.setConfigurationChangeHandler([this] { handleConfigurationChange(); });
}

void MicrophoneRecorder::setDelegate(std::weak_ptr<AudioEngineDelegate> delegate) {
    std::lock_guard<std::mutex> guard(delegateMutex_);
    delegate_ = std::move(delegate);
}

void MicrophoneRecorder::postToDelegate(std::function<void(AudioEngineDelegate&)> call) {
    std::weak_ptr<AudioEngineDelegate> weak;
    {
        std::lock_guard<std::mutex> guard(delegateMutex_);
        weak = delegate_;
    }
    if (weak.expired()) return;
    platform::MainQueue::async([weak, call = std::move(call)] {
        if (auto delegate = weak.lock()) call(*delegate);
    });
}

fs::path MicrophoneRecorder::newRecordingURL() {
    return platform::temporaryDirectory() / ("ondira_rec_" + platform::newUUID() + ".wav");
}

namespace {
std::atomic<MicrophoneFault> lastFault{MicrophoneFault::noInputDevice};
}

bool MicrophoneRecorder::isMicrophoneAuthorized() {
    // The same answer the permission rows get, so both agree on what "a
    // microphone" is; watched, since the permission refresh asks every few seconds.
    const auto sound = platform::readiness::watchedSoundServer(1.0);
    const auto fault = MicrophoneFaults::classify(sound.reachable, sound.defaultSourceExists);
    if (fault) lastFault = *fault;
    return !fault;
}

MicrophoneFault MicrophoneRecorder::lastMicrophoneFault() { return lastFault; }

void MicrophoneRecorder::requestPermission(const std::function<void(bool)>& completion) {
    // No consent dialogue exists on this system: the answer is known at once.
    completion(isMicrophoneAuthorized());
}

std::string MicrophoneRecorder::currentInputName() {
    auto format = engine_.inputFormat();
    if (format.sampleRate <= 0) return "none";
    auto name = engine_.defaultSourceName();
    return name ? *name : "default";
}

std::optional<fs::path> MicrophoneRecorder::currentRecordingURL() {
    std::optional<fs::path> url;
    audioQueue_.sync([&] { url = currentRecordingURL_; });
    return url;
}

bool MicrophoneRecorder::isCapturing() const {
    std::lock_guard<std::mutex> guard(tapLock_);
    return isRecording_;
}

std::optional<SystemTime> MicrophoneRecorder::lastStopTimestamp() const {
    std::lock_guard<std::mutex> guard(tapLock_);
    return lastStopAt_;
}

void MicrophoneRecorder::startRecording() {
    if (audioQueue_.isCurrent()) return startOnQueue();
    std::exception_ptr failure;
    audioQueue_.sync([&] {
        try {
            startOnQueue();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    if (failure) std::rethrow_exception(failure);
}

void MicrophoneRecorder::startOnQueue() {
    using Kind = AudioEngineError::Kind;
    lastPeakRMS_ = 0.0f;
    didCaptureAnyBuffer_ = false;
    {
        std::lock_guard<std::mutex> guard(tapLock_);
        if (isRecording_) return;
    }
    if (auto problem = engine_.availability()) throw AudioEngineError::forInputProblem(*problem);
    const platform::AudioInputFormat input = engine_.inputFormat();
    if (!(input.sampleRate > 0) || input.channels == 0) throw AudioEngineError{Kind::invalidInputFormat, {}};
    const AudioFormat inputFormat{input.sampleRate, input.channels};
    std::shared_ptr<AudioConverter> converter = AudioConverter::make(inputFormat, targetFormat_);
    if (!converter) throw AudioEngineError{Kind::converterUnavailable, {}};

    const fs::path url = newRecordingURL();
    std::string error;
    std::shared_ptr<AudioFile> file = AudioFile::createForWriting(url, targetFormat_, &error);
    if (!file) throw AudioEngineError{Kind::recordingFileCreationFailed, error};
    {
        std::lock_guard<std::mutex> guard(tapLock_);
        outputFile_ = file;
        writeFailureReported_ = false;
    }
    currentRecordingURL_ = url;

    converter_ = converter;
    engine_.removeTap();
    const double rate = input.sampleRate;
    engine_.installTap(1024, [this, converter, inputFormat, rate](const float* interleaved, std::size_t frames) {
        auto buffer = AudioPCMBuffer::fromInterleaved(inputFormat, interleaved, frames);
        if (buffer) handleTapBuffer(*buffer, *converter, rate);
    });
    platform::AudioInputProblem problem = platform::AudioInputProblem::sourceRefused;
    if (!engine_.start(&error, &problem)) {
        engine_.removeTap();
        {
            std::lock_guard<std::mutex> guard(tapLock_);
            outputFile_.reset();
        }
        currentRecordingURL_.reset();
        std::error_code ec;
        fs::remove(url, ec);
        throw AudioEngineError::forInputProblem(problem, error);
    }
    {
        std::lock_guard<std::mutex> guard(tapLock_);
        isRecording_ = true;
    }
    recordingStartTime_ = std::chrono::system_clock::now();
    postToDelegate([](AudioEngineDelegate& d) { d.audioEngineDidStartRecording(); });
}

float MicrophoneRecorder::displayLevel(const float* samples, std::size_t frames) {
    if (!samples || frames == 0) return 0.0f;
    double sum = 0;
    for (std::size_t i = 0; i < frames; ++i) sum += static_cast<double>(samples[i]) * samples[i];
    const float rms = static_cast<float>(std::sqrt(sum / static_cast<double>(frames)));
    const float level = std::sqrt(std::max(0.0f, (rms - 0.002f) / 0.065f));
    return std::min(level, 1.0f);
}

std::size_t MicrophoneRecorder::outputCapacity(std::size_t inputFrames, double inputSampleRate) {
    const double ratio = 16000.0 / std::max(inputSampleRate, 1.0);
    return static_cast<std::size_t>(std::max(ratio * static_cast<double>(inputFrames), 1.0));
}

void MicrophoneRecorder::handleTapBuffer(const AudioPCMBuffer& buffer, AudioConverter& converter, double inputSampleRate) {
    {
        std::lock_guard<std::mutex> guard(tapLock_);
        if (!isRecording_) return;
    }
    const float level = displayLevel(buffer.channelData(0), buffer.frameLength());
    didCaptureAnyBuffer_ = true;
    if (level > lastPeakRMS_.load()) lastPeakRMS_ = level;
    postToDelegate([level](AudioEngineDelegate& d) { d.audioEngineDidUpdateRMS(level); });

    // One frame more than the exact share: the resampler carries its phase
    // between blocks, and a block that owes a fraction of a frame must be
    // able to pay it, or the take would fall behind and lose its end.
    const std::size_t capacity =
        outputCapacity(buffer.frameLength(), inputSampleRate) + (inputSampleRate == targetFormat_.sampleRate ? 0 : 1);
    auto converted = AudioPCMBuffer::make(targetFormat_, capacity);
    if (!converted) return;
    std::string error;
    if (!converter.convert(buffer, *converted, &error)) {
        // The take was running: this is an interruption, not a microphone
        // that "couldn't be started".
        reportCaptureFailure(AudioInterruptionReason::engineFailure,
                             AudioEngineError{AudioEngineError::Kind::captureInterrupted, error});
        return;
    }
    if (auto failure = deliverConverted(converted))
        reportCaptureFailure(AudioInterruptionReason::diskWriteFailure,
                             AudioEngineError{AudioEngineError::Kind::diskWriteFailed, *failure});
}

std::optional<std::string> MicrophoneRecorder::deliverConverted(const std::shared_ptr<AudioPCMBuffer>& converted) {
    if (!converted || converted->frameLength() == 0) return std::nullopt;
    std::optional<std::string> failure;
    std::shared_ptr<AudioStreamSink> sink;
    {
        std::lock_guard<std::mutex> guard(tapLock_);
        std::string error;
        if (outputFile_ && !outputFile_->write(*converted, &error)) failure = error;
        sink = streamingSink_;
    }
    if (sink) streamingQueue_.async([sink, converted] { sink->onBuffer(converted); });
    return failure;
}

void MicrophoneRecorder::reportCaptureFailure(AudioInterruptionReason reason, AudioEngineError error) {
    {
        std::lock_guard<std::mutex> guard(tapLock_);
        if (writeFailureReported_) return;
        writeFailureReported_ = true;
    }
    audioQueue_.async([this, reason, error] { stopRoutine(reason, error); });
}

void MicrophoneRecorder::beginCapture(std::shared_ptr<AudioFile> outputFile) {
    {
        std::lock_guard<std::mutex> guard(tapLock_);
        isRecording_ = true;
        outputFile_ = std::move(outputFile);
        writeFailureReported_ = false;
    }
    recordingStartTime_ = std::chrono::system_clock::now();
}

std::pair<std::optional<fs::path>, double> MicrophoneRecorder::stopRecording() {
    if (audioQueue_.isCurrent()) return stopRoutine(std::nullopt, std::nullopt);
    std::pair<std::optional<fs::path>, double> result{std::nullopt, 0.0};
    audioQueue_.sync([&] { result = stopRoutine(std::nullopt, std::nullopt); });
    return result;
}

std::pair<std::optional<fs::path>, double> MicrophoneRecorder::stopRoutine(std::optional<AudioInterruptionReason> reason,
                                                                           std::optional<AudioEngineError> error) {
    {
        std::lock_guard<std::mutex> guard(tapLock_);
        const bool wasRecording = isRecording_;
        isRecording_ = false;
        if (!wasRecording) return {std::nullopt, 0.0};
    }
    engine_.removeTap();
    engine_.stop();
    // The resampler's filter still holds the last milliseconds of speech:
    // they end the file and reach the live consumer before its onFinish.
    if (auto converter = std::exchange(converter_, nullptr)) {
        std::string error;
        auto rest = converter->finish(&error);
        if (!rest) platform::log("MicrophoneRecorder", "The end of the take could not be converted: " + error);
        else if (auto failure = deliverConverted(rest))
            platform::log("MicrophoneRecorder", "The end of the take could not be saved: " + *failure);
    }
    SystemTime stopTime;
    std::shared_ptr<AudioStreamSink> sink;
    {
        std::lock_guard<std::mutex> guard(tapLock_);
        outputFile_.reset();
        stopTime = std::chrono::system_clock::now();
        lastStopAt_ = stopTime;
        sink = std::move(streamingSink_);
        streamingSink_.reset();
    }
    if (sink)
        streamingQueue_.async([sink] {
            if (sink->onFinish) sink->onFinish();
        });
    const double duration =
        recordingStartTime_ ? std::chrono::duration<double>(stopTime - *recordingStartTime_).count() : 0.0;
    std::optional<fs::path> url = currentRecordingURL_;
    currentRecordingURL_.reset();
    recordingStartTime_.reset();
    postToDelegate([url, duration](AudioEngineDelegate& d) { d.audioEngineDidStopRecording(url, duration); });
    if (reason) {
        const AudioEngineError shown = error ? *error : AudioEngineError{AudioEngineError::Kind::captureInterrupted, {}};
        const AudioInterruptionReason why = *reason;
        postToDelegate([url, duration, why](AudioEngineDelegate& d) { d.audioEngineDidInterrupt(url, duration, why); });
        postToDelegate([shown](AudioEngineDelegate& d) { d.audioEngineDidEncounterError(shown); });
    }
    return {url, duration};
}

void MicrophoneRecorder::attachStreamingSink(AudioStreamSink sink) {
    auto stored = std::make_shared<AudioStreamSink>(std::move(sink));
    std::shared_ptr<AudioStreamSink> replaced;
    {
        std::lock_guard<std::mutex> guard(tapLock_);
        replaced = std::move(streamingSink_);
        streamingSink_ = std::move(stored);
    }
    // `replaced` is released here, without its onFinish.
}

void MicrophoneRecorder::detachStreamingSink() {
    std::shared_ptr<AudioStreamSink> sink;
    {
        std::lock_guard<std::mutex> guard(tapLock_);
        sink = std::move(streamingSink_);
        streamingSink_.reset();
    }
    if (sink)
        streamingQueue_.async([sink] {
            if (sink->onFinish) sink->onFinish();
        });
}

void MicrophoneRecorder::handleConfigurationChange() {
    audioQueue_.async([this] {
        bool recording;
        {
            std::lock_guard<std::mutex> guard(tapLock_);
            recording = isRecording_;
        }
        if (recording)
            stopRoutine(AudioInterruptionReason::routeChanged,
                        AudioEngineError{AudioEngineError::Kind::audioRouteChanged, {}});
        engine_.reset();
    });
}

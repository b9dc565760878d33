#pragma once
// Records the default microphone for one dictation at a time: every block of
// the input is converted to 16 kHz mono float, written to a WAV file in the
// private temporary directory, measured for the level display and handed to
// an optional live consumer.
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "Base/DictationErrorKind.h"
#include "Engine/AudioBuffers.h"
#include "Platform/AudioInput.h"
#include "Platform/Queues.h"

using SystemTime = std::chrono::system_clock::time_point;

enum class AudioInterruptionReason { routeChanged, diskWriteFailure, engineFailure };

struct AudioEngineError {
    enum class Kind {
        recordingFileCreationFailed,
        engineStartFailed,
        diskWriteFailed,
        microphonePermissionDenied,
        invalidInputFormat,
        converterUnavailable,
        audioRouteChanged,
        captureInterrupted,
        soundServerUnavailable,
    };
    Kind kind;
    std::string message;  // the platform's text for the first three kinds; what broke for captureInterrupted

    // The error for what the sound server said stands in the way.
    static AudioEngineError forInputProblem(platform::AudioInputProblem problem, std::string detail = {});
    // The microphone fault behind the error, for the kinds that have one.
    std::optional<MicrophoneFault> microphoneFault() const;
    std::string errorDescription() const;
    std::string diagnosticDetail() const;
    bool operator==(const AudioEngineError&) const = default;
};

class AudioEngineDelegate {
public:
    virtual ~AudioEngineDelegate() = default;
    virtual void audioEngineDidUpdateRMS(float level) = 0;
    virtual void audioEngineDidStartRecording() = 0;
    virtual void audioEngineDidStopRecording(const std::optional<std::filesystem::path>& audioURL, double duration) = 0;
    virtual void audioEngineDidEncounterError(const AudioEngineError& error) = 0;
    virtual void audioEngineDidInterrupt(const std::optional<std::filesystem::path>& audioURL, double duration,
                                         AudioInterruptionReason reason) {}
};

// The live consumer of converted buffers. Both closures run on the
// streaming queue, in tap order, `onFinish` after the last buffer.
struct AudioStreamSink {
    std::function<void(std::shared_ptr<AudioPCMBuffer>)> onBuffer;
    std::function<void()> onFinish;
};

class MicrophoneRecorder {
public:
    static MicrophoneRecorder& shared();

    // Held weakly: the delegate is called only while it is alive.
    void setDelegate(std::weak_ptr<AudioEngineDelegate> delegate);

    // Throws AudioEngineError. Runs on the audio queue (inline when already there).
    void startRecording();
    std::pair<std::optional<std::filesystem::path>, double> stopRecording();

    void attachStreamingSink(AudioStreamSink sink);
    void detachStreamingSink();

    // Microphone authorisation on this system: the sound server answers and
    // has an input source.
    static void requestPermission(const std::function<void(bool)>& completion);
    static bool isMicrophoneAuthorized();
    // What the last of those checks found wrong (no input device before the
    // first), so a refusal made on its answer names the same cause.
    static MicrophoneFault lastMicrophoneFault();

    std::string currentInputName();
    // The file the running take is written to; none when not recording.
    std::optional<std::filesystem::path> currentRecordingURL();
    bool isCapturing() const;
    std::optional<SystemTime> lastStopTimestamp() const;
    float lastPeakRMS() const { return lastPeakRMS_.load(); }
    bool didCaptureAnyBuffer() const { return didCaptureAnyBuffer_.load(); }

    const AudioFormat& targetFormat() const { return targetFormat_; }
    platform::SerialQueue& streamingQueue() { return streamingQueue_; }
    platform::SerialQueue& audioQueue() { return audioQueue_; }

    // The per-block work of the input tap.
    void handleTapBuffer(const AudioPCMBuffer& buffer, AudioConverter& converter, double inputSampleRate);
    // Opens a take without the input (for checks that feed buffers themselves).
    void beginCapture(std::shared_ptr<AudioFile> outputFile);
    // The sound server reports a changed input device.
    void handleConfigurationChange();

    // The display level of a block of samples.
    static float displayLevel(const float* samples, std::size_t frames);
    // Output frames allotted to a converted block.
    static std::size_t outputCapacity(std::size_t inputFrames, double inputSampleRate);
    // Where a new take's recording goes.
    static std::filesystem::path newRecordingURL();

private:
    MicrophoneRecorder();
    void startOnQueue();
    std::pair<std::optional<std::filesystem::path>, double> stopRoutine(std::optional<AudioInterruptionReason> reason,
                                                                        std::optional<AudioEngineError> error);
    void reportCaptureFailure(AudioInterruptionReason reason, AudioEngineError error);
    // Writes a converted buffer to the take's file and hands it to the live
    // consumer; the write's error, if any.
    std::optional<std::string> deliverConverted(const std::shared_ptr<AudioPCMBuffer>& converted);
    void postToDelegate(std::function<void(AudioEngineDelegate&)> call);

    std::mutex delegateMutex_;
    std::weak_ptr<AudioEngineDelegate> delegate_;
    platform::AudioInput engine_;
    std::optional<std::filesystem::path> currentRecordingURL_;
    std::optional<SystemTime> recordingStartTime_;
    mutable std::mutex tapLock_;
    bool isRecording_ = false;
    std::shared_ptr<AudioFile> outputFile_;
    bool writeFailureReported_ = false;
    std::optional<SystemTime> lastStopAt_;
    std::shared_ptr<AudioStreamSink> streamingSink_;
    platform::SerialQueue streamingQueue_;
    AudioFormat targetFormat_{16000.0, 1};
    platform::SerialQueue audioQueue_;
    std::atomic<float> lastPeakRMS_{0.0f};
    std::atomic<bool> didCaptureAnyBuffer_{false};
    std::shared_ptr<AudioConverter> converter_;
};

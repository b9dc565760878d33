#pragma once
// The microphone as the sound server offers it: a record stream on the
// default source of the PulseAudio server (PipeWire's pulse server too).
// Nothing connects to the server until the input format is asked for or the
// stream is started, so creating the object costs nothing.
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform {

struct AudioInputFormat {
    double sampleRate = 0;  // 0 when there is no usable input
    int channels = 0;
};

// What stands in the way of recording, so a message can name the cause
// rather than guess at one.
enum class AudioInputProblem {
    serverUnreachable,  // no sound server answers
    noSource,           // the server answers but has no default source
    sourceRefused,      // the source is there but refuses a record stream (busy)
};

class AudioInput {
public:
    // One block of interleaved 32-bit float frames in the input format.
    using TapBlock = std::function<void(const float* interleaved, std::size_t frames)>;

    // `clientName` is how the sound server lists this program.
    explicit AudioInput(std::string clientName);
    ~AudioInput();
    AudioInput(const AudioInput&) = delete;
    AudioInput& operator=(const AudioInput&) = delete;

    // The default source's format; rate 0 when the server does not answer or
    // has no source.
    AudioInputFormat inputFormat();
    // The default source's description; none without a server or a source.
    std::optional<std::string> defaultSourceName();
    // Why the default source can't be recorded; none when it can be tried.
    std::optional<AudioInputProblem> availability();

    // Blocks of exactly `bufferFrames` frames (the last partial block of a
    // take is dropped) are handed to `block` on the sound server's thread.
    void installTap(std::size_t bufferFrames, TapBlock block);
    void removeTap();
    // Opens the record stream on the default source. False with `error` (the
    // server's words) and `problem` (its cause) when it can't.
    bool start(std::string* error, AudioInputProblem* problem = nullptr);
    void stop();
    // Forgets the server connection; the next use connects afresh.
    void reset();

    // Called on the server's thread when the stream moved to another source,
    // the default source changed or the stream's source went away.
    void setConfigurationChangeHandler(std::function<void()> handler);

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace platform

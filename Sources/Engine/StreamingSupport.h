#pragma once
// The pieces between capture and live recognition: the stream of converted
// buffers of one take, and the throttle for partial text.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Engine/MicrophoneRecorder.h"

// The converted buffers of one take, in capture order; finished when capture
// stops. It can be read once: a second reader finds it already drained.
class AudioBufferStream {
public:
    static std::shared_ptr<AudioBufferStream> make() { return std::make_shared<AudioBufferStream>(); }
    void yield(std::shared_ptr<AudioPCMBuffer> buffer);
    void finish();
    // The next buffer; none once the stream has finished and been drained.
    std::optional<std::shared_ptr<AudioPCMBuffer>> next();
    // True once capture finished the stream, waiting at most `seconds` for it.
    bool waitUntilFinished(double seconds);
    // A capture sink that feeds this stream and finishes it.
    static AudioStreamSink sinkFeeding(const std::shared_ptr<AudioBufferStream>& stream);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::shared_ptr<AudioPCMBuffer>> buffers_;
    bool finished_ = false;
};

using PartialTextCallback = std::function<void(const std::string&)>;

// The throttle decision: never blank text, never the same text twice, the
// first text at once, later ones at most every `minInterval` seconds.
bool shouldEmitPartial(const std::string& candidate, const std::optional<std::string>& lastEmitted,
                       const std::optional<SystemTime>& lastEmittedAt, SystemTime now, double minInterval);

class PartialTextCoalescer {
public:
    explicit PartialTextCoalescer(PartialTextCallback onEmit) : onEmit_(std::move(onEmit)) {}
    // Accepted text goes to `onEmit` on the main queue, in acceptance order.
    void consider(const std::string& text, SystemTime now);
    static constexpr double minInterval = 0.25;

private:
    std::mutex lock_;
    std::optional<std::string> lastEmitted_;
    std::optional<SystemTime> lastEmittedAt_;
    PartialTextCallback onEmit_;
};

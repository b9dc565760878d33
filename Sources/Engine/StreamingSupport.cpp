#include "Engine/StreamingSupport.h"

#include "Platform/Queues.h"
#include "Platform/Unicode.h"

void AudioBufferStream::yield(std::shared_ptr<AudioPCMBuffer> buffer) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (finished_) return;
        buffers_.push_back(std::move(buffer));
    }
    cv_.notify_all();
}

void AudioBufferStream::finish() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        finished_ = true;
    }
    cv_.notify_all();
}

std::optional<std::shared_ptr<AudioPCMBuffer>> AudioBufferStream::next() {
    std::unique_lock<std::mutex> guard(mutex_);
    cv_.wait(guard, [this] { return finished_ || !buffers_.empty(); });
    if (buffers_.empty()) return std::nullopt;
    auto buffer = std::move(buffers_.front());
    buffers_.pop_front();
    return buffer;
}

bool AudioBufferStream::waitUntilFinished(double seconds) {
    std::unique_lock<std::mutex> guard(mutex_);
    return cv_.wait_for(guard, std::chrono::duration<double>(seconds), [this] { return finished_; });
}

AudioStreamSink AudioBufferStream::sinkFeeding(const std::shared_ptr<AudioBufferStream>& stream) {
    return AudioStreamSink{[stream](std::shared_ptr<AudioPCMBuffer> buffer) { stream->yield(std::move(buffer)); },
                           [stream] { stream->finish(); }};
}

bool shouldEmitPartial(const std::string& candidate, const std::optional<std::string>& lastEmitted,
                       const std::optional<SystemTime>& lastEmittedAt, SystemTime now, double minInterval) {
    if (platform::text::trimmed(candidate).empty()) return false;
    if (lastEmitted && *lastEmitted == candidate) return false;
    if (!lastEmittedAt) return true;
    return std::chrono::duration<double>(now - *lastEmittedAt).count() >= minInterval;
}

void PartialTextCoalescer::consider(const std::string& text, SystemTime now) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!shouldEmitPartial(text, lastEmitted_, lastEmittedAt_, now, minInterval)) return;
        lastEmitted_ = text;
        lastEmittedAt_ = now;
    }
    if (!onEmit_) return;
    platform::MainQueue::async([onEmit = onEmit_, text] { onEmit(text); });
}

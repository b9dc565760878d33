#pragma once
// Serial queues, the main queue (the GLib main context) and a global pool.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace platform {

enum class QoS { background, utility, defaultQoS, userInitiated, userInteractive };

// A serial queue: one worker thread runs its blocks in submission order.
// `sync` on the queue's own thread runs the block inline, so code that may
// already be on the queue (starting and stopping audio) cannot deadlock.
class SerialQueue {
public:
    explicit SerialQueue(std::string label, QoS qos = QoS::defaultQoS);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }
    QoS qos() const { return qos_; }

    void async(std::function<void()> block);
    void asyncAfter(double seconds, std::function<void()> block);
    void sync(const std::function<void()>& block);
    bool isCurrent() const;

    // Blocks until everything submitted so far has run.
    void drain();

private:
    void run();

    std::string label_;
    QoS qos_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> blocks_;
    bool stopping_ = false;
    std::thread worker_;
};

namespace MainQueue {
// Marks the calling thread as the main thread (done once by main()).
void markCurrentThreadAsMain();
bool isMainThread();
// Runs `block` on the main thread from the GLib default main context.
void async(std::function<void()> block);
void asyncAfter(double seconds, std::function<void()> block);
// Runs the main context for up to `seconds`, returning early when `until`
// becomes true. Must be called on the main thread.
void pump(double seconds, const std::function<bool()>& until = {});
}  // namespace MainQueue

namespace GlobalQueue {
// Runs `block` on a shared background pool.
void async(QoS qos, std::function<void()> block);
}  // namespace GlobalQueue

// A counting semaphore with a bounded wait, for code that waits on a
// completion delivered on another thread.
class Semaphore {
public:
    explicit Semaphore(int initial = 0) : count_(initial) {}
    void signal();
    // True when signalled, false on time-out.
    bool wait(double timeoutSeconds);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int count_;
};

}  // namespace platform

#include "Platform/Queues.h"

#include <glib.h>
#include <pthread.h>

#include <atomic>
#include <vector>

namespace platform {

namespace {
thread_local const SerialQueue* tCurrentQueue = nullptr;
std::atomic<std::thread::id> gMainThread{std::thread::id{}};
}  // namespace

SerialQueue::SerialQueue(std::string label, QoS qos) : label_(std::move(label)), qos_(qos) {
    worker_ = std::thread([this] { run(); });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard<std::mutex> g(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (worker_.joinable()) {
        if (worker_.get_id() == std::this_thread::get_id()) worker_.detach();
        else worker_.join();
    }
}

void SerialQueue::run() {
    tCurrentQueue = this;
    // Named after the queue, so a look at the process's threads tells them apart.
    std::string name = label_.rfind("com.ondira.", 0) == 0 ? label_.substr(11) : label_;
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
    for (;;) {
        std::function<void()> block;
        {
            std::unique_lock<std::mutex> g(mutex_);
            cv_.wait(g, [this] { return stopping_ || !blocks_.empty(); });
            if (blocks_.empty()) return;  // stopping and drained
            block = std::move(blocks_.front());
            blocks_.pop_front();
        }
        block();
    }
}

void SerialQueue::async(std::function<void()> block) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        blocks_.push_back(std::move(block));
    }
    cv_.notify_one();
}

void SerialQueue::asyncAfter(double seconds, std::function<void()> block) {
    // A detached timer thread keeps the queue free while waiting.
    std::thread([this, seconds, block = std::move(block)]() mutable {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        async(std::move(block));
    }).detach();
}

bool SerialQueue::isCurrent() const { return tCurrentQueue == this; }

void SerialQueue::sync(const std::function<void()>& block) {
    if (isCurrent()) {
        block();
        return;
    }
    Semaphore done;
    async([&] {
        block();
        done.signal();
    });
    done.wait(-1);
}

void SerialQueue::drain() {
    sync([] {});
}

void Semaphore::signal() {
    {
        std::lock_guard<std::mutex> g(mutex_);
        ++count_;
    }
    cv_.notify_one();
}

bool Semaphore::wait(double timeoutSeconds) {
    std::unique_lock<std::mutex> g(mutex_);
    if (timeoutSeconds < 0) {
        cv_.wait(g, [this] { return count_ > 0; });
    } else if (!cv_.wait_for(g, std::chrono::duration<double>(timeoutSeconds), [this] { return count_ > 0; })) {
        return false;
    }
    --count_;
    return true;
}

namespace MainQueue {

void markCurrentThreadAsMain() { gMainThread = std::this_thread::get_id(); }

bool isMainThread() {
    auto id = gMainThread.load();
    // Before main() marked itself, the first caller is the only thread.
    return id == std::thread::id{} || id == std::this_thread::get_id();
}

namespace {
gboolean runBlock(gpointer data) {
    auto* block = static_cast<std::function<void()>*>(data);
    (*block)();
    return G_SOURCE_REMOVE;
}
void destroyBlock(gpointer data) { delete static_cast<std::function<void()>*>(data); }
}  // namespace

void async(std::function<void()> block) {
    // Always through a source, never g_main_context_invoke: that one runs the
    // block on the calling thread whenever the main context happens to be free.
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, runBlock, new std::function<void()>(std::move(block)), destroyBlock);
    g_source_attach(source, g_main_context_default());
    g_source_unref(source);
}

void asyncAfter(double seconds, std::function<void()> block) {
    guint ms = seconds <= 0 ? 0 : static_cast<guint>(seconds * 1000.0 + 0.5);
    GSource* source = g_timeout_source_new(ms);
    g_source_set_callback(source, runBlock, new std::function<void()>(std::move(block)), destroyBlock);
    g_source_attach(source, g_main_context_default());
    g_source_unref(source);
}

void pump(double seconds, const std::function<bool()>& until) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    GMainContext* ctx = g_main_context_default();
    while (!(until && until())) {
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) break;
        // Wake at least every 10 ms so the deadline and the predicate are seen.
        if (!g_main_context_iteration(ctx, FALSE)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
}

}  // namespace MainQueue

namespace GlobalQueue {

namespace {
class Pool {
public:
    Pool() {
        unsigned n = std::max(2u, std::thread::hardware_concurrency());
        for (unsigned i = 0; i < n; ++i) workers_.emplace_back([this] { run(); });
        for (auto& w : workers_) w.detach();
    }
    void submit(std::function<void()> block) {
        {
            std::lock_guard<std::mutex> g(mutex_);
            blocks_.push_back(std::move(block));
        }
        cv_.notify_one();
    }

private:
    void run() {
        for (;;) {
            std::function<void()> block;
            {
                std::unique_lock<std::mutex> g(mutex_);
                cv_.wait(g, [this] { return !blocks_.empty(); });
                block = std::move(blocks_.front());
                blocks_.pop_front();
            }
            block();
        }
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> blocks_;
    std::vector<std::thread> workers_;
};
}  // namespace

void async(QoS, std::function<void()> block) {
    static Pool* pool = new Pool();  // lives for the whole process
    pool->submit(std::move(block));
}

}  // namespace GlobalQueue

}  // namespace platform

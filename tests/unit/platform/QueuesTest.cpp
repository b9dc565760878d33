#include "Platform/Queues.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <vector>

using namespace platform;

TEST(SerialQueue, RunsBlocksInSubmissionOrderOnOneThread) {
    SerialQueue q("com.ondira.test.order");
    std::vector<int> seen;
    std::mutex m;
    std::set<std::thread::id> threads;
    for (int i = 0; i < 200; ++i) {
        q.async([&, i] {
            std::lock_guard<std::mutex> g(m);
            seen.push_back(i);
            threads.insert(std::this_thread::get_id());
        });
    }
    q.drain();
    ASSERT_EQ(seen.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(seen[static_cast<size_t>(i)], i);
    EXPECT_EQ(threads.size(), 1u);
}

TEST(SerialQueue, SyncOnItsOwnQueueRunsInlineInsteadOfDeadlocking) {
    SerialQueue q("com.ondira.test.reentrant");
    std::atomic<int> steps{0};
    q.sync([&] {
        EXPECT_TRUE(q.isCurrent());
        q.sync([&] { ++steps; });
        ++steps;
    });
    EXPECT_EQ(steps, 2);
    EXPECT_FALSE(q.isCurrent());
}

TEST(MainQueue, HopsBackToTheMainThreadWhilePumped) {
    MainQueue::markCurrentThreadAsMain();
    SerialQueue q("com.ondira.test.hop");
    std::atomic<bool> ranOnMain{false};
    std::atomic<bool> done{false};
    q.async([&] {
        EXPECT_FALSE(MainQueue::isMainThread());
        MainQueue::async([&] {
            ranOnMain = MainQueue::isMainThread();
            done = true;
        });
    });
    MainQueue::pump(5.0, [&] { return done.load(); });
    EXPECT_TRUE(done);
    EXPECT_TRUE(ranOnMain);
}

TEST(MainQueue, PumpReturnsAtItsDeadlineWhenNothingArrives) {
    MainQueue::markCurrentThreadAsMain();
    auto start = std::chrono::steady_clock::now();
    MainQueue::pump(0.1);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(100));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST(Semaphore, TimesOutWithoutASignal) {
    Semaphore s;
    EXPECT_FALSE(s.wait(0.02));
    s.signal();
    EXPECT_TRUE(s.wait(0.02));
}

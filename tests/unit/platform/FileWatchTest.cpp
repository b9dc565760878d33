// The file watch on its real back-end: each way a store is changed on disk is
// reported once, after the burst, naming the file; a neighbour is not.
#include "Platform/FileWatch.h"

#include <gtest/gtest.h>

#include "Platform/FileIO.h"
#include "Platform/Queues.h"
#include "support/TempDir.h"

#include <cstdio>

namespace {

namespace fs = std::filesystem;

struct Watched {
    TempDir dir{"ondira-filewatch-"};
    fs::path store = dir / "store.json";
    std::vector<std::set<fs::path>> calls;
    std::unique_ptr<platform::FileWatch> watch =
        platform::watchFiles({store}, 0.1, [this](const std::set<fs::path>& changed) { calls.push_back(changed); });

    // Runs the main loop until a call arrived and 0.3 s more passed without another.
    void settle() {
        platform::MainQueue::pump(3.0, [this] { return !calls.empty(); });
        platform::MainQueue::pump(0.3);
    }
};

TEST(FileWatch, EachWayAStoreChangesIsReportedOnceAfterTheBurst) {
    struct Case {
        const char* what;
        bool existsBefore;
        std::function<void(const fs::path&)> change;
    };
    const Case table[] = {
        {"temp file renamed into place", true, [](const fs::path& f) { ASSERT_TRUE(platform::atomicWrite(f, "[1]")); }},
        {"written in place", true, [](const fs::path& f) { ASSERT_TRUE(platform::writeInPlace(f, "[1, 2]")); }},
        {"created", false, [](const fs::path& f) { ASSERT_TRUE(platform::atomicWrite(f, "[]")); }},
        {"removed", true, [](const fs::path& f) { fs::remove(f); }},
        {"renamed away", true, [](const fs::path& f) { fs::rename(f, f.string() + ".bak"); }},
        {"five quick writes", true,
         [](const fs::path& f) {
             for (int i = 0; i < 5; ++i) ASSERT_TRUE(platform::atomicWrite(f, "[" + std::to_string(i) + "]"));
         }},
    };
    for (const auto& c : table) {
        Watched w;
        if (c.existsBefore) {
            ASSERT_TRUE(platform::atomicWrite(w.store, "[]"));
        }
        platform::MainQueue::pump(0.3);
        w.calls.clear();
        ASSERT_TRUE(w.watch) << c.what;
        c.change(w.store);
        w.settle();
        ASSERT_EQ(w.calls.size(), 1u) << c.what;
        EXPECT_EQ(w.calls[0], std::set<fs::path>{w.store}) << c.what;
    }
}

TEST(FileWatch, ANeighbourInTheSameDirectoryIsNotReported) {
    Watched w;
    ASSERT_TRUE(w.watch);
    ASSERT_TRUE(platform::atomicWrite(w.dir / "other.json", "{}"));
    ASSERT_TRUE(platform::writeInPlace(w.dir / "store.json.lock", ""));
    platform::MainQueue::pump(0.5);
    EXPECT_TRUE(w.calls.empty());
}

TEST(FileWatch, NoCallAfterTheWatchIsGone) {
    Watched w;
    ASSERT_TRUE(w.watch);
    ASSERT_TRUE(platform::atomicWrite(w.store, "[]"));
    platform::MainQueue::pump(0.05);
    w.watch.reset();
    platform::MainQueue::pump(0.4);
    EXPECT_TRUE(w.calls.empty());
}

}  // namespace

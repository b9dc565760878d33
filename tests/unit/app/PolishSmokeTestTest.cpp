// `--polish-smoke-test` gives up on a rewrite after a time-out; the rewrite
// may still answer afterwards, and that answer must not write into the stack
// frame the step ran in.
#include "App/PolishSmokeTest.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// Runs the late completion while a frame of known bytes covers the stack the
// step used (called from the same depth), and tells whether any changed.
[[gnu::noinline]] bool lateAnswerLeavesTheStackAlone(const PolishService::Completion& late) {
    volatile unsigned char fill[64 * 1024];
    for (auto& byte : fill) byte = 0xA5;
    late(PolishService::RewriteOutcome::success("late"));
    for (const auto& byte : fill)
        if (byte != 0xA5) return false;
    return true;
}

TEST(PolishSmokeTest, ARewriteThatAnswersAfterTheStepTimedOutIsHarmless) {
    PolishService::Completion late;
    int started = 0;
    const PolishSmokeTest::Rewrite neverInTime = [&](const std::string& text, PolishService::Completion completion) {
        ++started;
        EXPECT_EQ(text, "um a test");
        late = std::move(completion);
    };
    EXPECT_FALSE(PolishSmokeTest::runStep("slow rewrite", "um a test", neverInTime, 0.05));
    ASSERT_EQ(started, 1);
    ASSERT_TRUE(late);
    EXPECT_TRUE(lateAnswerLeavesTheStackAlone(late));

    // An answer in time ends the step at once.
    const PolishSmokeTest::Rewrite prompt = [](const std::string&, PolishService::Completion completion) {
        completion(PolishService::RewriteOutcome::success("a test"));
    };
    EXPECT_TRUE(PolishSmokeTest::runStep("prompt rewrite", "um a test", prompt, 5.0));
}

}  // namespace

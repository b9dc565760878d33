#include "Platform/Log.h"

#include <gtest/gtest.h>

// Log lines go to standard output, except while a command-line run has sent them aside.
TEST(Log, StandardErrorOnlyWhileAsked) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    platform::log("Test", "before");
    {
        const platform::LogToStandardError aside;
        platform::log("Test", "during");
    }
    platform::log("Test", "after");
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "[Test] before\n[Test] after\n");
    EXPECT_EQ(err, "[Test] during\n");
}

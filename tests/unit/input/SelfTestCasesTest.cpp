// The hotkey cases handed to the AppRules suite pass against the real
// manager, and fail when the gesture they guard is broken.
#include "SelfTest/AppRulesHotkeyCases.h"

#include <gtest/gtest.h>

#include "Input/HotkeyManager.h"
#include "Platform/Queues.h"

TEST(AppRulesHotkeyCases, PassInOrderAndRestoreTheManager) {
    auto cases = AppRulesHotkeyCases();
    ASSERT_EQ(cases.size(), 5u);
    EXPECT_EQ(cases[0].name, "hands-free: two quick taps inside the double-tap window start a session");
    EXPECT_EQ(cases[4].name.rfind("primary hold path is unchanged", 0), 0u);
    const double limit = HotkeyManager::handsFreeMaxDuration;
    for (auto& c : cases) {
        SelfTestOutcome outcome = c.run();
        EXPECT_TRUE(outcome.isPass()) << c.name << ": " << outcome.message;
    }
    EXPECT_EQ(HotkeyManager::handsFreeMaxDuration, limit);
    EXPECT_TRUE(HotkeyManager::shared().delegate.expired());
    EXPECT_FALSE(HotkeyManager::shared().isHandsFreeActive());
}

TEST(AppRulesHotkeyCases, MaxDurationCaseFailsWhenNoSessionCanStart) {
    auto cases = AppRulesHotkeyCases();
    HotkeyManager& m = HotkeyManager::shared();
    m.triggerPress();  // a held key makes the double tap impossible
    SelfTestOutcome outcome = cases[3].run();
    m.triggerRelease();
    platform::MainQueue::pump(0.05);
    EXPECT_TRUE(outcome.isFail());
    EXPECT_EQ(outcome.message, "precondition failed: hands-free never started");
}

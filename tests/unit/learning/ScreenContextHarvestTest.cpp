#include "Learning/ScreenContext.h"

#include "Base/AppPaths.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/ScriptedFocusedText.h"
#include "support/TempDir.h"

using Clock = std::chrono::steady_clock;
using V = std::vector<std::string>;

namespace {

class ScreenContextHarvest : public ::testing::Test {
protected:
    TempDir dir{"ondira-screen-"};
    ScopedEnv home{"HOME", dir.path.string()};
    ScopedEnv config{"XDG_CONFIG_HOME", std::nullopt};
    std::shared_ptr<ScriptedFocusedText> field = std::make_shared<ScriptedFocusedText>();
    std::string app = "org.example.Editor";

    void SetUp() override {
        ScreenContext::setFocusedFieldForTesting(field);
        ScreenContext::setApplicationKeyForTesting([this] { return app; });
    }
    void TearDown() override {
        ScreenContext::setFocusedFieldForTesting(nullptr);
        ScreenContext::setApplicationKeyForTesting({});
    }
};

TEST_F(ScreenContextHarvest, ReadsTheFocusedFieldAndCachesPerApplication) {
    field->value = "Ask Zendaya to merge grafanaDashboard before the PGBOUNCER restart.";
    EXPECT_EQ(ScreenContext::harvestTerms(), (V{"Zendaya", "grafanaDashboard", "PGBOUNCER"}));
    field->value = "Nothing like before: quarkusRuntime";
    EXPECT_EQ(ScreenContext::harvestTerms(), (V{"Zendaya", "grafanaDashboard", "PGBOUNCER"}));
    EXPECT_EQ(field->reads.load(), 1);
    app = "org.example.Terminal";
    EXPECT_EQ(ScreenContext::harvestTerms(), (V{"quarkusRuntime"}));
    // No value but a selection: the selection counts.
    field->value = "";
    field->selected = "see OksanaPetrenko";
    app = "org.example.Mail";
    EXPECT_EQ(ScreenContext::harvestTerms(), (V{"OksanaPetrenko"}));
}

// The caller waits at most the budget; an answer after it changes nothing,
// not even the cached result of that harvest.
TEST_F(ScreenContextHarvest, ALateAnswerIsDroppedAndNeverBlocksTheCaller) {
    field->value = "LateTermFromASlowApp";
    field->delay = std::chrono::milliseconds(300);
    const auto start = Clock::now();
    EXPECT_TRUE(ScreenContext::harvestTerms().empty());
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), ScreenContext::budgetSeconds + 0.04);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_TRUE(ScreenContext::harvestTerms().empty());
    EXPECT_EQ(field->reads.load(), 1);
}

TEST_F(ScreenContextHarvest, SwitchedOffReadsNothing) {
    AppPaths::standardDefaults()->setBool(ScreenContext::enabledDefaultsKey, false);
    field->value = "grafanaDashboard";
    EXPECT_TRUE(ScreenContext::harvestTerms().empty());
    EXPECT_EQ(field->reads.load(), 0);
    AppPaths::standardDefaults()->removeObject(ScreenContext::enabledDefaultsKey);
    EXPECT_EQ(ScreenContext::harvestTerms(), V{"grafanaDashboard"});
}

}  // namespace

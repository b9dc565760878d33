// The running app follows stores changed by another process: a term added
// with `ondira dict add` and a snippet with `ondira snippets add` apply to the
// next dictation's clean-up, and a hotkey written to config.json is grabbed.
#include "App/StoreWatch.h"

#include <gtest/gtest.h>

#include "Base/AppPaths.h"
#include "Platform/FileIO.h"
#include "Platform/Queues.h"
#include "Text/AppRules.h"
#include "Text/PolishEngine.h"
#include "Text/Snippets.h"
#include "Text/TextPipeline.h"
#include "Text/Vocabulary.h"
#include "support/HotkeyFakes.h"
#include "unit/cli/CLIRun.h"

namespace {

std::string nextDictation(const std::string& recognized) {
    return TextPipeline::cleanUpDictation(recognized, false, AppRules::globalDefault(), PolishEngine::shared(),
                                          Snippets::shared());
}

// Runs the main loop until `done` holds, for at most 5 s.
bool within5s(const std::function<bool()>& done) {
    platform::MainQueue::pump(5.0, done);
    return done();
}

struct RunningApp : HotkeyRig {
    std::unique_ptr<platform::FileWatch> watch;
    // What the status menu was told of each config.json change, beside the
    // hotkey in force at that moment.
    std::vector<std::pair<std::optional<std::string>, HotkeyMode>> named;
    RunningApp() {
        make();
        Vocabulary::shared().reloadDictionary();
        Snippets::shared().reload();
        watch = StoreWatch::start(*manager, [this](const auto& stored) { named.emplace_back(stored, manager->mode); });
    }
    ~RunningApp() {
        watch.reset();
        // The shared stores go back to this (empty) state for the next test.
        std::error_code ec;
        std::filesystem::remove(AppPaths::dictionaryFile(), ec);
        std::filesystem::remove(Snippets::storageFile(), ec);
        Vocabulary::shared().reloadDictionary();
        Snippets::shared().reload();
    }
};

TEST(StoreWatch, TermsAndSnippetsAddedFromATerminalApplyToTheNextDictation) {
    RunningApp app;
    ASSERT_TRUE(app.watch);
    const std::string before = nextDictation("ask zorbly about brbx");
    ASSERT_EQ(before.find("Zorblax"), std::string::npos) << before;
    ASSERT_EQ(before.find("be right back"), std::string::npos) << before;

    ASSERT_EQ(runOndira("dict add zorbly Zorblax").status, 0);
    EXPECT_TRUE(within5s([] { return nextDictation("ask zorbly about it").find("Zorblax") != std::string::npos; }))
        << nextDictation("ask zorbly about it");

    ASSERT_EQ(runOndira("snippets add brbx 'be right back'").status, 0);
    EXPECT_TRUE(within5s([] { return nextDictation("ask zorbly about brbx").find("be right back") != std::string::npos; }))
        << nextDictation("ask zorbly about brbx");
}

TEST(StoreWatch, AHotkeyWrittenToConfigIsGrabbed) {
    RunningApp app;
    ASSERT_TRUE(app.watch);
    const auto f13 = HotkeyModes::carbonCombo(HotkeyMode::f13);
    ASSERT_TRUE(f13);
    ASSERT_EQ(app.manager->mode, HotkeyMode::fn);

    ASSERT_TRUE(platform::atomicWrite(AppPaths::configFile(), R"({"hotkey": "f13", "processing_mode": "fast"})"));
    EXPECT_TRUE(within5s([&] { return app.keys->isLive(f13->keyCode, f13->modifiers); }));
    EXPECT_EQ(app.manager->mode, HotkeyMode::f13);
    EXPECT_EQ(AppPaths::readConfigValue("processing_mode"), "fast");

    // An unknown value keeps the grab the app has.
    ASSERT_TRUE(platform::atomicWrite(AppPaths::configFile(), R"({"hotkey": "globe"})"));
    platform::MainQueue::pump(StoreWatch::debounceSeconds + 0.5);
    EXPECT_EQ(app.manager->mode, HotkeyMode::f13);
    EXPECT_TRUE(app.keys->isLive(f13->keyCode, f13->modifiers));
}

// The one watch of config.json re-grabs first and then has the menu name the
// hotkey the file holds; a key the desktop refuses leaves the grab as it was
// and the user hears of it.
TEST(StoreWatch, TheMenuIsToldOfAChangedHotkeyAfterItsGrab) {
    RunningApp app;
    ASSERT_TRUE(app.watch);
    const auto f13 = HotkeyModes::carbonCombo(HotkeyMode::f13), f14 = HotkeyModes::carbonCombo(HotkeyMode::f14);
    ASSERT_TRUE(f13 && f14);
    app.keys->refused.insert({f14->keyCode, f14->modifiers});

    ASSERT_TRUE(platform::atomicWrite(AppPaths::configFile(), R"({"hotkey": "f13"})"));
    ASSERT_TRUE(within5s([&] { return !app.named.empty(); }));
    EXPECT_EQ(app.named.front(), std::make_pair(std::optional<std::string>("f13"), HotkeyMode::f13))
        << "named before the grab took the key";

    platform::MainQueue::pump(StoreWatch::debounceSeconds + 0.5);  // the grab's own write of the file settles
    app.named.clear();
    ASSERT_TRUE(platform::atomicWrite(AppPaths::configFile(), R"({"hotkey": "f14"})"));
    ASSERT_TRUE(within5s([&] { return !app.named.empty(); }));
    EXPECT_EQ(app.named.front(), std::make_pair(std::optional<std::string>("f14"), HotkeyMode::f13));
    EXPECT_TRUE(app.keys->isLive(f13->keyCode, f13->modifiers));
    EXPECT_FALSE(app.keys->isLive(f14->keyCode, f14->modifiers));
    app.loop->drain();
    ASSERT_FALSE(app.delegate->calls.empty());
    EXPECT_EQ(app.delegate->calls.back().rfind("refused:", 0), 0u) << app.delegate->calls.back();
}

}  // namespace

// Committing staged text types into the focused field of the shared display,
// so it runs here, with the other tests that hold the keyboard.
#include <gtest/gtest.h>

#include "support/RequireService.h"

#include <gtk/gtk.h>
#include <signal.h>
#include <sys/wait.h>

#include "App/AppDelegate.h"
#include "Base/AppPaths.h"
#include "App/SoundCues.h"
#include "Input/TextInjector.h"
#include "Platform/Bundle.h"
#include "Platform/FileIO.h"
#include "Platform/Queues.h"
#include "Text/StagingBuffer.h"
#include "UI/IndicatorWindow.h"
#include "dictation/DelegateFixture.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

class StagedCommitTest : public DelegateFixture {
protected:
    void SetUp() override {
        ONDIRA_REQUIRE_SERVICE(startDelegate(), "no X display");
        StagingBuffer::shared().clear();
    }
    void TearDown() override {
        closeField();
        DelegateFixture::TearDown();
    }

    void closeField() {
        if (window <= 0) return;
        kill(window, SIGTERM);
        waitpid(window, nullptr, 0);
        window = 0;
    }
    void openField(const fs::path& file, std::vector<std::string> options = {}) {
        closeField();
        std::vector<std::string> args = {ONDIRA_TEXTWINDOW, file.string()};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        g_spawn_async(nullptr, argv.data(), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &window, nullptr);
        platform::MainQueue::pump(15.0, [&] { return fs::exists(file.string() + ".ready"); });
        platform::MainQueue::pump(0.3);
    }
    std::optional<InjectionOutcome> commit() {
        std::optional<InjectionOutcome> outcome;
        delegate->commitStagedText(StagingBuffer::shared(), TextInjector::shared(),
                                   [&](const InjectionOutcome& o) { outcome = o; });
        platform::MainQueue::pump(15.0, [&] { return outcome.has_value(); });
        platform::MainQueue::pump(0.2);
        return outcome;
    }

    TempDir dir{"ondira-commit-"};
    ScopedEnv env{AppPaths::selfTestStateDirVariable, dir.path.string()};
    fs::path field = dir / "field.txt";
    GPid window = 0;
};

}  // namespace

TEST_F(StagedCommitTest, AConfirmedInsertionEmptiesTheBufferAndAFailedOneKeepsTheWords) {
    auto& staging = StagingBuffer::shared();

    // A password field refuses inserted text.
    openField(dir / "password.txt", {"--password"});
    staging.append("keep these words", true);
    const auto failed = commit();
    ASSERT_TRUE(failed);
    EXPECT_NE(failed->kind, InjectionOutcome::Kind::confirmed);
    EXPECT_EQ(staging.count(), 1u) << "an unconfirmed insertion must leave the text staged";
    EXPECT_EQ(IndicatorWindowController::shared().currentMode().kind, IndicatorMode::Kind::error);

    openField(field);
    const auto landed = commit();
    ASSERT_TRUE(landed);
    EXPECT_EQ(landed->kind, InjectionOutcome::Kind::confirmed);
    EXPECT_TRUE(staging.isEmpty());
    EXPECT_STREQ(gtk_menu_item_get_label(GTK_MENU_ITEM(delegate->stagingCommitMenuItem())),
                 "Commit Staged Text (nothing staged)");
    platform::MainQueue::pump(2.0,
                              [&] { return platform::readFile(field).has_value() && !platform::readFile(field)->empty(); });
    auto text = platform::readFile(field);
    ASSERT_TRUE(text);
    EXPECT_EQ(std::string(text->begin(), text->end()), "keep these words");
}

TEST_F(StagedCommitTest, CommittingAnEmptyBufferSaysSoAndInsertsNothing) {
    // A focused field that would show anything typed into it.
    StagingBuffer::shared().clear();
    openField(field);
    delegate->commitStagedText();
    platform::MainQueue::pump(1.0);
    EXPECT_EQ(IndicatorWindowController::shared().currentMode(), IndicatorMode::error("Nothing staged yet"));
    const auto text = platform::readFile(field);
    EXPECT_TRUE(!text || text->empty()) << "the field received: " << std::string(text->begin(), text->end());
}

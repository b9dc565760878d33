#include "App/AppDelegate.h"

#include <gtest/gtest.h>

#include "support/RequireService.h"
#include "support/PrivateDisplay.h"

#include <gtk/gtk.h>

#include <algorithm>

#include "Base/AppPaths.h"
#include "Input/TextInjector.h"
#include "Platform/Bundle.h"
#include "Platform/FileIO.h"
#include "Platform/Queues.h"
#include "Text/StagingBuffer.h"
#include "UI/IndicatorWindow.h"
#include "support/FakeInsertionTarget.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {
class StatusMenuActionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ONDIRA_REQUIRE_SERVICE(usePrivateDisplay() && gtk_init_check(nullptr, nullptr), "no X display");
        platform::MainQueue::markCurrentThreadAsMain();
        platform::Bundle::overrideBundleDirectory(fs::path(ONDIRA_BUNDLE_DIR));
        delegate = new AppDelegate();
    }
    void TearDown() override { platform::Bundle::overrideBundleDirectory(std::nullopt); }

    // Commits and waits until the insertion has had its outcome.
    void commit() {
        IndicatorWindowController::shared().updateState(IndicatorMode::idle());
        platform::MainQueue::pump(2,
                                  [] { return IndicatorWindowController::shared().currentMode() == IndicatorMode::idle(); });
        delegate->commitStagedText(buffer, injector);
        platform::MainQueue::pump(5, [&] {
            const auto entries = buffer.allEntries();
            const bool firstStaged =
                std::any_of(entries.begin(), entries.end(), [](const StagingEntry& e) { return e.text == "first"; });
            return !firstStaged || IndicatorWindowController::shared().currentMode().kind == IndicatorMode::Kind::error;
        });
        platform::MainQueue::pump(0.2);
    }
    std::string indicatorMessage() const {
        const auto& mode = IndicatorWindowController::shared().currentMode();
        return mode.kind == IndicatorMode::Kind::error ? mode.message : "";
    }

    // An empty field with an empty clipboard.
    static std::shared_ptr<FakeInsertionTarget> makeField() {
        auto f = std::make_shared<FakeInsertionTarget>();
        f->value.clear();
        f->clipboard = {};
        return f;
    }

    TempDir state;
    ScopedEnv isolated{AppPaths::selfTestStateDirVariable, state.path.string()};
    StagingBuffer buffer{state / "staging.json", StagingLimits::defaults()};
    std::shared_ptr<FakeInsertionTarget> field = makeField();
    TextInjector injector{field, [](double, std::function<void()> block) { platform::MainQueue::async(std::move(block)); }};
    AppDelegate* delegate = nullptr;
};
}  // namespace

TEST_F(StatusMenuActionsTest, CommittingAnEmptyBufferSaysSoAndInsertsNothing) {
    commit();
    EXPECT_EQ(indicatorMessage(), "Nothing staged yet");
    EXPECT_EQ(field->value, "");
}

TEST_F(StatusMenuActionsTest, StagedTextLeavesTheBufferOnlyWhenTheInsertionLanded) {
    const struct {
        bool deaf;
        SecureInputState secure;  // the field ignores the paste; it is (or may be) a password field
        std::string message;      // none when it landed
    } table[] = {
        {false, SecureInputState::inactive, ""},
        {true, SecureInputState::inactive, "Couldn't paste \u2014 your text is on the clipboard, press Ctrl+V"},
        {false, SecureInputState::active, "Secure field \u2014 Ondira held your staged text back; it stays staged"},
        {false, SecureInputState::couldNotTell,
         "Field didn't say if it's secure \u2014 Ondira held your staged text back; it stays staged"},
    };
    for (const auto& row : table) {
        buffer.clear();
        // A field that reads back unchanged shows the paste went nowhere.
        field->value = row.message.empty() ? "" : "Dear ";
        field->deaf = row.deaf;
        field->secure = row.secure;
        buffer.append("first", false);
        buffer.append("second", false);
        commit();
        EXPECT_EQ(indicatorMessage(), row.message);
        if (row.message.empty()) {
            EXPECT_EQ(field->value, "first\n\nsecond");
            EXPECT_TRUE(buffer.isEmpty());
        } else {
            EXPECT_EQ(buffer.count(), 2u) << row.message << ": the text stays staged";
        }
    }
}

TEST_F(StatusMenuActionsTest, TextStagedWhileACommitLandsStaysStaged) {
    buffer.append("first", false);
    field->duringPaste = [&] { buffer.append("later", false); };
    commit();
    EXPECT_EQ(field->value, "first");
    ASSERT_EQ(buffer.count(), 1u);
    EXPECT_EQ(buffer.allEntries()[0].text, "later");
}

TEST_F(StatusMenuActionsTest, AFileTranscriptionReportsOnTheStatusItem) {
    std::vector<std::string> alerts;
    bool finished = false;
    TranscribeFileFlow::Options options;
    options.desktop.chooseFile = [&](std::function<void(std::optional<fs::path>)> answer) { answer(state / "missing.wav"); };
    options.desktop.alert = [&](const std::string& message, const std::string&) { alerts.push_back(message); };
    options.onFinished = [&] { finished = true; };

    std::vector<std::string> titles;
    auto host = delegate->transcribeFileHost();
    auto show = host->setTooltip;
    host->setTooltip = [&](const std::string& text) {
        show(text);
        titles.push_back(delegate->statusItemTitle());
    };
    delegate->transcribeAudioFile(options);
    platform::MainQueue::pump(10, [&] { return finished; });
    host->setTooltip = show;

    ASSERT_TRUE(finished);
    ASSERT_GE(titles.size(), 2u);
    EXPECT_EQ(titles.front(), TranscribeFileFlow::transcribingTooltip("missing.wav"));
    EXPECT_EQ(titles.back(), AppDelegate::statusTitle);
    EXPECT_EQ(alerts, std::vector<std::string>{TranscribeFileFlow::transcribeFailedMessage});
    EXPECT_STREQ(gtk_menu_item_get_label(GTK_MENU_ITEM(delegate->headingMenuItem())), AppDelegate::statusTitle);
}

// The menu action with the live bundle: the file lands under the chosen
// name, replacing the one there, carries what only this layer knows (the
// doctor's findings and the menu's settings) and is shown in the file manager.
TEST_F(StatusMenuActionsTest, ExportSupportBundleWritesTheLiveBundleUnderTheChosenName) {
    const fs::path chosen = state / "for support.txt";
    ASSERT_TRUE(platform::atomicWrite(chosen, "an older bundle", 0600));
    std::vector<std::string> events;
    bool finished = false;
    SupportBundleExport::Options options;
    options.desktop.chooseSaveLocation = [&](const std::string&, auto callback) { callback(chosen); };
    options.desktop.alert = [&](const std::string& m, const std::string& i) { events.push_back("alert " + m + ": " + i); };
    options.desktop.reveal = [&](const fs::path& p) { events.push_back("reveal " + p.string()); };
    options.onFinished = [&] { finished = true; };
    delegate->exportSupportBundle(std::move(options));
    platform::MainQueue::pump(30, [&] { return finished; });

    ASSERT_TRUE(finished);
    EXPECT_EQ(events, std::vector<std::string>{"reveal " + chosen.string()});
    const auto text = platform::readFile(chosen).value_or("");
    EXPECT_EQ(text.rfind("ONDIRA SUPPORT BUNDLE\n", 0), 0u) << text;
    for (const char* part : {"\n== Doctor ==\nsound server", "\nStage dictations instead of pasting: off\n",
                             "\nLaunch at login: off\n", "\nTotal faults recorded: "}) {
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    }
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(state.path)) names.push_back(e.path().filename().string());
    EXPECT_EQ(std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.rfind(".ondira-", 0) == 0; }),
              0);
}

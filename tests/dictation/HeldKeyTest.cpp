// What other keys do while the dictation key (Right Ctrl) is down: Esc
// cancels the take the user is still holding, and Right Ctrl shortcuts such
// as Right Ctrl+C are the application's, never a dictation.
#include "dictation/LaunchedApp.h"

#include "support/Speech.h"

using namespace launched;

namespace {

const std::string kPhrase = "please send the report to the team by friday";

class HeldKey : public LaunchedApp {
protected:
    void SetUp() override {
        ASSERT_TRUE(testspeech::synthesize(kPhrase, speech));
        launch({"--clipboard"});
    }

    // Nothing dictated reached the field or the history.
    void expectNothingLanded(const std::string& fieldBefore) {
        sleepFor(4.0);
        EXPECT_EQ(fileText(field), fieldBefore);
        auto history = historyFile();
        EXPECT_TRUE(!history || fileText(*history).find("report") == std::string::npos) << fileText(*history);
    }

    fs::path speech = dir / "speech.wav";
};

}  // namespace

TEST_F(HeldKey, EscWithTheHotkeyStillHeldCancelsTheTake) {
    const auto empty = keyboard.lowerHalf();
    keyboard.key(XK_Control_R, true);
    ASSERT_TRUE(waitUntil(5, [&] { return keyboard.lowerHalf() != empty; })) << "no take started";
    play(speech);
    // The finger is still on Right Ctrl: Esc arrives as Ctrl+Esc.
    keyboard.tap(XK_Escape);
    sleepFor(0.3);
    keyboard.key(XK_Control_R, false);
    expectNothingLanded("");
}

TEST_F(HeldKey, RightCtrlShortcutsAreTheApplicationsAndNeverADictation) {
    // Copy and paste in quick succession, as a user does: two Right Ctrl
    // presses well within the double-tap window, each with another key.
    for (KeySym letter : {XK_c, XK_v}) {
        keyboard.key(XK_Control_R, true);
        sleepFor(0.05);
        keyboard.tap(letter);
        keyboard.key(XK_Control_R, false);
        sleepFor(0.1);
    }
    ASSERT_TRUE(waitUntil(5, [&] { return fileText(field) == "the user's own words"; }))
        << "the paste reached the field: " << fileText(field);
    play(speech);
    // A lone tap now is a first tap: it ends no hands-free session.
    keyboard.tap(XK_Control_R);
    expectNothingLanded("the user's own words");
}

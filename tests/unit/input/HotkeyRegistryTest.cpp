// The registry of secondary shortcuts, the primary mode and its stored
// forms, and how the event sources reach the gesture rules.
#include "Input/HotkeyManager.h"

#include <gtest/gtest.h>

#include "Base/AppPaths.h"
#include "Platform/KeyCodes.h"
#include "Platform/FileIO.h"
#include "support/TempDir.h"
#include "support/HotkeyFakes.h"

namespace {

using Rig = HotkeyRig;

const HotkeyShortcut kF5Raw{96, 768, DictationMode::raw};
const HotkeyShortcut kF6Standard{97, 4608, DictationMode::standard};

TEST(HotkeyRegistry, FreshStoreGetsTheDefaultRawShortcutStored) {
    Rig rig;
    rig.make();
    rig.manager->startListening();
    EXPECT_EQ(rig.manager->secondaryShortcut(DictationMode::raw), HotkeyManager::defaultRawShortcut);
    EXPECT_TRUE(rig.keys->isLive(49, 6144));
    EXPECT_EQ(rig.stored(), R"([{"carbonModifiers":6144,"keyCode":49,"mode":"raw"}])");
}

TEST(HotkeyRegistry, RestoreHonoursAnEmptyListAndIgnoresGarbage) {
    for (const char* text : {"[]", "not json", R"([{"keyCode":-1,"carbonModifiers":0,"mode":"raw"}])"}) {
        Rig rig;
        rig.store(text);
        rig.make();
        rig.manager->startListening();
        EXPECT_TRUE(rig.manager->configuredSecondaryShortcuts().empty()) << text;
        EXPECT_EQ(rig.stored(), text) << "restoring never rewrites the stored list";
    }
}

TEST(HotkeyRegistry, RestoreSkipsARefusedShortcutAndKeepsTheRest) {
    Rig rig;
    rig.store(HotkeyShortcut::encodeList({kF5Raw, kF6Standard}));
    rig.keys->refused.insert({96, 768});
    rig.make();
    rig.manager->startListening();
    EXPECT_FALSE(rig.manager->secondaryShortcut(DictationMode::raw));
    EXPECT_EQ(rig.manager->secondaryShortcut(DictationMode::standard), kF6Standard);
}

TEST(HotkeyRegistry, ConflictRules) {
    Rig rig;
    rig.make();
    // Alt+Space belongs to the primary key, whatever the primary mode.
    auto error = rig.manager->registerShortcut({49, 2048, DictationMode::raw});
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, HotkeyRegistrationError::combinationAlreadyBound(DictationMode::standard));
    EXPECT_FALSE(rig.manager->registerShortcut({49, 2048, DictationMode::standard}));

    EXPECT_FALSE(rig.manager->registerShortcut(kF5Raw));
    error = rig.manager->registerShortcut({96, 768, DictationMode::standard});
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, HotkeyRegistrationError::combinationAlreadyBound(DictationMode::raw));
    EXPECT_EQ(rig.manager->secondaryShortcut(DictationMode::standard), (HotkeyShortcut{49, 2048, DictationMode::standard}));
    // The same combination again for its own mode is no conflict.
    EXPECT_FALSE(rig.manager->registerShortcut(kF5Raw));
    EXPECT_TRUE(rig.keys->isLive(96, 768));
}

TEST(HotkeyRegistry, ChangingAShortcutTakesTheNewKeyBeforeLettingTheOldGo) {
    Rig rig;
    rig.make();
    rig.manager->startListening();
    ASSERT_FALSE(rig.manager->registerShortcut(kF5Raw));
    const auto storedBefore = rig.stored();
    rig.keys->refused.insert({97, 0});
    auto error = rig.manager->registerShortcut({97, 0, DictationMode::raw});
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, HotkeyRegistrationError::systemRegistrationFailed(10));
    EXPECT_EQ(rig.manager->secondaryShortcut(DictationMode::raw), kF5Raw) << "the old shortcut stays in force";
    EXPECT_TRUE(rig.keys->isLive(96, 768));
    EXPECT_EQ(rig.stored(), storedBefore);

    ASSERT_FALSE(rig.manager->registerShortcut({98, 0, DictationMode::raw}));
    EXPECT_FALSE(rig.keys->isLive(96, 768));
    EXPECT_TRUE(rig.keys->isLive(98, 0));
    rig.keys->fire(98, 0, true);
    rig.loop->drain();
    EXPECT_EQ(rig.delegate->calls, std::vector<std::string>{"press:raw"});
}

TEST(HotkeyRegistry, PresetSelection) {
    Rig rig;
    rig.make();
    EXPECT_FALSE(rig.manager->selectHotkeyMode(HotkeyMode::controlShiftSpace));
    EXPECT_EQ(rig.manager->secondaryShortcut(DictationMode::standard), (HotkeyShortcut{49, 4608, DictationMode::standard}));
    EXPECT_EQ(rig.manager->mode, HotkeyMode::controlShiftSpace);
    EXPECT_EQ(AppPaths::readConfigValue("hotkey"), "controlshiftspace");
    EXPECT_FALSE(rig.manager->selectHotkeyMode(HotkeyMode::fn));
    EXPECT_FALSE(rig.manager->secondaryShortcut(DictationMode::standard));
    EXPECT_FALSE(rig.keys->isLive(49, 4608));

    ASSERT_FALSE(rig.manager->registerShortcut({105, 0, DictationMode::raw}));
    auto error = rig.manager->selectHotkeyMode(HotkeyMode::f13);
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, HotkeyRegistrationError::combinationAlreadyBound(DictationMode::raw));
    EXPECT_EQ(rig.manager->mode, HotkeyMode::fn);
    EXPECT_TRUE(rig.manager->secondaryShortcut(DictationMode::raw));
}

TEST(HotkeyRegistry, ARefusedHotkeyKeepsThePreviousOneWorkingAndTellsTheUser) {
    struct Row {
        HotkeyMode chosen;
        HotkeyModes::Combo heldByTheDesktop;
    };
    for (const Row& row : {Row{HotkeyMode::altSpace, {49, 2048}}, Row{HotkeyMode::f14, {107, 0}}}) {
        const std::string word = HotkeyModes::rawValue(row.chosen);
        Rig rig;
        rig.make();
        rig.manager->startListening();
        ASSERT_FALSE(rig.manager->selectHotkeyMode(HotkeyMode::f13));
        rig.keys->refused.insert({row.heldByTheDesktop.keyCode, row.heldByTheDesktop.modifiers});
        auto error = rig.manager->selectHotkeyMode(row.chosen);
        ASSERT_TRUE(error) << word;
        EXPECT_EQ(*error, HotkeyRegistrationError::systemRegistrationFailed(10)) << word;
        EXPECT_EQ(rig.manager->mode, HotkeyMode::f13) << word;
        EXPECT_EQ(AppPaths::readConfigValue("hotkey"), "f13") << word;
        rig.keys->fire(105, 0, true);
        rig.loop->drain();
        EXPECT_EQ(rig.delegate->calls, (std::vector<std::string>{"refused:" + error->description(), "press:standard"}))
            << word << ": the user is told, and F13 still starts a take";
    }
}

TEST(HotkeyRegistry, ConfiguredModeIsReadAndOtherKeysSurviveWrites) {
    Rig rig;
    platform::atomicWrite(AppPaths::configFile(), R"({"hotkey": "f14", "processing_mode": "fast"})");
    rig.make();
    EXPECT_EQ(rig.manager->mode, HotkeyMode::f14);
    rig.manager->setMode(HotkeyMode::fn);
    EXPECT_EQ(AppPaths::readConfigValue("processing_mode"), "fast");
    EXPECT_EQ(AppPaths::readConfigValue("hotkey"), "fn");

    for (const char* text : {R"({"hotkey": "globe"})", R"({"hotkey": 3})", "{", ""}) {
        platform::atomicWrite(AppPaths::configFile(), text);
        rig.make();
        EXPECT_EQ(rig.manager->mode, HotkeyMode::fn) << text;
    }
}

TEST(HotkeyRegistry, AltSpaceKeyFollowsTheModeAndRecordsRefusal) {
    Rig rig;
    rig.make();
    rig.manager->startListening();
    rig.manager->setMode(HotkeyMode::altSpace);
    EXPECT_TRUE(rig.keys->isLive(49, 2048));
    EXPECT_FALSE(rig.manager->altSpaceRegistrationFailed());
    rig.manager->setMode(HotkeyMode::fn);
    EXPECT_FALSE(rig.keys->isLive(49, 2048));
    rig.keys->refused.insert({49, 2048});
    rig.manager->setMode(HotkeyMode::altSpace);
    EXPECT_EQ(rig.manager->altSpaceRegistrationFailed(), 10);
}

TEST(HotkeyRegistry, EscapeAndReturnAreTakenOnlyWhileArmed) {
    Rig rig;
    rig.make();
    rig.manager->startListening();
    rig.manager->armEscapeCancel();
    rig.manager->armEscapeCancel();
    EXPECT_TRUE(rig.manager->isEscapeCancelArmed());
    // Esc is taken whatever modifiers are held: in a held take the user's
    // finger is still on the dictation key.
    const std::uint32_t anyModifiers = HotKeyService::anyModifiers;
    EXPECT_TRUE(rig.keys->isLive(53, anyModifiers));
    rig.manager->armErrorAction();
    rig.keys->fire(53, anyModifiers, false);  // a release asks nothing
    rig.keys->fire(53, anyModifiers, true);
    rig.keys->fire(36, 0, true);
    rig.loop->drain();
    EXPECT_EQ(rig.delegate->calls, (std::vector<std::string>{"cancel", "errorAction"}));
    rig.manager->disarmEscapeCancel();
    rig.manager->disarmErrorAction();
    rig.manager->disarmErrorAction();
    EXPECT_FALSE(rig.manager->isEscapeCancelArmed());
    EXPECT_FALSE(rig.manager->isErrorActionArmed());
    EXPECT_FALSE(rig.keys->isLive(53, anyModifiers));
    EXPECT_FALSE(rig.keys->isLive(36, 0));
}

TEST(HotkeyRegistry, HotKeyEventsNeedOurSignatureAndTheRightMode) {
    Rig rig;
    rig.make();
    rig.manager->handleHotKeyEvent(0x41424344, HotkeyManager::escapeHotKeyID, true);
    rig.manager->handleHotKeyEvent(HotkeyManager::signature, HotkeyManager::altSpaceHotKeyID, true);  // mode is fn
    rig.manager->handleHotKeyEvent(HotkeyManager::signature, 4242, true);
    rig.loop->drain();
    EXPECT_TRUE(rig.delegate->calls.empty());
    rig.manager->mode = HotkeyMode::altSpace;
    rig.manager->handleHotKeyEvent(HotkeyManager::signature, HotkeyManager::altSpaceHotKeyID, true);
    rig.manager->handleHotKeyEvent(HotkeyManager::signature, HotkeyManager::altSpaceHotKeyID, false);
    rig.loop->drain();
    EXPECT_EQ(rig.delegate->calls, (std::vector<std::string>{"press", "release"}));
}

struct KeyRow {
    const char* name;
    HotkeyMode mode;
    std::vector<RawKeyEvent> events;
    std::vector<std::string> calls;
};

constexpr unsigned long kAltL = 0xffe9, kShiftL = 0xffe1, kLetterC = 0x63;
RawKeyEvent down(unsigned long sym, std::uint32_t mods = 0, bool others = false, bool repeat = false) {
    return {sym, true, repeat, mods, others};
}
RawKeyEvent up(unsigned long sym) { return {sym, false, false, 0, false}; }

TEST(HotkeyRegistry, KeyListenerRules) {
    const std::uint32_t alt = KeyCodes::optionMask;
    const std::vector<KeyRow> rows = {
        {"fn: a lone Right Ctrl hold",
         HotkeyMode::fn,
         {down(KeyCodes::keysymControlR), up(KeyCodes::keysymControlR)},
         {"tentative", "press", "release"}},
        {"fn: Right Ctrl in a chord starts nothing",
         HotkeyMode::fn,
         {down(KeyCodes::keysymControlR, 0, true), up(KeyCodes::keysymControlR)},
         {}},
        {"fn: auto-repeat is one press",
         HotkeyMode::fn,
         {down(KeyCodes::keysymControlR), down(KeyCodes::keysymControlR, 0, false, true), up(KeyCodes::keysymControlR)},
         {"tentative", "press", "release"}},
        {"fn: Alt+Space is ignored",
         HotkeyMode::fn,
         {down(kAltL), down(KeyCodes::keysymSpace, alt, true), up(KeyCodes::keysymSpace)},
         {}},
        {"altSpace: Alt+Space",
         HotkeyMode::altSpace,
         {down(KeyCodes::keysymSpace, alt, true), up(KeyCodes::keysymSpace)},
         {"press", "release"}},
        {"altSpace: Alt+Shift+Space is ignored",
         HotkeyMode::altSpace,
         {down(KeyCodes::keysymSpace, alt | KeyCodes::shiftMask, true), up(KeyCodes::keysymSpace)},
         {}},
        {"altSpace: plain Space is ignored",
         HotkeyMode::altSpace,
         {down(KeyCodes::keysymSpace), up(KeyCodes::keysymSpace)},
         {}},
        {"altSpace: a repeating Space is one press",
         HotkeyMode::altSpace,
         {down(KeyCodes::keysymSpace, alt, true), down(KeyCodes::keysymSpace, alt, true, true), up(KeyCodes::keysymSpace)},
         {"press", "release"}},
        {"altSpace: Right Ctrl is ignored",
         HotkeyMode::altSpace,
         {down(KeyCodes::keysymControlR), up(KeyCodes::keysymControlR)},
         {}},
        {"other keys pass by", HotkeyMode::fn, {down(kShiftL), down(kLetterC, KeyCodes::shiftMask, true), up(kLetterC)}, {}},
    };
    for (const auto& row : rows) {
        Rig rig;
        rig.make();
        rig.manager->mode = row.mode;
        for (const auto& e : row.events) rig.manager->handleKeyEvent(e);
        rig.loop->drain();
        EXPECT_EQ(rig.delegate->calls, row.calls) << row.name;
    }
}

TEST(HotkeyRegistry, LostKeyListenerIsHealedByThePoll) {
    Rig rig;
    rig.listener->available = false;
    rig.make();
    rig.manager->startListening();
    EXPECT_FALSE(rig.manager->isKeyListenerInstalled());
    rig.listener->available = true;
    rig.loop->advance(2.0);
    EXPECT_TRUE(rig.manager->isKeyListenerInstalled());
    rig.listener->onLost();
    EXPECT_FALSE(rig.manager->isKeyListenerInstalled());
    rig.loop->advance(2.0);
    EXPECT_TRUE(rig.manager->isKeyListenerInstalled());
    EXPECT_EQ(rig.listener->installs, 2);
    rig.manager->stopListening();
    EXPECT_EQ(rig.loop->pendingTimers(), 0u);
}

TEST(HotkeyRegistry, ThePollRunsOnlyWhileTheListenerIsMissing) {
    Rig rig;
    rig.make();
    rig.manager->startListening();
    ASSERT_TRUE(rig.manager->isKeyListenerInstalled());
    EXPECT_EQ(rig.loop->pendingTimers(), 0u) << "listening at once: nothing to poll for";
    rig.listener->available = false;
    rig.listener->onLost();
    EXPECT_EQ(rig.loop->pendingTimers(), 1u) << "lost: polled for again";
    rig.loop->advance(2.0);
    EXPECT_EQ(rig.loop->pendingTimers(), 1u) << "still missing: still polled for";
    rig.listener->available = true;
    rig.loop->advance(2.0);
    EXPECT_TRUE(rig.manager->isKeyListenerInstalled());
    EXPECT_EQ(rig.loop->pendingTimers(), 0u) << "healed: the poll stops";
    rig.manager->stopListening();
}

TEST(HotkeyRegistry, RegistrationErrorTexts) {
    EXPECT_EQ(HotkeyRegistrationError::combinationAlreadyBound(DictationMode::raw).description(),
              "That key combination is already registered to the 'raw' mode — remove it there first.");
    const std::string refused = HotkeyRegistrationError::systemRegistrationFailed(-9868).description();
    EXPECT_NE(refused.find("-9868"), std::string::npos);
    EXPECT_NE(refused.find("it is likely already claimed by another app or reserved by the system."), std::string::npos);
}

}  // namespace

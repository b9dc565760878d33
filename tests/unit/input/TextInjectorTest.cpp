// The insertion road over a scripted desktop: when text counts as landed,
// what happens to the user's clipboard, and that insertions never overlap.
#include "Input/TextInjector.h"

#include <gtest/gtest.h>

#include "support/FakeInsertionTarget.h"

#include "Platform/Queues.h"

#include <algorithm>
#include <chrono>
#include <memory>

namespace {

struct Insertion {
    std::shared_ptr<FakeInsertionTarget> desktop = std::make_shared<FakeInsertionTarget>();
    // The 0.075 s poll runs at once here; only the count of readings matters.
    TextInjector injector{desktop,
                          [](double, std::function<void()> block) { platform::MainQueue::async(std::move(block)); }};
    std::vector<InjectionOutcome> outcomes;
    void inject(const std::string& text, bool paste) {
        injector.inject(text, paste, [this](InjectionOutcome o) { outcomes.push_back(o); });
    }
    void wait(std::size_t count) {
        platform::MainQueue::pump(5.0, [&] { return outcomes.size() >= count; });
    }
};

TEST(TextInjector, EmptyTextNeverCallsBack) {
    Insertion run;
    run.inject("", true);
    platform::MainQueue::pump(0.1);
    EXPECT_TRUE(run.outcomes.empty());
    EXPECT_TRUE(run.desktop->log.empty());
}

// A field that is a secure one, or that did not say whether it is, gets no
// keystroke and no paste, and the user's clipboard stays as it was.
TEST(TextInjector, SecureInputOrNoAnswerAboutItBlocksWithoutTouchingTheClipboard) {
    struct Row {
        SecureInputState secure;
        bool paste;
        InjectionOutcome expected;
    };
    for (const Row& row : {Row{SecureInputState::active, true, InjectionOutcome::blockedBySecureInput()},
                           Row{SecureInputState::active, false, InjectionOutcome::blockedBySecureInput()},
                           Row{SecureInputState::couldNotTell, true, InjectionOutcome::blockedBySecureInput(true)},
                           Row{SecureInputState::couldNotTell, false, InjectionOutcome::blockedBySecureInput(true)}}) {
        Insertion run;
        run.desktop->secure = row.secure;
        const ClipboardSnapshot before = run.desktop->clipboard;
        run.inject("secret", row.paste);
        run.wait(1);
        ASSERT_EQ(run.outcomes.size(), 1u);
        EXPECT_EQ(run.outcomes[0], row.expected) << row.expected.description() << " paste " << row.paste;
        EXPECT_TRUE(run.desktop->log.empty()) << row.expected.description();
        EXPECT_EQ(run.desktop->readings, 0) << "a secure field is not even read";
        EXPECT_EQ(run.desktop->clipboard.items, before.items);
        EXPECT_EQ(run.desktop->value, "Dear ");
    }
}

struct RoadRow {
    const char* name;
    bool paste, deaf, readable, directInsert;
    InjectionOutcome expected;
    const char* fieldAfter;
    bool userClipboardBack;  // every saved form back, else the dictation stays on it
};

TEST(TextInjector, OutcomesOfBothRoads) {
    const std::vector<RoadRow> rows = {
        {"paste lands", true, false, true, false, InjectionOutcome::confirmed(), "Dear Sir", true},
        {"paste into an unreadable field is assumed to land", true, false, false, false, InjectionOutcome::confirmed(),
         "Dear Sir", true},
        {"paste refused, direct insertion works", true, true, true, true, InjectionOutcome::confirmed(), "Dear Sir", true},
        {"paste refused everywhere: the text stays on the clipboard", true, true, true, false,
         InjectionOutcome::unconfirmed(true), "Dear ", false},
        {"typing lands", false, false, true, false, InjectionOutcome::confirmed(), "Dear Sir", true},
        {"typing refused: the dictation is put on the clipboard", false, true, true, false,
         InjectionOutcome::unconfirmed(true), "Dear ", false},
    };
    for (const auto& row : rows) {
        Insertion run;
        run.desktop->deaf = row.deaf;
        run.desktop->readable = row.readable;
        run.desktop->acceptsDirectInsert = row.directInsert;
        run.inject("Sir", row.paste);
        run.wait(1);
        ASSERT_EQ(run.outcomes.size(), 1u) << row.name;
        EXPECT_EQ(run.outcomes[0], row.expected) << row.name << ": " << run.outcomes[0].description();
        EXPECT_EQ(run.desktop->value, row.fieldAfter) << row.name;
        // One reading before, one right after, then up to 20 polls.
        EXPECT_EQ(run.desktop->readings, row.deaf || !row.readable ? 22 : 2) << row.name;
        if (row.userClipboardBack) {
            EXPECT_EQ(run.desktop->clipboard.items.size(), 2u) << row.name;
            EXPECT_EQ(run.desktop->clipboardString(), "mine") << row.name;
        } else {
            EXPECT_EQ(run.desktop->clipboardString(), "Sir") << row.name;
        }
    }
}

TEST(TextInjector, AnEmptyClipboardIsNotRestoredOverTheDictation) {
    Insertion run;
    run.desktop->clipboard = {};
    run.inject("Sir", true);
    run.wait(1);
    EXPECT_EQ(run.outcomes[0], InjectionOutcome::confirmed());
    EXPECT_EQ(run.desktop->clipboardString(), "Sir");
}

TEST(TextInjector, InsertionsNeverOverlap) {
    Insertion run;
    run.inject("one ", true);
    run.inject("two", true);
    run.wait(2);
    ASSERT_EQ(run.outcomes.size(), 2u);
    // The second paste saves the user's clipboard, not the first paste's text.
    EXPECT_EQ(run.desktop->log,
              (std::vector<std::string>{"snapshot:mine", "paste:one ", "restore", "snapshot:mine", "paste:two", "restore"}));
    EXPECT_EQ(run.desktop->value, "Dear one two");
}

// The tray menu and the indicator's animation run on the main loop: an
// application (or the accessibility bus) slow to answer the insertion's
// checks, readings and keystrokes must not hold it, on either road.
// Injects "Sir" while a 5 ms main-loop tick notes the longest gap between
// its turns, in ms.
double worstMainLoopGapMs(Insertion& run, bool paste) {
    struct Probe {
        std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
        double worstGapMs = 0;
        bool ticking = true;
    };
    auto probe = std::make_shared<Probe>();
    std::function<void()> tick = [probe, &tick] {
        const auto now = std::chrono::steady_clock::now();
        probe->worstGapMs = std::max(probe->worstGapMs, std::chrono::duration<double, std::milli>(now - probe->last).count());
        probe->last = now;
        if (probe->ticking) platform::MainQueue::asyncAfter(0.005, [probe, &tick] { if (probe->ticking) tick(); });
    };
    platform::MainQueue::asyncAfter(0.005, tick);
    run.inject("Sir", paste);
    run.wait(1);
    // A step that held the loop just before the outcome shows in the tick after it.
    platform::MainQueue::pump(0.03);
    probe->ticking = false;
    return probe->worstGapMs;
}

TEST(TextInjector, TheMainLoopKeepsTurningWhileTheDesktopIsSlowToAnswer) {
    constexpr auto answerDelay = std::chrono::milliseconds(250);
    for (const bool paste : {true, false}) {
        SCOPED_TRACE(paste ? "paste" : "typing");
        Insertion run;
        run.desktop->answerDelay = answerDelay;
        const double worstGapMs = worstMainLoopGapMs(run, paste);
        ASSERT_EQ(run.outcomes.size(), 1u);
        EXPECT_EQ(run.outcomes[0], InjectionOutcome::confirmed());
        EXPECT_EQ(run.desktop->value, "Dear Sir");
        EXPECT_LT(worstGapMs, answerDelay.count() * 0.5);
    }
}

// When nothing landed, whether the dictation is still on the clipboard is
// ours to know: another application that took the clipboard meanwhile and is
// slow to answer must not hold the main loop.
TEST(TextInjector, AFailedInsertionNeverWaitsOnAnotherClipboardOwner) {
    constexpr auto ownerDelay = std::chrono::milliseconds(250);
    for (const bool paste : {true, false}) {
        SCOPED_TRACE(paste ? "paste" : "typing");
        Insertion run;
        run.desktop->deaf = true;
        run.desktop->clipboardOwnerDelay = ownerDelay;
        const double worstGapMs = worstMainLoopGapMs(run, paste);
        ASSERT_EQ(run.outcomes.size(), 1u);
        EXPECT_EQ(run.outcomes[0], InjectionOutcome::unconfirmed(true));
        EXPECT_LT(worstGapMs, ownerDelay.count() * 0.5);
    }
}

// Back-to-back dictations must not run together ("dictationHello"): one
// space goes first where the field ends in a word or punctuation and the
// dictation starts with a word, and nowhere else.
TEST(TextInjector, ADictationIsSeparatedFromTheWordBeforeTheCaret) {
    struct Row {
        std::optional<std::string> beforeCaret;
        const char* dictation;
        const char* inserted;
    };
    const Row rows[] = {
        {"dictation", "Hello", " Hello"},
        {"sentence?", "Scratch that", " Scratch that"},
        {"ends in a number 42", "7 more", " 7 more"},
        {"caf\u00e9", "\u00e9t\u00e9", " \u00e9t\u00e9"},
        {"word", ", then", ", then"},
        {"word", "?", "?"},
        {"word ", "Hello", "Hello"},
        {"word\t", "Hello", "Hello"},
        {"line\n", "Hello", "Hello"},
        {"non-breaking\u00a0", "Hello", "Hello"},
        {"", "Hello", "Hello"},
        {std::nullopt, "Hello", "Hello"},
        {"(", "aside", "aside"},
        {"\u201c", "quoted", "quoted"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(TextInjector::separatedFromField(row.beforeCaret, row.dictation), row.inserted)
            << "after \"" << row.beforeCaret.value_or("(unreadable)") << "\"";

    // Both roads insert the separated text, and the verdict judges what was sent.
    for (const bool paste : {false, true}) {
        Insertion run;
        run.desktop->value = "First dictation.";
        run.desktop->caretReadable = true;
        run.inject("Second one", paste);
        run.wait(1);
        ASSERT_EQ(run.outcomes.size(), 1u);
        EXPECT_EQ(run.outcomes[0], InjectionOutcome::confirmed()) << (paste ? "paste" : "typing");
        EXPECT_EQ(run.desktop->value, "First dictation. Second one") << (paste ? "paste" : "typing");
    }
}

// A field whose text can't be read (a terminal): the injector remembers what
// it last put into which window, and a dictation into that same window after
// a word or punctuation gets its space from that memory.
TEST(TextInjector, AnUnreadableFieldIsSeparatedByWhatLastLandedInItsWindow) {
    struct Row {
        const char* name;
        std::optional<unsigned long> firstWindow, secondWindow;
        const char* first;
        bool firstLands;
        const char* fieldAfter;
    };
    const Row rows[] = {
        {"the same window after a word", 7, 7, "The meeting is on tuesday", true,
         "The meeting is on tuesday Bring the report"},
        {"the same window after punctuation", 7, 7, "Tuesday.", true, "Tuesday. Bring the report"},
        {"the same window after a digit", 7, 7, "Room 42", true, "Room 42 Bring the report"},
        {"the same window after a line break", 7, 7, "Tuesday.\n", true, "Tuesday.\nBring the report"},
        {"the same window after an opening bracket", 7, 7, "Notes (", true, "Notes (Bring the report"},
        {"another window", 7, 8, "Tuesday", true, "TuesdayBring the report"},
        {"no window known", std::nullopt, std::nullopt, "Tuesday", true, "TuesdayBring the report"},
        {"the first dictation never landed", 7, 7, "Tuesday", false, "Dear Bring the report"},
    };
    for (const Row& row : rows) {
        for (const bool paste : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (paste ? ", pasted" : ", typed"));
            Insertion run;
            // Only a field whose value reads, and reads as something, shows
            // an insertion that failed.
            run.desktop->value = row.firstLands ? "" : "Dear ";
            run.desktop->readable = !row.firstLands;
            run.desktop->deaf = !row.firstLands;
            run.desktop->window = row.firstWindow;
            run.inject(row.first, paste);
            run.wait(1);
            run.desktop->deaf = false;
            run.desktop->window = row.secondWindow;
            run.inject("Bring the report", paste);
            run.wait(2);
            ASSERT_EQ(run.outcomes.size(), 2u);
            EXPECT_EQ(run.outcomes[1], InjectionOutcome::confirmed()) << run.outcomes[1].description();
            EXPECT_EQ(run.desktop->value, row.fieldAfter);
        }
    }
}

TEST(TextInjector, OutcomeDescriptions) {
    EXPECT_EQ(InjectionOutcome::unconfirmed(false).description(), "unconfirmed(textOnClipboard: false)");
    EXPECT_EQ(InjectionOutcome::confirmed().description(), "confirmed");
    EXPECT_NE(InjectionOutcome::unconfirmed(true), InjectionOutcome::unconfirmed(false));
}

}  // namespace

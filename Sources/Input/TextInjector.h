#pragma once
// Puts finished text into the focused field of the focused application, by
// typing it (synthesised key events) or by pasting it (the text on the
// clipboard, then the paste shortcut), and judges from the field's value
// and selection, read before and after, whether it landed.
//
// A paste saves every form of the user's clipboard first and puts it back
// once the text landed or its landing can't be observed; when the insertion
// definitely failed, the dictated text stays on the clipboard so the user can
// paste it by hand. Insertions never overlap: each waits for the one before
// to finish, so a paste can't save the previous paste's text as the user's.
//
// A field that is, or may be, a secure one (a password field, a keyboard
// grab, or a desktop that could not tell) gets nothing: no keystroke, no
// paste, and the clipboard and PRIMARY stay as they were.
//
// Every step that waits on another process (the secure-input check, the
// field readings, the keystrokes, insertion through the accessibility
// interface) runs on the injector's own thread, one after the other; the
// clipboard and the verdicts stay on the main thread, which therefore never
// waits for an application or the accessibility bus to answer.
#include "Platform/Insertion.h"
#include "Platform/Queues.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct InjectionOutcome {
    enum class Kind { unconfirmed, confirmed, blockedBySecureInput };
    Kind kind = Kind::confirmed;
    bool textOnClipboard = false;  // only for unconfirmed
    // Only for blockedBySecureInput: the desktop did not tell whether the
    // field is a secure one, and it was treated as one.
    bool couldNotTell = false;

    static InjectionOutcome unconfirmed(bool textOnClipboard) { return {Kind::unconfirmed, textOnClipboard}; }
    static InjectionOutcome confirmed() { return {Kind::confirmed, false}; }
    static InjectionOutcome blockedBySecureInput(bool couldNotTell = false) {
        return {Kind::blockedBySecureInput, false, couldNotTell};
    }
    bool operator==(const InjectionOutcome& other) const {
        return kind == other.kind && (kind != Kind::unconfirmed || textOnClipboard == other.textOnClipboard) &&
               (kind != Kind::blockedBySecureInput || couldNotTell == other.couldNotTell);
    }
    // "confirmed", "unconfirmed(textOnClipboard: true)", "blockedBySecureInput",
    // "blockedBySecureInput(couldNotTell: true)"
    std::string description() const;
};

class TextInjector {
public:
    enum class PasteVerdict { confirmed, definitelyFailed, unknown };
    using Completion = std::function<void(InjectionOutcome)>;
    // Runs a block after a delay on the main queue.
    using Scheduler = std::function<void(double seconds, std::function<void()> block)>;

    static constexpr int pollAttempts = 20;
    static constexpr double pollInterval = 0.075;

    static TextInjector& shared();
    explicit TextInjector(std::shared_ptr<InsertionTarget> target, Scheduler scheduler = {});
    ~TextInjector();

    // Any thread. Empty text returns at once without calling the completion;
    // otherwise the completion runs exactly once, on the main queue.
    void inject(const std::string& text, bool useClipboard, Completion completion);

    // Whether reading other applications' fields can work at all here (the
    // accessibility bus is up). Nothing to prompt for on this desktop.
    static bool isAccessibilityTrusted(bool promptIfNeeded);

    // What goes into the field for `text` after `beforeCaret` (the field's
    // last characters before the caret, none when unreadable): one space
    // first when the field ends in a word or punctuation and the text starts
    // with a word, so back-to-back dictations don't run together; the text
    // alone at the start of a field, after white space or a line break, or
    // after an opening bracket or quote.
    static std::string separatedFromField(const std::optional<std::string>& beforeCaret, const std::string& text);
    // What stands before the caret as far as this injector knows: the field's
    // own reading, else, in the window its last insertion landed in, the
    // text of that insertion (a terminal can't be read, but what we put
    // there last is still there, so the next dictation doesn't run into it).
    std::optional<std::string> textBeforeCaret(const std::optional<std::string>& fieldReading,
                                               const std::optional<unsigned long>& window) const;

    static PasteVerdict classifyPaste(const std::optional<std::string>& before, const std::optional<std::string>& after,
                                      const std::optional<std::string>& selected, const std::string& inserted);
    static std::string verdictName(PasteVerdict verdict);

private:
    struct Job;
    void startNext();
    void run(const std::shared_ptr<Job>& job);
    using Judged = std::function<void(TextInjector&, PasteVerdict)>;
    void classifyOrPoll(const std::shared_ptr<Job>& job, int attemptsLeft, Judged done);
    void finishPaste(const std::shared_ptr<Job>& job, PasteVerdict verdict);
    void finishTyping(const std::shared_ptr<Job>& job, PasteVerdict verdict);
    // Nothing landed: the outcome says whether the dictation is still on the
    // clipboard, for the user to paste by hand.
    void leaveOnClipboard(const std::shared_ptr<Job>& job, const char* road);
    void finish(const std::shared_ptr<Job>& job, InjectionOutcome outcome);
    // Runs `work` on the desktop thread, then `then` with its result on the
    // main thread (not when the injector is gone by then).
    template <typename Result>
    void onDesktop(std::function<Result(InsertionTarget&)> work, std::function<void(TextInjector&, Result)> then);

    std::shared_ptr<InsertionTarget> target_;
    Scheduler scheduler_;
    std::shared_ptr<TextInjector*> self_;
    std::deque<std::shared_ptr<Job>> queue_;
    bool busy_ = false;
    // The last text that landed, and the window it landed in.
    std::optional<std::pair<unsigned long, std::string>> lastInsertion_;
    // Last member: destroyed first, so its thread has stopped before the rest goes.
    platform::SerialQueue desktop_{"ondira.insertion", platform::QoS::userInitiated};
};

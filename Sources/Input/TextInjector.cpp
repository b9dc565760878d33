#include "Input/TextInjector.h"

#include "Platform/LinuxNames.h"
#include "Platform/Log.h"
#include "Platform/Queues.h"
#include "Platform/Unicode.h"

namespace {
void logLine(const std::string& message) { platform::log("TextInjector", message); }

std::optional<std::string> nonEmpty(const std::optional<std::string>& s) {
    if (s && s->empty()) return std::nullopt;
    return s;
}
bool contains(const std::string& haystack, const std::string& needle) { return haystack.find(needle) != std::string::npos; }
}  // namespace

std::string InjectionOutcome::description() const {
    switch (kind) {
        case Kind::confirmed: return "confirmed";
        case Kind::blockedBySecureInput:
            return couldNotTell ? "blockedBySecureInput(couldNotTell: true)" : "blockedBySecureInput";
        case Kind::unconfirmed:
            return std::string("unconfirmed(textOnClipboard: ") + (textOnClipboard ? "true" : "false") + ")";
    }
    return "confirmed";
}

struct TextInjector::Job {
    std::string text;
    bool useClipboard = false;
    Completion completion;
    std::optional<std::string> before;
    ClipboardSnapshot snapshot;
    std::optional<unsigned long> window;
};

TextInjector& TextInjector::shared() {
    static TextInjector* instance = new TextInjector(platform::desktopInsertionTarget());
    return *instance;
}

TextInjector::TextInjector(std::shared_ptr<InsertionTarget> target, Scheduler scheduler)
    : target_(std::move(target)),
      scheduler_(scheduler ? std::move(scheduler) : Scheduler(platform::MainQueue::asyncAfter)),
      self_(std::make_shared<TextInjector*>(this)) {}

TextInjector::~TextInjector() { self_.reset(); }

bool TextInjector::isAccessibilityTrusted(bool promptIfNeeded) {
    (void)promptIfNeeded;
    return platform::accessibilityAvailable();
}

void TextInjector::inject(const std::string& text, bool useClipboard, Completion completion) {
    if (text.empty()) return;
    auto job = std::make_shared<Job>();
    job->text = text;
    job->useClipboard = useClipboard;
    job->completion = std::move(completion);
    std::weak_ptr<TextInjector*> weak = self_;
    platform::MainQueue::async([weak, job] {
        auto self = weak.lock();
        if (!self) return;
        (*self)->queue_.push_back(job);
        (*self)->startNext();
    });
}

void TextInjector::startNext() {
    if (busy_ || queue_.empty()) return;
    busy_ = true;
    auto job = queue_.front();
    queue_.pop_front();
    run(job);
}

template <typename Result>
void TextInjector::onDesktop(std::function<Result(InsertionTarget&)> work,
                             std::function<void(TextInjector&, Result)> then) {
    std::weak_ptr<TextInjector*> weak = self_;
    desktop_.async([weak, target = target_, work = std::move(work), then = std::move(then)]() mutable {
        auto result = std::make_shared<Result>(work(*target));
        platform::MainQueue::async([weak, result, then = std::move(then)] {
            if (auto self = weak.lock()) then(**self, std::move(*result));
        });
    });
}

namespace {
// The field as read at one moment: its value and its selection.
struct FieldReading {
    std::optional<std::string> value;
    std::optional<std::string> selected;
};
// What is read before anything is sent.
struct Before {
    SecureInputState secure = SecureInputState::couldNotTell;
    std::optional<std::string> value;
    std::optional<std::string> beforeCaret;
    std::optional<unsigned long> window;
};
}  // namespace

std::string TextInjector::separatedFromField(const std::optional<std::string>& beforeCaret, const std::string& text) {
    if (!beforeCaret || beforeCaret->empty() || text.empty()) return text;
    const std::u32string before = platform::text::toUTF32(*beforeCaret);
    const std::u32string inserted = platform::text::toUTF32(text);
    if (before.empty() || inserted.empty()) return text;
    const char32_t last = before.back();
    if (platform::text::isWhitespaceOrNewline(last) || platform::text::isOpeningPunctuation(last)) return text;
    if (!platform::text::isLetterOrDigit(inserted.front())) return text;
    return " " + text;
}

std::optional<std::string> TextInjector::textBeforeCaret(const std::optional<std::string>& fieldReading,
                                                         const std::optional<unsigned long>& window) const {
    if (fieldReading || !window || !lastInsertion_ || lastInsertion_->first != *window) return fieldReading;
    return lastInsertion_->second;
}

void TextInjector::run(const std::shared_ptr<Job>& job) {
    onDesktop<Before>(
        [](InsertionTarget& target) {
            Before before;
            // A field that may be a secret one is neither read nor sent anything.
            before.secure = target.secureInputState();
            if (before.secure != SecureInputState::inactive) return before;
            before.value = target.focusedValue();
            before.beforeCaret = target.focusedTextBeforeCaret();
            before.window = target.focusedWindow();
            return before;
        },
        [job](TextInjector& self, Before before) {
            if (before.secure != SecureInputState::inactive) {
                const bool couldNotTell = before.secure == SecureInputState::couldNotTell;
                logLine(couldNotTell ? std::string("The desktop did not tell whether the focused field is secure (") +
                                           LinuxNames::secureInputName + "): text held back."
                                     : std::string("Secure input is active (") + LinuxNames::secureInputName +
                                           "): text held back.");
                self.finish(job, InjectionOutcome::blockedBySecureInput(couldNotTell));
                return;
            }
            job->before = std::move(before.value);
            job->window = before.window;
            job->text = separatedFromField(self.textBeforeCaret(before.beforeCaret, before.window), job->text);
            if (!job->useClipboard) {
                self.onDesktop<bool>(
                    [text = job->text](InsertionTarget& target) {
                        target.typeText(text);
                        return true;
                    },
                    [job](TextInjector& self, bool) {
                        self.classifyOrPoll(job, -1, [job](TextInjector& self, PasteVerdict v) { self.finishTyping(job, v); });
                    });
                return;
            }
            // The user's clipboard is saved without holding up the main
            // loop; the paste goes on once it is.
            std::weak_ptr<TextInjector*> weak = self.self_;
            self.target_->snapshotClipboard([weak, job](ClipboardSnapshot snapshot) {
                auto self = weak.lock();
                if (!self) return;
                job->snapshot = std::move(snapshot);
                (*self)->target_->setClipboardText(job->text);
                (*self)->onDesktop<bool>(
                    [](InsertionTarget& target) {
                        target.sendPasteShortcut();
                        return true;
                    },
                    [job](TextInjector& self, bool) {
                        self.classifyOrPoll(job, -1, [job](TextInjector& self, PasteVerdict v) { self.finishPaste(job, v); });
                    });
            });
        });
}

// attemptsLeft -1: the reading right after the keystrokes; then up to 20
// more readings 0.075 s apart.
void TextInjector::classifyOrPoll(const std::shared_ptr<Job>& job, int attemptsLeft, Judged done) {
    onDesktop<FieldReading>(
        [](InsertionTarget& target) { return FieldReading{target.focusedValue(), target.focusedSelectedText()}; },
        [job, attemptsLeft, done = std::move(done)](TextInjector& self, FieldReading now) mutable {
            const PasteVerdict verdict = classifyPaste(job->before, now.value, now.selected, job->text);
            if (verdict == PasteVerdict::confirmed || attemptsLeft == 1) {
                done(self, verdict);
                return;
            }
            const int next = attemptsLeft < 0 ? pollAttempts : attemptsLeft - 1;
            std::weak_ptr<TextInjector*> weak = self.self_;
            self.scheduler_(pollInterval, [weak, job, next, done = std::move(done)]() mutable {
                if (auto self = weak.lock()) (*self)->classifyOrPoll(job, next, std::move(done));
            });
        });
}

void TextInjector::finishTyping(const std::shared_ptr<Job>& job, PasteVerdict verdict) {
    if (verdict != PasteVerdict::definitelyFailed) {
        finish(job, InjectionOutcome::confirmed());
        return;
    }
    // The keystrokes went nowhere: keep the dictation on the clipboard so it
    // isn't lost, and say whether it is really there.
    target_->setClipboardText(job->text);
    leaveOnClipboard(job, "typing");
}

void TextInjector::leaveOnClipboard(const std::shared_ptr<Job>& job, const char* road) {
    const bool onClipboard = target_->clipboardStillHolds(job->text);
    logLine(std::string("Could not confirm ") + road + " landed; leaving dictated text on clipboard for manual " +
            LinuxNames::pasteShortcut + " (stillOnClipboard=" + (onClipboard ? "true" : "false") + ").");
    finish(job, InjectionOutcome::unconfirmed(onClipboard));
}

void TextInjector::finishPaste(const std::shared_ptr<Job>& job, PasteVerdict verdict) {
    switch (verdict) {
        case PasteVerdict::confirmed:
            if (!job->snapshot.empty()) target_->restoreClipboard(job->snapshot);
            finish(job, InjectionOutcome::confirmed());
            return;
        case PasteVerdict::unknown:
            if (!job->snapshot.empty()) target_->restoreClipboard(job->snapshot);
            logLine("Paste confirmation unobservable in this app (no readable text value); assuming success.");
            finish(job, InjectionOutcome::confirmed());
            return;
        case PasteVerdict::definitelyFailed: break;
    }
    // The paste went nowhere: try the accessibility interface's insertion.
    onDesktop<bool>([text = job->text](InsertionTarget& target) { return target.insertAtFocus(text); },
                    [job](TextInjector& self, bool inserted) {
                        if (inserted) {
                            if (!job->snapshot.empty()) self.target_->restoreClipboard(job->snapshot);
                            self.finish(job, InjectionOutcome::confirmed());
                            return;
                        }
                        self.leaveOnClipboard(job, "paste");
                    });
}

void TextInjector::finish(const std::shared_ptr<Job>& job, InjectionOutcome outcome) {
    if (outcome.kind == InjectionOutcome::Kind::confirmed && job->window) lastInsertion_.emplace(*job->window, job->text);
    if (job->completion) job->completion(outcome);
    busy_ = false;
    std::weak_ptr<TextInjector*> weak = self_;
    platform::MainQueue::async([weak] {
        if (auto self = weak.lock()) (*self)->startNext();
    });
}

TextInjector::PasteVerdict TextInjector::classifyPaste(const std::optional<std::string>& beforeReading,
                                                       const std::optional<std::string>& afterReading,
                                                       const std::optional<std::string>& selected,
                                                       const std::string& inserted) {
    const auto before = nonEmpty(beforeReading);
    const auto after = nonEmpty(afterReading);
    if (selected && !selected->empty() && contains(*selected, inserted)) return PasteVerdict::confirmed;
    if (!after) return PasteVerdict::unknown;
    if (!before || *after != *before) {
        if (contains(*after, inserted)) return PasteVerdict::confirmed;
        const long long growth = static_cast<long long>(platform::text::graphemeCount(*after)) -
                                 static_cast<long long>(before ? platform::text::graphemeCount(*before) : 0);
        const long long n = static_cast<long long>(platform::text::graphemeCount(inserted));
        if (n <= 1 ? growth > 0 : growth >= n / 2) return PasteVerdict::confirmed;
        if (!before) return PasteVerdict::unknown;
    }
    if (*after == *before) return PasteVerdict::definitelyFailed;
    return PasteVerdict::unknown;
}

std::string TextInjector::verdictName(PasteVerdict verdict) {
    switch (verdict) {
        case PasteVerdict::confirmed: return "confirmed";
        case PasteVerdict::definitelyFailed: return "definitelyFailed";
        case PasteVerdict::unknown: return "unknown";
    }
    return "unknown";
}

#include "Platform/X11/DesktopInsertion.h"

#include "Platform/AtSpi/FocusedElement.h"
#include "Platform/FrontmostApp.h"
#include "Platform/Gtk/ClipboardOwner.h"
#include "Platform/LinuxNames.h"
#include "Platform/Queues.h"
#include "Platform/SystemReadiness.h"
#include "Platform/Unicode.h"
#include "Platform/X11/XTestKeyboard.h"

#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace platform {

namespace {
// A field that did not answer whether it is a password field is asked
// again after this pause, which lets the main loop run in between.
constexpr double kAskAgainAfter = 0.1;
// How long the look at the accessibility bus may wait for the session bus.
constexpr int kBusWatchTimeoutMs = 1000;
// How long the keystrokes wait for the main thread to put the text on PRIMARY.
constexpr double kPrimaryOfferBound = 1.0;
// A reading waits at most this long for the main thread (each AT-SPI call in
// it is bounded by its own time-out as well).
constexpr double kAccessibilityBound = 2.0;

// Runs `work` on the main thread and waits for its result, at most `bound`
// seconds; `otherwise` when the main thread did not get to it in time.
template <typename Result>
Result onMainThreadAndWait(std::function<Result()> work, double bound, Result otherwise) {
    if (MainQueue::isMainThread()) return work();
    struct Answer {
        Semaphore done;
        Result result;
    };
    auto answer = std::make_shared<Answer>();
    MainQueue::async([work = std::move(work), answer] {
        answer->result = work();
        answer->done.signal();
    });
    return answer->done.wait(bound) ? answer->result : otherwise;
}

// GTK's selections live on the main thread; the keystrokes wait for it there.
void offerOnPrimaryFromMain() {
    onMainThreadAndWait<bool>(
        [] {
            clipboard::offerOnPrimaryToo();
            return true;
        },
        kPrimaryOfferBound, false);
}

// libatspi is shared with GTK's own accessibility bridge in this process,
// which drives it from the main loop (and sets its connections up again there
// when assistive technologies are switched on): it is only ever called there.
template <typename Result>
Result onAccessibilityThread(std::function<Result()> work, Result otherwise) {
    return onMainThreadAndWait<Result>(std::move(work), kAccessibilityBound, std::move(otherwise));
}
}  // namespace

std::shared_ptr<DesktopInsertion> DesktopInsertion::shared() {
    static std::shared_ptr<DesktopInsertion> instance = std::make_shared<DesktopInsertion>();
    return instance;
}

DesktopInsertion::PasteKey DesktopInsertion::pasteKey(const std::string& applicationID) {
    const std::string id = text::lowercased(applicationID);
    for (const char* name : LinuxNames::primaryPasteTerminals)
        if (id == name) return PasteKey::shiftInsertPrimary;
    if (id.find("terminal") != std::string::npos || id.find("console") != std::string::npos) return PasteKey::controlShiftV;
    for (const char* name : LinuxNames::terminalApplications)
        if (id == name) return PasteKey::controlShiftV;
    return PasteKey::controlV;
}

bool DesktopInsertion::isTerminal(const std::string& applicationID) { return pasteKey(applicationID) != PasteKey::controlV; }

DesktopInsertion::DesktopInsertion()
    : keyboard_(std::make_shared<XTestKeyboard>()), focus_(std::make_shared<AtSpiFocus>()) {
    questions_.passwordField = [focus = focus_] { return focus->passwordField(); };
    questions_.keyboardGrab = [keyboard = keyboard_] {
        const std::optional<bool> grabbed = keyboard->grabbedByAnotherClient();
        if (!grabbed) return SecureInputState::couldNotTell;
        return *grabbed ? SecureInputState::active : SecureInputState::inactive;
    };
    questions_.focusedApplication = [keyboard = keyboard_](double seconds) {
        return keyboard->focusedApplicationAnswers(seconds).value_or(true) ? SecureInputState::inactive
                                                                           : SecureInputState::couldNotTell;
    };
    questions_.accessibilityBusUp = [] { return readiness::watchedAccessibilityBus(kBusWatchTimeoutMs).reachable; };
}

DesktopInsertion::DesktopInsertion(SecureInputQuestions questions, double budgetSeconds)
    : keyboard_(std::make_shared<XTestKeyboard>()),
      focus_(std::make_shared<AtSpiFocus>()),
      questions_(std::move(questions)),
      budget_(budgetSeconds) {}

DesktopInsertion::~DesktopInsertion() = default;

namespace {
double secondsUntil(std::chrono::steady_clock::time_point deadline) {
    return std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
}
}  // namespace

SecureInputState DesktopInsertion::secureInputState() {
    using Clock = std::chrono::steady_clock;
    const SecureInputState grab = questions_.keyboardGrab();
    if (grab == SecureInputState::active) return grab;
    const Deadline deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(budget_));
    SecureInputState field = askPasswordField(deadline);
    if (field != SecureInputState::active) {
        const bool busUp = questions_.accessibilityBusUp();
        if (!busUp) field = SecureInputState::inactive;
        // No password field found may only mean that its application is
        // stalled and was never heard from on the bus.
        else if (field == SecureInputState::inactive)
            field = questions_.focusedApplication(std::max(kAskAgainAfter, secondsUntil(deadline)));
    }
    if (field != SecureInputState::inactive) return field;
    return grab;
}

SecureInputState DesktopInsertion::askPasswordField(Deadline deadline) {
    const auto secondsLeft = [&] { return secondsUntil(deadline); };
    for (;;) {
        // A main thread that does not get to the question within the budget
        // leaves it unanswered too.
        const SecureInputState answer = onMainThreadAndWait<SecureInputState>(
            questions_.passwordField, std::max(0.0, secondsLeft()), SecureInputState::couldNotTell);
        if (answer != SecureInputState::couldNotTell || secondsLeft() <= kAskAgainAfter) return answer;
        std::this_thread::sleep_for(std::chrono::duration<double>(kAskAgainAfter));
    }
}

std::optional<std::string> DesktopInsertion::focusedValue() {
    return onAccessibilityThread<std::optional<std::string>>([focus = focus_] { return focus->value(); }, std::nullopt);
}

std::optional<std::string> DesktopInsertion::focusedSelectedText() {
    return onAccessibilityThread<std::optional<std::string>>([focus = focus_] { return focus->selectedText(); },
                                                             std::nullopt);
}

std::optional<std::string> DesktopInsertion::focusedTextBeforeCaret() {
    // A few characters, so the last one is whole whatever the field counts in.
    return onAccessibilityThread<std::optional<std::string>>([focus = focus_] { return focus->textBeforeCaret(4); },
                                                             std::nullopt);
}

std::optional<unsigned long> DesktopInsertion::focusedWindow() {
    auto app = frontmostApplication();
    if (!app || app->window == 0) return std::nullopt;
    return app->window;
}

bool DesktopInsertion::insertAtFocus(const std::string& text) {
    return onAccessibilityThread<bool>([focus = focus_, text] { return focus->insertAtCaret(text); }, false);
}

void DesktopInsertion::typeText(const std::string& text) { keyboard_->type(text); }

void DesktopInsertion::sendPasteShortcut() {
    PasteKey key = PasteKey::controlV;
    if (auto app = frontmostApplication()) {
        key = pasteKey(app->applicationID);
        if (key == PasteKey::controlV) key = pasteKey(app->displayName);
    }
    switch (key) {
        case PasteKey::controlV: keyboard_->pressChord({XK_Control_L, XK_v}); break;
        case PasteKey::controlShiftV: keyboard_->pressChord({XK_Control_L, XK_Shift_L, XK_v}); break;
        case PasteKey::shiftInsertPrimary:
            offerOnPrimaryFromMain();
            keyboard_->pressChord({XK_Shift_L, XK_Insert});
            break;
    }
}

void DesktopInsertion::snapshotClipboard(std::function<void(ClipboardSnapshot)> done) {
    clipboard::snapshot(std::move(done));
}

void DesktopInsertion::setClipboardText(const std::string& text) { clipboard::setText(text); }

std::optional<std::string> DesktopInsertion::clipboardText() { return clipboard::text(); }

bool DesktopInsertion::clipboardStillHolds(const std::string& text) { return clipboard::holdsText(text); }

void DesktopInsertion::restoreClipboard(const ClipboardSnapshot& snapshot) { clipboard::restore(snapshot); }

std::shared_ptr<InsertionTarget> desktopInsertionTarget() { return DesktopInsertion::shared(); }

bool accessibilityAvailable() { return AtSpiFocus::available(); }

}  // namespace platform

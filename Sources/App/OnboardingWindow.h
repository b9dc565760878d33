#pragma once
// First-run and repair setup: one small window with the three grants (each
// with the fix this desktop offers), the features worth knowing and a first
// real dictation into a field of its own. Leaving it marks the user as
// onboarded and hands over to the hub. Main thread only.
#include "App/Permissions.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

typedef struct _GtkWidget GtkWidget;

// The outcome of the first dictation: what was dictated, or why it failed.
struct DictationProofOutcome {
    enum class Kind { success, failure, waiting };
    Kind kind = Kind::waiting;
    std::string text;  // the dictated text, or the failure's message

    static DictationProofOutcome success(std::string text) { return {Kind::success, std::move(text)}; }
    static DictationProofOutcome failure(std::string message) { return {Kind::failure, std::move(message)}; }
    static DictationProofOutcome waiting() { return {}; }
    bool operator==(const DictationProofOutcome& o) const { return kind == o.kind && text == o.text; }
};

class OnboardingView {
public:
    enum class Page { permissions, highlights, proof };

    OnboardingView();
    GtkWidget* widget() const { return root_; }

    // Writes the flag, hides the window and shows the hub.
    void finishSetup();
    // The end of the proof step: releases the delegate's two closures,
    // records the outcome in the fault log, writes the flag, hides the
    // window and shows the hub.
    void completeOnboarding(bool proven);

    void showPage(Page page);
    Page page() const { return page_; }
    // Asks the grants again (off the main thread) and redraws the rows.
    void refresh();
    // The window became visible or was closed.
    void windowShown();
    void windowHidden();
    void windowCloseRequested();

    const std::map<std::string, bool>& granted() const { return granted_; }
    const DictationProofOutcome& proof() const { return proof_; }
    bool showingHighlights() const { return page_ == Page::highlights; }
    // How many refreshes have been answered (the rows were redrawn).
    int refreshesAnswered() const { return refreshesAnswered_; }

    // The proof step's outcome, as the delegate's closures deliver it.
    void setProof(DictationProofOutcome outcome);

    // The banner over a lost grant: what is wrong and what it stops, once
    // the grant has been diagnosed; until then only that it is gone.
    static std::string revocationBannerText(OndiraPermission revoked, const OndiraPermission::Diagnosis* diagnosis);

private:
    struct Row {
        GtkWidget* status = nullptr;
        GtkWidget* problem = nullptr;
        GtkWidget* command = nullptr;
        GtkWidget* fix = nullptr;
        GtkWidget* copy = nullptr;
    };
    GtkWidget* buildPermissionsPage();
    GtkWidget* buildHighlightsPage();
    GtkWidget* buildProofPage();
    void applyDiagnoses(const std::vector<OndiraPermission::Diagnosis>& all);
    void applyRevocation(const std::optional<OndiraPermission>& revoked);
    void renderBanner();
    // Continue: the tour for a new user; for one who has been through it
    // (a repair after a lost grant), the end of setup.
    void continuePressed();
    void fix(OndiraPermission permission);
    void installProofClosures();
    void releaseProofClosures();
    void renderProof();

    GtkWidget* root_ = nullptr;
    GtkWidget* stack_ = nullptr;
    GtkWidget* banner_ = nullptr;
    GtkWidget* continueSummary_ = nullptr;
    GtkWidget* continueButton_ = nullptr;
    GtkWidget* proofField_ = nullptr;
    GtkWidget* proofInstructions_ = nullptr;
    GtkWidget* proofStatus_ = nullptr;
    GtkWidget* proofFinish_ = nullptr;
    GtkWidget* proofRetry_ = nullptr;
    std::map<std::string, Row> rows_;
    std::map<std::string, OndiraPermission::Diagnosis> diagnoses_;

    // State, in this order.
    std::map<std::string, bool> granted_;
    DictationProofOutcome proof_;
    int revocationObserver_ = 0;
    Page page_ = Page::permissions;
    unsigned ticker_ = 0;

    bool refreshInFlight_ = false;
    bool refreshAgain_ = false;
    int refreshesAnswered_ = 0;
    std::string fixError_;
};

class OnboardingWindow {
public:
    // What the window needs of the application delegate, installed by the
    // delegate when it is created (the delegate brings the window up, so the
    // window reaches back only through these).
    using TextCallback = std::function<void(const std::string&)>;
    struct DelegateHooks {
        // Sets the delegate's onDictationCompleted and onDictationFailed;
        // empty functions clear them. Does nothing without a delegate.
        std::function<void(TextCallback completed, TextCallback failed)> setDictationClosures;
        // The name of the user's hotkey, as the status menu shows it.
        std::function<std::string()> hotkeyTitle;
    };
    static DelegateHooks& delegateHooks();

    static constexpr const char* title = "Ondira Setup";
    static constexpr const char* onboardedKey = "ondira_onboarded_v2";
    static constexpr int width = 520;
    static constexpr int height = 460;

    // Built on first use, never released.
    static OnboardingWindow& shared();
    // Whether any grant is missing now (asks the desktop: not on the main thread).
    static bool shouldPresentOnLaunch();
    // Brings the window forward and gives it the focus, with no test: for
    // what the user asked for (launch, the menu).
    static void present();
    // Shows the window without taking the focus, for what the user did not
    // ask for (a grant lost while they work): it comes up behind nothing,
    // asks for attention, and their typing stays where it was.
    static void presentWithoutFocus();
    // The menu's "Setup & Permissions…": the permission rows, focused.
    static void presentPermissions();
    static bool hasOnboarded();
    static void markOnboarded();

    GtkWidget* window() const { return window_; }
    OnboardingView& view() { return *view_; }
    // Hides the window; its view keeps its state for the next present().
    void orderOut();
    bool isVisible() const;
    // How many times the window was brought forward in this process.
    static int presentCount();

private:
    OnboardingWindow();
    GtkWidget* window_ = nullptr;
    OnboardingView* view_ = nullptr;
};

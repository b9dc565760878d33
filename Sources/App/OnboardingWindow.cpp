#include "App/OnboardingWindow.h"

#include "Base/AppPaths.h"
#include "UI/HubWindowController.h"
#include "App/RevocationMonitor.h"
#include "Base/FaultLog.h"
#include "Platform/AssistiveTechnologies.h"
#include "Platform/Log.h"
#include "Platform/Queues.h"
#include "UI/OnboardingCatalog.h"

#include <gtk/gtk.h>

#include <algorithm>

namespace {

constexpr unsigned tickerMilliseconds = 1500;
int gPresents = 0;

GtkWidget* label(const std::string& text, const char* cssClass = nullptr, bool wrap = true) {
    GtkWidget* l = gtk_label_new(text.c_str());
    gtk_label_set_xalign(GTK_LABEL(l), 0);
    if (wrap) {
        gtk_label_set_line_wrap(GTK_LABEL(l), TRUE);
        gtk_label_set_max_width_chars(GTK_LABEL(l), 60);
    }
    if (cssClass) gtk_style_context_add_class(gtk_widget_get_style_context(l), cssClass);
    return l;
}

GtkWidget* button(const char* text, const char* name, GCallback callback, gpointer data) {
    GtkWidget* b = gtk_button_new_with_label(text);
    gtk_widget_set_name(b, name);
    g_signal_connect(b, "clicked", callback, data);
    return b;
}

// A page: a column with the window's margins, headed by its title.
GtkWidget* pageWithHeading(const char* heading, int spacing) {
    GtkWidget* page = gtk_box_new(GTK_ORIENTATION_VERTICAL, spacing);
    gtk_container_set_border_width(GTK_CONTAINER(page), 18);
    gtk_box_pack_start(GTK_BOX(page), label(heading, "ob-heading"), FALSE, FALSE, 0);
    return page;
}

void setText(GtkWidget* l, const std::string& text) {
    gtk_label_set_text(GTK_LABEL(l), text.c_str());
    gtk_widget_set_visible(l, !text.empty());
}

// A command to type: lines break only at its spaces. Left to itself the
// label breaks after a hyphen too ("toolkit-" / "accessibility"), and a
// reader copying the lines by hand gets a command that does not run.
void setCommand(GtkWidget* l, const std::string& command) {
    setText(l, command);
    PangoAttrList* attributes = pango_attr_list_new();
    for (std::size_t start = command.find_first_not_of(' '); start != std::string::npos;) {
        const std::size_t end = std::min(command.find(' ', start), command.size());
        PangoAttribute* whole = pango_attr_allow_breaks_new(FALSE);
        whole->start_index = static_cast<guint>(start);
        whole->end_index = static_cast<guint>(end);
        pango_attr_list_insert(attributes, whole);
        start = command.find_first_not_of(' ', end);
    }
    gtk_label_set_attributes(GTK_LABEL(l), attributes);
    pango_attr_list_unref(attributes);
}

void installStyle() {
    static bool done = false;
    if (done) return;
    done = true;
    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css,
                                    ".ob-heading { font-size: 16pt; font-weight: bold; }"
                                    ".ob-title { font-weight: bold; }"
                                    ".ob-dim { opacity: 0.75; }"
                                    ".ob-ok { color: #1d8a3a; font-weight: bold; }"
                                    ".ob-missing { color: #b3261e; font-weight: bold; }"
                                    ".ob-command { font-family: monospace; }"
                                    ".ob-banner { background-color: #fdecea; color: #8c1d18; padding: 6px; }",
                                    -1, nullptr);
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);
}

std::string hotkeyName() {
    const auto& hooks = OnboardingWindow::delegateHooks();
    return hooks.hotkeyTitle ? hooks.hotkeyTitle() : std::string("your hotkey");
}

void setDictationClosures(OnboardingWindow::TextCallback completed, OnboardingWindow::TextCallback failed) {
    const auto& hooks = OnboardingWindow::delegateHooks();
    if (hooks.setDictationClosures) hooks.setDictationClosures(std::move(completed), std::move(failed));
}

// Leaving onboarding always ends in the hub.
void handOverToHub() { HubWindowController::shared().show(); }

OnboardingView* viewOf(gpointer data) { return static_cast<OnboardingView*>(data); }

}  // namespace

// ---------------------------------------------------------------- view

OnboardingView::OnboardingView() {
    installStyle();
    root_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    banner_ = label("", "ob-banner");
    gtk_widget_set_name(banner_, "onboarding-revocation-banner");
    gtk_box_pack_start(GTK_BOX(root_), banner_, FALSE, FALSE, 0);
    stack_ = gtk_stack_new();
    gtk_stack_set_transition_type(GTK_STACK(stack_), GTK_STACK_TRANSITION_TYPE_NONE);
    gtk_stack_add_named(GTK_STACK(stack_), buildPermissionsPage(), "permissions");
    gtk_stack_add_named(GTK_STACK(stack_), buildHighlightsPage(), "highlights");
    gtk_stack_add_named(GTK_STACK(stack_), buildProofPage(), "proof");
    gtk_box_pack_start(GTK_BOX(root_), stack_, TRUE, TRUE, 0);
    gtk_widget_show_all(root_);
    gtk_widget_hide(banner_);
    for (auto& [id, row] : rows_) {
        gtk_widget_hide(row.problem);
        gtk_widget_hide(row.command);
        gtk_widget_hide(row.fix);
        gtk_widget_hide(row.copy);
    }
    gtk_widget_hide(proofRetry_);
    revocationObserver_ = RevocationMonitor::shared().addObserver(
        [this](const std::optional<OndiraPermission>& revoked) { applyRevocation(revoked); });
    applyRevocation(RevocationMonitor::shared().activeRevocation());
    renderProof();
}

GtkWidget* OnboardingView::buildPermissionsPage() {
    GtkWidget* page = pageWithHeading("Welcome to Ondira", 10);
    gtk_box_pack_start(GTK_BOX(page),
                       label("Ondira needs three things from this desktop. Each row says what is missing and how to "
                             "fix it.",
                             "ob-dim"),
                       FALSE, FALSE, 0);
    for (OndiraPermission permission : OndiraPermission::allCases()) {
        Row& row = rows_[permission.id()];
        GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 2);
        GtkWidget* head = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
        gtk_box_pack_start(GTK_BOX(head), label(permission.title(), "ob-title", false), FALSE, FALSE, 0);
        row.status = label("Checking\u2026", "ob-dim", false);
        gtk_widget_set_name(row.status, ("onboarding-" + permission.id() + "-status").c_str());
        gtk_box_pack_start(GTK_BOX(head), row.status, FALSE, FALSE, 0);
        const char* fixTitle = permission == OndiraPermission::microphone      ? "Open Sound Settings"
                               : permission == OndiraPermission::accessibility ? "Turn On"
                                                                               : "Fix";
        row.fix = button(fixTitle, ("onboarding-" + permission.id() + "-fix").c_str(),
                         G_CALLBACK(+[](GtkButton* b, gpointer data) {
                             const std::string name = gtk_widget_get_name(GTK_WIDGET(b));
                             for (OndiraPermission p : OndiraPermission::allCases())
                                 if (name == "onboarding-" + p.id() + "-fix") viewOf(data)->fix(p);
                         }),
                         this);
        gtk_box_pack_end(GTK_BOX(head), row.fix, FALSE, FALSE, 0);
        row.copy = button("Copy Command", ("onboarding-" + permission.id() + "-copy").c_str(),
                          G_CALLBACK(+[](GtkButton* b, gpointer) {
                              GtkWidget* command = GTK_WIDGET(g_object_get_data(G_OBJECT(b), "command"));
                              gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD),
                                                     gtk_label_get_text(GTK_LABEL(command)), -1);
                          }),
                          this);
        gtk_box_pack_end(GTK_BOX(head), row.copy, FALSE, FALSE, 0);
        gtk_box_pack_start(GTK_BOX(box), head, FALSE, FALSE, 0);
        gtk_box_pack_start(GTK_BOX(box), label(permission.why(), "ob-dim"), FALSE, FALSE, 0);
        row.problem = label("");
        gtk_label_set_selectable(GTK_LABEL(row.problem), TRUE);
        gtk_box_pack_start(GTK_BOX(box), row.problem, FALSE, FALSE, 0);
        row.command = label("", "ob-command");
        gtk_widget_set_name(row.command, ("onboarding-" + permission.id() + "-command").c_str());
        gtk_label_set_selectable(GTK_LABEL(row.command), TRUE);
        gtk_box_pack_start(GTK_BOX(box), row.command, FALSE, FALSE, 0);
        g_object_set_data(G_OBJECT(row.copy), "command", row.command);
        gtk_box_pack_start(GTK_BOX(page), box, FALSE, FALSE, 0);
    }
    // The continue bar.
    GtkWidget* bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    continueSummary_ = label("", "ob-dim", false);
    gtk_box_pack_start(GTK_BOX(bar), continueSummary_, FALSE, FALSE, 0);
    continueButton_ = button("Continue", "onboarding-continue",
                             G_CALLBACK(+[](GtkButton*, gpointer data) { viewOf(data)->continuePressed(); }), this);
    gtk_box_pack_end(GTK_BOX(bar), continueButton_, FALSE, FALSE, 0);
    gtk_box_pack_end(GTK_BOX(bar),
                     button("Set Up Later", "onboarding-later",
                            G_CALLBACK(+[](GtkButton*, gpointer data) { viewOf(data)->finishSetup(); }), this),
                     FALSE, FALSE, 0);
    gtk_box_pack_end(GTK_BOX(page), bar, FALSE, FALSE, 0);
    return page;
}

GtkWidget* OnboardingView::buildHighlightsPage() {
    GtkWidget* page = pageWithHeading("What Ondira can do", 8);
    // The commands name this program by its path when PATH doesn't find it,
    // which can be long: the list scrolls and paths break anywhere, so the
    // window keeps its size.
    GtkWidget* list = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    for (const auto& highlight : OnboardingCatalog::featureHighlights()) {
        gtk_box_pack_start(GTK_BOX(list), label(highlight.title, "ob-title"), FALSE, FALSE, 0);
        GtkWidget* detail = label("", "ob-dim");
        gtk_label_set_line_wrap_mode(GTK_LABEL(detail), PANGO_WRAP_WORD_CHAR);
        gtk_label_set_markup(GTK_LABEL(detail), OnboardingCatalog::markup(highlight.detail).c_str());
        gtk_box_pack_start(GTK_BOX(list), detail, FALSE, FALSE, 0);
    }
    GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
    gtk_container_add(GTK_CONTAINER(scroller), list);
    gtk_box_pack_start(GTK_BOX(page), scroller, TRUE, TRUE, 0);
    GtkWidget* bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    gtk_box_pack_start(
        GTK_BOX(bar),
        button("Back", "onboarding-back",
               G_CALLBACK(+[](GtkButton*, gpointer data) { viewOf(data)->showPage(Page::permissions); }), this),
        FALSE, FALSE, 0);
    gtk_box_pack_end(GTK_BOX(bar),
                     button("Try It", "onboarding-try",
                            G_CALLBACK(+[](GtkButton*, gpointer data) { viewOf(data)->showPage(Page::proof); }), this),
                     FALSE, FALSE, 0);
    gtk_box_pack_end(GTK_BOX(page), bar, FALSE, FALSE, 0);
    return page;
}

GtkWidget* OnboardingView::buildProofPage() {
    GtkWidget* page = pageWithHeading("Try your first dictation", 10);
    proofInstructions_ = label("");
    gtk_box_pack_start(GTK_BOX(page), proofInstructions_, FALSE, FALSE, 0);
    GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroller), GTK_SHADOW_IN);
    gtk_widget_set_size_request(scroller, -1, 110);
    proofField_ = gtk_text_view_new();
    gtk_widget_set_name(proofField_, "onboarding-proof-field");
    gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(proofField_), GTK_WRAP_WORD_CHAR);
    gtk_container_add(GTK_CONTAINER(scroller), proofField_);
    gtk_box_pack_start(GTK_BOX(page), scroller, FALSE, FALSE, 0);
    proofStatus_ = label("");
    gtk_widget_set_name(proofStatus_, "onboarding-proof-status");
    gtk_label_set_selectable(GTK_LABEL(proofStatus_), TRUE);
    gtk_box_pack_start(GTK_BOX(page), proofStatus_, FALSE, FALSE, 0);
    GtkWidget* bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    gtk_box_pack_start(GTK_BOX(bar),
                       button("Skip", "onboarding-skip",
                              G_CALLBACK(+[](GtkButton*, gpointer data) { viewOf(data)->completeOnboarding(false); }), this),
                       FALSE, FALSE, 0);
    proofFinish_ = button("Finish", "onboarding-finish",
                          G_CALLBACK(+[](GtkButton*, gpointer data) { viewOf(data)->completeOnboarding(true); }), this);
    gtk_box_pack_end(GTK_BOX(bar), proofFinish_, FALSE, FALSE, 0);
    proofRetry_ = button("Try Again", "onboarding-retry", G_CALLBACK(+[](GtkButton*, gpointer data) {
                             OnboardingView* view = viewOf(data);
                             view->setProof(DictationProofOutcome::waiting());
                         }),
                         this);
    gtk_box_pack_end(GTK_BOX(bar), proofRetry_, FALSE, FALSE, 0);
    gtk_box_pack_end(GTK_BOX(page), bar, FALSE, FALSE, 0);
    return page;
}

void OnboardingView::showPage(Page page) {
    page_ = page;
    const char* names[] = {"permissions", "highlights", "proof"};
    gtk_stack_set_visible_child_name(GTK_STACK(stack_), names[static_cast<int>(page)]);
    if (page == Page::proof) {
        installProofClosures();
        renderProof();
        gtk_widget_grab_focus(proofField_);
    } else {
        // Only the proof step listens to dictations.
        releaseProofClosures();
    }
}

// ---------------------------------------------------------------- grants

void OnboardingView::refresh() {
    // One probe at a time; a request meanwhile asks once more afterwards.
    if (refreshInFlight_) {
        refreshAgain_ = true;
        return;
    }
    refreshInFlight_ = true;
    OndiraPermission::diagnoseAllAsync([this](std::vector<OndiraPermission::Diagnosis> all) {
        refreshInFlight_ = false;
        applyDiagnoses(all);
        ++refreshesAnswered_;
        if (refreshAgain_) {
            refreshAgain_ = false;
            refresh();
        }
    });
}

void OnboardingView::applyDiagnoses(const std::vector<OndiraPermission::Diagnosis>& all) {
    int ready = 0;
    for (std::size_t i = 0; i < all.size() && i < OndiraPermission::allCases().size(); ++i) {
        const OndiraPermission permission = OndiraPermission::allCases()[i];
        const auto& d = all[i];
        granted_[permission.id()] = d.granted;
        diagnoses_[permission.id()] = d;
        Row& row = rows_[permission.id()];
        GtkStyleContext* style = gtk_widget_get_style_context(row.status);
        gtk_style_context_remove_class(style, "ob-dim");
        gtk_style_context_remove_class(style, d.granted ? "ob-missing" : "ob-ok");
        gtk_style_context_add_class(style, d.granted ? "ob-ok" : "ob-missing");
        gtk_label_set_text(GTK_LABEL(row.status), d.granted ? "\u2713 Ready" : "Needs attention");
        std::string problem = d.problem;
        if (permission == OndiraPermission::accessibility && !d.granted && !fixError_.empty())
            problem += " (" + fixError_ + ")";
        setText(row.problem, problem);
        setCommand(row.command, d.granted ? "" : d.command);
        gtk_widget_set_visible(row.copy, !d.granted && !d.command.empty());
        gtk_widget_set_visible(row.fix, !d.granted && d.fixableByButton);
        if (d.granted) ++ready;
    }
    const bool all3 = ready == static_cast<int>(OndiraPermission::allCases().size());
    gtk_label_set_text(GTK_LABEL(continueSummary_), all3 ? "All set." : (std::to_string(ready) + " of 3 ready").c_str());
    gtk_widget_set_sensitive(continueButton_, all3);
    renderBanner();
}

std::string OnboardingView::revocationBannerText(OndiraPermission revoked, const OndiraPermission::Diagnosis* diagnosis) {
    // The loss is all the watch knows: a sound server that went away and a
    // switched-off setting look the same to it, so the cause and what it
    // stops come from the diagnosis alone.
    std::string text = std::string(revoked.title()) + " is no longer available.";
    if (diagnosis && !diagnosis->granted) {
        if (!diagnosis->problem.empty()) text += " " + diagnosis->problem;
        if (!diagnosis->impact.empty()) text += " " + diagnosis->impact;
    }
    return text;
}

void OnboardingView::renderBanner() {
    if (!banner_) return;
    const auto& revoked = RevocationMonitor::shared().activeRevocation();
    if (revoked) {
        const auto found = diagnoses_.find(revoked->id());
        gtk_label_set_text(GTK_LABEL(banner_),
                           revocationBannerText(*revoked, found == diagnoses_.end() ? nullptr : &found->second).c_str());
    }
    gtk_widget_set_visible(banner_, revoked.has_value());
}

void OnboardingView::applyRevocation(const std::optional<OndiraPermission>& revoked) {
    if (!banner_) return;
    // What was diagnosed before the loss is out of date.
    if (revoked) diagnoses_.erase(revoked->id());
    renderBanner();
    if (revoked && page_ != Page::permissions) showPage(Page::permissions);
    if (revoked) refresh();
}

void OnboardingView::continuePressed() {
    if (OnboardingWindow::hasOnboarded()) {
        finishSetup();
        return;
    }
    showPage(Page::highlights);
}

void OnboardingView::fix(OndiraPermission permission) {
    if (permission == OndiraPermission::accessibility) {
        // Switching waits on the settings back-end and the session bus.
        fixError_.clear();
        platform::GlobalQueue::async(platform::QoS::userInitiated, [this] {
            const auto result = platform::AssistiveTechnologies::system()->switchOn();
            platform::MainQueue::async([this, result] {
                platform::log(
                    "Onboarding",
                    std::string("Assistive technologies switched on: setting ") +
                        (result.settingAvailable ? (result.settingWritten ? "written" : "not written") : "not installed") +
                        ", session " + (result.sessionEnabled ? "on" : "off (" + result.error + ")"));
                if (!result.sessionEnabled) fixError_ = result.error;
                refresh();
            });
        });
        return;
    }
    permission.openSystemSettings();
    refresh();
}

// ---------------------------------------------------------------- proof

void OnboardingView::installProofClosures() {
    setDictationClosures([this](const std::string& text) { setProof(DictationProofOutcome::success(text)); },
                         [this](const std::string& message) { setProof(DictationProofOutcome::failure(message)); });
}

void OnboardingView::releaseProofClosures() { setDictationClosures(nullptr, nullptr); }

void OnboardingView::setProof(DictationProofOutcome outcome) {
    proof_ = std::move(outcome);
    if (proof_.kind == DictationProofOutcome::Kind::waiting) {
        gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(proofField_)), "", -1);
        gtk_widget_grab_focus(proofField_);
    }
    renderProof();
}

void OnboardingView::renderProof() {
    gtk_label_set_text(GTK_LABEL(proofInstructions_),
                       ("Click in the field below, hold " + hotkeyName() +
                        " and say a sentence, then let go. Ondira types what you said into the field.")
                           .c_str());
    switch (proof_.kind) {
        case DictationProofOutcome::Kind::waiting:
            gtk_label_set_text(GTK_LABEL(proofStatus_), "Waiting for your dictation\u2026");
            break;
        case DictationProofOutcome::Kind::success:
            gtk_label_set_text(GTK_LABEL(proofStatus_), ("It works! Ondira heard: \u201C" + proof_.text + "\u201D").c_str());
            break;
        case DictationProofOutcome::Kind::failure:
            gtk_label_set_text(GTK_LABEL(proofStatus_),
                               ("That didn't work: " + proof_.text + " Try again, or skip this step.").c_str());
            break;
    }
    gtk_widget_set_visible(proofRetry_, proof_.kind == DictationProofOutcome::Kind::failure);
    gtk_widget_set_sensitive(proofFinish_, proof_.kind == DictationProofOutcome::Kind::success);
}

// ---------------------------------------------------------------- leaving

void OnboardingView::finishSetup() {
    releaseProofClosures();
    OnboardingWindow::markOnboarded();
    OnboardingWindow::shared().orderOut();
    handOverToHub();
}

void OnboardingView::completeOnboarding(bool proven) {
    releaseProofClosures();
    FaultLog::record("onboarding_completed", {{"proven", proven ? "true" : "skipped"}});
    OnboardingWindow::markOnboarded();
    OnboardingWindow::shared().orderOut();
    handOverToHub();
}

void OnboardingView::windowShown() {
    if (page_ == Page::proof) installProofClosures();
    gtk_button_set_label(GTK_BUTTON(continueButton_), OnboardingWindow::hasOnboarded() ? "Done" : "Continue");
    refresh();
    if (!ticker_)
        ticker_ = g_timeout_add(
            tickerMilliseconds,
            +[](gpointer data) -> gboolean {
                viewOf(data)->refresh();
                return G_SOURCE_CONTINUE;
            },
            this);
}

void OnboardingView::windowHidden() {
    // A hidden window asks the desktop nothing.
    if (ticker_) g_source_remove(ticker_);
    ticker_ = 0;
}

void OnboardingView::windowCloseRequested() {
    // Leaving the proof step by closing the window is a skip.
    if (page_ == Page::proof) {
        completeOnboarding(false);
        return;
    }
    OnboardingWindow::shared().orderOut();
}

// ---------------------------------------------------------------- window

OnboardingWindow::DelegateHooks& OnboardingWindow::delegateHooks() {
    static DelegateHooks hooks;
    return hooks;
}

OnboardingWindow& OnboardingWindow::shared() {
    static OnboardingWindow* window = new OnboardingWindow();
    return *window;
}

OnboardingWindow::OnboardingWindow() {
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window_), title);
    gtk_widget_set_size_request(window_, width, height);
    gtk_window_set_default_size(GTK_WINDOW(window_), width, height);
    gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
    // A dialogue's frame: a title and a close button, no minimise or maximise.
    gtk_window_set_type_hint(GTK_WINDOW(window_), GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);
    view_ = new OnboardingView();
    gtk_container_add(GTK_CONTAINER(window_), view_->widget());
    g_signal_connect(window_, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer) -> gboolean {
                         OnboardingWindow::shared().view().windowCloseRequested();
                         return TRUE;  // hidden, never destroyed
                     }),
                     nullptr);
    g_signal_connect(window_, "focus-in-event", G_CALLBACK(+[](GtkWidget* w, GdkEvent*, gpointer) -> gboolean {
                         gtk_window_set_urgency_hint(GTK_WINDOW(w), FALSE);
                         OnboardingWindow::shared().view().refresh();
                         return FALSE;
                     }),
                     nullptr);
}

bool OnboardingWindow::shouldPresentOnLaunch() {
    for (OndiraPermission p : OndiraPermission::allCases())
        if (!p.isGranted()) return true;
    return false;
}

void OnboardingWindow::present() {
    OnboardingWindow& shared = OnboardingWindow::shared();
    ++gPresents;
    platform::log("AppDelegate", "Showing setup and permissions.");
    gtk_window_set_focus_on_map(GTK_WINDOW(shared.window_), TRUE);
    gtk_window_set_urgency_hint(GTK_WINDOW(shared.window_), FALSE);
    gtk_widget_show(shared.window_);
    gtk_window_present(GTK_WINDOW(shared.window_));
    shared.view_->windowShown();
}

void OnboardingWindow::presentWithoutFocus() {
    OnboardingWindow& shared = OnboardingWindow::shared();
    ++gPresents;
    platform::log("AppDelegate", "Showing setup and permissions without taking the focus.");
    // gtk_window_present would ask for the focus (or, with no window
    // manager, take it); a window mapped this way is left unfocused.
    gtk_window_set_focus_on_map(GTK_WINDOW(shared.window_), FALSE);
    if (gtk_widget_get_visible(shared.window_)) {
        if (GdkWindow* w = gtk_widget_get_window(shared.window_)) gdk_window_raise(w);
    } else {
        gtk_widget_show(shared.window_);
    }
    gtk_window_set_urgency_hint(GTK_WINDOW(shared.window_), TRUE);
    shared.view_->windowShown();
}

void OnboardingWindow::presentPermissions() {
    OnboardingWindow::shared().view().showPage(OnboardingView::Page::permissions);
    present();
}

bool OnboardingWindow::hasOnboarded() { return AppPaths::userDefaults()->boolValue(onboardedKey); }

void OnboardingWindow::markOnboarded() { AppPaths::userDefaults()->setBool(onboardedKey, true); }

void OnboardingWindow::orderOut() {
    gtk_widget_hide(window_);
    view_->windowHidden();
}

int OnboardingWindow::presentCount() { return gPresents; }

bool OnboardingWindow::isVisible() const { return gtk_widget_get_visible(window_); }

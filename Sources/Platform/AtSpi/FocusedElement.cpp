#include "Platform/AtSpi/FocusedElement.h"

#include "Platform/Queues.h"

#include <atspi/atspi.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

namespace platform {

namespace {

// Every AT-SPI call waits at most this long for the application to answer.
constexpr int kAtspiTimeoutMs = 250;

std::optional<std::string> takeString(gchar* s) {
    if (!s) return std::nullopt;
    std::string out(s);
    g_free(s);
    return out;
}

// None when the element's states could not be read (its application did not
// answer in time); a defunct element reads as having none of them.
std::optional<bool> stateOf(AtspiAccessible* element, AtspiStateType state) {
    AtspiStateSet* set = atspi_accessible_get_state_set(element);
    if (!set) return std::nullopt;
    bool has = atspi_state_set_contains(set, state);
    g_object_unref(set);
    return has;
}

bool hasState(AtspiAccessible* element, AtspiStateType state) { return stateOf(element, state).value_or(false); }

// A call's error, freed; false when there was none.
bool failed(GError*& error) {
    if (!error) return false;
    g_clear_error(&error);
    return true;
}

// How many children the element has; 0, and `certain` false, when its
// application did not answer (libatspi then answers -1, not always with an
// error).
gint childCount(AtspiAccessible* element, bool& certain) {
    GError* error = nullptr;
    const gint count = atspi_accessible_get_child_count(element, &error);
    if (failed(error) || count < 0) {
        certain = false;
        return 0;
    }
    return count;
}

// A child the element counted; none, and `certain` false, when it could not
// be had.
AtspiAccessible* childAt(AtspiAccessible* element, gint index, bool& certain) {
    GError* error = nullptr;
    AtspiAccessible* child = atspi_accessible_get_child_at_index(element, index, &error);
    if (failed(error) || !child) {
        certain = false;
        if (child) g_object_unref(child);
        return nullptr;
    }
    return child;
}

bool ownProcess(AtspiAccessible* element) {
    GError* error = nullptr;
    guint pid = atspi_accessible_get_process_id(element, &error);
    if (error) {
        g_error_free(error);
        return false;
    }
    return pid == static_cast<guint>(getpid());
}

void onFocusEvent(AtspiEvent* event, void* data) {
    if (!event || !event->source) return;
    static_cast<AtSpiFocus*>(data)->focusChanged(event->source, event->detail1 != 0);
}

// Depth-first search for the focused element under an active window;
// `certain` goes false when part of the tree could not be read or searched.
AtspiAccessible* findFocused(AtspiAccessible* node, int depth, int& budget, bool& certain) {
    if (!node) return nullptr;
    if (depth > 40 || --budget < 0) {
        certain = false;
        return nullptr;
    }
    const std::optional<bool> focused = stateOf(node, ATSPI_STATE_FOCUSED);
    if (!focused) {
        certain = false;
        return nullptr;
    }
    if (*focused) return ATSPI_ACCESSIBLE(g_object_ref(node));
    const gint count = childCount(node, certain);
    for (gint i = 0; i < count; ++i) {
        if (budget <= 0) {
            certain = false;
            return nullptr;
        }
        AtspiAccessible* child = childAt(node, i, certain);
        if (!child) continue;
        AtspiAccessible* found = findFocused(child, depth + 1, budget, certain);
        g_object_unref(child);
        if (found) return found;
    }
    return nullptr;
}

}  // namespace

bool AtSpiFocus::available() {
    static const bool ready = [] {
        int status = atspi_init();
        if (status != 0 && status != 1) return false;
        atspi_set_timeout(kAtspiTimeoutMs, kAtspiTimeoutMs * 4);
        return true;
    }();
    return ready;
}

AtSpiFocus::~AtSpiFocus() {
    if (listener_) {
        auto* listener = static_cast<AtspiEventListener*>(listener_.load());
        atspi_event_listener_deregister(listener, "object:state-changed:focused", nullptr);
        g_object_unref(listener);
    }
    if (focused_) g_object_unref(focused_);
}

void AtSpiFocus::startTracking() {
    // On the main thread: the listener's events arrive on the main loop.
    if (listener_ || !available()) return;
    AtspiEventListener* listener = atspi_event_listener_new(onFocusEvent, this, nullptr);
    if (atspi_event_listener_register(listener, "object:state-changed:focused", nullptr)) listener_ = listener;
    else g_object_unref(listener);
}

void AtSpiFocus::focusChanged(AtspiAccessible* element, bool focused) {
    std::lock_guard<std::mutex> guard(lock_);
    if (focused) {
        if (focused_) g_object_unref(focused_);
        focused_ = ATSPI_ACCESSIBLE(g_object_ref(element));
    } else if (focused_ == element) {
        g_object_unref(focused_);
        focused_ = nullptr;
    }
}

AtspiAccessible* AtSpiFocus::focusedElement(bool* certain) {
    bool sure = true;
    AtspiAccessible* found = searchFocused(sure);
    if (certain) *certain = sure;
    return found;
}

AtspiAccessible* AtSpiFocus::searchFocused(bool& certain) {
    if (!available()) return nullptr;
    if (MainQueue::isMainThread()) {
        startTracking();
    } else if (!listener_) {
        std::weak_ptr<AtSpiFocus> self = weak_from_this();
        MainQueue::async([self] {
            if (auto strong = self.lock()) strong->startTracking();
        });
    }
    // Focus events still queued on the main loop are not run from here: that
    // would run any other queued work inside this reading. A tracked element
    // that lost the focus meanwhile no longer says FOCUSED, and the search
    // below finds the new one.
    AtspiAccessible* tracked = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (focused_) tracked = ATSPI_ACCESSIBLE(g_object_ref(focused_));
    }
    if (tracked) {
        const std::optional<bool> focused = stateOf(tracked, ATSPI_STATE_FOCUSED);
        if (focused.value_or(false) && !ownProcess(tracked)) return tracked;
        // Its application did not answer: it may still have the focus.
        if (!focused) certain = false;
        g_object_unref(tracked);
    }
    // No focus event seen yet (the field had the focus before we listened):
    // look under the active window of each application.
    AtspiAccessible* desktop = atspi_get_desktop(0);
    if (!desktop) {
        certain = false;
        return nullptr;
    }
    AtspiAccessible* found = nullptr;
    const gint apps = childCount(desktop, certain);
    for (gint a = 0; a < apps && !found; ++a) {
        AtspiAccessible* app = childAt(desktop, a, certain);
        if (!app) continue;
        if (!ownProcess(app)) {
            const gint windows = childCount(app, certain);
            for (gint w = 0; w < windows && !found; ++w) {
                AtspiAccessible* window = childAt(app, w, certain);
                if (!window) continue;
                int budget = 3000;
                const std::optional<bool> active = stateOf(window, ATSPI_STATE_ACTIVE);
                if (!active) certain = false;
                else if (*active) found = findFocused(window, 0, budget, certain);
                g_object_unref(window);
            }
        }
        g_object_unref(app);
    }
    g_object_unref(desktop);
    return found;
}

// Runs `read` on the focused element's text: none when there is no focused
// element, it has no text, or a call `read` made left an error.
std::optional<std::string> AtSpiFocus::readFocusedText(
    const std::function<std::optional<std::string>(AtspiText*, GError**)>& read) {
    AtspiAccessible* element = focusedElement();
    if (!element) return std::nullopt;
    std::optional<std::string> result;
    if (AtspiText* text = atspi_accessible_get_text_iface(element)) {
        GError* error = nullptr;
        result = read(text, &error);
        if (error) {
            g_error_free(error);
            result.reset();
        }
        g_object_unref(text);
    }
    g_object_unref(element);
    return result;
}

std::optional<std::string> AtSpiFocus::value() {
    return readFocusedText([](AtspiText* text, GError** error) -> std::optional<std::string> {
        const gint count = atspi_text_get_character_count(text, error);
        if (*error) return std::nullopt;
        return takeString(atspi_text_get_text(text, 0, count, error));
    });
}

std::optional<std::string> AtSpiFocus::selectedText() {
    return readFocusedText([](AtspiText* text, GError** error) -> std::optional<std::string> {
        const gint n = atspi_text_get_n_selections(text, error);
        if (*error) return std::nullopt;
        if (n <= 0) return std::string();
        std::optional<std::string> selected;
        if (AtspiRange* range = atspi_text_get_selection(text, 0, error)) {
            if (!*error) selected = takeString(atspi_text_get_text(text, range->start_offset, range->end_offset, error));
            g_free(range);
        }
        return selected;
    });
}

std::optional<std::string> AtSpiFocus::textBeforeCaret(int characters) {
    return readFocusedText([characters](AtspiText* text, GError** error) -> std::optional<std::string> {
        const gint caret = atspi_text_get_caret_offset(text, error);
        if (*error || caret < 0) return std::nullopt;
        if (caret == 0) return std::string();
        return takeString(atspi_text_get_text(text, std::max(0, caret - characters), caret, error));
    });
}

bool AtSpiFocus::insertAtCaret(const std::string& insertion) {
    AtspiAccessible* element = focusedElement();
    if (!element) return false;
    bool inserted = false;
    AtspiEditableText* editable = atspi_accessible_get_editable_text_iface(element);
    AtspiText* text = atspi_accessible_get_text_iface(element);
    if (editable && text && hasState(element, ATSPI_STATE_EDITABLE)) {
        GError* error = nullptr;
        gint caret = atspi_text_get_caret_offset(text, &error);
        if (!error)
            inserted = atspi_editable_text_insert_text(editable, caret, insertion.c_str(),
                                                       static_cast<gint>(insertion.size()), &error);
        if (error) {
            g_error_free(error);
            inserted = false;
        }
    }
    if (editable) g_object_unref(editable);
    if (text) g_object_unref(text);
    g_object_unref(element);
    return inserted;
}

SecureInputState AtSpiFocus::passwordField() {
    if (!available()) return SecureInputState::inactive;
    bool certain = true;
    AtspiAccessible* element = focusedElement(&certain);
    if (!element) return certain ? SecureInputState::inactive : SecureInputState::couldNotTell;
    GError* error = nullptr;
    AtspiRole role = atspi_accessible_get_role(element, &error);
    g_object_unref(element);
    if (failed(error)) return SecureInputState::couldNotTell;
    return role == ATSPI_ROLE_PASSWORD_TEXT ? SecureInputState::active : SecureInputState::inactive;
}

}  // namespace platform

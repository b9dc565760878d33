// Watches behind the answers the permission refresh asks for every few
// seconds. Opening a sound-server, accessibility-bus and X connection on each
// ask woke the whole desktop up every time; one connection per service that is
// told of changes leaves an idle Ondira asleep. A one-off probe is a watch of
// its own, asked once and ended.
#include "Platform/SystemReadiness.h"

#include "Platform/Desktop/AccessibilityBusCalls.h"
#include "Platform/FileIO.h"

#include <X11/Xlib.h>
#include <gio/gio.h>
#include <pulse/pulseaudio.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace platform::readiness {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(double seconds) {
    return Clock::now() + std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

// ---------------------------------------------------------------- sound server

// One context on a threaded main loop, subscribed to the server and its
// sources. The loop's thread sleeps until the server says something.
class SoundServerWatch {
public:
    static SoundServerWatch& shared() {
        static auto* watch = new SoundServerWatch("Ondira");  // lives as long as the process
        return *watch;
    }

    // A watch of its own for one look (the doctor, the support bundle): the
    // same connection and description, ended once answered.
    explicit SoundServerWatch(const char* clientName) : clientName_(clientName) {}
    ~SoundServerWatch() {
        if (!loop_) return;
        pa_threaded_mainloop_lock(loop_);
        dropContext();
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
        pa_threaded_mainloop_free(loop_);
    }
    SoundServerWatch(const SoundServerWatch&) = delete;
    SoundServerWatch& operator=(const SoundServerWatch&) = delete;

    SoundServer current(double timeoutSeconds) {
        std::lock_guard<std::mutex> oneAtATime(askLock_);
        const auto deadline = deadlineAfter(timeoutSeconds);
        const auto server = platform::environment("PULSE_SERVER");
        bool connected;
        {
            std::unique_lock<std::mutex> g(stateLock_);
            connected = context_ && !failed_ && server == server_;
        }
        if (!connected) connect(server);
        std::unique_lock<std::mutex> g(stateLock_);
        stateChanged_.wait_until(g, deadline, [this] { return failed_ || (ready_ && fetching_ == 0); });
        SoundServer answer = state_;
        if (!failed_ && !ready_) answer.error = "no answer from the sound server";
        else if (!failed_ && fetching_ > 0 && answer.name.empty()) answer.error = "the sound server did not describe itself";
        return answer;
    }

private:
    void connect(const std::optional<std::string>& server) {
        if (!loop_) {
            loop_ = pa_threaded_mainloop_new();
            if (!loop_ || pa_threaded_mainloop_start(loop_) < 0) {
                if (loop_) pa_threaded_mainloop_free(loop_);
                loop_ = nullptr;
                std::lock_guard<std::mutex> g(stateLock_);
                state_ = SoundServer{};
                state_.error = "could not start a sound-server main loop";
                failed_ = true;
                return;
            }
        }
        pa_threaded_mainloop_lock(loop_);
        dropContext();
        {
            std::lock_guard<std::mutex> g(stateLock_);
            state_ = SoundServer{};
            ready_ = failed_ = false;
            fetching_ = 0;
            server_ = server;
        }
        context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), clientName_);
        if (!context_) {
            fail("could not create a sound-server context");
        } else {
            pa_context_set_state_callback(context_, &SoundServerWatch::onState, this);
            // Never start a sound server just to look at it.
            if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
                fail(pa_strerror(pa_context_errno(context_)));
        }
        pa_threaded_mainloop_unlock(loop_);
    }

    // With the loop locked.
    void dropContext() {
        if (!context_) return;
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_set_subscribe_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }

    void fail(const std::string& why) {
        std::lock_guard<std::mutex> g(stateLock_);
        state_.reachable = false;
        state_.error = why;
        failed_ = true;
        stateChanged_.notify_all();
    }

    // Everything below runs on the loop's thread, with the loop locked.
    static void onState(pa_context* context, void* userdata) {
        auto* self = static_cast<SoundServerWatch*>(userdata);
        switch (pa_context_get_state(context)) {
            case PA_CONTEXT_READY: {
                {
                    // Ready and described are one step for an asker.
                    std::lock_guard<std::mutex> g(self->stateLock_);
                    self->state_.reachable = true;
                    self->ready_ = true;
                    ++self->fetching_;
                }
                pa_context_set_subscribe_callback(context, &SoundServerWatch::onEvent, self);
                const auto mask =
                    static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SOURCE);
                if (pa_operation* op = pa_context_subscribe(context, mask, nullptr, nullptr)) pa_operation_unref(op);
                self->describe(context);
                break;
            }
            case PA_CONTEXT_FAILED:
            case PA_CONTEXT_TERMINATED: self->fail(pa_strerror(pa_context_errno(context))); break;
            default: break;
        }
    }

    // A new, changed or removed source, or a new default: describe again.
    static void onEvent(pa_context* context, pa_subscription_event_type_t, uint32_t, void* userdata) {
        static_cast<SoundServerWatch*>(userdata)->fetch(context);
    }

    void fetch(pa_context* context) {
        {
            std::lock_guard<std::mutex> g(stateLock_);
            ++fetching_;
        }
        describe(context);
    }

    // Counted in fetching_ by the caller.
    void describe(pa_context* context) {
        if (pa_operation* op = pa_context_get_server_info(context, &SoundServerWatch::onServerInfo, this))
            pa_operation_unref(op);
        else
            fetched(std::nullopt, false, false);
    }

    struct SourceLookup {
        SoundServerWatch* watch;
        std::string name;
        bool exists = false;
        bool monitor = false;
    };

    static void onServerInfo(pa_context* context, const pa_server_info* info, void* userdata) {
        auto* self = static_cast<SoundServerWatch*>(userdata);
        if (!info) return self->fetched(std::nullopt, false, false);
        {
            std::lock_guard<std::mutex> g(self->stateLock_);
            self->state_.name = info->server_name ? info->server_name : "";
            self->state_.version = info->server_version ? info->server_version : "";
        }
        const std::string source = info->default_source_name ? info->default_source_name : "";
        if (source.empty()) return self->fetched(source, false, false);
        auto* lookup = new SourceLookup{self, source};
        if (pa_operation* op = pa_context_get_source_info_by_name(context, source.c_str(), &onSourceInfo, lookup)) {
            pa_operation_unref(op);
        } else {
            delete lookup;
            self->fetched(source, false, false);
        }
    }

    static void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
        auto* lookup = static_cast<SourceLookup*>(userdata);
        if (info) {
            lookup->exists = true;
            lookup->monitor = info->monitor_of_sink != PA_INVALID_INDEX;
        }
        if (eol == 0) return;
        lookup->watch->fetched(lookup->name, lookup->exists, lookup->monitor);
        delete lookup;
    }

    // Descriptions answer in the order they were asked, so the last one is the newest.
    void fetched(const std::optional<std::string>& source, bool exists, bool monitor) {
        std::lock_guard<std::mutex> g(stateLock_);
        if (source) {
            state_.defaultSource = *source;
            state_.defaultSourceExists = exists;
            state_.defaultSourceIsMonitor = monitor;
        }
        if (fetching_ > 0) --fetching_;
        stateChanged_.notify_all();
    }

    const char* clientName_;
    std::mutex askLock_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;  // with the loop locked

    std::mutex stateLock_;  // taken inside the loop's lock, never around it
    std::condition_variable stateChanged_;
    SoundServer state_;
    std::optional<std::string> server_;  // PULSE_SERVER when connected
    bool ready_ = false;
    bool failed_ = false;
    int fetching_ = 0;  // descriptions asked and not yet answered
};

// ---------------------------------------------------------------- accessibility bus

// The session bus and the accessibility bus, watched from a thread of their
// own whose main context only wakes for a signal: the launcher's
// PropertiesChanged of IsEnabled, org.a11y.Bus leaving the session bus, or
// the accessibility bus closing our connection.
class AccessibilityBusWatch {
public:
    static AccessibilityBusWatch& shared() {
        static auto* watch = [] {
            auto* w = new AccessibilityBusWatch();  // lives as long as the process
            w->startThread();
            return w;
        }();
        return *watch;
    }

    // One look (the doctor, the support bundle), made the way the watch makes
    // it, on the calling thread; nothing is kept open. A main context of its
    // own keeps the signals it subscribes to off the caller's.
    static AccessibilityBus lookOnce(int timeoutMilliseconds) {
        AccessibilityBusWatch once;
        g_main_context_push_thread_default(once.context_);
        AccessibilityBus bus = once.watch(timeoutMilliseconds);
        once.unwatch();
        g_main_context_pop_thread_default(once.context_);
        return bus;
    }
    ~AccessibilityBusWatch() { g_main_context_unref(context_); }
    AccessibilityBusWatch(const AccessibilityBusWatch&) = delete;
    AccessibilityBusWatch& operator=(const AccessibilityBusWatch&) = delete;

    AccessibilityBus current(int timeoutMilliseconds) {
        std::lock_guard<std::mutex> oneAtATime(askLock_);
        const std::string where = platform::environment("DBUS_SESSION_BUS_ADDRESS").value_or("") + "|" +
                                  platform::environment("XDG_RUNTIME_DIR").value_or("");
        {
            std::lock_guard<std::mutex> g(stateLock_);
            if (watching_ && where == where_) return state_;
        }
        // Looked at afresh, on the watch's thread: the subscriptions belong to its context.
        auto asked = std::make_shared<Asked>();
        g_main_context_invoke_full(
            context_, G_PRIORITY_DEFAULT,
            +[](gpointer data) -> gboolean {
                auto* job = static_cast<Job*>(data);
                job->watch->rewatch(job->timeoutMilliseconds, job->where);
                std::lock_guard<std::mutex> g(job->asked->lock);
                job->asked->done = true;
                job->asked->cv.notify_all();
                return G_SOURCE_REMOVE;
            },
            new Job{this, timeoutMilliseconds, where, asked}, +[](gpointer data) { delete static_cast<Job*>(data); });
        std::unique_lock<std::mutex> g(asked->lock);
        // Two calls of the bounded wait each, and the connection itself.
        if (!asked->cv.wait_for(g, std::chrono::milliseconds(3 * timeoutMilliseconds + 500), [&] { return asked->done; })) {
            AccessibilityBus late;
            late.error = "the accessibility bus did not answer in time";
            return late;
        }
        std::lock_guard<std::mutex> s(stateLock_);
        return state_;
    }

private:
    struct Asked {
        std::mutex lock;
        std::condition_variable cv;
        bool done = false;
    };
    struct Job {
        AccessibilityBusWatch* watch;
        int timeoutMilliseconds;
        std::string where;
        std::shared_ptr<Asked> asked;
    };

    AccessibilityBusWatch() : context_(g_main_context_new()) {}

    void startThread() {
        std::thread([context = g_main_context_ref(context_)] {
            pthread_setname_np(pthread_self(), "a11y watch");
            g_main_context_push_thread_default(context);
            GMainLoop* loop = g_main_loop_new(context, FALSE);
            g_main_loop_run(loop);
        }).detach();
    }

    // On the watch's thread from here on.
    void rewatch(int timeoutMilliseconds, const std::string& where) {
        unwatch();
        AccessibilityBus bus = watch(timeoutMilliseconds);
        std::lock_guard<std::mutex> g(stateLock_);
        state_ = bus;
        where_ = where;
        // Unreachable is asked again next time: nothing would tell us it came up.
        watching_ = bus.reachable;
    }

    AccessibilityBus watch(int timeoutMilliseconds) {
        AccessibilityBus bus;
        // Without one GLib would launch a new session bus on the X display,
        // and a look must not change what it looks at.
        if (!sessionBusConfigured()) {
            bus.error = "no session bus";
            return bus;
        }
        // A connection of our own, to the bus the environment names now (the
        // shared one stays with the bus of the first ask).
        GError* error = nullptr;
        gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
        if (address) session_ = dbuscalls::connect(address, &error);
        g_free(address);
        if (!session_) return failed(bus, error, "no session bus");
        g_signal_connect(session_, "closed", G_CALLBACK(&AccessibilityBusWatch::onClosed), this);
        statusSignal_ = g_dbus_connection_signal_subscribe(
            session_, "org.a11y.Bus", "org.freedesktop.DBus.Properties", "PropertiesChanged", "/org/a11y/bus",
            "org.a11y.Status", G_DBUS_SIGNAL_FLAGS_NONE, &AccessibilityBusWatch::onStatusChanged, this, nullptr);
        const auto busAddress = dbuscalls::accessibilityBusAddress(session_, timeoutMilliseconds, &error);
        if (!busAddress) return failed(bus, error, "org.a11y.Bus did not answer");
        // Watched once it answered: its leaving is then a change to hear of.
        nameWatch_ = g_bus_watch_name_on_connection(session_, "org.a11y.Bus", G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr,
                                                    &AccessibilityBusWatch::onBusGone, this, nullptr);
        // The switch as it is now that a change of it would be heard.
        bus.enabled = dbuscalls::accessibilityEnabled(session_, timeoutMilliseconds);
        if (busAddress->empty()) return failed(bus, nullptr, "org.a11y.Bus gave no address");
        // Kept open: its closing tells us the accessibility bus went away.
        a11y_ = dbuscalls::connect(busAddress->c_str(), &error);
        if (!a11y_) return failed(bus, error, "could not connect to the accessibility bus");
        g_signal_connect(a11y_, "closed", G_CALLBACK(&AccessibilityBusWatch::onClosed), this);
        bus.reachable = true;
        return bus;
    }

    AccessibilityBus failed(AccessibilityBus& bus, GError* error, const char* otherwise) {
        bus.error = dbuscalls::takeError(error, otherwise);
        unwatch();
        return bus;
    }

    void unwatch() {
        for (GDBusConnection** connection : {&a11y_, &session_}) {
            if (!*connection) continue;
            if (*connection == session_ && statusSignal_) g_dbus_connection_signal_unsubscribe(session_, statusSignal_);
            if (*connection == session_ && nameWatch_) g_bus_unwatch_name(nameWatch_);
            g_signal_handlers_disconnect_by_data(*connection, this);
            g_dbus_connection_close_sync(*connection, nullptr, nullptr);
            g_object_unref(*connection);
            *connection = nullptr;
        }
        statusSignal_ = nameWatch_ = 0;
    }

    void lost(const char* why) {
        std::lock_guard<std::mutex> g(stateLock_);
        state_ = AccessibilityBus{};
        state_.error = why;
        watching_ = false;
    }

    static void onStatusChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                GVariant* parameters, gpointer userdata) {
        auto* self = static_cast<AccessibilityBusWatch*>(userdata);
        GVariant* changed = nullptr;
        const gchar** invalidated = nullptr;
        g_variant_get(parameters, "(&s@a{sv}^a&s)", nullptr, &changed, &invalidated);
        std::lock_guard<std::mutex> g(self->stateLock_);
        gboolean on = FALSE;
        if (changed && g_variant_lookup(changed, "IsEnabled", "b", &on)) self->state_.enabled = on != FALSE;
        for (const gchar** name = invalidated; name && *name; ++name)
            if (g_strcmp0(*name, "IsEnabled") == 0) self->watching_ = false;  // ask it next time
        if (changed) g_variant_unref(changed);
        g_free(invalidated);
    }

    static void onBusGone(GDBusConnection*, const gchar*, gpointer userdata) {
        static_cast<AccessibilityBusWatch*>(userdata)->lost("org.a11y.Bus left the session bus");
    }

    static void onClosed(GDBusConnection*, gboolean, GError*, gpointer userdata) {
        static_cast<AccessibilityBusWatch*>(userdata)->lost("a bus closed the connection");
    }

    std::mutex askLock_;
    GMainContext* context_;
    // The watch's thread alone touches these.
    GDBusConnection* session_ = nullptr;
    GDBusConnection* a11y_ = nullptr;
    guint statusSignal_ = 0;
    guint nameWatch_ = 0;

    std::mutex stateLock_;
    AccessibilityBus state_;
    std::string where_;
    bool watching_ = false;  // state_ is kept current by the signals
};

// ---------------------------------------------------------------- XTest

std::mutex gXTestLock;
std::optional<std::string> gXTestDisplay;  // the display XTest was found on

}  // namespace

SoundServer probeSoundServer(double timeoutSeconds) {
    SoundServerWatch once("Ondira doctor");
    return once.current(timeoutSeconds);
}

AccessibilityBus probeAccessibilityBus(int timeoutMilliseconds) {
    return AccessibilityBusWatch::lookOnce(timeoutMilliseconds);
}

SoundServer watchedSoundServer(double timeoutSeconds) { return SoundServerWatch::shared().current(timeoutSeconds); }

AccessibilityBus watchedAccessibilityBus(int timeoutMilliseconds) {
    return AccessibilityBusWatch::shared().current(timeoutMilliseconds);
}

XTest watchedXTest() {
    const auto display = platform::environment("DISPLAY");
    {
        std::lock_guard<std::mutex> g(gXTestLock);
        if (display && !display->empty() && display == gXTestDisplay) return XTest{true, {}};
    }
    XTest found = probeXTest();
    std::lock_guard<std::mutex> g(gXTestLock);
    gXTestDisplay = found.available ? display : std::nullopt;
    return found;
}

}  // namespace platform::readiness

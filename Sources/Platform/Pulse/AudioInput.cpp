#include "Platform/AudioInput.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace platform {

namespace {
constexpr int connectTimeoutMs = 3000;
}

// Everything the server's thread touches lives here, so the callbacks can
// hold it alive through a stop or a reset.
struct AudioInput::State {
    std::mutex controlMutex;  // serialises connect/start/stop/reset callers
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    std::string streamSourceName;  // the default source when the stream opened

    // Read on the server's thread under the mainloop lock.
    TapBlock tap;
    std::size_t tapFrames = 1024;
    int channels = 1;
    std::vector<float> pending;
    std::function<void()> onConfigurationChange;

    bool waitFor(const std::function<bool()>& done) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(connectTimeoutMs);
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            // Woken by the state callbacks; a short timed wait keeps a
            // silent server from hanging us.
            pa_threaded_mainloop_unlock(loop);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            pa_threaded_mainloop_lock(loop);
        }
        return true;
    }

    std::string clientName;  // how the sound server lists us

    void notifyChange() {
        if (onConfigurationChange) onConfigurationChange();
    }

    // Caller holds controlMutex.
    bool connect() {
        if (context && pa_context_get_state(context) == PA_CONTEXT_READY) return true;
        disconnect();
        loop = pa_threaded_mainloop_new();
        if (!loop) return false;
        context = pa_context_new(pa_threaded_mainloop_get_api(loop), clientName.c_str());
        if (!context) {
            disconnect();
            return false;
        }
        pa_context_set_state_callback(
            context, [](pa_context*, void* l) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(l), 0); },
            loop);
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            disconnect();
            return false;
        }
        if (pa_threaded_mainloop_start(loop) < 0) {
            disconnect();
            return false;
        }
        pa_threaded_mainloop_lock(loop);
        bool ready = waitFor([this] {
                         auto s = pa_context_get_state(context);
                         return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
                     }) &&
                     pa_context_get_state(context) == PA_CONTEXT_READY;
        if (ready) {
            // A change of the default source while recording counts as a
            // change of device.
            pa_context_set_subscribe_callback(
                context,
                [](pa_context*, pa_subscription_event_type_t t, uint32_t, void* self) {
                    auto* st = static_cast<State*>(self);
                    if ((t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER && st->stream)
                        st->checkDefaultSource();
                },
                this);
            pa_operation_unref(pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr));
        }
        pa_threaded_mainloop_unlock(loop);
        if (!ready) disconnect();
        return ready;
    }

    void disconnect() {
        if (loop) pa_threaded_mainloop_stop(loop);
        if (stream) {
            pa_stream_unref(stream);
            stream = nullptr;
        }
        if (context) {
            pa_context_disconnect(context);
            pa_context_unref(context);
            context = nullptr;
        }
        if (loop) {
            pa_threaded_mainloop_free(loop);
            loop = nullptr;
        }
    }

    // Runs on the server's thread.
    void checkDefaultSource() {
        pa_operation* op = pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* info, void* self) {
                auto* st = static_cast<State*>(self);
                if (info && info->default_source_name && st->stream && st->streamSourceName != info->default_source_name)
                    st->notifyChange();
            },
            this);
        if (op) pa_operation_unref(op);
    }

    // Caller holds the mainloop lock.
    std::string queryDefaultSource(AudioInputFormat* format, std::string* description) {
        struct Query {
            bool done = false;
            bool found = false;
            std::string name, description;
            pa_sample_spec spec{};
            pa_threaded_mainloop* loop;
        };
        Query q;
        q.loop = loop;
        pa_operation* op = pa_context_get_source_info_by_name(
            context, "@DEFAULT_SOURCE@",
            [](pa_context*, const pa_source_info* info, int eol, void* data) {
                auto* qq = static_cast<Query*>(data);
                if (eol != 0) {
                    qq->done = true;
                    pa_threaded_mainloop_signal(qq->loop, 0);
                    return;
                }
                if (!info || qq->found) return;
                qq->found = true;
                qq->name = info->name ? info->name : "";
                qq->description = info->description ? info->description : qq->name;
                qq->spec = info->sample_spec;
            },
            &q);
        if (!op) return {};
        bool finished = waitFor([&] { return q.done; });
        if (!finished) pa_operation_cancel(op);
        pa_operation_unref(op);
        if (!finished || !q.found) return {};
        if (format) {
            format->sampleRate = q.spec.rate;
            format->channels = q.spec.channels;
        }
        if (description) *description = q.description;
        return q.name;
    }

    // Runs on the server's thread.
    void onReadable(pa_stream* s) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        while (pa_stream_readable_size(s) > 0) {
            if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) break;
            std::size_t samples = bytes / sizeof(float);
            if (data) {
                const float* f = static_cast<const float*>(data);
                pending.insert(pending.end(), f, f + samples);
            } else {
                pending.insert(pending.end(), samples, 0.0f);  // a hole is silence
            }
            pa_stream_drop(s);
        }
        const std::size_t blockSamples = tapFrames * static_cast<std::size_t>(channels);
        std::size_t offset = 0;
        while (pending.size() - offset >= blockSamples) {
            if (tap) tap(pending.data() + offset, tapFrames);
            offset += blockSamples;
        }
        if (offset) pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(offset));
    }
};

AudioInput::AudioInput(std::string clientName) : state_(std::make_shared<State>()) {
    state_->clientName = std::move(clientName);
}

AudioInput::~AudioInput() {
    std::lock_guard<std::mutex> guard(state_->controlMutex);
    state_->disconnect();
}

AudioInputFormat AudioInput::inputFormat() {
    std::lock_guard<std::mutex> guard(state_->controlMutex);
    AudioInputFormat format;
    if (!state_->connect()) return format;
    pa_threaded_mainloop_lock(state_->loop);
    state_->queryDefaultSource(&format, nullptr);
    pa_threaded_mainloop_unlock(state_->loop);
    return format;
}

std::optional<std::string> AudioInput::defaultSourceName() {
    std::lock_guard<std::mutex> guard(state_->controlMutex);
    if (!state_->connect()) return std::nullopt;
    std::string description;
    pa_threaded_mainloop_lock(state_->loop);
    std::string name = state_->queryDefaultSource(nullptr, &description);
    pa_threaded_mainloop_unlock(state_->loop);
    if (name.empty()) return std::nullopt;
    return description;
}

std::optional<AudioInputProblem> AudioInput::availability() {
    std::lock_guard<std::mutex> guard(state_->controlMutex);
    if (!state_->connect()) return AudioInputProblem::serverUnreachable;
    pa_threaded_mainloop_lock(state_->loop);
    const std::string name = state_->queryDefaultSource(nullptr, nullptr);
    pa_threaded_mainloop_unlock(state_->loop);
    if (name.empty()) return AudioInputProblem::noSource;
    return std::nullopt;
}

void AudioInput::installTap(std::size_t bufferFrames, TapBlock block) {
    std::lock_guard<std::mutex> guard(state_->controlMutex);
    if (state_->loop) pa_threaded_mainloop_lock(state_->loop);
    state_->tap = std::move(block);
    state_->tapFrames = bufferFrames ? bufferFrames : 1024;
    state_->pending.clear();
    if (state_->loop) pa_threaded_mainloop_unlock(state_->loop);
}

void AudioInput::removeTap() {
    std::lock_guard<std::mutex> guard(state_->controlMutex);
    if (state_->loop) pa_threaded_mainloop_lock(state_->loop);
    state_->tap = nullptr;
    state_->pending.clear();
    if (state_->loop) pa_threaded_mainloop_unlock(state_->loop);
}

void AudioInput::setConfigurationChangeHandler(std::function<void()> handler) {
    std::lock_guard<std::mutex> guard(state_->controlMutex);
    if (state_->loop) pa_threaded_mainloop_lock(state_->loop);
    state_->onConfigurationChange = std::move(handler);
    if (state_->loop) pa_threaded_mainloop_unlock(state_->loop);
}

bool AudioInput::start(std::string* error, AudioInputProblem* problem) {
    std::lock_guard<std::mutex> guard(state_->controlMutex);
    auto fail = [&](const std::string& why, AudioInputProblem cause) {
        if (error) *error = why;
        if (problem) *problem = cause;
        return false;
    };
    if (!state_->connect()) return fail("the sound server is not answering", AudioInputProblem::serverUnreachable);
    State& st = *state_;
    pa_threaded_mainloop_lock(st.loop);
    if (st.stream) {
        pa_threaded_mainloop_unlock(st.loop);
        return true;
    }
    AudioInputFormat format;
    std::string sourceName = st.queryDefaultSource(&format, nullptr);
    if (sourceName.empty() || format.sampleRate <= 0 || format.channels <= 0) {
        pa_threaded_mainloop_unlock(st.loop);
        return fail("the sound server has no input source", AudioInputProblem::noSource);
    }
    pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(format.sampleRate),
                        static_cast<uint8_t>(format.channels)};
    st.channels = format.channels;
    st.pending.clear();
    st.streamSourceName = sourceName;
    // Past this point the source exists: a refusal means it is busy, unless
    // the server itself went away meanwhile. Caller holds the mainloop lock.
    auto refusal = [&st] {
        return pa_context_get_state(st.context) == PA_CONTEXT_READY ? AudioInputProblem::sourceRefused
                                                                    : AudioInputProblem::serverUnreachable;
    };
    pa_stream* stream = pa_stream_new(st.context, "Dictation", &spec, nullptr);
    if (!stream) {
        std::string why = pa_strerror(pa_context_errno(st.context));
        const AudioInputProblem cause = refusal();
        pa_threaded_mainloop_unlock(st.loop);
        return fail(why, cause);
    }
    pa_stream_set_state_callback(
        stream,
        [](pa_stream* s, void* self) {
            auto* state = static_cast<State*>(self);
            pa_threaded_mainloop_signal(state->loop, 0);
            // The source went away under a running stream.
            if (state->stream == s && pa_stream_get_state(s) == PA_STREAM_FAILED) state->notifyChange();
        },
        &st);
    pa_stream_set_read_callback(
        stream, [](pa_stream* s, std::size_t, void* self) { static_cast<State*>(self)->onReadable(s); }, &st);
    pa_stream_set_moved_callback(
        stream, [](pa_stream*, void* self) { static_cast<State*>(self)->notifyChange(); }, &st);
    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr);
    attr.fragsize = static_cast<uint32_t>(st.tapFrames * sizeof(float) * static_cast<std::size_t>(format.channels));
    if (pa_stream_connect_record(stream, sourceName.c_str(), &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
        std::string why = pa_strerror(pa_context_errno(st.context));
        const AudioInputProblem cause = refusal();
        pa_stream_unref(stream);
        pa_threaded_mainloop_unlock(st.loop);
        return fail(why, cause);
    }
    bool ready = st.waitFor([&] {
        auto s = pa_stream_get_state(stream);
        return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
    }) && pa_stream_get_state(stream) == PA_STREAM_READY;
    if (!ready) {
        std::string why = pa_strerror(pa_context_errno(st.context));
        const AudioInputProblem cause = refusal();
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        pa_threaded_mainloop_unlock(st.loop);
        return fail(why.empty() ? "the record stream did not open" : why, cause);
    }
    st.stream = stream;
    pa_threaded_mainloop_unlock(st.loop);
    return true;
}

void AudioInput::stop() {
    std::lock_guard<std::mutex> guard(state_->controlMutex);
    State& st = *state_;
    if (!st.loop || !st.stream) return;
    pa_threaded_mainloop_lock(st.loop);
    pa_stream* stream = st.stream;
    st.stream = nullptr;
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_moved_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    st.pending.clear();
    pa_threaded_mainloop_unlock(st.loop);
}

void AudioInput::reset() {
    std::lock_guard<std::mutex> guard(state_->controlMutex);
    state_->disconnect();
}

}  // namespace platform

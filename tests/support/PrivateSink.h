#pragma once
// A null sink of the test session's sound server that only this test plays
// into, and a recorder of its monitor, so a check of what reached the sound
// server can't be disturbed by other tests playing at the same time.
#include <pulse/simple.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

struct PrivateSink {
    std::string name;
    std::string moduleIndex;

    static bool soundServerAvailable() { return std::system("pactl info >/dev/null 2>&1") == 0; }

    PrivateSink() {
        name = "ondira_test_" + std::to_string(::getpid());
        std::string cmd = "pactl load-module module-null-sink sink_name=" + name + " rate=16000 2>/dev/null";
        if (FILE* p = ::popen(cmd.c_str(), "r")) {
            char buf[64] = {0};
            if (std::fgets(buf, sizeof buf, p)) moduleIndex = buf;
            ::pclose(p);
            while (!moduleIndex.empty() && (moduleIndex.back() == '\n' || moduleIndex.back() == ' ')) moduleIndex.pop_back();
        }
    }
    ~PrivateSink() {
        if (!moduleIndex.empty()) std::system(("pactl unload-module " + moduleIndex + " >/dev/null 2>&1").c_str());
    }
    bool ok() const { return !moduleIndex.empty(); }
};

// Records the monitor of a sink as 16 kHz mono signed 16-bit samples on a
// thread of its own; the stream is connected when the constructor returns.
struct MonitorRecorder {
    pa_simple* stream = nullptr;
    std::atomic<bool> stopping{false};
    std::mutex lock;
    std::vector<int16_t> samples;
    std::thread worker;

    explicit MonitorRecorder(const std::string& sink) {
        pa_sample_spec spec{PA_SAMPLE_S16LE, 16000, 1};
        pa_buffer_attr attr{static_cast<uint32_t>(-1), static_cast<uint32_t>(-1), static_cast<uint32_t>(-1),
                            static_cast<uint32_t>(-1), 640};
        std::string dev = sink + ".monitor";
        stream =
            pa_simple_new(nullptr, "ondira-tests", PA_STREAM_RECORD, dev.c_str(), "monitor", &spec, nullptr, &attr, nullptr);
        if (!stream) return;
        worker = std::thread([this] {
            int16_t chunk[320];
            while (!stopping) {
                if (pa_simple_read(stream, chunk, sizeof chunk, nullptr) < 0) break;
                std::lock_guard<std::mutex> g(lock);
                samples.insert(samples.end(), chunk, chunk + 320);
            }
        });
    }
    bool ok() const { return stream != nullptr; }
    // The sink renders in large blocks, so its monitor lags behind the
    // clock; waiting for a span of samples (not of time) is what is reliable.
    bool waitForSeconds(double seconds, double timeout = 15.0) {
        const size_t wanted = static_cast<size_t>(seconds * 16000);
        for (int i = 0; i < timeout * 50; ++i) {
            {
                std::lock_guard<std::mutex> g(lock);
                if (samples.size() >= wanted) return true;
            }
            ::usleep(20000);
        }
        return false;
    }
    // Stops recording and answers the peak absolute sample.
    int stopAndPeak() {
        stopping = true;
        if (worker.joinable()) worker.join();
        int peak = 0;
        for (int16_t s : samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
        return peak;
    }
    ~MonitorRecorder() {
        stopping = true;
        if (worker.joinable()) worker.join();
        if (stream) pa_simple_free(stream);
    }
};

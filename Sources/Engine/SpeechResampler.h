#pragma once
// Audio of any rate, channel layout and sample format converted to mono float
// at the recogniser's rate by FFmpeg's resampler. The microphone and the file
// roads both convert through it, so a take and a transcribed file are heard
// through the same filter.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

struct SwrContext;

class SpeechResampler {
public:
    // None with `error` when FFmpeg refuses the input.
    static std::unique_ptr<SpeechResampler> make(int inputRate, const AVChannelLayout& inputLayout,
                                                 AVSampleFormat inputFormat, int outputRate, std::string* error);
    ~SpeechResampler();
    SpeechResampler(const SpeechResampler&) = delete;
    SpeechResampler& operator=(const SpeechResampler&) = delete;

    // Converts `frames` input frames, laid out as FFmpeg lays out the input
    // format (one plane per channel for a planar format), and appends the
    // output to `out`. The filter keeps the input it still needs, so a stream
    // fed block by block is continuous. False with `error` when FFmpeg fails.
    bool convert(const std::uint8_t* const* planes, int frames, std::vector<float>& out, std::string* error);
    // Ends the stream: appends what the filter still holds. The resampler
    // may take a new stream afterwards.
    bool finish(std::vector<float>& out, std::string* error);

private:
    SpeechResampler() = default;
    SwrContext* context_ = nullptr;
};

#include "Engine/SpeechResampler.h"

#include <algorithm>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace {
std::string averror(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}
}  // namespace

std::unique_ptr<SpeechResampler> SpeechResampler::make(int inputRate, const AVChannelLayout& inputLayout,
                                                       AVSampleFormat inputFormat, int outputRate, std::string* error) {
    auto fail = [&](const std::string& why) -> std::unique_ptr<SpeechResampler> {
        if (error) *error = why;
        return nullptr;
    };
    if (inputRate <= 0 || outputRate <= 0 || inputLayout.nb_channels <= 0) return fail("unsupported audio format");
    auto resampler = std::unique_ptr<SpeechResampler>(new SpeechResampler());
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    // The input layout is only copied; this FFmpeg's signature lacks the const.
    int rc = swr_alloc_set_opts2(&resampler->context_, &mono, AV_SAMPLE_FMT_FLT, outputRate,
                                 const_cast<AVChannelLayout*>(&inputLayout), inputFormat, inputRate, 0, nullptr);
    if (rc < 0 || !resampler->context_) return fail("could not construct a resampler");
    // Channels are mixed down with weights that sum to one: two equal
    // channels give the same level as one, and never more than full scale.
    av_opt_set_double(resampler->context_, "rematrix_maxval", 1.0, 0);
    // The pass band ends at 90 % of the new Nyquist frequency (7.2 kHz at
    // 16 kHz), where the recogniser stops listening anyway; the stop band then
    // begins below 8.6 kHz, so hiss just above the speech band cannot fold back.
    av_opt_set_double(resampler->context_, "cutoff", 0.9, 0);
    rc = swr_init(resampler->context_);
    if (rc < 0) return fail(averror(rc));
    return resampler;
}

SpeechResampler::~SpeechResampler() { swr_free(&context_); }

bool SpeechResampler::convert(const std::uint8_t* const* planes, int frames, std::vector<float>& out, std::string* error) {
    // An upper bound of what this call can give; one slot more so that input
    // too short to give a frame still reaches the filter.
    const int capacity = std::max(swr_get_out_samples(context_, frames), 0) + 1;
    const std::size_t before = out.size();
    out.resize(before + static_cast<std::size_t>(capacity));
    auto* target = reinterpret_cast<std::uint8_t*>(out.data() + before);
    const int produced = swr_convert(context_, &target, capacity, const_cast<const std::uint8_t**>(planes), frames);
    if (produced < 0) {
        out.resize(before);
        if (error) *error = averror(produced);
        return false;
    }
    out.resize(before + static_cast<std::size_t>(produced));
    return true;
}

bool SpeechResampler::finish(std::vector<float>& out, std::string* error) {
    if (!convert(nullptr, 0, out, error)) return false;
    // Flushing leaves the filter empty but not at the start of a stream;
    // closing and opening it again makes it ready for the next one.
    swr_close(context_);
    const int rc = swr_init(context_);
    if (rc < 0) {
        if (error) *error = averror(rc);
        return false;
    }
    return true;
}

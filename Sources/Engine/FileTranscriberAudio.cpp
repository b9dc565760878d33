#include "Engine/FileTranscriberAudio.h"

#include "Engine/FileTranscriber.h"
#include "Engine/SpeechResampler.h"
#include "Platform/SystemLibrary.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstring>
#include <fstream>
#include <cmath>
#include <mutex>
#include <optional>
#include <type_traits>

namespace FileTranscriber {

namespace {

std::string averror(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

[[noreturn]] void fail(const std::string& detail) { throw TranscriptionFileError::unreadableAudio(detail); }

// FFmpeg's demuxers and decoders, opened the first time a file is read. The
// two libraries bring in every codec FFmpeg was built with, some forty
// libraries that neither the start-up nor a dictation needs; loading them
// with the program held up the hotkeys at every launch. The resampler and
// the utilities (libswresample, libavutil) stay linked: every take uses them.
struct Decoding {
    decltype(&::avformat_open_input) avformat_open_input = nullptr;
    decltype(&::avformat_find_stream_info) avformat_find_stream_info = nullptr;
    decltype(&::avformat_close_input) avformat_close_input = nullptr;
    decltype(&::av_find_best_stream) av_find_best_stream = nullptr;
    decltype(&::av_read_frame) av_read_frame = nullptr;
    decltype(&::avcodec_alloc_context3) avcodec_alloc_context3 = nullptr;
    decltype(&::avcodec_parameters_to_context) avcodec_parameters_to_context = nullptr;
    decltype(&::avcodec_open2) avcodec_open2 = nullptr;
    decltype(&::avcodec_free_context) avcodec_free_context = nullptr;
    decltype(&::avcodec_send_packet) avcodec_send_packet = nullptr;
    decltype(&::avcodec_receive_frame) avcodec_receive_frame = nullptr;
    decltype(&::av_packet_alloc) av_packet_alloc = nullptr;
    decltype(&::av_packet_free) av_packet_free = nullptr;
    decltype(&::av_packet_unref) av_packet_unref = nullptr;
};

// The libraries of the major versions the headers describe: the structures
// read here are laid out as those versions lay them out.
constexpr const char* formatLibrary = "libavformat.so." AV_STRINGIFY(LIBAVFORMAT_VERSION_MAJOR);
constexpr const char* codecLibrary = "libavcodec.so." AV_STRINGIFY(LIBAVCODEC_VERSION_MAJOR);

std::optional<Decoding> loadDecoding(std::string& error) {
    void* format = platform::system::openLibrary(formatLibrary, &error);
    void* codec = format ? platform::system::openLibrary(codecLibrary, &error) : nullptr;
    if (!codec) return std::nullopt;
    Decoding d;
    bool complete = true;
    auto bind = [&](void* library, const char* name, auto& function) {
        function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(
            platform::system::librarySymbol(library, name));
        if (!function && complete) {
            complete = false;
            error = std::string(name) + " is missing";
        }
    };
    bind(format, "avformat_open_input", d.avformat_open_input);
    bind(format, "avformat_find_stream_info", d.avformat_find_stream_info);
    bind(format, "avformat_close_input", d.avformat_close_input);
    bind(format, "av_find_best_stream", d.av_find_best_stream);
    bind(format, "av_read_frame", d.av_read_frame);
    bind(codec, "avcodec_alloc_context3", d.avcodec_alloc_context3);
    bind(codec, "avcodec_parameters_to_context", d.avcodec_parameters_to_context);
    bind(codec, "avcodec_open2", d.avcodec_open2);
    bind(codec, "avcodec_free_context", d.avcodec_free_context);
    bind(codec, "avcodec_send_packet", d.avcodec_send_packet);
    bind(codec, "avcodec_receive_frame", d.avcodec_receive_frame);
    bind(codec, "av_packet_alloc", d.av_packet_alloc);
    bind(codec, "av_packet_free", d.av_packet_free);
    bind(codec, "av_packet_unref", d.av_packet_unref);
    if (!complete) return std::nullopt;
    return d;
}

// Throws unreadableAudio, with the dynamic linker's reason, when FFmpeg is missing.
const Decoding& ff() {
    static std::string error;
    static const std::optional<Decoding> loaded = loadDecoding(error);
    if (!loaded) fail("FFmpeg's decoders could not be loaded: " + error);
    return *loaded;
}

void quietLibraries() {
    // Problems reach the user through our own errors; FFmpeg's console
    // chatter about damaged frames would only be noise on stderr.
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

struct FormatContext {
    AVFormatContext* ctx = nullptr;
    ~FormatContext() {
        if (ctx) ff().avformat_close_input(&ctx);
    }
};

void open(FormatContext& f, const std::filesystem::path& path) {
    int rc = ff().avformat_open_input(&f.ctx, path.c_str(), nullptr, nullptr);
    if (rc < 0) fail(averror(rc));
    rc = ff().avformat_find_stream_info(f.ctx, nullptr);
    if (rc < 0) fail(averror(rc));
}

// Frames (at the window rate) covered by the track's packets, for containers
// whose header gives only an estimate (an MP3 without a frame-count header).
std::int64_t countFramesByPackets(const std::filesystem::path& path, int streamIndex) {
    FormatContext f;
    open(f, path);
    AVStream* stream = f.ctx->streams[streamIndex];
    AVPacket* packet = ff().av_packet_alloc();
    std::int64_t first = AV_NOPTS_VALUE, last = AV_NOPTS_VALUE, summed = 0;
    while (ff().av_read_frame(f.ctx, packet) >= 0) {
        if (packet->stream_index == streamIndex) {
            summed += packet->duration;
            if (packet->pts != AV_NOPTS_VALUE) {
                if (first == AV_NOPTS_VALUE || packet->pts < first) first = packet->pts;
                last = std::max(last == AV_NOPTS_VALUE ? packet->pts : last, packet->pts + packet->duration);
            }
        }
        ff().av_packet_unref(packet);
    }
    ff().av_packet_free(&packet);
    std::int64_t span = (first != AV_NOPTS_VALUE && last != AV_NOPTS_VALUE) ? std::max(last - first, summed) : summed;
    return av_rescale_q(span, stream->time_base, AVRational{1, windowSampleRate});
}

// The length of a WAV file's audio as its header gives it (the data chunk's
// size at the stream's bit rate); none for another file, or a header written
// by a stream's writer that never came back to fill the size in. FFmpeg reads
// a WAV file only as far as it goes and takes that for its length, so a file
// cut short would otherwise pass for a whole one.
std::optional<double> wavDataSeconds(const std::filesystem::path& path, std::int64_t bitRate) {
    if (bitRate <= 0) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    char head[12];
    if (!in.read(head, sizeof head) || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0)
        return std::nullopt;
    // The chunks before the audio are few (format, facts, a list of tags).
    for (int chunk = 0; chunk < 64; ++chunk) {
        unsigned char header[8];
        if (!in.read(reinterpret_cast<char*>(header), sizeof header)) return std::nullopt;
        const std::uint32_t size = header[4] | header[5] << 8 | header[6] << 16 | static_cast<std::uint32_t>(header[7]) << 24;
        if (std::memcmp(header, "data", 4) == 0) {
            if (size == 0 || size == 0xFFFFFFFFu) return std::nullopt;
            return static_cast<double>(size) * 8.0 / static_cast<double>(bitRate);
        }
        in.seekg(static_cast<std::streamoff>(size) + (size & 1), std::ios::cur);
    }
    return std::nullopt;
}

}  // namespace

// Rates a recording really has. A header's rate outside them is a damaged or
// crafted file: at 1 Hz every input sample would become 16,000 output samples,
// and a 40 KB file would decode to hours of audio and gigabytes of memory.
constexpr int minimumSampleRate = 4000;
constexpr int maximumSampleRate = 384000;
// No real decoder hands out more samples per frame than this (FLAC's largest
// block is 65,535); a header asking for more is refused by the decoder rather
// than allocated.
constexpr std::int64_t maximumFrameSamples = 1 << 20;

void requirePlausibleRate(int rate) {
    if (rate < minimumSampleRate || rate > maximumSampleRate)
        fail("the sample rate of " + std::to_string(rate) + " Hz is outside 4-384 kHz");
}

struct AudioFileReader::Impl {
    FormatContext format;
    AVCodecContext* codec = nullptr;
    std::unique_ptr<SpeechResampler> resampler;
    int resamplerRate = 0;  // the input rate `resampler` was built for
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    int streamIndex = -1;
    std::vector<float> pending;
    std::size_t pendingPos = 0;
    bool inputDrained = false;  // every packet sent, decoder flushed
    bool finished = false;      // decoder and resampler both empty

    ~Impl() {
        av_frame_free(&frame);
        // Only what was made: a reader whose libraries failed to load has nothing to free.
        if (packet) ff().av_packet_free(&packet);
        if (codec) ff().avcodec_free_context(&codec);
    }

    void makeResampler(int rate, const AVChannelLayout& layout, AVSampleFormat sampleFormat) {
        requirePlausibleRate(rate);
        AVChannelLayout inLayout{};
        if (layout.nb_channels > 0 && layout.order != AV_CHANNEL_ORDER_UNSPEC) {
            av_channel_layout_copy(&inLayout, &layout);
        } else {
            av_channel_layout_default(&inLayout, std::max(1, layout.nb_channels));
        }
        std::string error;
        resampler = SpeechResampler::make(rate, inLayout, sampleFormat, windowSampleRate, &error);
        av_channel_layout_uninit(&inLayout);
        if (!resampler) fail(error);
        resamplerRate = rate;
    }

    // Replaces `pending` with the conversion of a decoded frame, or with what
    // the resampler still holds when `decoded` is none.
    void convert(const AVFrame* decoded) {
        pending.clear();
        pendingPos = 0;
        std::string error;
        if (decoded && decoded->sample_rate > 0 && decoded->sample_rate != resamplerRate) {
            // The rate changed within the stream (or the header's rate was
            // not the frames'): the frames are heard at their own rate, and
            // that rate must be as plausible as a header's.
            if (!resampler->finish(pending, &error)) fail(error);
            makeResampler(decoded->sample_rate, decoded->ch_layout, static_cast<AVSampleFormat>(decoded->format));
        }
        const bool ok = decoded ? resampler->convert(decoded->extended_data, decoded->nb_samples, pending, &error)
                                : resampler->finish(pending, &error);
        if (!ok) fail(error);
        // A float file may hold NaN or infinite samples (and the filter
        // spreads them to their neighbours); they carry no sound, and every
        // level computed over them would be NaN: they are heard as silence.
        for (float& sample : pending)
            if (!std::isfinite(sample)) sample = 0.0f;
    }

    // Fills `pending` with the next decoded stretch; false at the end of the track.
    bool decodeMore() {
        while (!finished) {
            int rc = ff().avcodec_receive_frame(codec, frame);
            if (rc == 0) {
                convert(frame);
                av_frame_unref(frame);
                if (!pending.empty()) return true;
                continue;
            }
            if (rc != AVERROR_EOF && rc != AVERROR(EAGAIN) && rc != AVERROR_INVALIDDATA) fail(averror(rc));
            if (rc == AVERROR_EOF || inputDrained) {
                // Drained (or a decoder with nothing more to give after its
                // last packet): what the resampler still holds ends the track.
                convert(nullptr);
                finished = true;
                return !pending.empty();
            }
            feedPacket();
        }
        return false;
    }

    void feedPacket() {
        while (true) {
            int rc = ff().av_read_frame(format.ctx, packet);
            if (rc < 0) {
                // The end of the file, or a damaged tail: decode what came before.
                ff().avcodec_send_packet(codec, nullptr);
                inputDrained = true;
                return;
            }
            if (packet->stream_index != streamIndex) {
                ff().av_packet_unref(packet);
                continue;
            }
            rc = ff().avcodec_send_packet(codec, packet);
            ff().av_packet_unref(packet);
            if (rc == 0 || rc == AVERROR_INVALIDDATA) return;  // a damaged packet is skipped
            if (rc == AVERROR(EAGAIN)) return;
            fail(averror(rc));
        }
    }
};

AudioFileReader::AudioFileReader(const std::filesystem::path& path) : impl_(std::make_unique<Impl>()) {
    quietLibraries();
    Impl& d = *impl_;
    open(d.format, path);
    const AVCodec* decoder = nullptr;
    d.streamIndex = ff().av_find_best_stream(d.format.ctx, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (d.streamIndex == AVERROR_STREAM_NOT_FOUND) fail("the file has no audio track");
    if (d.streamIndex < 0 || !decoder) fail(averror(d.streamIndex < 0 ? d.streamIndex : AVERROR_DECODER_NOT_FOUND));
    AVStream* stream = d.format.ctx->streams[d.streamIndex];

    d.codec = ff().avcodec_alloc_context3(decoder);
    if (!d.codec) fail("could not allocate a decoder");
    int rc = ff().avcodec_parameters_to_context(d.codec, stream->codecpar);
    if (rc < 0) fail(averror(rc));
    d.codec->max_samples = maximumFrameSamples;
    rc = ff().avcodec_open2(d.codec, decoder, nullptr);
    if (rc < 0) fail(averror(rc));
    if (d.codec->sample_rate <= 0) return;  // no frames to speak of: frameCount 0

    d.makeResampler(d.codec->sample_rate, d.codec->ch_layout, d.codec->sample_fmt);
    d.packet = ff().av_packet_alloc();
    d.frame = av_frame_alloc();
    if (!d.packet || !d.frame) fail("could not allocate a read buffer");

    const bool headerIsExact = d.format.ctx->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE;
    if (headerIsExact && stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
        frameCount_ = av_rescale_q(stream->duration, stream->time_base, AVRational{1, windowSampleRate});
    } else if (headerIsExact && d.format.ctx->duration != AV_NOPTS_VALUE && d.format.ctx->duration > 0) {
        frameCount_ = av_rescale(d.format.ctx->duration, windowSampleRate, AV_TIME_BASE);
    } else {
        frameCount_ = countFramesByPackets(path, d.streamIndex);
    }
    frameCount_ = std::max<std::int64_t>(frameCount_, 0);
    claimedSeconds_ = std::max(durationSeconds(), wavDataSeconds(path, stream->codecpar->bit_rate).value_or(0));
}

AudioFileReader::~AudioFileReader() = default;

double AudioFileReader::durationSeconds() const { return static_cast<double>(frameCount_) / windowSampleRate; }

std::size_t AudioFileReader::read(std::size_t count, std::vector<float>& out) {
    Impl& d = *impl_;
    if (!d.resampler) return 0;
    std::size_t done = 0;
    while (done < count) {
        if (d.pendingPos >= d.pending.size() && !d.decodeMore()) break;
        std::size_t take = std::min(count - done, d.pending.size() - d.pendingPos);
        out.insert(out.end(), d.pending.begin() + static_cast<std::ptrdiff_t>(d.pendingPos),
                   d.pending.begin() + static_cast<std::ptrdiff_t>(d.pendingPos + take));
        d.pendingPos += take;
        done += take;
    }
    framesRead_ += static_cast<std::int64_t>(done);
    return done;
}

bool AudioFileReader::atEnd() {
    Impl& d = *impl_;
    if (!d.resampler) return true;
    return d.pendingPos >= d.pending.size() && !d.decodeMore();
}

}  // namespace FileTranscriber

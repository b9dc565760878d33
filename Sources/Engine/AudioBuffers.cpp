#include "Engine/AudioBuffers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "Engine/SpeechResampler.h"
#include "Platform/FileIO.h"

namespace fs = std::filesystem;

std::shared_ptr<AudioPCMBuffer> AudioPCMBuffer::make(const AudioFormat& format, std::size_t frameCapacity) {
    if (format.channels <= 0 || format.sampleRate <= 0) return nullptr;
    auto buffer = std::shared_ptr<AudioPCMBuffer>(new AudioPCMBuffer());
    buffer->format_ = format;
    buffer->capacity_ = frameCapacity;
    buffer->data_.assign(static_cast<std::size_t>(format.channels), std::vector<float>(frameCapacity, 0.0f));
    return buffer;
}

std::shared_ptr<AudioPCMBuffer> AudioPCMBuffer::fromInterleaved(const AudioFormat& format, const float* samples,
                                                                std::size_t frames) {
    auto buffer = make(format, frames);
    if (!buffer) return nullptr;
    const auto channels = static_cast<std::size_t>(format.channels);
    for (std::size_t c = 0; c < channels; ++c) {
        float* out = buffer->data_[c].data();
        for (std::size_t i = 0; i < frames; ++i) out[i] = samples[i * channels + c];
    }
    buffer->length_ = frames;
    return buffer;
}

std::int16_t floatToInt16(float sample) {
    if (!(sample == sample)) return 0;  // NaN
    float scaled = std::clamp(sample, -1.0f, 1.0f) * 32767.0f;
    return static_cast<std::int16_t>(std::lround(scaled));
}

// ---- Converter ----

std::unique_ptr<AudioConverter> AudioConverter::make(const AudioFormat& input, const AudioFormat& output) {
    const auto whole = [](double rate) { return rate > 0 && rate == std::floor(rate) && rate <= 1e6; };
    if (!whole(input.sampleRate) || input.channels <= 0 || !whole(output.sampleRate) || output.channels != 1) return nullptr;
    auto converter = std::unique_ptr<AudioConverter>(new AudioConverter(input, output));
    AVChannelLayout layout{};
    av_channel_layout_default(&layout, input.channels);
    converter->resampler_ = SpeechResampler::make(static_cast<int>(input.sampleRate), layout, AV_SAMPLE_FMT_FLTP,
                                                  static_cast<int>(output.sampleRate), nullptr);
    av_channel_layout_uninit(&layout);
    if (!converter->resampler_) return nullptr;
    return converter;
}

AudioConverter::AudioConverter(const AudioFormat& input, const AudioFormat& output) : input_(input), output_(output) {}

AudioConverter::~AudioConverter() = default;

bool AudioConverter::convert(const AudioPCMBuffer& input, AudioPCMBuffer& output, std::string* error) {
    if (!(input.format() == input_)) {
        if (error) *error = "the buffer's format does not match the converter's input format";
        return false;
    }
    if (!(output.format() == output_)) {
        if (error) *error = "the output buffer is not in the converter's output format";
        return false;
    }
    std::vector<const std::uint8_t*> planes;
    for (int c = 0; c < input_.channels; ++c) planes.push_back(reinterpret_cast<const std::uint8_t*>(input.channelData(c)));
    if (!resampler_->convert(planes.data(), static_cast<int>(input.frameLength()), pending_, error)) return false;
    const std::size_t produced = std::min(output.frameCapacity(), pending_.size());
    std::copy_n(pending_.begin(), produced, output.channelData(0));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(produced));
    output.setFrameLength(produced);
    return true;
}

std::shared_ptr<AudioPCMBuffer> AudioConverter::finish(std::string* error) {
    if (!resampler_->finish(pending_, error)) return nullptr;
    auto rest = AudioPCMBuffer::fromInterleaved(output_, pending_.data(), pending_.size());
    pending_.clear();
    return rest;
}

// ---- WAV file ----

namespace {
void put16(unsigned char* p, std::uint16_t v) {
    p[0] = v & 0xff;
    p[1] = static_cast<unsigned char>(v >> 8);
}
void put32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>((v >> (8 * i)) & 0xff);
}
std::uint32_t get32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint16_t get16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

bool pwriteAll(int fd, const void* data, std::size_t size, off_t offset) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        ssize_t n = ::pwrite(fd, p, size, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}
// Fills `raw` from `offset` on; returns the bytes read (fewer at end of file).
std::size_t preadUpTo(int fd, std::vector<unsigned char>& raw, std::int64_t offset) {
    std::size_t got = 0;
    while (got < raw.size()) {
        ssize_t n =
            ::pread(fd, raw.data() + got, raw.size() - got, static_cast<off_t>(offset + static_cast<std::int64_t>(got)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}
}  // namespace

std::unique_ptr<AudioFile> AudioFile::createForWriting(const fs::path& path, const AudioFormat& format, std::string* error) {
    if (format.sampleRate <= 0 || format.channels != 1) {
        if (error) *error = "unsupported recording format";
        return nullptr;
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error) *error = std::strerror(errno);
        return nullptr;
    }
    auto file = std::unique_ptr<AudioFile>(new AudioFile());
    file->path_ = path;
    file->format_ = format;
    file->fd_ = fd;
    file->writing_ = true;
    unsigned char header[44];
    std::memcpy(header, "RIFF", 4);
    put32(header + 4, 36);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    put32(header + 16, 16);
    put16(header + 20, 1);  // linear PCM
    put16(header + 22, 1);
    const auto rate = static_cast<std::uint32_t>(format.sampleRate);
    put32(header + 24, rate);
    put32(header + 28, rate * 2);
    put16(header + 32, 2);
    put16(header + 34, 16);
    std::memcpy(header + 36, "data", 4);
    put32(header + 40, 0);
    if (!pwriteAll(fd, header, sizeof header, 0)) {
        if (error) *error = std::strerror(errno);
        ::close(fd);
        file->fd_ = -1;
        ::unlink(path.c_str());
        return nullptr;
    }
    return file;
}

bool AudioFile::write(const AudioPCMBuffer& buffer, std::string* error) {
    if (!writing_ || fd_ < 0) {
        if (error) *error = "the file is not open for writing";
        return false;
    }
    const float* data = buffer.channelData(0);
    const std::size_t frames = buffer.frameLength();
    std::vector<unsigned char> bytes(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) put16(bytes.data() + 2 * i, static_cast<std::uint16_t>(floatToInt16(data[i])));
    const off_t offset = static_cast<off_t>(dataOffset_ + frames_ * 2);
    if (!pwriteAll(fd_, bytes.data(), bytes.size(), offset)) {
        if (error) *error = std::strerror(errno);
        return false;
    }
    frames_ += static_cast<std::int64_t>(frames);
    unsigned char sizes[4];
    const auto dataBytes = static_cast<std::uint32_t>(frames_ * 2);
    put32(sizes, 36 + dataBytes);
    bool ok = pwriteAll(fd_, sizes, 4, 4);
    put32(sizes, dataBytes);
    ok = ok && pwriteAll(fd_, sizes, 4, 40);
    if (!ok && error) *error = std::strerror(errno);
    return ok;
}

AudioFile::~AudioFile() {
    if (fd_ >= 0) ::close(fd_);
}

std::unique_ptr<AudioFile> AudioFile::openForReading(const fs::path& path, std::string* error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    auto fail = [&](const std::string& why) -> std::unique_ptr<AudioFile> {
        if (error) *error = why;
        if (fd >= 0) ::close(fd);
        return nullptr;
    };
    if (fd < 0) return fail(std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0) return fail(std::strerror(errno));
    unsigned char head[12];
    if (::pread(fd, head, 12, 0) != 12 || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0)
        return fail("not a WAV file");
    off_t offset = 12;
    int channels = 0, bits = 0, formatTag = 0;
    std::uint32_t rate = 0;
    while (true) {
        unsigned char chunk[8];
        if (::pread(fd, chunk, 8, offset) != 8) return fail("no audio data in the file");
        std::uint32_t size = get32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            unsigned char fmt[40] = {};
            std::size_t want = std::min<std::uint32_t>(size, sizeof fmt);
            if (::pread(fd, fmt, want, offset + 8) != static_cast<ssize_t>(want) || want < 16)
                return fail("bad format chunk");
            formatTag = get16(fmt);
            channels = get16(fmt + 2);
            rate = get32(fmt + 4);
            bits = get16(fmt + 14);
            if (formatTag == 0xFFFE && want >= 26) formatTag = get16(fmt + 24);  // extensible: sub-format
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (channels <= 0) return fail("data before format");
            const bool isFloat = formatTag == 3 && bits == 32;
            const bool isPcm16 = formatTag == 1 && bits == 16;
            if (!isFloat && !isPcm16) return fail("unsupported sample format");
            auto file = std::unique_ptr<AudioFile>(new AudioFile());
            file->path_ = path;
            file->fd_ = fd;
            file->format_ = {static_cast<double>(rate), channels};
            file->bitsPerSample_ = bits;
            file->isFloat_ = isFloat;
            file->dataOffset_ = offset + 8;
            // A header whose size was never finished (a take cut short) or
            // that overstates the file: trust the bytes that are there.
            std::int64_t available = static_cast<std::int64_t>(st.st_size) - (offset + 8);
            std::int64_t bytes = size == 0 || size == 0xffffffffu ? available : std::min<std::int64_t>(size, available);
            file->frames_ = std::max<std::int64_t>(0, bytes / (bits / 8 * channels));
            return file;
        }
        offset += 8 + size + (size & 1);
    }
}

std::vector<float> AudioFile::readMonoFloat(std::string* error) const {
    std::vector<float> out;
    if (fd_ < 0 || writing_) {
        if (error) *error = "the file is not open for reading";
        return out;
    }
    const auto channels = static_cast<std::size_t>(format_.channels);
    const std::size_t bytesPerSample = static_cast<std::size_t>(bitsPerSample_ / 8);
    std::vector<unsigned char> raw(static_cast<std::size_t>(frames_) * channels * bytesPerSample);
    const std::size_t got = preadUpTo(fd_, raw, dataOffset_);
    const std::size_t frames = got / (channels * bytesPerSample);
    out.resize(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        float sum = 0;
        for (std::size_t c = 0; c < channels; ++c) {
            const unsigned char* p = raw.data() + (i * channels + c) * bytesPerSample;
            if (isFloat_) {
                float f;
                std::uint32_t bits = get32(p);
                std::memcpy(&f, &bits, 4);
                sum += f;
            } else {
                sum += static_cast<float>(static_cast<std::int16_t>(get16(p))) / 32767.0f;
            }
        }
        out[i] = sum / static_cast<float>(channels);
    }
    return out;
}

std::vector<std::int16_t> AudioFile::readMono16(std::string* error) const {
    std::vector<std::int16_t> out;
    if (!isFloat_ && format_.channels == 1 && fd_ >= 0 && !writing_) {
        std::vector<unsigned char> raw(static_cast<std::size_t>(frames_) * 2);
        const std::size_t got = preadUpTo(fd_, raw, dataOffset_);
        out.resize(got / 2);
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::int16_t>(get16(raw.data() + 2 * i));
        return out;
    }
    auto floats = readMonoFloat(error);
    out.reserve(floats.size());
    for (float f : floats) out.push_back(floatToInt16(f));
    return out;
}

double audioFileDuration(const fs::path& path) {
    auto file = AudioFile::openForReading(path, nullptr);
    if (!file || file->fileFormat().sampleRate <= 0) return 0.0;
    return static_cast<double>(file->length()) / file->fileFormat().sampleRate;
}

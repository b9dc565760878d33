#pragma once
// PCM buffers, the float-to-16 kHz converter and the WAV recording file that
// capture and recognition share.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct AudioFormat {
    double sampleRate = 0;
    int channels = 0;
    bool operator==(const AudioFormat&) const = default;
};

// Non-interleaved 32-bit float frames; one vector per channel.
class AudioPCMBuffer {
public:
    static std::shared_ptr<AudioPCMBuffer> make(const AudioFormat& format, std::size_t frameCapacity);
    static std::shared_ptr<AudioPCMBuffer> fromInterleaved(const AudioFormat& format, const float* samples,
                                                           std::size_t frames);

    const AudioFormat& format() const { return format_; }
    std::size_t frameCapacity() const { return capacity_; }
    std::size_t frameLength() const { return length_; }
    void setFrameLength(std::size_t frames) { length_ = frames < capacity_ ? frames : capacity_; }
    float* channelData(int channel) {
        return channel < static_cast<int>(data_.size()) ? data_[static_cast<std::size_t>(channel)].data() : nullptr;
    }
    const float* channelData(int channel) const {
        return channel < static_cast<int>(data_.size()) ? data_[static_cast<std::size_t>(channel)].data() : nullptr;
    }

private:
    AudioFormat format_;
    std::size_t capacity_ = 0;
    std::size_t length_ = 0;
    std::vector<std::vector<float>> data_;
};

// The one rounding from float samples to the 16-bit samples of a recording;
// the recogniser quantises live audio the same way so that it hears exactly
// what the file holds.
std::int16_t floatToInt16(float sample);

class SpeechResampler;

// Converts any input format to 16 kHz mono float through FFmpeg's resampler.
// It keeps the filter's state between buffers, so a take converted block by
// block is continuous; `finish` gives out what is still held at its end.
class AudioConverter {
public:
    static std::unique_ptr<AudioConverter> make(const AudioFormat& input, const AudioFormat& output);
    ~AudioConverter();
    // Converts `input` into `output` (up to its capacity; frames beyond it
    // come out with the next buffer). False with `error` when the buffer does
    // not match the converter's input format or the resampler fails.
    bool convert(const AudioPCMBuffer& input, AudioPCMBuffer& output, std::string* error);
    // The end of the stream: everything the converter still holds, in one
    // buffer of the output format (0 frames when nothing is left); none with
    // `error` when the resampler fails. The converter may start a new stream.
    std::shared_ptr<AudioPCMBuffer> finish(std::string* error);
    const AudioFormat& inputFormat() const { return input_; }

private:
    AudioConverter(const AudioFormat& input, const AudioFormat& output);
    AudioFormat input_;
    AudioFormat output_;
    std::unique_ptr<SpeechResampler> resampler_;
    std::vector<float> pending_;  // converted frames the last output buffer had no room for
};

// A WAV file: written as 16-bit little-endian PCM, read as 16-bit PCM or
// 32-bit float in any rate and channel count.
class AudioFile {
public:
    // Creates the file exclusively with mode 0600; none with `error` on failure.
    static std::unique_ptr<AudioFile> createForWriting(const std::filesystem::path& path, const AudioFormat& format,
                                                       std::string* error);
    static std::unique_ptr<AudioFile> openForReading(const std::filesystem::path& path, std::string* error);
    ~AudioFile();
    AudioFile(const AudioFile&) = delete;
    AudioFile& operator=(const AudioFile&) = delete;

    const std::filesystem::path& path() const { return path_; }
    const AudioFormat& fileFormat() const { return format_; }
    // Frames in the file.
    std::int64_t length() const { return frames_; }
    // Appends the buffer (its first channel) as 16-bit samples and keeps the
    // header's sizes current, so the file is valid after every write.
    bool write(const AudioPCMBuffer& buffer, std::string* error);
    // All samples of a file opened for reading, mixed to mono 16-bit.
    std::vector<std::int16_t> readMono16(std::string* error) const;
    // All samples as mono float in the file's own rate.
    std::vector<float> readMonoFloat(std::string* error) const;

private:
    AudioFile() = default;
    std::filesystem::path path_;
    AudioFormat format_;
    int fd_ = -1;
    bool writing_ = false;
    int bitsPerSample_ = 16;
    bool isFloat_ = false;
    std::int64_t dataOffset_ = 44;
    std::int64_t frames_ = 0;
};

// Seconds of audio in a file: frames divided by its rate; 0 when the file
// cannot be read or its rate is not positive.
double audioFileDuration(const std::filesystem::path& path);

#pragma once
// Streams the audio track of any file FFmpeg can open as 16 kHz mono float,
// front to back, so a file of any length is never held in memory whole.
// Sample rates outside 4-384 kHz are refused, whether the header or a frame
// claims them.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

namespace FileTranscriber {

class AudioFileReader {
public:
    // Opens the file and its first audio track. Throws
    // TranscriptionFileError::unreadableAudio with FFmpeg's reason.
    explicit AudioFileReader(const std::filesystem::path& path);
    ~AudioFileReader();
    AudioFileReader(const AudioFileReader&) = delete;
    AudioFileReader& operator=(const AudioFileReader&) = delete;

    // The track's length in 16 kHz frames, from the container when it knows
    // it exactly, else by walking the packets once (no decoding). 0 when the
    // track holds nothing. Only what the header claims: a damaged or crafted
    // file may hold far less, so it serves as an estimate for progress, never
    // to size work; what read() really hands out is the length.
    std::int64_t frameCount() const { return frameCount_; }
    double durationSeconds() const;
    // The length the file's header gives, which is more than
    // durationSeconds() for a WAV file cut short: FFmpeg takes such a file's
    // length from what is there.
    double claimedSeconds() const { return claimedSeconds_; }

    // Appends up to `count` frames to `out`; fewer only at the end of the
    // track. Throws TranscriptionFileError::unreadableAudio when the track
    // can't be read any further.
    std::size_t read(std::size_t count, std::vector<float>& out);
    // True when read() has nothing more to give.
    bool atEnd();
    // The frames read() has handed out so far.
    std::int64_t framesRead() const { return framesRead_; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::int64_t frameCount_ = 0;
    std::int64_t framesRead_ = 0;
    double claimedSeconds_ = 0;
};

}  // namespace FileTranscriber

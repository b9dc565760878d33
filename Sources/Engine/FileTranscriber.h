#pragma once
#include "Platform/LinuxNames.h"
// On-device transcription of an existing audio or video file of any length.
// The file's audio is decoded window by window (16 kHz mono), each window is
// recognised on its own, and the windows' segments are joined while the words
// their overlaps repeat are dropped. Only a bounded number of windows is ever
// in memory, however long the file.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace FileTranscriber {

enum class Format { wav, aif, aiff, caf, m4a, mp3, aac, flac, mp4, mov, m4v };

const std::vector<Format>& allFormats();
std::string rawValue(Format format);
std::optional<Format> formatFromRawValue(const std::string& raw);
bool isVideoContainer(Format format);

struct Segment {
    std::string text;
    double startSeconds = 0;
    double endSeconds = 0;
    bool operator==(const Segment&) const = default;
};

struct ChunkWindow {
    double startSeconds = 0;
    double endSeconds = 0;
    bool operator==(const ChunkWindow&) const = default;
};
// "ChunkWindow(startSeconds: 0.0, endSeconds: 240.0)"
std::string describe(const ChunkWindow& window);

struct Progress {
    int chunksCompleted = 0;
    int totalChunks = 0;
    double secondsProcessed = 0;
    double totalSeconds = 0;
    double fractionComplete() const;
};

// Shared between the caller and the transcription; any thread may use it.
class CancellationToken {
public:
    void cancel();
    bool isCancelled() const;

private:
    mutable std::mutex lock_;
    bool cancelled_ = false;
};

// Stored with each file transcription; names the recogniser that really ran.
inline constexpr const char* engineIdentifier = LinuxNames::engineFileDecoder;

struct FileTranscriptionResult {
    std::vector<Segment> segments;
    std::string fullText;
    std::filesystem::path sourceURL;
    double audioSeconds = 0;
    // The length the file's header gives. A file cut short (a copy or a
    // download that stopped) holds less audio than that.
    double claimedSeconds = 0;
    std::string engineIdentifier = FileTranscriber::engineIdentifier;
    // True when the audio read falls short of the claimed length by more
    // than decoding and resampling round off.
    bool endsEarly() const;
    // What the user is told of a result that endsEarly(): "only 3.0 s of the
    // 10.0 s its header gives could be read; the transcript covers those".
    std::string shortfall() const;
};

inline constexpr double defaultChunkSeconds = 240.0;
inline constexpr double defaultOverlapSeconds = 2.0;
inline constexpr double defaultOverlapToleranceSeconds = 5.0;

// Every failure of a file transcription.
class TranscriptionFileError : public std::exception {
public:
    enum class Kind {
        unsupportedFormat,
        unreadableAudio,
        onDeviceUnavailable,
        unsupportedLocale,
        chunkTranscriptionFailed,
        fileNotFound,
        notAFile,
        // A named pipe, device or socket: nothing with a length to transcribe.
        notRegularFile,
        emptyFile,
        engineUnavailable,
        notAuthorized,
        cancelled,
        emptyTranscript,
        // Window length and overlap the transcription can't work with.
        invalidWindow,
    };

    static TranscriptionFileError unsupportedFormat(std::string extension) {
        return {Kind::unsupportedFormat, std::move(extension)};
    }
    static TranscriptionFileError unreadableAudio(std::string detail) { return {Kind::unreadableAudio, std::move(detail)}; }
    static TranscriptionFileError onDeviceUnavailable(std::string localeIdentifier) {
        return {Kind::onDeviceUnavailable, std::move(localeIdentifier)};
    }
    static TranscriptionFileError unsupportedLocale(std::string localeIdentifier) {
        return {Kind::unsupportedLocale, std::move(localeIdentifier)};
    }
    static TranscriptionFileError chunkTranscriptionFailed(std::string detail) {
        return {Kind::chunkTranscriptionFailed, std::move(detail)};
    }
    static TranscriptionFileError invalidWindow(std::string detail) { return {Kind::invalidWindow, std::move(detail)}; }
    // `what` names the kind of file ("named pipe (FIFO)").
    static TranscriptionFileError notRegularFile(std::string what) { return {Kind::notRegularFile, std::move(what)}; }
    static TranscriptionFileError of(Kind kind) { return {kind, {}}; }

    Kind kind() const { return kind_; }
    // The extension, detail or locale identifier the case carries.
    const std::string& payload() const { return payload_; }

    std::string errorDescription() const;  // shown to the user
    std::string diagnosticDetail() const;  // for the logs
    // The case as written in messages: fileNotFound, unsupportedFormat(extension: "xyz").
    std::string caseDescription() const;
    const char* what() const noexcept override;

    bool operator==(const TranscriptionFileError& other) const { return kind_ == other.kind_ && payload_ == other.payload_; }

private:
    TranscriptionFileError(Kind kind, std::string payload);
    Kind kind_;
    std::string payload_;
    std::string what_;
};

// Recognises one window of audio. One instance serves one thread at a time;
// a transcription makes one per worker.
class WindowRecognizer {
public:
    virtual ~WindowRecognizer() = default;
    // `samples` are 16 kHz mono in [-1, 1]; segment times are seconds from the
    // first sample. Throws TranscriptionFileError (chunkTranscriptionFailed).
    virtual std::vector<Segment> recognize(const std::vector<float>& samples) = 0;
};

using RecognizerFactory = std::function<std::unique_ptr<WindowRecognizer>()>;

// How windows get recognised.
struct Engine {
    // Checks that the language can be recognised on this machine and returns
    // the maker of per-worker recognisers. Throws engineUnavailable or
    // onDeviceUnavailable.
    std::function<RecognizerFactory(const std::string& localeIdentifier, const std::vector<std::string>& contextTerms)>
        prepare;
    // Windows recognised at the same time; 0 means one per processor core.
    unsigned parallelWindows = 0;
    // How long one window may take before the transcription gives up on it.
    std::function<double(double windowSeconds)> timeoutForWindow;
};

// The window time-out: four times the window's length, within 30...600 s.
double recognitionTimeout(double windowSeconds);

// The sample rate every window is decoded to.
inline constexpr int windowSampleRate = 16000;

// A window is recognised as the stretches between its pauses, each on its
// own: [begin, end) sample ranges that cover the window without gaps, cut in
// the middle of pauses of at least `minPauseSeconds` and never longer than
// `maxUtteranceSeconds`. The cuts depend on nothing but the samples.
inline constexpr double minPauseSeconds = 0.3;
inline constexpr double maxUtteranceSeconds = 30.0;
std::vector<std::pair<std::size_t, std::size_t>> utteranceSpans(const std::vector<float>& samples);

using ProgressHandler = std::function<void(const Progress&)>;

// Transcribes the file. `onProgress` may be called from any thread. Throws
// TranscriptionFileError only. `engine` defaults to the on-device recogniser.
FileTranscriptionResult transcribeFile(const std::filesystem::path& url, const std::vector<std::string>& contextTerms,
                                       const std::string& localeIdentifier, double chunkSeconds, double overlapSeconds,
                                       const std::shared_ptr<CancellationToken>& cancellation,
                                       const ProgressHandler& onProgress, const Engine& engine);
FileTranscriptionResult transcribeFile(const std::filesystem::path& url, const std::vector<std::string>& contextTerms,
                                       const std::string& localeIdentifier, double chunkSeconds, double overlapSeconds,
                                       const std::shared_ptr<CancellationToken>& cancellation,
                                       const ProgressHandler& onProgress);

// The recognition language of the session (LC_ALL, LC_MESSAGES, LANG), in the
// program's form ("en_US"); "en_US" when the session names none.
std::string currentLocaleIdentifier();

std::optional<Format> recognizedFormat(const std::filesystem::path& url);
std::variant<Format, TranscriptionFileError> validateFormat(const std::filesystem::path& url);

std::vector<ChunkWindow> planChunks(double totalSeconds, double chunkSeconds, double overlapSeconds);
std::vector<Segment> mergeChunkSegments(const std::vector<std::vector<Segment>>& chunks, double overlapToleranceSeconds);

// Transcript renderings.
std::string formatTimestamp(double seconds, const std::string& separator);
std::string srtTimestamp(double seconds);
std::string vttTimestamp(double seconds);
std::string formatSRT(const std::vector<Segment>& segments);
std::string formatVTT(const std::vector<Segment>& segments);
// Where a transcript goes, checked (and a pipe or device opened) when it is
// made, so a destination that can't take the transcript is refused before any
// work is done. A regular file (or one a symlink names) is replaced atomically
// and keeps its mode; a new path gets 0644; a character device or FIFO (a
// terminal, /dev/null, /dev/stdout, a pipe) is written straight to. Refused
// with std::system_error: a read-only file, a pipe nobody reads, a missing or
// unwritable folder, anything else.
class TranscriptDestination {
public:
    explicit TranscriptDestination(const std::filesystem::path& url);
    ~TranscriptDestination();
    TranscriptDestination(const TranscriptDestination&) = delete;
    TranscriptDestination& operator=(const TranscriptDestination&) = delete;
    // Writes the text as UTF-8; throws std::system_error on failure.
    void write(const std::string& text);

private:
    std::filesystem::path url_;
    std::filesystem::path target_;
    unsigned mode_ = 0644;
    int fd_ = -1;
};

// TranscriptDestination(url).write(text).
void writeTranscript(const std::string& text, const std::filesystem::path& url);

}  // namespace FileTranscriber

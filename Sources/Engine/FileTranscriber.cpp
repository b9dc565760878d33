#include "Engine/FileTranscriber.h"

#include "Engine/FileTranscriberAudio.h"
#include "Engine/SphinxDecoderSetup.h"
#include "Engine/TranscriptionTypes.h"
#include "Platform/LinuxNames.h"
#include "Platform/Unicode.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <limits>
#include <map>
#include <thread>

namespace fs = std::filesystem;

namespace FileTranscriber {

// ---------------------------------------------------------------------------
// Formats

const std::vector<Format>& allFormats() {
    static const std::vector<Format> all = {Format::wav, Format::aif,  Format::aiff, Format::caf, Format::m4a, Format::mp3,
                                            Format::aac, Format::flac, Format::mp4,  Format::mov, Format::m4v};
    return all;
}

std::string rawValue(Format format) {
    switch (format) {
        case Format::wav: return "wav";
        case Format::aif: return "aif";
        case Format::aiff: return "aiff";
        case Format::caf: return "caf";
        case Format::m4a: return "m4a";
        case Format::mp3: return "mp3";
        case Format::aac: return "aac";
        case Format::flac: return "flac";
        case Format::mp4: return "mp4";
        case Format::mov: return "mov";
        case Format::m4v: return "m4v";
    }
    return {};
}

std::optional<Format> formatFromRawValue(const std::string& raw) {
    for (Format f : allFormats())
        if (rawValue(f) == raw) return f;
    return std::nullopt;
}

bool isVideoContainer(Format format) { return format == Format::mp4 || format == Format::mov || format == Format::m4v; }

namespace {
// The path extension as written, without the dot ("" when the name has none).
std::string pathExtension(const fs::path& url) {
    std::string ext = url.filename().extension().string();
    if (!ext.empty() && ext.front() == '.') ext.erase(0, 1);
    return ext;
}
}  // namespace

std::optional<Format> recognizedFormat(const fs::path& url) {
    return formatFromRawValue(platform::text::lowercased(pathExtension(url)));
}

std::variant<Format, TranscriptionFileError> validateFormat(const fs::path& url) {
    if (auto format = recognizedFormat(url)) return *format;
    return TranscriptionFileError::unsupportedFormat(pathExtension(url));
}

std::string describe(const ChunkWindow& window) {
    return "ChunkWindow(startSeconds: " + platform::text::formatDouble(window.startSeconds) +
           ", endSeconds: " + platform::text::formatDouble(window.endSeconds) + ")";
}

// ---------------------------------------------------------------------------
// Progress and cancellation

double Progress::fractionComplete() const {
    double fraction = 0;
    if (totalSeconds > 0) fraction = secondsProcessed / totalSeconds;
    else if (totalChunks >= 1) fraction = static_cast<double>(chunksCompleted) / totalChunks;
    if (std::isnan(fraction)) return 0;
    return std::clamp(fraction, 0.0, 1.0);
}

void CancellationToken::cancel() {
    std::lock_guard<std::mutex> guard(lock_);
    cancelled_ = true;
}

bool CancellationToken::isCancelled() const {
    std::lock_guard<std::mutex> guard(lock_);
    return cancelled_;
}

// ---------------------------------------------------------------------------
// Errors

namespace {

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

}  // namespace

TranscriptionFileError::TranscriptionFileError(Kind kind, std::string payload) : kind_(kind), payload_(std::move(payload)) {
    what_ = diagnosticDetail();
}

const char* TranscriptionFileError::what() const noexcept { return what_.c_str(); }

std::string TranscriptionFileError::errorDescription() const {
    switch (kind_) {
        case Kind::unsupportedFormat:
            return "Ondira can't transcribe " + (payload_.empty() ? std::string("unknown") : "." + payload_) +
                   " files. Try a WAV, AIFF, CAF, M4A, MP3, AAC, FLAC, MP4, MOV, or M4V file.";
        case Kind::unreadableAudio:
            return "Ondira couldn't read that file as audio. It may be corrupted or in an unsupported encoding.";
        case Kind::onDeviceUnavailable:
            return "On-device transcription isn't available for " + TranscriptionError::languageName(payload_) + ". " +
                   "Ondira never sends audio to the internet, so it stopped instead. " +
                   LinuxNames::addDictationLanguageSentence;
        case Kind::unsupportedLocale:
            return "Transcription isn't supported for " + TranscriptionError::languageName(payload_) + " on " +
                   LinuxNames::thisComputer + ".";
        case Kind::chunkTranscriptionFailed: return "Transcription failed partway through. Please try again.";
        case Kind::fileNotFound: return "That file couldn't be found.";
        case Kind::notAFile: return "That's a folder, not a file. Choose an audio or video file.";
        case Kind::notRegularFile:
            return "That's a " + payload_ + ", not a regular file. Choose an audio or video file.";
        case Kind::emptyFile: return "That file is empty \u2014 there's nothing to transcribe.";
        case Kind::engineUnavailable: return "Speech recognition isn't available right now. Try again in a moment.";
        case Kind::notAuthorized:
            return std::string("Ondira needs permission to use speech recognition. Allow it under ") +
                   LinuxNames::speechRecognitionPrivacyPane + ".";
        case Kind::cancelled: return "Transcription was cancelled.";
        case Kind::emptyTranscript: return "No speech was detected in that file.";
        case Kind::invalidWindow: return "Transcription couldn't start: the window settings are invalid.";
    }
    return {};
}

std::string TranscriptionFileError::diagnosticDetail() const {
    switch (kind_) {
        case Kind::unsupportedFormat: return "unsupportedFormat: " + payload_;
        case Kind::unreadableAudio: return "unreadableAudio: " + payload_;
        case Kind::onDeviceUnavailable: return "onDeviceUnavailable: " + payload_;
        case Kind::unsupportedLocale: return "unsupportedLocale: " + payload_;
        case Kind::chunkTranscriptionFailed: return "chunkTranscriptionFailed: " + payload_;
        case Kind::fileNotFound: return "fileNotFound";
        case Kind::notAFile: return "notAFile";
        case Kind::notRegularFile: return "notRegularFile: " + payload_;
        case Kind::emptyFile: return "emptyFile";
        case Kind::engineUnavailable: return "engineUnavailable";
        case Kind::notAuthorized: return "notAuthorized";
        case Kind::cancelled: return "cancelled";
        case Kind::emptyTranscript: return "emptyTranscript";
        case Kind::invalidWindow: return "invalidWindow: " + payload_;
    }
    return {};
}

std::string TranscriptionFileError::caseDescription() const {
    switch (kind_) {
        case Kind::unsupportedFormat: return "unsupportedFormat(extension: " + quoted(payload_) + ")";
        case Kind::unreadableAudio: return "unreadableAudio(" + quoted(payload_) + ")";
        case Kind::onDeviceUnavailable: return "onDeviceUnavailable(localeIdentifier: " + quoted(payload_) + ")";
        case Kind::unsupportedLocale: return "unsupportedLocale(localeIdentifier: " + quoted(payload_) + ")";
        case Kind::chunkTranscriptionFailed: return "chunkTranscriptionFailed(" + quoted(payload_) + ")";
        case Kind::invalidWindow: return "invalidWindow(" + quoted(payload_) + ")";
        case Kind::notRegularFile: return "notRegularFile(" + quoted(payload_) + ")";
        default: return diagnosticDetail();
    }
}

// ---------------------------------------------------------------------------
// Windows and merging

std::vector<ChunkWindow> planChunks(double total, double chunk, double overlap) {
    if (!(total > 0)) return {ChunkWindow{0, std::max(0.0, std::isnan(total) ? 0.0 : total)}};
    const double step = chunk - overlap;
    if (chunk > 0 && chunk < total && step > 0 && !std::isnan(overlap)) {
        std::vector<ChunkWindow> windows;
        double start = 0;
        while (true) {
            double end = std::min(start + chunk, total);
            windows.push_back({start, end});
            if (end >= total) break;
            start += step;
        }
        return windows;
    }
    return {ChunkWindow{0, total}};
}

namespace {
std::string normalizedText(const std::string& text) {
    std::u32string s = platform::text::toUTF32(platform::text::trimmed(platform::text::lowercased(text)));
    std::size_t b = 0, e = s.size();
    while (b < e && u_ispunct(static_cast<UChar32>(s[b]))) ++b;
    while (e > b && u_ispunct(static_cast<UChar32>(s[e - 1]))) --e;
    return platform::text::fromUTF32(s.substr(b, e - b));
}
}  // namespace

std::vector<Segment> mergeChunkSegments(const std::vector<std::vector<Segment>>& chunks, double tolerance) {
    std::vector<Segment> merged;
    for (const auto& chunk : chunks) {
        if (merged.empty()) {
            merged.insert(merged.end(), chunk.begin(), chunk.end());
            continue;
        }
        const double lastEnd = merged.back().endSeconds;
        std::vector<std::string> tail;
        for (const auto& s : merged)
            if (s.startSeconds >= lastEnd - tolerance) tail.push_back(normalizedText(s.text));
        for (const auto& segment : chunk) {
            if (segment.startSeconds >= lastEnd) {
                merged.push_back(segment);
                continue;
            }
            const std::string norm = normalizedText(segment.text);
            if (std::find(tail.begin(), tail.end(), norm) == tail.end()) merged.push_back(segment);
        }
    }
    return merged;
}

double recognitionTimeout(double windowSeconds) { return std::clamp(windowSeconds * 4, 30.0, 600.0); }

std::string currentLocaleIdentifier() { return SphinxModels::systemLocaleIdentifier(); }

// ---------------------------------------------------------------------------
// Utterances

std::vector<std::pair<std::size_t, std::size_t>> utteranceSpans(const std::vector<float>& samples) {
    constexpr std::size_t frame = windowSampleRate / 100;  // 10 ms
    const std::size_t maxSamples = static_cast<std::size_t>(maxUtteranceSeconds * windowSampleRate);
    const std::size_t frames = (samples.size() + frame - 1) / frame;
    if (frames == 0) return {};

    std::vector<double> level(frames);
    for (std::size_t f = 0; f < frames; ++f) {
        const std::size_t b = f * frame, e = std::min(samples.size(), b + frame);
        double sum = 0;
        for (std::size_t i = b; i < e; ++i)
            if (std::isfinite(samples[i])) sum += static_cast<double>(samples[i]) * samples[i];
        level[f] = 10 * std::log10(sum / static_cast<double>(e - b) + 1e-12);
    }
    // Quiet means well below the window's loud parts, judged against its own
    // floor, so the same recording cuts the same way at any volume.
    std::vector<double> sorted = level;
    std::sort(sorted.begin(), sorted.end());
    const double floor = sorted[sorted.size() / 10];
    const double loud = sorted[sorted.size() * 95 / 100];
    std::vector<std::size_t> cuts;  // sample positions
    if (loud - floor >= 10) {
        const double threshold = floor + (loud - floor) * 0.25;
        const auto minPause = static_cast<std::size_t>(minPauseSeconds * 100);
        for (std::size_t f = 0; f < frames;) {
            if (level[f] >= threshold) {
                ++f;
                continue;
            }
            std::size_t end = f;
            while (end < frames && level[end] < threshold) ++end;
            if (end - f >= minPause && f > 0 && end < frames) cuts.push_back((f + end) / 2 * frame);
            f = end;
        }
    }
    cuts.push_back(samples.size());

    std::vector<std::pair<std::size_t, std::size_t>> spans;
    std::size_t start = 0;
    for (std::size_t cut : cuts) {
        // A stretch without a pause long enough is cut at its quietest frame
        // in the second half of the allowed length.
        while (cut - start > maxSamples) {
            std::size_t best = start + maxSamples;
            double bestLevel = std::numeric_limits<double>::infinity();
            for (std::size_t f = (start + maxSamples / 2) / frame; f < (start + maxSamples) / frame; ++f)
                if (level[f] < bestLevel) {
                    bestLevel = level[f];
                    best = f * frame;
                }
            spans.emplace_back(start, best);
            start = best;
        }
        if (cut > start) spans.emplace_back(start, cut);
        start = cut;
    }
    return spans;
}

// ---------------------------------------------------------------------------
// Transcription

namespace {

using Clock = std::chrono::steady_clock;

// Window lengths the decoder can hold: a frame count must fit 32 bits, and
// the overlap must leave a forward step, or the plan would fall back to one
// window over the whole file and load all of it.
void validateWindow(double chunkSeconds, double overlapSeconds) {
    using platform::text::formatDouble;
    const std::string values =
        "chunkSeconds " + formatDouble(chunkSeconds) + ", overlapSeconds " + formatDouble(overlapSeconds);
    if (!std::isfinite(chunkSeconds) || chunkSeconds <= 0)
        throw TranscriptionFileError::invalidWindow("the window must be a positive length (" + values + ")");
    if (!std::isfinite(overlapSeconds) || overlapSeconds < 0)
        throw TranscriptionFileError::invalidWindow("the overlap must be zero or more (" + values + ")");
    if (overlapSeconds >= chunkSeconds)
        throw TranscriptionFileError::invalidWindow("the overlap must be shorter than the window (" + values + ")");
    if (chunkSeconds * windowSampleRate > static_cast<double>(std::numeric_limits<std::uint32_t>::max()))
        throw TranscriptionFileError::invalidWindow("the window's frame count does not fit 32 bits (" + values + ")");
}

std::int64_t frameAt(double seconds) { return static_cast<std::int64_t>(seconds * windowSampleRate); }

// One stretch of a window to recognise; its segments are moved onto the
// file's time line by `offsetSeconds`.
struct Job {
    std::size_t id = 0;
    double offsetSeconds = 0;
    std::vector<float> samples;
};

struct Outcome {
    std::vector<Segment> segments;
    std::optional<TranscriptionFileError> error;
};

// What the transcribing thread shares with its recognition workers. Workers
// own a reference, so a transcription that gives up early (error, time-out,
// cancellation) can leave a window that is still being recognised to finish
// on its own.
struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Job> jobs;
    std::map<std::size_t, Outcome> outcomes;
    std::map<std::size_t, Clock::time_point> started;
    bool closed = false;
    bool abandoned = false;
    RecognizerFactory makeRecognizer;
    std::shared_ptr<CancellationToken> token;
};

TranscriptionFileError asFileError(const std::exception& e) {
    if (auto* fileError = dynamic_cast<const TranscriptionFileError*>(&e)) return *fileError;
    return TranscriptionFileError::chunkTranscriptionFailed(e.what());
}

void workerLoop(const std::shared_ptr<Shared>& shared) {
    // The recogniser (a whole decoder with its models) is made when the worker
    // first has something to do, so a short file loads no more of them than
    // it keeps busy.
    std::unique_ptr<WindowRecognizer> recognizer;
    std::optional<TranscriptionFileError> setupError;
    auto setUp = [&] {
        if (recognizer || setupError) return;
        try {
            recognizer = shared->makeRecognizer();
            if (!recognizer) setupError = TranscriptionFileError::of(TranscriptionFileError::Kind::engineUnavailable);
        } catch (const std::exception& e) {
            setupError = asFileError(e);
        }
    };
    while (true) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(shared->mutex);
            shared->changed.wait(lock, [&] { return shared->abandoned || shared->closed || !shared->jobs.empty(); });
            if (shared->abandoned || shared->jobs.empty()) return;
            job = std::move(shared->jobs.front());
            shared->jobs.pop_front();
            shared->started[job.id] = Clock::now();
        }
        Outcome outcome;
        if (!shared->token || !shared->token->isCancelled()) setUp();
        if (setupError) {
            outcome.error = setupError;
        } else if (shared->token && shared->token->isCancelled()) {
            outcome.error = TranscriptionFileError::of(TranscriptionFileError::Kind::cancelled);
        } else {
            try {
                outcome.segments = recognizer->recognize(job.samples);
                for (auto& s : outcome.segments) {
                    s.startSeconds += job.offsetSeconds;
                    s.endSeconds += job.offsetSeconds;
                }
            } catch (const std::exception& e) {
                outcome.error = asFileError(e);
            }
        }
        std::vector<float>().swap(job.samples);
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->started.erase(job.id);
        shared->outcomes[job.id] = std::move(outcome);
        shared->changed.notify_all();
    }
}

// The worker threads of one transcription. Leaving early abandons them: they
// finish the window in hand and exit without touching the caller again.
class Workers {
public:
    Workers(std::shared_ptr<Shared> shared, unsigned count) : shared_(std::move(shared)) {
        for (unsigned i = 0; i < count; ++i) threads_.emplace_back(workerLoop, shared_);
    }
    ~Workers() {
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            if (finished_) shared_->closed = true;
            else shared_->abandoned = true;
        }
        shared_->changed.notify_all();
        for (auto& t : threads_) {
            if (finished_) t.join();
            else t.detach();
        }
    }
    void finish() { finished_ = true; }

private:
    std::shared_ptr<Shared> shared_;
    std::vector<std::thread> threads_;
    bool finished_ = false;
};

// Decodes the file front to back, handing out one window's samples at a time
// and keeping only the overlap the next window shares. The windows follow
// what the decoder really gives, not the length the header claims: a header
// can promise days of audio in a file of a few seconds, or less than it holds.
class WindowSource {
public:
    WindowSource(AudioFileReader& reader, double chunkSeconds, double overlapSeconds)
        : reader_(reader), chunkSeconds_(chunkSeconds), stepSeconds_(chunkSeconds - overlapSeconds) {}

    // The next window and its samples; `last` when the track ends within it.
    struct Window {
        ChunkWindow span;
        std::vector<float> samples;
        bool last = false;
    };
    Window next() {
        Window window;
        const double startSeconds = nextStart_;
        const std::int64_t first = frameAt(startSeconds);
        const std::int64_t last = frameAt(startSeconds + chunkSeconds_);
        if (bufferStart_ < first) {
            const std::int64_t drop =
                std::min<std::int64_t>(first - bufferStart_, static_cast<std::int64_t>(buffer_.size()));
            buffer_.erase(buffer_.begin(), buffer_.begin() + drop);
            bufferStart_ += drop;
            std::vector<float> skipped;
            while (bufferStart_ < first) {
                skipped.clear();
                std::size_t n =
                    reader_.read(static_cast<std::size_t>(std::min<std::int64_t>(first - bufferStart_, 1 << 20)), skipped);
                if (n == 0) break;
                bufferStart_ += static_cast<std::int64_t>(n);
            }
        }
        const std::int64_t have = bufferStart_ + static_cast<std::int64_t>(buffer_.size());
        if (last > have) reader_.read(static_cast<std::size_t>(last - have), buffer_);
        window.last = reader_.atEnd();

        window.samples = std::move(buffer_);
        buffer_.clear();
        window.span = {startSeconds, startSeconds + static_cast<double>(window.samples.size()) / windowSampleRate};
        // The same steps as planChunks, so a truthful header gives its plan.
        nextStart_ += stepSeconds_;
        const std::int64_t keepFrom = frameAt(nextStart_) - bufferStart_;
        if (!window.last && keepFrom >= 0 && keepFrom < static_cast<std::int64_t>(window.samples.size()))
            buffer_.assign(window.samples.begin() + keepFrom, window.samples.end());
        bufferStart_ += std::clamp<std::int64_t>(keepFrom, 0, static_cast<std::int64_t>(window.samples.size()));
        return window;
    }

private:
    AudioFileReader& reader_;
    double chunkSeconds_;
    double stepSeconds_;
    double nextStart_ = 0;
    std::vector<float> buffer_;
    std::int64_t bufferStart_ = 0;
};

// How many windows a file of `seconds` takes, as planChunks would plan them,
// without making the plan: a lying header's length may be astronomically long.
int estimatedWindowCount(double seconds, double chunkSeconds, double overlapSeconds) {
    if (!(seconds > chunkSeconds)) return 1;
    const double count = std::ceil((seconds - chunkSeconds) / (chunkSeconds - overlapSeconds)) + 1;
    return static_cast<int>(std::min(count, static_cast<double>(std::numeric_limits<int>::max())));
}

FileTranscriptionResult transcribe(const fs::path& url, const std::vector<std::string>& contextTerms,
                                   const std::string& localeIdentifier, double chunkSeconds, double overlapSeconds,
                                   const std::shared_ptr<CancellationToken>& token, const ProgressHandler& onProgress,
                                   const Engine& engine) {
    using Kind = TranscriptionFileError::Kind;
    auto isCancelled = [&] { return token && token->isCancelled(); };
    if (isCancelled()) throw TranscriptionFileError::of(Kind::cancelled);

    auto format = validateFormat(url);
    if (auto* error = std::get_if<TranscriptionFileError>(&format)) throw *error;
    validateWindow(chunkSeconds, overlapSeconds);

    std::error_code ec;
    const auto status = fs::status(url, ec);
    if (!fs::exists(status)) throw TranscriptionFileError::of(Kind::fileNotFound);
    if (fs::is_directory(status)) throw TranscriptionFileError::of(Kind::notAFile);
    // A FIFO would be waited on, or read without end; it has no size to tell
    // an empty file by either.
    if (fs::is_fifo(status)) throw TranscriptionFileError::notRegularFile("named pipe (FIFO)");
    if (fs::is_block_file(status) || fs::is_character_file(status)) throw TranscriptionFileError::notRegularFile("device");
    if (fs::is_socket(status)) throw TranscriptionFileError::notRegularFile("socket");
    if (!fs::is_regular_file(status)) throw TranscriptionFileError::notRegularFile("special file");
    const auto size = fs::file_size(url, ec);
    if (ec || size == 0) throw TranscriptionFileError::of(Kind::emptyFile);
    if (isCancelled()) throw TranscriptionFileError::of(Kind::cancelled);

    AudioFileReader reader(url);
    if (reader.frameCount() < 1) throw TranscriptionFileError::of(Kind::emptyFile);
    // The header's length serves only as the progress total until the last
    // window shows the real one.
    const double claimedSeconds = reader.durationSeconds();

    if (!engine.prepare) throw TranscriptionFileError::of(Kind::engineUnavailable);
    RecognizerFactory makeRecognizer = engine.prepare(localeIdentifier, contextTerms);
    if (!makeRecognizer) throw TranscriptionFileError::of(Kind::engineUnavailable);
    if (isCancelled()) throw TranscriptionFileError::of(Kind::cancelled);

    const unsigned parallel =
        engine.parallelWindows ? engine.parallelWindows : std::max(1u, std::thread::hardware_concurrency());
    auto timeoutFor = engine.timeoutForWindow ? engine.timeoutForWindow : recognitionTimeout;

    auto shared = std::make_shared<Shared>();
    shared->makeRecognizer = std::move(makeRecognizer);
    shared->token = token;
    Workers workers(shared, parallel);
    WindowSource source(reader, chunkSeconds, overlapSeconds);

    // A window is recognised as the utterances its pauses separate, each on
    // its own, so every core can work on one window; at most two windows'
    // audio is held at once (the one being recognised and the next).
    const std::size_t windowsAhead = parallel > 1 ? 2 : 1;
    std::vector<ChunkWindow> windows;
    bool decodedAll = false;
    std::vector<std::vector<std::size_t>> jobsOfWindow;
    std::vector<double> jobSeconds;
    std::vector<double> jobEnds;  // on the file's time line
    double secondsReported = 0;
    std::vector<std::vector<Segment>> perWindow;
    while (!decodedAll || perWindow.size() < windows.size()) {
        const std::size_t consumed = perWindow.size();
        while (!decodedAll && windows.size() - consumed < windowsAhead) {
            if (isCancelled()) throw TranscriptionFileError::of(Kind::cancelled);
            WindowSource::Window window = source.next();
            if (window.samples.empty() && windows.empty()) throw TranscriptionFileError::of(Kind::emptyFile);
            decodedAll = window.last;
            std::vector<std::size_t> ids;
            {
                std::lock_guard<std::mutex> lock(shared->mutex);
                for (const auto& [begin, end] : utteranceSpans(window.samples)) {
                    Job job;
                    job.id = jobSeconds.size();
                    job.offsetSeconds = window.span.startSeconds + static_cast<double>(begin) / windowSampleRate;
                    job.samples.assign(window.samples.begin() + static_cast<std::ptrdiff_t>(begin),
                                       window.samples.begin() + static_cast<std::ptrdiff_t>(end));
                    jobSeconds.push_back(static_cast<double>(end - begin) / windowSampleRate);
                    jobEnds.push_back(job.offsetSeconds + jobSeconds.back());
                    ids.push_back(job.id);
                    shared->jobs.push_back(std::move(job));
                }
            }
            shared->changed.notify_all();
            windows.push_back(window.span);
            jobsOfWindow.push_back(std::move(ids));
        }

        // Progress moves with every utterance recognised, not only with
        // whole windows: a file shorter than one window would otherwise sit
        // at 0 % until it is done. Until the decoder has reached the end, the
        // header's claims are the best total there is.
        auto report = [&](int windowsDone, double secondsDone) {
            if (!onProgress) return;
            const double decodedSeconds = static_cast<double>(reader.framesRead()) / windowSampleRate;
            Progress progress;
            progress.chunksCompleted = windowsDone;
            progress.totalChunks = decodedAll ? static_cast<int>(windows.size())
                                              : std::max(estimatedWindowCount(claimedSeconds, chunkSeconds, overlapSeconds),
                                                         static_cast<int>(windows.size()) + 1);
            progress.totalSeconds = decodedAll ? decodedSeconds : std::max(claimedSeconds, decodedSeconds);
            // The next window's first utterances repeat the overlap: never back.
            secondsReported = std::max(secondsReported, std::min(secondsDone, progress.totalSeconds));
            progress.secondsProcessed = secondsReported;
            onProgress(progress);
        };
        std::vector<Segment> segments;
        const auto& ids = jobsOfWindow[consumed];
        for (std::size_t k = 0; k < ids.size(); ++k) {
            const std::size_t id = ids[k];
            Outcome outcome;
            {
                const double timeout = timeoutFor(jobSeconds[id]);
                std::unique_lock<std::mutex> lock(shared->mutex);
                while (!shared->outcomes.count(id)) {
                    // A cancel is heard while an utterance is still being
                    // recognised: the worker is abandoned, not waited for.
                    if (isCancelled()) throw TranscriptionFileError::of(Kind::cancelled);
                    auto running = shared->started.find(id);
                    if (running != shared->started.end() &&
                        std::chrono::duration<double>(Clock::now() - running->second).count() >= timeout)
                        throw TranscriptionFileError::chunkTranscriptionFailed("on-device recognition timed out");
                    shared->changed.wait_for(lock, std::chrono::milliseconds(100));
                }
                outcome = std::move(shared->outcomes[id]);
                shared->outcomes.erase(id);
            }
            if (outcome.error) throw *outcome.error;
            segments.insert(segments.end(), outcome.segments.begin(), outcome.segments.end());
            if (k + 1 < ids.size()) report(static_cast<int>(consumed), jobEnds[id]);
        }
        perWindow.push_back(std::move(segments));
        report(static_cast<int>(perWindow.size()), windows[consumed].endSeconds);
        if ((!decodedAll || perWindow.size() < windows.size()) && isCancelled())
            throw TranscriptionFileError::of(Kind::cancelled);
    }
    workers.finish();

    FileTranscriptionResult result;
    result.segments = mergeChunkSegments(perWindow, defaultOverlapToleranceSeconds);
    std::vector<std::string> texts;
    texts.reserve(result.segments.size());
    for (const auto& s : result.segments) texts.push_back(s.text);
    result.fullText = platform::text::trimmed(platform::text::join(texts, " "));
    if (result.fullText.empty()) throw TranscriptionFileError::of(Kind::emptyTranscript);
    result.sourceURL = url;
    result.audioSeconds = static_cast<double>(reader.framesRead()) / windowSampleRate;
    result.claimedSeconds = reader.claimedSeconds();
    result.engineIdentifier = FileTranscriber::engineIdentifier;
    return result;
}

}  // namespace

bool FileTranscriptionResult::endsEarly() const {
    // A whole file decodes to within a few codec frames of its header's
    // length (encoder padding, the resampler's rounding); a cut one falls
    // short by whatever is missing.
    constexpr double roundingSeconds = 0.1;
    return claimedSeconds - audioSeconds > roundingSeconds;
}

std::string FileTranscriptionResult::shortfall() const {
    auto oneDecimal = [](double seconds) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.1f", seconds);
        return std::string(buffer);
    };
    return "only " + oneDecimal(audioSeconds) + " s of the " + oneDecimal(claimedSeconds) +
           " s its header gives could be read; the transcript covers those";
}

FileTranscriptionResult transcribeFile(const fs::path& url, const std::vector<std::string>& contextTerms,
                                       const std::string& localeIdentifier, double chunkSeconds, double overlapSeconds,
                                       const std::shared_ptr<CancellationToken>& cancellation,
                                       const ProgressHandler& onProgress, const Engine& engine) {
    try {
        return transcribe(url, contextTerms, localeIdentifier, chunkSeconds, overlapSeconds, cancellation, onProgress,
                          engine);
    } catch (const TranscriptionFileError&) {
        throw;
    } catch (const std::exception& e) {
        // Anything else (no memory, no thread) still reaches the caller as
        // the one error type the transcription promises.
        throw TranscriptionFileError::chunkTranscriptionFailed(e.what());
    }
}

}  // namespace FileTranscriber

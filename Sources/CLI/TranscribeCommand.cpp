#include "CLI/TranscribeCommand.h"

#include "Engine/FileTranscriber.h"
#include "Platform/FileIO.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace OndiraCLI {

namespace {

using Clock = std::chrono::steady_clock;

// The write end of the interrupt pipe while a transcription runs.
std::atomic<int> interruptWriteFd{-1};

extern "C" void onInterrupt(int) {
    const int savedErrno = errno;
    const int fd = interruptWriteFd.load();
    if (fd >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

// A pipe with both ends closed on destruction.
struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() {
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) fds[0] = fds[1] = -1;
    }
    ~Pipe() {
        for (int fd : fds) {
            if (fd >= 0) ::close(fd);
        }
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    int readEnd() const { return fds[0]; }
    int writeEnd() const { return fds[1]; }
};

// Ctrl+C and a termination request become a byte on a pipe for as long as
// this lives; a signal handler may do nothing more. The handlers that were
// there before come back on release() or destruction.
class InterruptRoute {
public:
    InterruptRoute() {
        if (pipe_.writeEnd() < 0) return;
        interruptWriteFd.store(pipe_.writeEnd());
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        installed_ = ::sigaction(SIGINT, &action, &previousInt_) == 0;
        installed_ = (::sigaction(SIGTERM, &action, &previousTerm_) == 0) && installed_;
    }
    ~InterruptRoute() { release(); }
    InterruptRoute(const InterruptRoute&) = delete;
    InterruptRoute& operator=(const InterruptRoute&) = delete;

    int fd() const { return pipe_.readEnd(); }
    void release() {
        if (!installed_) return;
        ::sigaction(SIGINT, &previousInt_, nullptr);
        ::sigaction(SIGTERM, &previousTerm_, nullptr);
        interruptWriteFd.store(-1);
        installed_ = false;
    }

private:
    Pipe pipe_;
    bool installed_ = false;
    struct sigaction previousInt_ {};
    struct sigaction previousTerm_ {};
};

// What the transcribing thread hands back. The thread owns a reference, so a
// transcription that is given up on can still finish on its own.
struct Job {
    std::mutex lock;
    std::optional<double> fraction;
    std::optional<FileTranscriber::FileTranscriptionResult> result;
    std::optional<std::string> failure;  // the description shown after "Transcription failed: "
    Pipe done;                           // a byte arrives when the thread is finished
};

void transcribeOnThread(const std::shared_ptr<Job>& job, const TranscribeOptions& options,
                        const std::shared_ptr<FileTranscriber::CancellationToken>& token) {
    const std::string locale = options.localeIdentifier.value_or(FileTranscriber::currentLocaleIdentifier());
    try {
        auto result = FileTranscriber::transcribeFile(options.path, {}, locale, FileTranscriber::defaultChunkSeconds,
                                                      FileTranscriber::defaultOverlapSeconds, token,
                                                      [job](const FileTranscriber::Progress& progress) {
                                                          std::lock_guard<std::mutex> guard(job->lock);
                                                          job->fraction = progress.fractionComplete();
                                                      });
        std::lock_guard<std::mutex> guard(job->lock);
        job->result = std::move(result);
    } catch (const FileTranscriber::TranscriptionFileError& error) {
        std::lock_guard<std::mutex> guard(job->lock);
        std::string description = error.errorDescription();
        if (description.empty()) description = "Transcription failed.";
        // What exactly could not be read (a refused sample rate, FFmpeg's
        // reason) is what a user at a terminal can act on.
        if (error.kind() == FileTranscriber::TranscriptionFileError::Kind::unreadableAudio && !error.payload().empty())
            description += " (" + error.payload() + ")";
        job->failure = description;
    } catch (const std::exception& error) {
        std::lock_guard<std::mutex> guard(job->lock);
        job->failure = error.what();
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(job->done.writeEnd(), &byte, 1);
}

std::string elapsedText(double seconds) {
    const long long total = static_cast<long long>(std::max(0.0, seconds));
    char buffer[32];
    if (total >= 3600) {
        std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
    } else {
        std::snprintf(buffer, sizeof buffer, "%lld:%02lld", total / 60, total % 60);
    }
    return buffer;
}

// The progress line on standard error, redrawn in place; erased when done so
// the terminal shows the transcript alone.
class ProgressDisplay {
public:
    explicit ProgressDisplay(bool enabled) : enabled_(enabled) {}
    ~ProgressDisplay() { erase(); }
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    void draw(double fraction, double elapsed) {
        if (!enabled_) return;
        const std::string line = progressLine(fraction, elapsed);
        if (line == shown_) return;
        shown_ = line;
        width_ = std::max(width_, line.size());
        platform::writeAll(STDERR_FILENO, "\r" + line + std::string(width_ - line.size(), ' '));
    }
    void erase() {
        if (!enabled_ || width_ == 0) return;
        platform::writeAll(STDERR_FILENO, "\r" + std::string(width_, ' ') + "\r");
        width_ = 0;
        shown_.clear();
    }

private:
    bool enabled_;
    std::size_t width_ = 0;
    std::string shown_;
};

// A byte waiting on the descriptor, consumed; false at once when there is none.
bool drained(int fd) {
    char buffer[64];
    bool any = false;
    while (::read(fd, buffer, sizeof buffer) > 0) any = true;
    return any;
}

std::string cancelledDescription() {
    return FileTranscriber::TranscriptionFileError::of(FileTranscriber::TranscriptionFileError::Kind::cancelled)
        .errorDescription();
}

// A file cut short is transcribed as far as it goes; the user hears that
// the transcript stops where the file does, not where the recording did.
void warnIfCutShort(const FileTranscriber::FileTranscriptionResult& result, const std::string& path) {
    if (!result.endsEarly()) return;
    printError("warning: " + path + " ends early: " + result.shortfall());
}

std::string rendered(const FileTranscriber::FileTranscriptionResult& result, OutputFormat format) {
    switch (format) {
        case OutputFormat::srt: return FileTranscriber::formatSRT(result.segments);
        case OutputFormat::vtt: return FileTranscriber::formatVTT(result.segments);
        case OutputFormat::txt: break;
    }
    return result.fullText;
}

}  // namespace

std::string progressLine(double fractionComplete, double elapsedSeconds) {
    constexpr int barWidth = 30;
    const double fraction = std::isfinite(fractionComplete) ? std::clamp(fractionComplete, 0.0, 1.0) : 0.0;
    const int filled = static_cast<int>(std::floor(fraction * barWidth));
    const int percent = static_cast<int>(std::floor(fraction * 100));
    char percentText[8];
    std::snprintf(percentText, sizeof percentText, "%3d%%", percent);
    return "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(barWidth - filled), '-') + "] " + percentText + "  " +
           elapsedText(elapsedSeconds);
}

int runTranscribe(const TranscribeOptions& options) {
    // The transcript replaces whatever --out names; never the recording itself.
    std::error_code sameFileError;
    if (options.outPath && std::filesystem::equivalent(options.path, *options.outPath, sameFileError)) {
        printError("--out would replace the file being transcribed: " + *options.outPath);
        return 1;
    }
    // A destination that can't take the transcript (a read-only file, a pipe
    // nobody reads) is refused now, not after all the work.
    std::optional<FileTranscriber::TranscriptDestination> destination;
    if (options.outPath) {
        try {
            destination.emplace(*options.outPath);
        } catch (const std::exception& error) {
            printError("could not write " + *options.outPath + ": " + error.what());
            return 1;
        }
    }
    auto token = std::make_shared<FileTranscriber::CancellationToken>();
    auto job = std::make_shared<Job>();
    InterruptRoute interrupts;
    std::thread worker(transcribeOnThread, job, options, token);

    ProgressDisplay display(::isatty(STDERR_FILENO) == 1);
    const auto start = Clock::now();
    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(transcribeTimeLimitSeconds));
    // A failure that ends quickly draws nothing: the first frame waits this long.
    const auto firstFrame = start + std::chrono::milliseconds(300);
    bool interrupted = false;
    bool finished = false;
    // Once cancelled, the transcription gets this long to wind down; the
    // command ends then whether or not it has.
    std::optional<Clock::time_point> windDown;
    while (!finished) {
        const auto now = Clock::now();
        if (now >= deadline || (windDown && now >= *windDown)) break;
        if (now >= firstFrame) {
            std::optional<double> fraction;
            {
                std::lock_guard<std::mutex> guard(job->lock);
                fraction = job->fraction;
            }
            display.draw(fraction.value_or(0), std::chrono::duration<double>(now - start).count());
        }
        const auto wait = std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(250));
        pollfd fds[2] = {{job->done.readEnd(), POLLIN, 0}, {interrupts.fd(), POLLIN, 0}};
        const int timeoutMs = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
        if (::poll(fds, interrupts.fd() >= 0 ? 2 : 1, timeoutMs) < 0 && errno != EINTR) break;
        if (interrupts.fd() >= 0 && drained(interrupts.fd())) {
            // Cancel once; from now on a second Ctrl+C ends the process as it
            // would have without us.
            interrupted = true;
            token->cancel();
            interrupts.release();
            windDown = Clock::now() + std::chrono::seconds(cancelGraceSeconds);
        }
        finished = drained(job->done.readEnd());
    }
    display.erase();

    if (!finished) {
        // Out of time: ask the transcription to stop, and don't wait on it.
        token->cancel();
        interrupts.release();
        worker.detach();
        printError(interrupted ? "Transcription failed: " + cancelledDescription() : "transcription timed out");
        return 1;
    }
    worker.join();

    std::lock_guard<std::mutex> guard(job->lock);
    if (interrupted || job->failure || !job->result) {
        const std::string reason = interrupted ? cancelledDescription() : job->failure.value_or("Transcription failed.");
        printError("Transcription failed: " + reason);
        return 1;
    }
    warnIfCutShort(*job->result, options.path);
    std::string transcript = rendered(*job->result, options.format);
    if (options.outPath) {
        try {
            destination->write(transcript);
        } catch (const std::exception& error) {
            printError("could not write " + *options.outPath + ": " + error.what());
            return 1;
        }
        // Standard output stays empty; the user still learns where the transcript went.
        printError("Transcript written to " + *options.outPath);
        return 0;
    }
    // One newline ends the output, whether or not the rendering has one.
    if (!transcript.empty() && transcript.back() == '\n') transcript.pop_back();
    printLine(transcript);
    return 0;
}

}  // namespace OndiraCLI

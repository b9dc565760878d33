#pragma once
// The line protocol: one compact JSON object per line each way, a ready line
// first, one reply for every request line that is neither blank nor "quit".
#include <atomic>
#include <mutex>
#include <string>

#include "Responder.h"

namespace mirvane {

// Reads newline-terminated lines from a descriptor with a bounded buffer.
class LineReader {
public:
    enum class Status { line, endOfInput, timedOut, tooLong };
    explicit LineReader(int fd) : fd_(fd) {}
    // Waits at most `timeoutMs` (negative: no limit) for a whole line. The
    // line ending is removed. A last line without a line feed still counts.
    Status next(std::string& line, int timeoutMs = -1);

    // A request line longer than this is refused as a whole and skipped.
    static constexpr std::size_t kMaxLineBytes = 8 * 1024 * 1024;

private:
    int fd_;
    std::string buffer_;
    bool eof_ = false;
    bool discarding_ = false;
};

// Writes one message: its JSON bytes, then one line feed. Serialisation never
// fails (bytes that are not UTF-8 become U+FFFD). False when the peer is gone.
bool writeMessage(int fd, const nlohmann::json& message);

// What one line asks for.
enum class LineAction { skip, quit, request };
LineAction classifyLine(const std::string& trimmedLine);

// How long a peer may hold its place without asking, and what it shares
// with the peers served beside it. Negative times mean no limit.
struct PeerPace {
    // No line for this long between requests ends the peer.
    int idleMs = -1;
    // A peer that has sent no request (or "quit") this long after it was
    // served its ready line is ended, however many blank or partial lines
    // it trickles in meanwhile: it only holds a place others may need.
    int firstRequestMs = -1;
    // Taken around each answer only, so a peer that says nothing holds up nobody.
    std::mutex* responderLock = nullptr;
    // When given: the steady-clock milliseconds at which the peer began
    // waiting for its next line, and -1 while one of its lines is answered.
    std::atomic<long long>* waitingSinceMs = nullptr;
};

// Serves one peer: the ready line, then requests until end of input or
// "quit", or until a limit of `pace` runs out. Returns false when it ended
// because the peer stopped reading or ran out of time.
bool serveLines(int inFd, int outFd, FMResponder& responder, const PeerPace& pace = {});

// The steady clock in milliseconds, as PeerPace counts it.
long long steadyMs();

namespace FMServe {
// The serve road on standard input and output; returns the exit status.
int loop();
}  // namespace FMServe

// The availability check every road that needs the model makes first. When
// the model is unavailable it writes the unavailable line and the reason to
// standard error and returns nothing.
std::shared_ptr<const ModelClient> modelOrReport();

}  // namespace mirvane

#pragma once
// The rewrite client: drives the helper executable `mirvane` as a long-lived
// child process and exchanges one JSON line per request with it. Requests are
// checked before anything is sent, every failure becomes a message for the
// user, and every result arrives on the main queue.
#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "Platform/Queues.h"

class PolishService : public std::enable_shared_from_this<PolishService> {
public:
    struct Availability {
        bool available = false;
        std::string reason;
        bool operator==(const Availability&) const = default;
    };

    struct RewriteOutcome {
        enum class Kind { success, failure };
        Kind kind = Kind::failure;
        std::string value;  // the rewritten text, or the failure message

        static RewriteOutcome success(std::string text) { return {Kind::success, std::move(text)}; }
        static RewriteOutcome failure(std::string message) { return {Kind::failure, std::move(message)}; }
        bool isSuccess() const { return kind == Kind::success; }
        bool isFailure() const { return kind == Kind::failure; }
        bool operator==(const RewriteOutcome&) const = default;
        // success("text") or failure("message")
        std::string description() const;
    };
    using Completion = std::function<void(const RewriteOutcome&)>;

    // The process-wide client; creating it starts nothing.
    static PolishService& shared();
    // A client of its own (the shared one is one of these, never released).
    static std::shared_ptr<PolishService> create();
    ~PolishService();
    PolishService(const PolishService&) = delete;
    PolishService& operator=(const PolishService&) = delete;

    static const std::set<std::string>& supportedModes();
    static constexpr std::size_t maxInstructionLength = 500;
    static constexpr double readyTimeoutSeconds = 12.0;
    static constexpr double replyTimeoutSeconds = 20.0;
    // Bytes of a reply line the client holds before it gives up on the line.
    static constexpr std::size_t maxReadBufferBytes = 8 * 1024 * 1024;
    // Bytes of the helper's standard error kept for a start failure's message.
    static constexpr std::size_t maxStderrBytes = 4096;

    // What is known without starting anything: the helper's file and the
    // last start's failure.
    Availability checkAvailability();
    // Asks the helper itself: starts it when it isn't running (waiting for
    // its ready line, which it writes only once its model server answered)
    // and reports that. Blocks up to readyTimeoutSeconds: never call it on
    // the main thread.
    Availability probeAvailability();
    // Returns at once; `completion` runs exactly once, on the main queue.
    void rewrite(const std::string& mode, const std::string& text, const std::optional<std::string>& instruction,
                 Completion completion);
    // Stops the helper; returns when it is stopped.
    void shutdown();
    // The running helper's process id, read on the I/O queue.
    std::optional<pid_t> currentChildPid();

    // The pure parts, used by the client and checked by the self-test.
    static std::optional<std::string> buildRequestData(const std::string& mode, const std::string& text,
                                                       const std::optional<std::string>& instruction);
    static RewriteOutcome parseResponseLine(const std::string& line);
    static bool isReadyLine(const std::string& line);
    static std::optional<RewriteOutcome> validateEditInstruction(const std::optional<std::string>& instruction);
    // A failed start as the user reads it: what the helper wrote to its
    // standard error without its "mirvane:" prefixes and its bare "model
    // unavailable" headline, then the file where its model server is set.
    static std::string startFailureMessage(const std::optional<std::string>& helperSaid, const std::string& settingsFile);
    // A failure of the running helper as the user reads it: the cause, then
    // what to check and where the model server is set.
    static std::string withRemedy(const std::string& cause);
    // The helper's settings file (beside the program's own settings).
    static std::string helperSettingsFile();
    static Availability evaluateAvailability(bool systemSupported, bool helperPresent, bool helperExecutable,
                                             const std::optional<std::string>& lastSpawnFailure);

private:
    PolishService();

    void performRewrite(const std::string& mode, const std::string& text, const std::optional<std::string>& instruction,
                        const Completion& completion);
    bool launchHelper();
    bool isRunning();
    std::optional<std::string> readLine(double timeoutSeconds);
    std::optional<std::string> drainStderr();
    void stopHelper();
    void startStderrDrain();
    void stopStderrDrain();

    std::unique_ptr<platform::SerialQueue> ioQueue_;
    // Fields below are touched only on ioQueue_.
    pid_t process_ = -1;
    int stdinFD_ = -1;
    int stdoutFD_ = -1;
    int stderrFD_ = -1;
    std::string readBuffer_;
    std::optional<std::string> lastSpawnFailureReason_;

    // The helper's standard error is read all the time by its own thread, so
    // a chatty helper never blocks on a full pipe; the first bytes are kept.
    struct StderrDrain {
        std::mutex lock;
        std::condition_variable changed;
        std::string head;
        bool ended = false;
    };
    std::shared_ptr<StderrDrain> stderrDrain_;
    std::thread stderrThread_;
    int stderrWakeFD_ = -1;
};

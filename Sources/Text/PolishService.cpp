#include "Text/PolishService.h"

#include "Base/AppPaths.h"
#include "Platform/LinuxNames.h"
#include "Platform/Unicode.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include <nlohmann/json.hpp>

extern char** environ;

using nlohmann::json;
namespace text = platform::text;

namespace {
constexpr const char* kMissingHelper = "The on-device rewrite helper is missing from this build — reinstall Ondira.";
constexpr const char* kNotExecutable = "The on-device rewrite helper is not executable — reinstall Ondira.";

// Writes to a pipe whose reader may be gone or stuck. SIGPIPE is held back on
// this thread for the write, and one raised by it is taken off again, so a
// dead helper comes back as a failed write instead of ending the program; the
// descriptor is non-blocking, so a helper that stops reading fails the write
// after `timeoutSeconds` instead of holding the queue for ever.
bool writeToChild(int fd, const std::string& bytes, double timeoutSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    sigset_t pipeOnly, old;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &old);
    bool ok = true;
    bool broken = false;
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                pollfd p{fd, POLLOUT, 0};
                if (left.count() > 0 && ::poll(&p, 1, static_cast<int>(left.count())) > 0) continue;
                ok = false;
                break;
            }
            broken = errno == EPIPE;
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (broken) {
        const timespec zero{0, 0};
        while (sigtimedwait(&pipeOnly, nullptr, &zero) == SIGPIPE) {}
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return ok;
}

std::string quoted(const std::string& s) { return "\"" + s + "\""; }
}  // namespace

std::string PolishService::RewriteOutcome::description() const {
    return (isSuccess() ? "success(" : "failure(") + quoted(value) + ")";
}

PolishService& PolishService::shared() {
    // Never released: no work at process exit.
    static auto* instance = new std::shared_ptr<PolishService>(create());
    return **instance;
}

std::shared_ptr<PolishService> PolishService::create() { return std::shared_ptr<PolishService>(new PolishService()); }

PolishService::PolishService()
    : ioQueue_(std::make_unique<platform::SerialQueue>("com.ondira.polishservice.io", platform::QoS::userInitiated)) {}

PolishService::~PolishService() {
    // A client that goes away takes its helper with it.
    ioQueue_->sync([this] { stopHelper(); });
    // Queued work holds the client weakly, so this can run on the queue's own
    // thread when that work held the last reference; the queue can't join
    // itself then and is left to finish on its own.
    if (ioQueue_->isCurrent()) (void)ioQueue_.release();
}

const std::set<std::string>& PolishService::supportedModes() {
    static const std::set<std::string> modes = {"polish", "bullets", "concise", "email", "edit"};
    return modes;
}

// MARK: pure parts

std::optional<std::string> PolishService::buildRequestData(const std::string& mode, const std::string& text,
                                                           const std::optional<std::string>& instruction) {
    json request = {{"text", text}, {"mode", mode}};
    if (mode == "edit" && instruction) {
        const std::string trimmed = text::trimmed(*instruction);
        if (!trimmed.empty()) request["instruction"] = trimmed;
    }
    try {
        return request.dump();
    } catch (const json::exception&) {
        return std::nullopt;  // text that is not UTF-8
    }
}

PolishService::RewriteOutcome PolishService::parseResponseLine(const std::string& line) {
    const std::string trimmed = text::trimmed(line);
    if (trimmed.empty()) return RewriteOutcome::failure("empty response from rewrite helper");
    json reply = json::parse(trimmed, nullptr, false);
    if (reply.is_discarded() || !reply.is_object()) return RewriteOutcome::failure("malformed response from rewrite helper");
    if (reply.contains("ok") && reply["ok"].is_boolean() && reply["ok"].get<bool>()) {
        if (reply.contains("text") && reply["text"].is_string())
            return RewriteOutcome::success(reply["text"].get<std::string>());
        return RewriteOutcome::success("");
    }
    if (reply.contains("err") && reply["err"].is_string()) return RewriteOutcome::failure(reply["err"].get<std::string>());
    return RewriteOutcome::failure("unknown rewrite error");
}

bool PolishService::isReadyLine(const std::string& line) {
    json j = json::parse(line, nullptr, false);
    return j.is_object() && j.contains("ready") && j["ready"].is_boolean() && j["ready"].get<bool>();
}

std::optional<PolishService::RewriteOutcome> PolishService::validateEditInstruction(
    const std::optional<std::string>& instruction) {
    const std::string trimmed = text::trimmed(instruction.value_or(""));
    if (trimmed.empty()) return RewriteOutcome::failure("edit mode requires a non-empty editing instruction");
    const std::size_t length = text::graphemeCount(trimmed);
    if (length > maxInstructionLength)
        return RewriteOutcome::failure("edit instruction is too long (max " + std::to_string(maxInstructionLength) +
                                       " characters, got " + std::to_string(length) + ")");
    return std::nullopt;
}

PolishService::Availability PolishService::evaluateAvailability(bool systemSupported, bool helperPresent,
                                                                bool helperExecutable,
                                                                const std::optional<std::string>& lastSpawnFailure) {
    if (!systemSupported) return {false, LinuxNames::rewriteSystemRequirement};
    if (!helperPresent) return {false, kMissingHelper};
    if (!helperExecutable) return {false, kNotExecutable};
    if (lastSpawnFailure) return {false, *lastSpawnFailure};
    return {true, "Ready"};
}

std::string PolishService::startFailureMessage(const std::optional<std::string>& helperSaid,
                                               const std::string& settingsFile) {
    std::string detail;
    if (helperSaid) {
        for (std::string_view rest = *helperSaid; !rest.empty();) {
            const auto nl = rest.find('\n');
            std::string line = text::trimmed(rest.substr(0, nl));
            rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
            if (text::hasPrefix(line, "mirvane:")) line = text::trimmed(std::string_view(line).substr(8));
            // The helper's headline says only what this message says already.
            if (line.empty() || line == "model unavailable") continue;
            detail += (detail.empty() ? "" : "; ") + line;
        }
    }
    std::string message = "The on-device rewrite model did not start";
    message += detail.empty() ? "." : ": " + detail + (text::hasSuffix(detail, ".") ? "" : ".");
    return message + " Its model server and model are set in " + settingsFile + ".";
}

std::string PolishService::withRemedy(const std::string& cause) {
    std::string message = cause;
    if (!message.empty() && !text::hasSuffix(message, ".")) message += ".";
    return message + " Check that the model server on this computer (llama-server or Ollama) is running, then try "
                     "again. Its address and model are set in " +
           helperSettingsFile() + ".";
}

std::string PolishService::helperSettingsFile() { return (AppPaths::settingsDirectory() / "mirvane.json").string(); }

// MARK: public operations

PolishService::Availability PolishService::checkAvailability() {
    const auto helper = AppPaths::mirvaneHelperURL();
    const bool executable = helper && ::access(helper->c_str(), X_OK) == 0;
    std::optional<std::string> failure;
    ioQueue_->sync([&] { failure = lastSpawnFailureReason_; });
    // The model is a server on this machine rather than a feature of the
    // operating system's release, so there is no system floor to check.
    return evaluateAvailability(true, helper.has_value(), executable, failure);
}

PolishService::Availability PolishService::probeAvailability() {
    // A helper that isn't there or can't run is not worth a start.
    const auto helper = AppPaths::mirvaneHelperURL();
    if (!helper || ::access(helper->c_str(), X_OK) != 0) return checkAvailability();
    // A start that failed before is tried again: the server may be up now.
    ioQueue_->sync([this] {
        if (!isRunning()) launchHelper();
    });
    return checkAvailability();
}

void PolishService::rewrite(const std::string& mode, const std::string& text, const std::optional<std::string>& instruction,
                            Completion completion) {
    auto reject = [&](RewriteOutcome outcome) {
        platform::MainQueue::async([completion, outcome] { completion(outcome); });
    };
    if (supportedModes().count(mode) == 0) return reject(RewriteOutcome::failure("unsupported rewrite mode: " + mode));
    const std::string trimmed = text::trimmed(text);
    if (trimmed.empty()) return reject(RewriteOutcome::failure("nothing to rewrite"));
    if (mode == "edit")
        if (auto problem = validateEditInstruction(instruction)) return reject(*problem);
    std::weak_ptr<PolishService> weak = weak_from_this();
    ioQueue_->async([weak, mode, trimmed, instruction, completion = std::move(completion)] {
        if (auto self = weak.lock()) self->performRewrite(mode, trimmed, instruction, completion);
    });
}

void PolishService::shutdown() {
    std::weak_ptr<PolishService> weak = weak_from_this();
    ioQueue_->sync([weak] {
        if (auto self = weak.lock()) self->stopHelper();
    });
}

std::optional<pid_t> PolishService::currentChildPid() {
    std::optional<pid_t> pid;
    ioQueue_->sync([&] {
        if (process_ > 0) pid = process_;
    });
    return pid;
}

// MARK: on the I/O queue

void PolishService::performRewrite(const std::string& mode, const std::string& text,
                                   const std::optional<std::string>& instruction, const Completion& completion) {
    auto deliver = [&](RewriteOutcome outcome) {
        platform::MainQueue::async([completion, outcome] { completion(outcome); });
    };
    if (!isRunning() && !launchHelper())
        return deliver(
            RewriteOutcome::failure(lastSpawnFailureReason_.value_or("The on-device rewrite helper is unavailable.")));
    auto request = buildRequestData(mode, text, instruction);
    if (!request) return deliver(RewriteOutcome::failure("failed to encode rewrite request"));
    request->push_back('\n');
    if (stdinFD_ < 0) return deliver(RewriteOutcome::failure("rewrite helper has no open stdin"));
    if (!writeToChild(stdinFD_, *request, replyTimeoutSeconds)) {
        stopHelper();
        return deliver(RewriteOutcome::failure("lost connection to the rewrite helper — try again"));
    }
    auto line = readLine(replyTimeoutSeconds);
    if (!line) {
        // A late reply must never be read as the answer to the next request.
        stopHelper();
        return deliver(RewriteOutcome::failure(withRemedy("rewrite timed out")));
    }
    // The helper's own failures are its model server's (not reached, an
    // error, no answer in time): the user is told where to look.
    RewriteOutcome outcome = parseResponseLine(*line);
    const json reply = json::parse(*line, nullptr, false);
    if (outcome.isFailure() && reply.is_object() && reply.contains("err") && reply["err"].is_string())
        outcome.value = withRemedy(outcome.value);
    deliver(outcome);
}

bool PolishService::isRunning() {
    if (process_ <= 0) return false;
    int status = 0;
    pid_t r = ::waitpid(process_, &status, WNOHANG);
    return r == 0;  // exited (and now reaped) or not our child: not running
}

bool PolishService::launchHelper() {
    stopHelper();  // closes what a helper that exited on its own left open
    const auto helper = AppPaths::mirvaneHelperURL();
    if (!helper || ::access(helper->c_str(), X_OK) != 0) {
        lastSpawnFailureReason_ = kMissingHelper;
        return false;
    }
    // Standard input, output and error, in that order.
    int pipes[3][2];
    for (int i = 0; i < 3; ++i) {
        if (::pipe2(pipes[i], O_CLOEXEC) == 0) continue;
        lastSpawnFailureReason_ = std::string("Failed to launch the rewrite helper: ") + std::strerror(errno);
        for (int j = 0; j < i; ++j) ::close(pipes[j][0]), ::close(pipes[j][1]);
        return false;
    }
    int* in = pipes[0];
    int* out = pipes[1];
    int* err = pipes[2];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    // The child starts with default signal handling and nothing blocked,
    // whatever this thread holds back.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const std::string path = helper->string();
    std::string arg0 = path, arg1 = "--serve";
    char* argv[] = {arg0.data(), arg1.data(), nullptr};
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, path.c_str(), &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(in[1]), ::close(out[0]), ::close(err[0]);
        lastSpawnFailureReason_ = std::string("Failed to launch the rewrite helper: ") + std::strerror(rc);
        return false;
    }
    process_ = pid;
    ::fcntl(in[1], F_SETFL, ::fcntl(in[1], F_GETFL) | O_NONBLOCK);
    stdinFD_ = in[1];
    stdoutFD_ = out[0];
    stderrFD_ = err[0];
    readBuffer_.clear();
    startStderrDrain();

    auto first = readLine(readyTimeoutSeconds);
    if (first && isReadyLine(*first)) {
        lastSpawnFailureReason_.reset();
        return true;
    }
    auto said = drainStderr();
    stopHelper();
    lastSpawnFailureReason_ = startFailureMessage(said, helperSettingsFile());
    return false;
}

std::optional<std::string> PolishService::readLine(double timeoutSeconds) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::duration<double>(timeoutSeconds);
    for (;;) {
        if (auto nl = readBuffer_.find('\n'); nl != std::string::npos) {
            std::string line = text::sanitizeUTF8(std::string_view(readBuffer_).substr(0, nl));
            readBuffer_.erase(0, nl + 1);
            return line;
        }
        // A helper that streams bytes without ever ending the line is treated
        // like one that never answers, instead of growing the buffer for ever.
        if (readBuffer_.size() > maxReadBufferBytes) return std::nullopt;
        const double remaining = std::chrono::duration<double>(deadline - clock::now()).count();
        if (remaining <= 0 || stdoutFD_ < 0) return std::nullopt;
        pollfd p{stdoutFD_, POLLIN, 0};
        const double ms = std::min(remaining * 1000.0, static_cast<double>(INT_MAX));
        int r = ::poll(&p, 1, static_cast<int>(ms));
        if (r < 0 && errno == EINTR) continue;
        if (r < 1) return std::nullopt;
        char chunk[8192];
        ssize_t n = ::read(stdoutFD_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 1) return std::nullopt;
        readBuffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

void PolishService::startStderrDrain() {
    auto drain = std::make_shared<StderrDrain>();
    stderrDrain_ = drain;
    stderrWakeFD_ = ::eventfd(0, EFD_CLOEXEC);
    const int fd = stderrFD_;
    const int wake = stderrWakeFD_;
    stderrThread_ = std::thread([drain, fd, wake] {
        pollfd p[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
        char chunk[4096];
        for (;;) {
            int r = ::poll(p, wake >= 0 ? 2 : 1, -1);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 || (p[1].revents & POLLIN)) break;
            ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            std::lock_guard<std::mutex> g(drain->lock);
            const std::size_t room = maxStderrBytes - std::min(maxStderrBytes, drain->head.size());
            drain->head.append(chunk, std::min(room, static_cast<std::size_t>(n)));
            drain->changed.notify_all();
        }
        std::lock_guard<std::mutex> g(drain->lock);
        drain->ended = true;
        drain->changed.notify_all();
    });
}

void PolishService::stopStderrDrain() {
    if (stderrThread_.joinable()) {
        if (stderrWakeFD_ >= 0) {
            const uint64_t one = 1;
            (void)!::write(stderrWakeFD_, &one, sizeof one);
        }
        stderrThread_.join();
    }
    if (stderrWakeFD_ >= 0) ::close(stderrWakeFD_);
    stderrWakeFD_ = -1;
    stderrDrain_.reset();
}

std::optional<std::string> PolishService::drainStderr() {
    if (!stderrDrain_) return std::nullopt;
    std::unique_lock<std::mutex> g(stderrDrain_->lock);
    stderrDrain_->changed.wait_for(g, std::chrono::milliseconds(200),
                                   [&] { return !stderrDrain_->head.empty() || stderrDrain_->ended; });
    if (stderrDrain_->head.empty()) return std::nullopt;
    return text::trimmed(text::sanitizeUTF8(stderrDrain_->head));
}

void PolishService::stopHelper() {
    if (stdinFD_ >= 0) {
        writeToChild(stdinFD_, "quit\n", 0);
        ::close(stdinFD_);
    }
    if (process_ > 0) {
        int status = 0;
        if (::waitpid(process_, &status, WNOHANG) == 0) {
            ::kill(process_, SIGTERM);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            bool exited = false;
            while (!exited && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                exited = ::waitpid(process_, &status, WNOHANG) != 0;
            }
            if (!exited) {
                ::kill(process_, SIGKILL);
                ::waitpid(process_, &status, 0);
            }
        }
    }
    stopStderrDrain();
    if (stdoutFD_ >= 0) ::close(stdoutFD_);
    if (stderrFD_ >= 0) ::close(stderrFD_);
    process_ = -1;
    stdinFD_ = stdoutFD_ = stderrFD_ = -1;
    readBuffer_.clear();
}

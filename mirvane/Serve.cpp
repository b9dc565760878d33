#include "Serve.h"

#include "TextUtil.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

using nlohmann::json;

namespace mirvane {

namespace {
bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string withoutLineEnding(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}
}  // namespace

LineReader::Status LineReader::next(std::string& line, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
            const bool dropped = discarding_;
            line = withoutLineEnding(buffer_.substr(0, nl));
            buffer_.erase(0, nl + 1);
            discarding_ = false;
            if (dropped) return Status::tooLong;
            return Status::line;
        }
        if (buffer_.size() > kMaxLineBytes) {
            // Keep reading to the line's end, but hold none of it.
            buffer_.clear();
            discarding_ = true;
        }
        if (eof_) {
            if (discarding_) {
                discarding_ = false;
                return Status::tooLong;
            }
            if (buffer_.empty()) return Status::endOfInput;
            line = withoutLineEnding(std::move(buffer_));
            buffer_.clear();
            return Status::line;
        }
        int wait = -1;
        if (timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return Status::timedOut;
            wait = static_cast<int>(left.count());
        }
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, wait);
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) return Status::timedOut;
        char chunk[65536];
        ssize_t n = r < 0 ? -1 : ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            eof_ = true;
            continue;
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

bool writeMessage(int fd, const json& message) {
    std::string bytes;
    try {
        bytes = message.dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (...) {
        bytes = R"({"ok":false,"err":"the reply could not be encoded"})";
    }
    return writeAll(fd, bytes.data(), bytes.size()) && writeAll(fd, "\n", 1);
}

LineAction classifyLine(const std::string& trimmedLine) {
    if (trimmedLine.empty()) return LineAction::skip;
    if (trimmedLine == "quit") return LineAction::quit;
    return LineAction::request;
}

long long steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool serveLines(int inFd, int outFd, FMResponder& responder, const PeerPace& pace) {
    auto waitingFrom = [&](long long ms) {
        if (pace.waitingSinceMs) pace.waitingSinceMs->store(ms);
    };
    waitingFrom(steadyMs());
    if (!writeMessage(outFd, {{"ready", true}})) return false;
    const long long firstRequestBy = pace.firstRequestMs < 0 ? -1 : steadyMs() + pace.firstRequestMs;
    bool asked = false;
    LineReader reader(inFd);
    std::string line;
    for (;;) {
        int waitMs = pace.idleMs;
        if (!asked && firstRequestBy >= 0) {
            const long long left = std::max<long long>(firstRequestBy - steadyMs(), 0);
            if (waitMs < 0 || left < waitMs) waitMs = static_cast<int>(left);
        }
        switch (reader.next(line, waitMs)) {
            case LineReader::Status::endOfInput: return true;
            case LineReader::Status::timedOut: return false;
            case LineReader::Status::tooLong:
                asked = true;
                waitingFrom(-1);
                if (!writeMessage(outFd, {{"ok", false}, {"err", "bad request"}})) return false;
                waitingFrom(steadyMs());
                continue;
            case LineReader::Status::line: break;
        }
        const std::string t = text::trimmed(line);
        switch (classifyLine(t)) {
            case LineAction::skip: continue;
            case LineAction::quit: return true;
            case LineAction::request: break;
        }
        asked = true;
        waitingFrom(-1);
        json request = json::parse(t, nullptr, false);
        const bool parsed = !request.is_discarded() && request.is_object();
        std::unique_lock<std::mutex> turn;
        if (pace.responderLock && parsed) turn = std::unique_lock<std::mutex>(*pace.responderLock);
        json reply = parsed ? responder.answer(request) : json{{"ok", false}, {"err", "bad request"}};
        if (!writeMessage(outFd, reply)) return false;
        // The next spare is built after the reply is out, never before it.
        if (parsed) responder.rebuildSpare();
        waitingFrom(steadyMs());
    }
}

std::shared_ptr<const ModelClient> modelOrReport() {
    ModelAvailability a = checkAvailability(loadModelSettings());
    if (!a.available) {
        // The reason may quote a server's answer or a configured value.
        const std::string out = "mirvane: model unavailable\nmirvane: " + text::shownOn(STDERR_FILENO, a.reason) + "\n";
        writeAll(STDERR_FILENO, out.data(), out.size());
        return nullptr;
    }
    return std::make_shared<ModelClient>(a.endpoint);
}

namespace FMServe {
int loop() {
    auto client = modelOrReport();
    if (!client) return 3;
    {
        FMResponder responder(client);
        serveLines(STDIN_FILENO, STDOUT_FILENO, responder);
    }
    BackgroundWork::shared().shutdown();
    return 0;
}
}  // namespace FMServe

}  // namespace mirvane

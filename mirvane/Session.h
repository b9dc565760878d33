#pragma once
// A conversation with the model that starts from a fixed set of instructions
// (the system message) and keeps its own transcript, so a session used for
// several requests sees the earlier exchanges, as a chat session does.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "ModelServer.h"

namespace mirvane {

// Background requests (pre-warming) that must never delay an answer nor keep
// the process alive: each runs on its own thread, and `shutdown` cancels the
// transfers still in flight and waits for their threads.
class BackgroundWork {
public:
    static BackgroundWork& shared();
    void run(std::function<void(const std::atomic<bool>& cancel)> work);
    void shutdown();
    ~BackgroundWork();

private:
    struct Task {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::mutex lock_;
    std::vector<Task> tasks_;
    std::atomic<bool> cancel_{false};
};

class LanguageModelSession {
public:
    LanguageModelSession(std::shared_ptr<const ModelClient> client, std::string instructions);

    // Has the server process the instructions now (a one-token request in the
    // background), so a later request finds them cached and the model loaded.
    void prewarm();

    // Sends `prompt` after the transcript so far; a successful exchange joins
    // the transcript. Times out with an error after `timeoutMs`.
    ChatResult respond(const std::string& prompt, double temperature, long timeoutMs = kRequestTimeoutMs);

    std::size_t turns() const { return transcript_.size() / 2; }
    const std::string& instructions() const { return instructions_; }

private:
    nlohmann::json messages(const std::string& prompt) const;

    std::shared_ptr<const ModelClient> client_;
    std::string instructions_;
    std::vector<std::pair<std::string, std::string>> transcript_;  // (role, content)
};

}  // namespace mirvane

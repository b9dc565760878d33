#include "Session.h"

namespace mirvane {

namespace {
// A pre-warm may have to wait for the server to load the model from disk.
constexpr long kPrewarmTimeoutMs = 120000;
}  // namespace

BackgroundWork& BackgroundWork::shared() {
    static BackgroundWork work;
    return work;
}

void BackgroundWork::run(std::function<void(const std::atomic<bool>& cancel)> work) {
    std::lock_guard<std::mutex> g(lock_);
    if (cancel_) return;
    // Finished threads are joined here, so a long session keeps only the few
    // still running.
    for (auto it = tasks_.begin(); it != tasks_.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = tasks_.erase(it);
        } else {
            ++it;
        }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    tasks_.push_back({std::thread([this, work = std::move(work), done] {
                          work(cancel_);
                          done->store(true);
                      }),
                      done});
}

void BackgroundWork::shutdown() {
    std::vector<Task> tasks;
    {
        std::lock_guard<std::mutex> g(lock_);
        cancel_ = true;
        tasks.swap(tasks_);
    }
    for (auto& t : tasks) t.thread.join();
}

BackgroundWork::~BackgroundWork() { shutdown(); }

LanguageModelSession::LanguageModelSession(std::shared_ptr<const ModelClient> client, std::string instructions)
    : client_(std::move(client)), instructions_(std::move(instructions)) {}

nlohmann::json LanguageModelSession::messages(const std::string& prompt) const {
    nlohmann::json m = nlohmann::json::array();
    m.push_back({{"role", "system"}, {"content", instructions_}});
    for (const auto& [role, content] : transcript_) m.push_back({{"role", role}, {"content", content}});
    m.push_back({{"role", "user"}, {"content", prompt}});
    return m;
}

void LanguageModelSession::prewarm() {
    ChatRequest request;
    request.messages = messages("");
    request.maxTokens = 1;
    request.timeoutMs = kPrewarmTimeoutMs;
    BackgroundWork::shared().run([client = client_, request](const std::atomic<bool>& cancel) mutable {
        request.cancel = &cancel;
        client->chat(request);  // only its side effect on the server matters
    });
}

ChatResult LanguageModelSession::respond(const std::string& prompt, double temperature, long timeoutMs) {
    ChatRequest request;
    request.messages = messages(prompt);
    request.temperature = temperature;
    request.timeoutMs = timeoutMs;
    ChatResult result = client_->chat(request);
    if (result.ok) {
        transcript_.emplace_back("user", prompt);
        transcript_.emplace_back("assistant", result.text);
    }
    return result;
}

}  // namespace mirvane

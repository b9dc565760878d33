#pragma once
// Turns one request object into one reply object with the model. One
// pre-warmed polish session waits as the spare, so the common request (polish
// without an instruction) starts on a session whose instructions are ready.
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "Session.h"

namespace mirvane {

class FMResponder {
public:
    // Reads FM_SERVE_REUSE ("1" turns reuse on) and builds the pre-warmed spare.
    explicit FMResponder(std::shared_ptr<const ModelClient> client);

    // Never throws: a bad request or a model failure is a failure reply.
    nlohmann::json answer(const nlohmann::json& request);

    std::unique_ptr<LanguageModelSession> newSession(const std::string& mode, const std::string& instruction);
    void keepWarm();
    // Builds a new pre-warmed spare when none is held.
    void rebuildSpare();

    bool reuse() const { return reuse_; }
    bool hasSpare() const { return spare_ != nullptr; }

    // A reused session is retired after this many exchanges, so its transcript
    // can neither grow without bound nor carry old texts into every answer.
    static constexpr std::size_t kMaxReusedTurns = 8;

private:
    std::shared_ptr<const ModelClient> client_;
    std::unique_ptr<LanguageModelSession> spare_;
    bool reuse_ = false;
};

// The model's answer as it is returned: trimmed, and one pair of wrapping
// quotes dropped.
std::string cleanedAnswer(const std::string& content);

}  // namespace mirvane

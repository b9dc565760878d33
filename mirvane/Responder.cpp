#include "Responder.h"

#include "Instructions.h"
#include "TextUtil.h"

#include <cstdlib>
#include <cstring>

using nlohmann::json;

namespace mirvane {

namespace {
json failure(const std::string& err) { return {{"ok", false}, {"err", err}}; }
}  // namespace

std::string cleanedAnswer(const std::string& content) { return text::strippingSurroundingQuotes(text::trimmed(content)); }

FMResponder::FMResponder(std::shared_ptr<const ModelClient> client) : client_(std::move(client)) {
    const char* v = std::getenv("FM_SERVE_REUSE");
    reuse_ = v != nullptr && std::strcmp(v, "1") == 0;
    spare_ = newSession("polish", "");
}

std::unique_ptr<LanguageModelSession> FMResponder::newSession(const std::string& mode, const std::string& instruction) {
    auto session = std::make_unique<LanguageModelSession>(client_, instructionsFor(mode, instruction));
    session->prewarm();
    return session;
}

void FMResponder::keepWarm() {
    if (spare_) spare_->prewarm();
}

void FMResponder::rebuildSpare() {
    if (!spare_) spare_ = newSession("polish", "");
}

json FMResponder::answer(const json& request) {
    if (!request.is_object() || !request.contains("text") || !request["text"].is_string()) return failure("bad request");
    const std::string textIn = text::trimmed(request["text"].get<std::string>());
    if (textIn.empty()) return failure("bad request");
    const std::string mode =
        request.contains("mode") && request["mode"].is_string() ? request["mode"].get<std::string>() : "polish";
    const std::string instruction = request.contains("instruction") && request["instruction"].is_string()
                                        ? request["instruction"].get<std::string>()
                                        : "";

    const bool common = mode == "polish" && instruction.empty() && spare_ != nullptr;
    std::unique_ptr<LanguageModelSession> oneOff;
    LanguageModelSession* session;
    if (common && reuse_) {
        session = spare_.get();
    } else if (common) {
        oneOff = std::move(spare_);
        session = oneOff.get();
    } else {
        oneOff = newSession(mode, instruction);
        session = oneOff.get();
    }

    ChatResult result = session->respond("Clean this: " + textIn, 0.0);
    if (session == spare_.get() && (!result.ok || spare_->turns() >= kMaxReusedTurns)) {
        // A reused session that failed, or has seen enough, is retired; the
        // serve loop builds a fresh spare after the reply.
        spare_.reset();
    }
    if (!result.ok) return failure(result.error);
    return {{"ok", true}, {"text", cleanedAnswer(result.text)}};
}

}  // namespace mirvane

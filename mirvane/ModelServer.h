#pragma once
// The language model: an OpenAI-compatible chat-completions server on this
// machine (llama.cpp's llama-server, Ollama, ...). Nothing leaves the machine:
// only plain HTTP to loopback addresses is accepted, proxies are never used
// and redirects are never followed.
#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace mirvane {

// Where the model lives and which model to ask.
struct ModelEndpoint {
    std::string baseURL;  // e.g. http://127.0.0.1:8080, without a trailing "/" or "/v1"
    std::string model;
};

// What the user configured: environment first, then the configuration file;
// either may be absent.
struct ModelSettings {
    std::optional<std::string> endpoint;
    std::optional<std::string> model;
    std::string endpointSource;          // names where `endpoint` came from, for reasons
    std::optional<std::string> problem;  // a configuration file that could not be used
};

// MIRVANE_ENDPOINT / MIRVANE_MODEL, else <config>/Ondira/mirvane.json
// ($XDG_CONFIG_HOME when absolute, else <home>/.config).
ModelSettings loadModelSettings();
std::string configFilePath();

// The servers tried, in order, when no endpoint is configured: llama-server's
// and Ollama's default ports on loopback.
const std::vector<std::string>& defaultEndpoints();

// Normalises a base URL and checks that it is plain HTTP to a loopback host
// (127.0.0.0/8, ::1, localhost). Returns the normalised URL, or nothing with
// `why` filled.
std::optional<std::string> checkedLoopbackURL(const std::string& url, std::string* why = nullptr);

struct ModelAvailability {
    bool available = false;
    std::string reason;  // what to start or configure when not available
    ModelEndpoint endpoint;
};

// Asks the configured server (or each default one in turn) for its model list
// within about 2 s and picks the configured model, or the first one listed.
ModelAvailability checkAvailability(const ModelSettings& settings,
                                    const std::vector<std::string>& candidates = defaultEndpoints());

// The outcome of one chat request: the reply text, or an error description.
struct ChatResult {
    bool ok = false;
    std::string text;
    std::string error;
};

struct ChatRequest {
    nlohmann::json messages;  // [{"role":..., "content":...}, ...]
    double temperature = 0.0;
    std::optional<int> maxTokens;  // none: no limit
    long timeoutMs = 18000;
    const std::atomic<bool>* cancel = nullptr;  // aborts the transfer when it becomes true
};

class ModelClient {
public:
    explicit ModelClient(ModelEndpoint endpoint) : endpoint_(std::move(endpoint)) {}
    const ModelEndpoint& endpoint() const { return endpoint_; }
    // Safe to call from several threads at once.
    ChatResult chat(const ChatRequest& request) const;

private:
    ModelEndpoint endpoint_;
};

// How long a rewrite may take before it is answered with an error, so the
// caller's own 20 s limit never has to kill the helper.
inline constexpr long kRequestTimeoutMs = 18000;

}  // namespace mirvane

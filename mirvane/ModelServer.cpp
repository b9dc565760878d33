#include "ModelServer.h"

#include "FileRead.h"
#include "TextUtil.h"

#include <curl/curl.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <sstream>

using nlohmann::json;

namespace mirvane {

namespace {
constexpr long kAvailabilityTimeoutMs = 2000;
constexpr std::size_t kMaxResponseBytes = 16 * 1024 * 1024;
// Two settings; a file far larger than this is not the helper's configuration.
constexpr std::size_t kMaxConfigBytes = 64 * 1024;

std::optional<std::string> env(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') return std::nullopt;
    return std::string(v);
}

std::string homeDirectory() {
    if (auto h = env("HOME")) return *h;
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
    return "/";
}

bool isDecimalOctet(const std::string& s) {
    if (s.empty() || s.size() > 3) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return std::stoi(s) <= 255;
}

bool isLoopbackHost(std::string host) {
    for (auto& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (host == "localhost" || host == "[::1]") return true;
    std::vector<std::string> parts;
    std::stringstream in(host);
    for (std::string part; std::getline(in, part, '.');) parts.push_back(part);
    if (parts.size() != 4 || host.back() == '.') return false;
    for (const auto& p : parts)
        if (!isDecimalOctet(p)) return false;
    return parts[0] == "127";
}

struct CurlHandle {
    CURL* h = curl_easy_init();
    curl_slist* headers = nullptr;
    curl_slist* resolve = nullptr;
    ~CurlHandle() {
        if (headers) curl_slist_free_all(headers);
        if (resolve) curl_slist_free_all(resolve);
        if (h) curl_easy_cleanup(h);
    }
};

struct Transfer {
    std::string body;
    bool tooLarge = false;
    const std::atomic<bool>* cancel = nullptr;
};

size_t onData(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (t->body.size() + n > kMaxResponseBytes) {
        t->tooLarge = true;
        return 0;
    }
    t->body.append(data, n);
    return n;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* t = static_cast<Transfer*>(user);
    return (t->cancel != nullptr && t->cancel->load()) ? 1 : 0;
}

struct HttpResult {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
    std::string error;  // curl's own words when the transfer failed
    bool tooLarge = false;
};

// One request to a loopback URL. `url` must already have passed
// checkedLoopbackURL; the options below keep it on this machine anyway.
HttpResult httpRequest(const std::string& url, const std::string* postBody, long timeoutMs,
                       const std::atomic<bool>* cancel) {
    HttpResult result;
    CurlHandle c;
    if (c.h == nullptr) {
        result.code = CURLE_FAILED_INIT;
        result.error = "could not start an HTTP transfer";
        return result;
    }
    Transfer t;
    t.cancel = cancel;
    char errbuf[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(c.h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c.h, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(c.h, CURLOPT_REDIR_PROTOCOLS_STR, "http");
    curl_easy_setopt(c.h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c.h, CURLOPT_PROXY, "");
    curl_easy_setopt(c.h, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(c.h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c.h, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(c.h, CURLOPT_CONNECTTIMEOUT_MS, std::min(timeoutMs, kAvailabilityTimeoutMs));
    curl_easy_setopt(c.h, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(c.h, CURLOPT_WRITEFUNCTION, onData);
    curl_easy_setopt(c.h, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(c.h, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(c.h, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(c.h, CURLOPT_NOPROGRESS, 0L);
    // "localhost" never goes to a name server: it is pinned to loopback.
    if (CURLU* u = curl_url()) {
        char* host = nullptr;
        char* port = nullptr;
        if (curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
            curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
            curl_url_get(u, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
            std::string h = host;
            for (auto& ch : h) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            if (h == "localhost") {
                c.resolve = curl_slist_append(nullptr, ("localhost:" + std::string(port) + ":127.0.0.1,[::1]").c_str());
                curl_easy_setopt(c.h, CURLOPT_RESOLVE, c.resolve);
            }
        }
        curl_free(host);
        curl_free(port);
        curl_url_cleanup(u);
    }
    if (postBody != nullptr) {
        c.headers = curl_slist_append(c.headers, "Content-Type: application/json");
        curl_easy_setopt(c.h, CURLOPT_HTTPHEADER, c.headers);
        curl_easy_setopt(c.h, CURLOPT_POSTFIELDS, postBody->c_str());
        curl_easy_setopt(c.h, CURLOPT_POSTFIELDSIZE, static_cast<long>(postBody->size()));
    }
    result.code = curl_easy_perform(c.h);
    curl_easy_getinfo(c.h, CURLINFO_RESPONSE_CODE, &result.status);
    result.body = std::move(t.body);
    result.tooLarge = t.tooLarge;
    if (result.code != CURLE_OK) result.error = errbuf[0] != '\0' ? errbuf : curl_easy_strerror(result.code);
    return result;
}

// The server's words for a failed request, kept short.
std::string serverMessage(const std::string& body) {
    json j = json::parse(text::sanitizeUTF8(body), nullptr, false);
    if (j.is_object()) {
        if (j.contains("error")) {
            const json& e = j["error"];
            if (e.is_string()) return e.get<std::string>();
            if (e.is_object() && e.contains("message") && e["message"].is_string()) return e["message"].get<std::string>();
        }
    }
    std::string t = text::trimmed(text::sanitizeUTF8(body.substr(0, 200)));
    return t;
}

enum class ListOutcome { answered, notAnswering, notAModelServer };

ListOutcome listModels(const std::string& base, std::vector<std::string>& ids, std::string& detail) {
    HttpResult r = httpRequest(base + "/v1/models", nullptr, kAvailabilityTimeoutMs, nullptr);
    if (r.code != CURLE_OK) {
        detail = r.error;
        return ListOutcome::notAnswering;
    }
    if (r.status != 200) {
        detail = "HTTP " + std::to_string(r.status);
        return ListOutcome::notAModelServer;
    }
    json j = json::parse(text::sanitizeUTF8(r.body), nullptr, false);
    if (!j.is_object() || !j.contains("data") || !j["data"].is_array()) {
        detail = "its model list is not in the OpenAI format";
        return ListOutcome::notAModelServer;
    }
    for (const auto& m : j["data"])
        if (m.is_object() && m.contains("id") && m["id"].is_string()) ids.push_back(m["id"].get<std::string>());
    return ListOutcome::answered;
}

std::string joinedModels(const std::vector<std::string>& ids) {
    std::string out;
    for (std::size_t i = 0; i < ids.size() && i < 8; ++i) out += (i ? ", " : "") + ids[i];
    if (ids.size() > 8) out += ", ...";
    return out;
}
}  // namespace

std::string configFilePath() {
    std::string base;
    if (auto x = env("XDG_CONFIG_HOME"); x && x->front() == '/') base = *x;
    else base = homeDirectory() + "/.config";
    return base + "/Ondira/mirvane.json";
}

ModelSettings loadModelSettings() {
    ModelSettings s;
    const std::string path = configFilePath();
    const SmallFile file = readSmallRegularFile(path, kMaxConfigBytes);
    if (!file.missing && !file.bytes) s.problem = file.problem;
    if (file.bytes) {
        json j = json::parse(*file.bytes, nullptr, false);
        if (!j.is_object()) {
            s.problem = path + " is not a JSON object like {\"endpoint\": \"http://127.0.0.1:8080\", \"model\": \"...\"}";
        } else {
            if (j.contains("endpoint") && j["endpoint"].is_string() && !j["endpoint"].get<std::string>().empty()) {
                s.endpoint = j["endpoint"].get<std::string>();
                s.endpointSource = path;
            }
            if (j.contains("model") && j["model"].is_string() && !j["model"].get<std::string>().empty())
                s.model = j["model"].get<std::string>();
        }
    }
    if (auto e = env("MIRVANE_ENDPOINT")) {
        s.endpoint = e;
        s.endpointSource = "MIRVANE_ENDPOINT";
    }
    if (auto m = env("MIRVANE_MODEL")) s.model = m;
    return s;
}

const std::vector<std::string>& defaultEndpoints() {
    static const std::vector<std::string> endpoints = {"http://127.0.0.1:8080", "http://127.0.0.1:11434"};
    return endpoints;
}

std::optional<std::string> checkedLoopbackURL(const std::string& url, std::string* why) {
    auto fail = [&](const std::string& reason) -> std::optional<std::string> {
        if (why) *why = reason;
        return std::nullopt;
    };
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> u(curl_url(), curl_url_cleanup);
    if (!u || curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
        return fail("\"" + url + "\" is not a URL like http://127.0.0.1:8080");
    auto part = [&](CURLUPart p) -> std::string {
        char* v = nullptr;
        std::string out;
        if (curl_url_get(u.get(), p, &v, 0) == CURLUE_OK && v != nullptr) out = v;
        curl_free(v);
        return out;
    };
    std::string scheme = part(CURLUPART_SCHEME);
    for (auto& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "http") return fail("\"" + url + "\" is not plain http:// (the model server must run on this machine)");
    const std::string host = part(CURLUPART_HOST);
    if (!isLoopbackHost(host))
        return fail("\"" + url + "\" is not on this machine (only 127.0.0.1, ::1 or localhost are allowed)");
    if (!part(CURLUPART_QUERY).empty() || !part(CURLUPART_FRAGMENT).empty())
        return fail("\"" + url + "\" must be a base URL without a query");
    std::string port = part(CURLUPART_PORT);
    std::string path = part(CURLUPART_PATH);
    while (!path.empty() && path.back() == '/') path.pop_back();
    if (path.size() >= 3 && path.compare(path.size() - 3, 3, "/v1") == 0) path.resize(path.size() - 3);
    std::string out = "http://" + host + (port.empty() ? "" : ":" + port) + path;
    return out;
}

ModelAvailability checkAvailability(const ModelSettings& settings, const std::vector<std::string>& candidates) {
    ModelAvailability a;
    if (settings.problem) {
        a.reason = "fix " + *settings.problem;
        return a;
    }
    std::vector<std::string> bases;
    if (settings.endpoint) {
        std::string why;
        auto base = checkedLoopbackURL(*settings.endpoint, &why);
        if (!base) {
            a.reason = settings.endpointSource + ": " + why;
            return a;
        }
        bases.push_back(*base);
    } else {
        bases = candidates;
    }
    std::vector<std::string> unanswered;
    std::optional<std::string> notModelServer;
    for (const auto& base : bases) {
        std::vector<std::string> ids;
        std::string detail;
        switch (listModels(base, ids, detail)) {
            case ListOutcome::notAnswering: unanswered.push_back(base); continue;
            case ListOutcome::notAModelServer:
                // Something else may live on a default port; try the next one.
                notModelServer = "the server at " + base + " is not an OpenAI-compatible model server (" + detail +
                                 ") — start llama-server or Ollama, or set MIRVANE_ENDPOINT";
                continue;
            case ListOutcome::answered: break;
        }
        if (ids.empty()) {
            a.reason = "the model server at " + base +
                       " lists no models — load one in llama-server or pull one with "
                       "ollama pull";
            return a;
        }
        std::string model = settings.model.value_or(ids.front());
        bool listed = false;
        for (const auto& id : ids) listed = listed || id == model;
        if (!listed) {
            a.reason = "the model server at " + base + " does not have the model \"" + model +
                       "\" — load or pull it, or set MIRVANE_MODEL to one of: " + joinedModels(ids);
            return a;
        }
        a.available = true;
        a.reason = "Ready";
        a.endpoint = {base, model};
        return a;
    }
    if (notModelServer) {
        a.reason = *notModelServer;
    } else if (settings.endpoint) {
        a.reason = "no model server answered at " + bases.front() + " (" + settings.endpointSource +
                   ") — start llama-server or Ollama there, or change the endpoint";
    } else {
        std::string list;
        for (std::size_t i = 0; i < unanswered.size(); ++i) list += (i ? " or " : "") + unanswered[i];
        a.reason = "no local model server answered at " + list +
                   " — start llama-server (port 8080) or Ollama (port 11434), or set MIRVANE_ENDPOINT";
    }
    return a;
}

ChatResult ModelClient::chat(const ChatRequest& request) const {
    ChatResult out;
    json body = {
        {"model", endpoint_.model}, {"messages", request.messages}, {"temperature", request.temperature}, {"stream", false}};
    if (request.maxTokens) body["max_tokens"] = *request.maxTokens;
    const std::string payload = body.dump(-1, ' ', false, json::error_handler_t::replace);
    HttpResult r = httpRequest(endpoint_.baseURL + "/v1/chat/completions", &payload, request.timeoutMs, request.cancel);
    if (r.code == CURLE_OPERATION_TIMEDOUT) {
        out.error = "the model did not answer within " + std::to_string(request.timeoutMs / 1000) + " s";
        return out;
    }
    if (r.code == CURLE_ABORTED_BY_CALLBACK) {
        out.error = "the request was cancelled";
        return out;
    }
    if (r.tooLarge) {
        out.error = "the model server's reply was too large";
        return out;
    }
    if (r.code != CURLE_OK) {
        out.error = "could not reach the model server at " + endpoint_.baseURL + ": " + r.error;
        return out;
    }
    if (r.status != 200) {
        std::string msg = serverMessage(r.body);
        out.error = "the model server answered HTTP " + std::to_string(r.status) + (msg.empty() ? "" : ": " + msg);
        return out;
    }
    // A model can emit bytes that are not UTF-8; they become U+FFFD here so
    // the answer still parses and can be passed on.
    json j = json::parse(text::sanitizeUTF8(r.body), nullptr, false);
    if (!j.is_object() || !j.contains("choices") || !j["choices"].is_array() || j["choices"].empty()) {
        out.error = "the model server's reply is not a chat completion";
        return out;
    }
    const json& choice = j["choices"][0];
    if (!choice.is_object() || !choice.contains("message") || !choice["message"].is_object() ||
        !choice["message"].contains("content") || !choice["message"]["content"].is_string()) {
        out.error = "the model server's reply has no text";
        return out;
    }
    out.ok = true;
    out.text = choice["message"]["content"].get<std::string>();
    return out;
}

}  // namespace mirvane

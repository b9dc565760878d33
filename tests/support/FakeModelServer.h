#pragma once
// A scripted stand-in for a local OpenAI-compatible model server (llama.cpp's
// llama-server, Ollama): plain HTTP on 127.0.0.1 with an ephemeral port,
// answering GET /v1/models and POST /v1/chat/completions as each test says.
// Every connection gets its own thread, so a slow answer doesn't hold others.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

class FakeModelServer {
public:
    struct Reply {
        int status = 200;
        std::string body;
        int delayMs = 0;
    };
    using ChatHandler = std::function<Reply(const nlohmann::json& request)>;

    // A chat completion whose message content is `content`, written into the
    // JSON as raw bytes (quotes, backslashes and control bytes escaped, every
    // other byte as it is) so a test can send bytes that are not UTF-8.
    static Reply completion(const std::string& content, int delayMs = 0) {
        std::string escaped;
        for (unsigned char c : content) {
            if (c == '"' || c == '\\') escaped += '\\', escaped += static_cast<char>(c);
            else if (c == '\n') escaped += "\\n";
            else if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                escaped += buf;
            } else escaped += static_cast<char>(c);
        }
        return {200,
                R"({"id":"x","object":"chat.completion","choices":[{"index":0,"message":{"role":"assistant","content":")" +
                    escaped + R"("},"finish_reason":"stop"}]})",
                delayMs};
    }

    FakeModelServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listener_, 16);
        socklen_t len = sizeof addr;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        acceptor_ = std::thread([this] { acceptLoop(); });
    }
    ~FakeModelServer() { stop(); }

    void stop() {
        if (stopping_.exchange(true)) return;
        if (acceptor_.joinable()) acceptor_.join();
        ::close(listener_);
        std::vector<std::thread> workers;
        {
            std::lock_guard<std::mutex> g(lock_);
            workers.swap(workers_);
        }
        for (auto& w : workers) w.join();
    }

    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

    void setModels(std::vector<std::string> ids) {
        std::lock_guard<std::mutex> g(lock_);
        models_ = std::move(ids);
    }
    // The model list endpoint answers with this status instead (0: normal).
    void setModelListStatus(int status) {
        std::lock_guard<std::mutex> g(lock_);
        modelListStatus_ = status;
    }
    // Answers the chat requests that are not one-token pre-warms.
    void onChat(ChatHandler handler) {
        std::lock_guard<std::mutex> g(lock_);
        chat_ = std::move(handler);
    }

    // Answers the one-token pre-warm requests (default: at once).
    void onPrewarm(ChatHandler handler) {
        std::lock_guard<std::mutex> g(lock_);
        prewarm_ = std::move(handler);
    }

    // Every chat request received, pre-warms included, in arrival order.
    std::vector<nlohmann::json> chatRequests() const {
        std::lock_guard<std::mutex> g(lock_);
        return chatRequests_;
    }
    // Only the requests that asked for an answer (no one-token limit).
    std::vector<nlohmann::json> answerRequests() const {
        std::vector<nlohmann::json> out;
        for (auto& r : chatRequests())
            if (!isPrewarm(r)) out.push_back(r);
        return out;
    }
    static bool isPrewarm(const nlohmann::json& r) { return r.contains("max_tokens") && r["max_tokens"] == 1; }
    int modelListCalls() const { return modelListCalls_; }

    // A port on 127.0.0.1 where nothing listens (bound, then closed).
    static int closedPort() {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        ::close(fd);
        return ntohs(addr.sin_port);
    }

private:
    void acceptLoop() {
        while (!stopping_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            int conn = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn < 0) continue;
            std::lock_guard<std::mutex> g(lock_);
            workers_.emplace_back([this, conn] {
                handle(conn);
                ::close(conn);
            });
        }
    }

    void handle(int conn) {
        std::string data;
        char buf[8192];
        std::size_t headerEnd;
        while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
            ssize_t n = ::recv(conn, buf, sizeof buf, 0);
            if (n <= 0) return;
            data.append(buf, static_cast<std::size_t>(n));
        }
        const std::string head = data.substr(0, headerEnd);
        std::size_t length = 0;
        for (const char* key : {"Content-Length:", "content-length:"})
            if (auto at = head.find(key); at != std::string::npos) length = std::stoul(head.substr(at + 15));
        std::string body = data.substr(headerEnd + 4);
        while (body.size() < length) {
            ssize_t n = ::recv(conn, buf, sizeof buf, 0);
            if (n <= 0) return;
            body.append(buf, static_cast<std::size_t>(n));
        }
        const bool isModels = head.rfind("GET /v1/models ", 0) == 0;
        const bool isChat = head.rfind("POST /v1/chat/completions ", 0) == 0;
        Reply reply{404, R"({"error":{"message":"not found"}})", 0};
        if (isModels) {
            ++modelListCalls_;
            std::lock_guard<std::mutex> g(lock_);
            nlohmann::json list = {{"object", "list"}, {"data", nlohmann::json::array()}};
            for (auto& id : models_) list["data"].push_back({{"id", id}, {"object", "model"}});
            reply = {modelListStatus_ ? modelListStatus_ : 200, list.dump(), 0};
        } else if (isChat) {
            nlohmann::json request = nlohmann::json::parse(body, nullptr, false);
            ChatHandler handler;
            {
                std::lock_guard<std::mutex> g(lock_);
                chatRequests_.push_back(request);
                handler = isPrewarm(request) ? prewarm_ : chat_;
            }
            if (handler) reply = handler(request);
            else if (isPrewarm(request)) reply = completion("");
            else reply = completion("Fine.");
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(reply.delayMs);
        while (!stopping_ && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (stopping_ && reply.delayMs > 0) return;
        std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " X\r\nContent-Type: application/json\r\n" +
                          "Content-Length: " + std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n" +
                          reply.body;
        ::send(conn, out.data(), out.size(), MSG_NOSIGNAL);
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> modelListCalls_{0};
    std::thread acceptor_;
    mutable std::mutex lock_;
    std::vector<std::thread> workers_;
    std::vector<std::string> models_{"test-model"};
    int modelListStatus_ = 0;
    ChatHandler chat_;
    ChatHandler prewarm_;
    std::vector<nlohmann::json> chatRequests_;
};

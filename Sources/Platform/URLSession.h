#pragma once
// Fetching a small document over the network. The program fetches exactly
// one thing, the release manifest, so the session is deliberately narrow:
// one GET, HTTPS only, no redirects, a size cap and a time limit.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Queues.h"

namespace platform {

struct URLParts {
    std::string scheme;  // lower case
    std::string host;    // lower case
    std::string path;
};
// Parses an absolute URL; nullopt when it is not one.
std::optional<URLParts> parseURL(const std::string& url);

struct HTTPResult {
    std::optional<std::string> error;  // set when no complete response arrived
    long statusCode = 0;
    std::string body;
};

class URLSession {
public:
    virtual ~URLSession() = default;
    // Starts one GET of `url`; `completion` runs exactly once, on the
    // session's own queue (never on the caller's stack for the real session).
    virtual void get(const std::string& url, std::function<void(HTTPResult)> completion) = 0;
};

// The real session, on libcurl. Requests run one at a time on the serial
// queue "com.ondira.urlsession"; TLS certificates and host names are verified.
class CurlURLSession final : public URLSession {
public:
    struct Limits {
        double connectTimeoutSeconds = 10.0;
        double totalTimeoutSeconds = 30.0;
        std::size_t maxBodyBytes = 1 << 20;
    };
    explicit CurlURLSession(Limits limits);
    CurlURLSession() : CurlURLSession(Limits{}) {}
    static std::shared_ptr<CurlURLSession> shared();

    void get(const std::string& url, std::function<void(HTTPResult)> completion) override;
    // The same request, on the calling thread.
    HTTPResult getSynchronously(const std::string& url) const;

private:
    Limits limits_;
    SerialQueue queue_{"com.ondira.urlsession", QoS::utility};
};

}  // namespace platform

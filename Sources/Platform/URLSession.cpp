#include "Platform/URLSession.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <mutex>

namespace platform {

namespace {

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string lowercasedASCII(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

struct Body {
    std::string bytes;
    std::size_t limit = 0;
    bool tooLarge = false;
};

size_t appendBody(char* data, size_t size, size_t count, void* userdata) {
    auto* body = static_cast<Body*>(userdata);
    const size_t n = size * count;
    if (body->bytes.size() + n > body->limit) {
        body->tooLarge = true;
        return 0;  // makes curl stop with a write error
    }
    body->bytes.append(data, n);
    return n;
}

}  // namespace

std::optional<URLParts> parseURL(const std::string& url) {
    initialiseCurlOnce();
    CURLU* handle = curl_url();
    if (!handle) return std::nullopt;
    std::optional<URLParts> parts;
    if (curl_url_set(handle, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
        char* scheme = nullptr;
        char* host = nullptr;
        char* path = nullptr;
        if (curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            curl_url_get(handle, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
            curl_url_get(handle, CURLUPART_PATH, &path, 0);
            parts = URLParts{lowercasedASCII(scheme), lowercasedASCII(host), path ? path : ""};
        }
        curl_free(scheme);
        curl_free(host);
        curl_free(path);
    }
    curl_url_cleanup(handle);
    return parts;
}

CurlURLSession::CurlURLSession(Limits limits) : limits_(limits) { initialiseCurlOnce(); }

std::shared_ptr<CurlURLSession> CurlURLSession::shared() {
    static std::shared_ptr<CurlURLSession> session = std::make_shared<CurlURLSession>();
    return session;
}

void CurlURLSession::get(const std::string& url, std::function<void(HTTPResult)> completion) {
    queue_.async([this, url, completion = std::move(completion)] { completion(getSynchronously(url)); });
}

HTTPResult CurlURLSession::getSynchronously(const std::string& url) const {
    HTTPResult result;
    CURL* curl = curl_easy_init();
    if (!curl) {
        result.error = "could not start a network request";
        return result;
    }
    Body body;
    body.limit = limits_.maxBodyBytes;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    // HTTPS only, for the request and for anything it could be sent on to.
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits_.connectTimeoutSeconds * 1000));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(limits_.totalTimeoutSeconds * 1000));
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits_.maxBodyBytes));
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Ondira");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    const CURLcode code = curl_easy_perform(curl);
    if (code == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.statusCode);
        result.body = std::move(body.bytes);
    } else if (body.tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
        result.error = "the response is larger than " + std::to_string(limits_.maxBodyBytes) + " bytes";
    } else {
        result.error = errorBuffer[0] ? std::string(errorBuffer) : std::string(curl_easy_strerror(code));
    }
    curl_easy_cleanup(curl);
    return result;
}

}  // namespace platform

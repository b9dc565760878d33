#include "Update/ChecksumVerifier.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace {

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

std::string lowercasedASCII(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

struct FileCloser {
    int fd;
    ~FileCloser() {
        if (fd >= 0) ::close(fd);
    }
};

struct DigestContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

std::string ChecksumVerificationResult::describe() const {
    switch (kind) {
        case Kind::mismatched: return "mismatched(expected: \"" + expected + "\", actual: \"" + actual + "\")";
        case Kind::unreadable: return "unreadable(\"" + message + "\")";
        case Kind::matched: return "matched";
    }
    return "?";
}

std::string DownloadIntegrityOutcome::describe() const {
    switch (kind) {
        case Kind::mismatched: return "mismatched(expected: \"" + expected + "\", actual: \"" + actual + "\")";
        case Kind::unreadable: return "unreadable(\"" + message + "\")";
        case Kind::verified: return "verified";
        case Kind::noDigestPublished: return "noDigestPublished";
    }
    return "?";
}

namespace ChecksumVerifier {

bool isValidHexDigest(std::string_view text) {
    if (text.size() != 64) return false;
    for (char c : text) {
        if (!isHexDigit(c)) return false;
    }
    return true;
}

SHA256Result sha256Hex(const std::filesystem::path& file) {
    SHA256Result result;
    const std::string path = file.string();
    FileCloser handle{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (handle.fd < 0) {
        result.error = ChecksumIOError{"could not open file for reading: " + path};
        return result;
    }
    std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        result.error = ChecksumIOError{"could not start a SHA-256 computation for " + path};
        return result;
    }
    std::vector<unsigned char> buffer(readChunkBytes);
    for (;;) {
        const ssize_t n = ::read(handle.fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            result.error = ChecksumIOError{"read error on " + path + ": " + std::strerror(errno)};
            return result;
        }
        if (n == 0) break;
        if (EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(n)) != 1) {
            result.error = ChecksumIOError{"SHA-256 computation failed for " + path};
            return result;
        }
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest, &length);
    static const char* hex = "0123456789abcdef";
    result.hex.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        result.hex += hex[digest[i] >> 4];
        result.hex += hex[digest[i] & 0x0f];
    }
    return result;
}

ChecksumVerificationResult verify(const std::filesystem::path& file, const std::string& expectedHexDigest) {
    if (!isValidHexDigest(expectedHexDigest)) {
        return ChecksumVerificationResult::unreadable(
            "expected digest is not a well-formed 64-character hex SHA-256 string: '" + expectedHexDigest + "'");
    }
    SHA256Result digest = sha256Hex(file);
    if (!digest.ok()) return ChecksumVerificationResult::unreadable(digest.error->message);
    const std::string expected = lowercasedASCII(expectedHexDigest);
    if (expected == digest.hex) return ChecksumVerificationResult::matched();
    return ChecksumVerificationResult::mismatched(expected, digest.hex);
}

}  // namespace ChecksumVerifier

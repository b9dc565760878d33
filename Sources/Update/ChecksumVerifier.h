#pragma once
// SHA-256 verification of a downloaded release file against the digest the
// release manifest publishes.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

struct ChecksumIOError {
    std::string message;
    const std::string& description() const { return message; }
};

struct ChecksumVerificationResult {
    enum class Kind { mismatched, unreadable, matched };
    Kind kind = Kind::matched;
    std::string expected;  // mismatched
    std::string actual;    // mismatched
    std::string message;   // unreadable

    static ChecksumVerificationResult mismatched(std::string expected, std::string actual) {
        return {Kind::mismatched, std::move(expected), std::move(actual), {}};
    }
    static ChecksumVerificationResult unreadable(std::string message) {
        return {Kind::unreadable, {}, {}, std::move(message)};
    }
    static ChecksumVerificationResult matched() { return {}; }
    bool operator==(const ChecksumVerificationResult&) const = default;
    std::string describe() const;
};

struct DownloadIntegrityOutcome {
    enum class Kind { mismatched, unreadable, verified, noDigestPublished };
    Kind kind = Kind::verified;
    std::string expected;
    std::string actual;
    std::string message;

    static DownloadIntegrityOutcome mismatched(std::string expected, std::string actual) {
        return {Kind::mismatched, std::move(expected), std::move(actual), {}};
    }
    static DownloadIntegrityOutcome unreadable(std::string message) {
        return {Kind::unreadable, {}, {}, std::move(message)};
    }
    static DownloadIntegrityOutcome verified() { return {}; }
    static DownloadIntegrityOutcome noDigestPublished() { return {Kind::noDigestPublished, {}, {}, {}}; }
    bool operator==(const DownloadIntegrityOutcome&) const = default;
    std::string describe() const;
};

// The digest of a file, or why it could not be computed.
struct SHA256Result {
    std::string hex;
    std::optional<ChecksumIOError> error;
    bool ok() const { return !error; }
};

namespace ChecksumVerifier {

inline constexpr std::size_t readChunkBytes = 1 << 20;

// Exactly 64 hexadecimal digits of either case; nothing is trimmed.
bool isValidHexDigest(std::string_view text);
// 64 lower-case hex digits, reading the file in 1 MiB chunks (never whole).
SHA256Result sha256Hex(const std::filesystem::path& file);
// A malformed expected digest is reported before the file is opened.
ChecksumVerificationResult verify(const std::filesystem::path& file, const std::string& expectedHexDigest);

}  // namespace ChecksumVerifier

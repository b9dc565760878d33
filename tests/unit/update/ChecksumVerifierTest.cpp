#include "Platform/FileIO.h"
#include "Update/ChecksumVerifier.h"
#include "Update/UpdateChecker.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

namespace {
std::string oneShotSHA256(const std::string& bytes) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char b : digest) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}
const std::string kValid(64, 'a');
}  // namespace

TEST(ChecksumVerifier, HexDigestShape) {
    const std::pair<std::string, bool> table[] = {
        {kValid, true},
        {std::string(64, 'F'), true},
        {"0123456789abcdefABCDEF0123456789abcdef0123456789abcdef0123456789", true},
        {std::string(63, 'a'), false},
        {std::string(65, 'a'), false},
        {kValid + "\n", false},
        {" " + kValid.substr(1), false},
        {kValid.substr(1) + "g", false},
        {"", false},
    };
    for (const auto& [text, valid] : table) EXPECT_EQ(ChecksumVerifier::isValidHexDigest(text), valid) << text;
}

// Sizes around the 1 MiB read chunk, against a one-shot digest of the same bytes.
TEST(ChecksumVerifier, StreamsEveryChunkBoundary) {
    TempDir dir("ondira-sha-");
    const std::size_t chunk = ChecksumVerifier::readChunkBytes;
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, chunk - 1, chunk, chunk + 1, 2 * chunk, 2 * chunk + 7}) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + size) & 0xff);
        const auto file = dir / ("f" + std::to_string(size));
        ASSERT_TRUE(platform::atomicWrite(file, bytes));
        auto result = ChecksumVerifier::sha256Hex(file);
        ASSERT_TRUE(result.ok()) << result.error->message;
        EXPECT_EQ(result.hex, oneShotSHA256(bytes)) << size;
    }
}

TEST(ChecksumVerifier, FailuresAreMessagesNotPasses) {
    TempDir dir("ondira-sha-");
    const auto missing = dir / "missing.bin";
    auto open = ChecksumVerifier::sha256Hex(missing);
    ASSERT_FALSE(open.ok());
    EXPECT_EQ(open.error->message, "could not open file for reading: " + missing.string());

    auto unreadable = ChecksumVerifier::sha256Hex(dir.path);  // a directory opens but cannot be read
    ASSERT_FALSE(unreadable.ok());
    EXPECT_EQ(unreadable.error->message.rfind("read error on " + dir.path.string() + ": ", 0), 0u)
        << unreadable.error->message;

    // A malformed digest is reported before the (missing) file is looked at.
    EXPECT_EQ(ChecksumVerifier::verify(missing, kValid + "\n"),
              ChecksumVerificationResult::unreadable(
                  "expected digest is not a well-formed 64-character hex SHA-256 string: '" + kValid + "\n'"));
    EXPECT_EQ(ChecksumVerifier::verify(missing, kValid),
              ChecksumVerificationResult::unreadable("could not open file for reading: " + missing.string()));
}

TEST(ChecksumVerifier, DownloadPolicyAndCommandWords) {
    TempDir dir("ondira-sha-");
    const auto file = dir / "payload.bin";
    ASSERT_TRUE(platform::atomicWrite(file, "abc"));
    const std::string digest = oneShotSHA256("abc");
    std::string upper = digest;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    ReleaseManifest manifest{"2", std::nullopt, std::nullopt, "x", std::nullopt, std::nullopt, std::string()};
    EXPECT_EQ(UpdateChecker::verifyDownloadedArtifact(file, manifest), DownloadIntegrityOutcome::noDigestPublished());
    manifest.sha256 = upper;
    EXPECT_EQ(UpdateChecker::verifyDownloadedArtifact(file, manifest), DownloadIntegrityOutcome::verified());
    // A hand-edited manifest: white space around the digest is not part of it.
    manifest.sha256 = " \t" + digest + "\n";
    EXPECT_EQ(UpdateChecker::verifyDownloadedArtifact(file, manifest), DownloadIntegrityOutcome::verified());
    manifest.sha256 = " \n";
    EXPECT_EQ(UpdateChecker::verifyDownloadedArtifact(file, manifest), DownloadIntegrityOutcome::noDigestPublished());
    manifest.sha256 = std::string(64, '0');
    EXPECT_EQ(UpdateChecker::verifyDownloadedArtifact(file, manifest),
              DownloadIntegrityOutcome::mismatched(std::string(64, '0'), digest));

    struct Case {
        std::vector<std::string> args;
        int status;
        std::string output;
    };
    const Case table[] = {
        {{file.string()}, 2, "Usage: verify-download <file-path> <expected-sha256-hex>"},
        {{file.string(), upper, "ignored"}, 0, "OK: sha256 matches (" + digest + ")"},
        {{file.string(), std::string(64, 'B')},
         1,
         "FAIL: sha256 mismatch\n  expected: " + std::string(64, 'b') + "\n  actual:   " + digest},
        {{(dir / "nope").string(), digest}, 1, "FAIL: could not open file for reading: " + (dir / "nope").string()},
    };
    for (const auto& c : table) {
        std::vector<std::string> lines;
        EXPECT_EQ(UpdateChecker::verifyDownloadCLI(c.args, [&](const std::string& l) { lines.push_back(l); }), c.status);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], c.output);
    }
}

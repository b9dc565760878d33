#pragma once
// What every recognition shares: the result record, the engine identifiers,
// the errors with their messages, and the engine interface.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Engine/MicrophoneRecorder.h"

struct TranscriptionResult {
    std::string text;
    bool isTruncated = false;
    double transcriptionSeconds = 0;
    double endToEndSeconds = 0;
    double audioSeconds = 0;
    std::string engineIdentifier;
    std::filesystem::path sourceAudioURL;

    double realTimeFactor() const { return transcriptionSeconds > 0 ? audioSeconds / transcriptionSeconds : 0; }
};

namespace EngineIdentifier {
// The identifier of each recognition path (see LinuxNames for the names).
const char* contextDecoder();      // whole-take decode with the context terms
const char* personalDecoder();     // the same with the personal model
const char* incrementalDecoder();  // incremental decode with partial text
const char* fileTranscription();   // any audio file
// An identifier read from stored history, in today's spelling.
std::string canonical(const std::string& stored);
}  // namespace EngineIdentifier

struct TranscriptionError {
    enum class Kind {
        engineUnavailable,
        audioFileNotFound,
        transcriptionFailed,
        onDeviceUnavailable,
        speechModelNotInstalled,
        speechModelInstallFailed,
        unsupportedLocale,
        speechModelDownloading,
        notAuthorized,
        emptyTranscript,
        audioTooShort,
    };
    Kind kind;
    std::string value;       // reason, path or locale identifier, by kind
    std::string underlying;  // speechModelInstallFailed only

    static TranscriptionError engineUnavailable(std::string reason) {
        return {Kind::engineUnavailable, std::move(reason), {}};
    }
    static TranscriptionError audioFileNotFound(std::string path) { return {Kind::audioFileNotFound, std::move(path), {}}; }
    static TranscriptionError transcriptionFailed(std::string reason) {
        return {Kind::transcriptionFailed, std::move(reason), {}};
    }
    static TranscriptionError onDeviceUnavailable(std::string id) { return {Kind::onDeviceUnavailable, std::move(id), {}}; }
    static TranscriptionError speechModelNotInstalled(std::string id) {
        return {Kind::speechModelNotInstalled, std::move(id), {}};
    }
    static TranscriptionError speechModelInstallFailed(std::string id, std::string underlying) {
        return {Kind::speechModelInstallFailed, std::move(id), std::move(underlying)};
    }
    static TranscriptionError unsupportedLocale(std::string id) { return {Kind::unsupportedLocale, std::move(id), {}}; }
    static TranscriptionError speechModelDownloading() { return {Kind::speechModelDownloading, {}, {}}; }
    static TranscriptionError notAuthorized() { return {Kind::notAuthorized, {}, {}}; }
    static TranscriptionError emptyTranscript() { return {Kind::emptyTranscript, {}, {}}; }
    static TranscriptionError audioTooShort() { return {Kind::audioTooShort, {}, {}}; }

    std::string errorDescription() const;
    std::string diagnosticDetail() const;
    bool isRetryable() const;
    bool operator==(const TranscriptionError&) const = default;

    // The human name of a locale identifier for messages, "this language"
    // when the current locale has no name for it.
    static std::string languageName(const std::string& localeIdentifier);
};

struct StreamingTranscriptionOutcome {
    TranscriptionResult result;
    bool didStreamLive = false;
};

// The engine interface the dictation pipeline calls. Both operations block
// until the recognition ends and throw TranscriptionError.
class TranscriptionEngineProtocol {
public:
    virtual ~TranscriptionEngineProtocol() = default;
    virtual std::string transcribe(const std::filesystem::path& audioURL, const std::vector<std::string>& contextTerms);
    virtual TranscriptionResult transcribeDetailed(const std::filesystem::path& audioURL,
                                                   const std::vector<std::string>& contextTerms,
                                                   std::optional<SystemTime> recordingStoppedAt) = 0;
    TranscriptionResult transcribeDetailed(const std::filesystem::path& audioURL,
                                           const std::vector<std::string>& contextTerms) {
        return transcribeDetailed(audioURL, contextTerms, std::nullopt);
    }
};

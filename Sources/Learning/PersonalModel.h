#pragma once
// The personal speech model built from the user's own dictations. Building and
// attaching it are not part of this build yet: there is never a prepared
// configuration, and the recogniser runs with its stock model.
#include <optional>
#include <string>

class PersonalModel {
public:
    enum class RequestKind { streamingBuffer, audioFile, dictationTranscriber };
    static const char* rawValue(RequestKind kind);

    // What the recogniser needs to load the personal model.
    struct Configuration {
        std::string languageModelPath;  // ARPA n-gram model
        std::string dictionaryPath;     // pronunciations of its words
    };

    static PersonalModel& shared();
    std::optional<Configuration> preparedConfiguration(const std::string& localeIdentifier) const;
    void recordAttachment(const std::string& localeIdentifier, RequestKind kind);

private:
    PersonalModel() = default;
};

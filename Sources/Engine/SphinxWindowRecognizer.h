#pragma once
// Recognition of one window of audio with pocketsphinx, entirely from model
// files installed on this machine. Each instance owns one decoder; windows are
// decoded as whole utterances with nothing carried over from the previous
// window, so a window's words do not depend on which decoder saw it or what it
// decoded before.
#include "Engine/FileTranscriber.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace SphinxWindowRecognizer {

// The installed model of one language.
struct ModelFiles {
    std::filesystem::path acousticModel;  // directory with mdef, means, ...
    std::filesystem::path languageModel;  // n-gram model
    std::filesystem::path dictionary;     // pronunciations
};

// The model directory of the installed pocketsphinx models.
std::filesystem::path modelRoot();

// The installed model for a locale ("en_US", "en-GB", "de"), matched by
// language and, when several exist, region; nothing when this machine has no
// model for the language.
std::optional<ModelFiles> modelFor(const std::string& localeIdentifier,
                                   const std::filesystem::path& root = modelRoot());

// The decoder's arguments for a model (name, value pairs), as passed to it.
std::vector<std::pair<std::string, std::string>> decoderArguments(const ModelFiles& model);

class Recognizer : public FileTranscriber::WindowRecognizer {
public:
    // Throws TranscriptionFileError::engineUnavailable when the decoder
    // can't be set up from the model.
    explicit Recognizer(const ModelFiles& model);
    ~Recognizer() override;
    Recognizer(const Recognizer&) = delete;
    Recognizer& operator=(const Recognizer&) = delete;

    std::vector<FileTranscriber::Segment> recognize(const std::vector<float>& samples) override;

private:
    struct Impl;
    Impl* impl_;
};

// The engine FileTranscriber uses: refuses a language without an installed
// model (onDeviceUnavailable), then makes one decoder per worker.
FileTranscriber::Engine engine();

}  // namespace SphinxWindowRecognizer

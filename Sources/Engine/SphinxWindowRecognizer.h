#pragma once
// Recognition of one window of audio with pocketsphinx, entirely from model
// files installed on this machine. Each instance owns one decoder; windows are
// decoded as whole utterances with nothing carried over from the previous
// window, so a window's words do not depend on which decoder saw it or what it
// decoded before.
#include "Engine/FileTranscriber.h"
#include "Engine/SphinxDecoderSetup.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace SphinxWindowRecognizer {

// The installed model that transcribes a file in a locale: the locale name as
// a person or the environment gives it ("en_US.UTF-8", "C", "en-GB"), served
// by the same rule as live dictation.
std::optional<SphinxModel> modelFor(const std::string& localeIdentifier,
                                    const std::filesystem::path& root = SphinxModels::modelDirectory());

// How a window's decoder decodes.
SphinxModels::DecoderOptions decoderOptions();

class Recognizer : public FileTranscriber::WindowRecognizer {
public:
    // Throws TranscriptionFileError::engineUnavailable when the decoder
    // can't be set up from the model.
    explicit Recognizer(const SphinxModel& model);
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

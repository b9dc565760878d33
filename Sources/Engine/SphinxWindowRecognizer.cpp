#include "Engine/SphinxWindowRecognizer.h"

#include <pocketsphinx.h>

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <fstream>
#include <set>
#include <sstream>

namespace fs = std::filesystem;
using FileTranscriber::Segment;
using FileTranscriber::TranscriptionFileError;

namespace SphinxWindowRecognizer {

namespace {

// The filler words of an acoustic model (silence, noise), never shown as text.
std::set<std::string> fillerWords(const fs::path& acousticModel) {
    std::set<std::string> words = {"<s>", "</s>", "<sil>"};
    std::ifstream in(acousticModel / "noisedict");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string word;
        if (fields >> word) words.insert(word);
    }
    return words;
}

// "to(2)" is the second pronunciation of "to".
std::string baseWord(const std::string& word) {
    auto open = word.find('(');
    if (open != std::string::npos && open > 0 && !word.empty() && word.back() == ')') return word.substr(0, open);
    return word;
}

}  // namespace

std::optional<SphinxModel> modelFor(const std::string& localeIdentifier, const fs::path& root) {
    return SphinxModels::serving(SphinxModels::identifierOf(localeIdentifier), root);
}

SphinxModels::DecoderOptions decoderOptions() {
    // Each window is one whole utterance decoded with the stock model, on its
    // own and with its true times.
    SphinxModels::DecoderOptions options;
    options.independentUtterances = true;
    return options;
}

struct Recognizer::Impl {
    std::unique_ptr<SphinxModels::LoadedDecoder> loaded;
    std::set<std::string> fillers;
    int frameRate = 100;
};

Recognizer::Recognizer(const SphinxModel& model) : impl_(new Impl) {
    impl_->loaded = SphinxModels::makeDecoder(model, decoderOptions(), nullptr);
    if (!impl_->loaded) {
        delete impl_;
        throw TranscriptionFileError::of(TranscriptionFileError::Kind::engineUnavailable);
    }
    impl_->fillers = fillerWords(model.acousticModel);
    impl_->frameRate = std::max(1, static_cast<int>(cmd_ln_int32_r(impl_->loaded->config, "-frate")));
}

Recognizer::~Recognizer() { delete impl_; }

std::vector<Segment> Recognizer::recognize(const std::vector<float>& samples) {
    // Digital silence (all zeros) makes the decoder hear words in it, so each
    // sample gets one step of noise. The noise sequence restarts with every
    // window, so the same window always gives the same samples.
    std::vector<int16> pcm(samples.size());
    std::uint32_t noise = 0x12345678u;
    std::transform(samples.begin(), samples.end(), pcm.begin(), [&noise](float s) {
        noise = noise * 1664525u + 1013904223u;
        const long dither = (noise >> 31) ? 1 : -1;
        const long value = std::isnan(s) ? 0 : std::lrint(std::clamp(s, -1.0f, 1.0f) * 32766.0f);
        return static_cast<int16>(value + dither);
    });
    ps_decoder_t* ps = impl_->loaded->decoder;
    if (ps_start_utt(ps) < 0) throw TranscriptionFileError::chunkTranscriptionFailed("the decoder could not start");
    if (!pcm.empty() && ps_process_raw(ps, pcm.data(), pcm.size(), FALSE, TRUE) < 0) {
        ps_end_utt(ps);
        throw TranscriptionFileError::chunkTranscriptionFailed("the decoder could not process the window");
    }
    if (ps_end_utt(ps) < 0) throw TranscriptionFileError::chunkTranscriptionFailed("the decoder could not finish");

    std::vector<Segment> segments;
    const double frameSeconds = 1.0 / impl_->frameRate;
    for (ps_seg_t* seg = ps_seg_iter(ps); seg; seg = ps_seg_next(seg)) {
        const char* raw = ps_seg_word(seg);
        if (!raw) continue;
        const std::string word = baseWord(raw);
        if (word.empty() || impl_->fillers.count(raw) || impl_->fillers.count(word) || word[0] == '<' || word[0] == '[' ||
            word[0] == '+')
            continue;
        int startFrame = 0, endFrame = 0;
        ps_seg_frames(seg, &startFrame, &endFrame);
        segments.push_back({word, startFrame * frameSeconds, (endFrame + 1) * frameSeconds});
    }
    return segments;
}

FileTranscriber::Engine engine() {
    FileTranscriber::Engine e;
    e.prepare = [](const std::string& localeIdentifier,
                   const std::vector<std::string>&) -> FileTranscriber::RecognizerFactory {
        // Only a model installed on this machine is ever used; a language
        // without one stops here rather than going anywhere else.
        std::optional<SphinxModel> model = modelFor(localeIdentifier);
        if (!model) throw TranscriptionFileError::onDeviceUnavailable(localeIdentifier);
        return [model = *model] { return std::make_unique<Recognizer>(model); };
    };
    return e;
}

}  // namespace SphinxWindowRecognizer

namespace FileTranscriber {

// Transcription of a file with the installed pocketsphinx models.
FileTranscriptionResult transcribeFile(const std::filesystem::path& url, const std::vector<std::string>& contextTerms,
                                       const std::string& localeIdentifier, double chunkSeconds, double overlapSeconds,
                                       const std::shared_ptr<CancellationToken>& cancellation,
                                       const ProgressHandler& onProgress) {
    return transcribeFile(url, contextTerms, localeIdentifier, chunkSeconds, overlapSeconds, cancellation, onProgress,
                          SphinxWindowRecognizer::engine());
}

}  // namespace FileTranscriber

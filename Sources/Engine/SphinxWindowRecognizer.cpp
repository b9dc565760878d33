#include "Engine/SphinxWindowRecognizer.h"

#include "Engine/SphinxRecognizer.h"
#include "Platform/Unicode.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cmath>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

namespace fs = std::filesystem;
using FileTranscriber::Segment;
using FileTranscriber::TranscriptionFileError;

namespace SphinxWindowRecognizer {

namespace {

void quietDecoderLog() {
    // The decoder's log goes to one process-wide stream. Turning it off once
    // here (instead of per decoder with -logfn, which reopens and closes that
    // shared stream) keeps decoders made on several threads from racing on it.
    static std::once_flag once;
    std::call_once(once, [] { err_set_logfp(nullptr); });
}

std::vector<fs::path> sortedEntries(const fs::path& dir) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) out.push_back(it->path());
    std::sort(out.begin(), out.end());
    return out;
}

// The live engine and file transcription read the same model directory with
// the same rules, so both always agree on what is installed.
std::optional<ModelFiles> modelIn(const fs::path& dir) {
    auto model = SphinxModels::modelIn(dir);
    if (!model) return std::nullopt;
    return ModelFiles{model->acousticModel, model->languageModel, model->dictionary};
}

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

fs::path modelRoot() { return SphinxModels::modelDirectory(); }

std::optional<ModelFiles> modelFor(const std::string& localeIdentifier, const fs::path& root) {
    std::string id = platform::text::lowercased(localeIdentifier.substr(0, localeIdentifier.find_first_of(".@")));
    std::replace(id.begin(), id.end(), '_', '-');
    std::vector<std::string> subtags;
    std::stringstream parts(id);
    for (std::string tag; std::getline(parts, tag, '-');)
        if (!tag.empty()) subtags.push_back(tag);
    if (subtags.empty() || subtags[0] == "c" || subtags[0] == "posix") subtags = {"en", "us"};
    const std::string& language = subtags[0];
    std::string region;
    for (std::size_t i = 1; i < subtags.size(); ++i)
        if (subtags[i].size() == 2 || (subtags[i].size() == 3 && std::isdigit(static_cast<unsigned char>(subtags[i][0])))) {
            region = subtags[i];
            break;
        }

    // The language's own region first, then the language alone, then any
    // region of that language.
    std::vector<fs::path> ranked;
    std::error_code ec;
    const auto entries = sortedEntries(root);
    auto add = [&](auto&& accepts) {
        for (const auto& e : entries)
            if (fs::is_directory(e, ec) && accepts(e.filename().string()) &&
                std::find(ranked.begin(), ranked.end(), e) == ranked.end())
                ranked.push_back(e);
    };
    if (!region.empty()) add([&](const std::string& n) { return n == language + "-" + region; });
    add([&](const std::string& n) { return n == language; });
    add([&](const std::string& n) { return n.rfind(language + "-", 0) == 0; });
    for (const auto& dir : ranked)
        if (auto model = modelIn(dir)) return model;
    return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> decoderArguments(const ModelFiles& model) {
    return {
        {"-hmm", model.acousticModel.string()},
        {"-lm", model.languageModel.string()},
        {"-dict", model.dictionary.string()},
        // Window times must be true audio times, so every frame is kept:
        // dropping silence would shift every later word.
        {"-remove_silence", "no"},
        // Each window is one whole utterance normalised on its own, and the
        // noise estimate (which the decoder would carry from one utterance to
        // the next) is off, so a window's words never depend on what the
        // decoder heard before: one decoder or several give the same text.
        {"-cmn", "batch"},
        {"-remove_noise", "no"},
    };
}

struct Recognizer::Impl {
    cmd_ln_t* config = nullptr;
    ps_decoder_t* decoder = nullptr;
    std::set<std::string> fillers;
    int frameRate = 100;
};

Recognizer::Recognizer(const ModelFiles& model) : impl_(new Impl) {
    quietDecoderLog();
    std::vector<std::string> storage;
    for (const auto& [name, value] : decoderArguments(model)) {
        storage.push_back(name);
        storage.push_back(value);
    }
    std::vector<char*> argv;
    for (auto& s : storage) argv.push_back(s.data());
    impl_->config = cmd_ln_parse_r(nullptr, ps_args(), static_cast<int32>(argv.size()), argv.data(), FALSE);
    if (impl_->config) impl_->decoder = ps_init(impl_->config);
    if (!impl_->decoder) {
        if (impl_->config) cmd_ln_free_r(impl_->config);
        delete impl_;
        throw TranscriptionFileError::of(TranscriptionFileError::Kind::engineUnavailable);
    }
    impl_->fillers = fillerWords(model.acousticModel);
    impl_->frameRate = std::max(1, static_cast<int>(cmd_ln_int32_r(impl_->config, "-frate")));
}

Recognizer::~Recognizer() {
    ps_free(impl_->decoder);
    cmd_ln_free_r(impl_->config);
    delete impl_;
}

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
    ps_decoder_t* ps = impl_->decoder;
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
    e.prepare = [](const std::string& localeIdentifier, const std::vector<std::string>&) -> FileTranscriber::RecognizerFactory {
        // Only a model installed on this machine is ever used; a language
        // without one stops here rather than going anywhere else.
        std::optional<ModelFiles> model = modelFor(localeIdentifier);
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

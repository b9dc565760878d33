#pragma once
// The on-device recogniser: pocketsphinx decoders over the installed
// language models, kept loaded and warm for the life of the process, and
// biased per recognition towards the context terms and the personal model.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Engine/SphinxDecoderSetup.h"
#include "Learning/PersonalModel.h"

struct ngram_model_s;
struct fe_s;

// What the decoders learned about the input the user speaks through: the
// cepstral mean per acoustic model. It is kept in the data folder across
// launches, so the first take after a launch starts from the user's
// microphone and room rather than from the model's stock estimate.
namespace InputAdaptation {
// The store: one JSON record in the data folder.
std::filesystem::path storePath();
// Takes are heard through this input from now on. Means learned through
// another one are forgotten (in memory and in the store); an empty or "none"
// name (no input known) changes nothing.
void useInput(const std::string& inputName);
struct Learned {
    std::vector<float> mean;
    std::int64_t frames = 0;  // how much speech (100 frames a second) it was learned from
    bool operator==(const Learned&) const = default;
};
// What was learned for an acoustic model, loading the store on first use.
std::optional<Learned> learned(const std::string& acousticModel);
// The model's mean is now `mean`, after `frames` more frames of speech.
void learn(const std::string& acousticModel, std::vector<float> mean, std::int64_t frames);
// Writes what was learned since the last save, off the caller's thread.
void saveSoon();
// Blocks until a save asked for has been written.
void waitForSave();
// Drops what is in memory, so the next take reads the store as a new launch would.
void forgetLoadedForTesting();
}  // namespace InputAdaptation

// Pronunciations for words the dictionary lacks, in the model's phone set.
namespace Pronunciations {
// flite's lexicon and letter-to-sound rules when flite is installed, else a
// plain spelling rule. Empty for a word with no letters.
std::string guess(const std::string& word);
}  // namespace Pronunciations

class SphinxDecoder {
public:
    static std::unique_ptr<SphinxDecoder> create(const SphinxModel& model, std::string* error);
    ~SphinxDecoder();
    // Decoders alive in the process right now, lent out or idle: each one
    // holds its own copy of the models.
    static int liveCount();
    SphinxDecoder(const SphinxDecoder&) = delete;
    SphinxDecoder& operator=(const SphinxDecoder&) = delete;

    const SphinxModel& model() const { return model_; }

    // Biases the decoder: the words of the terms join the dictionary (with a
    // guessed pronunciation when unknown) and a small n-gram model of the
    // terms is interpolated with the stock model; a personal model, when
    // given, is interpolated too. Nothing changes when the inputs are the
    // same as last time.
    void configure(const std::vector<std::string>& contextTerms,
                   const std::optional<PersonalModel::Configuration>& personal);
    // The words of the dictionary this decoder knows.
    bool knowsWord(const std::string& word);

    // One utterance is one take. Inside it the decoder ends a segment at
    // every pause after speech and starts the next, so finishing a take costs
    // the same whatever its length. Each segment starts from the input's
    // learned acoustic state (see the cepstral mean in the implementation);
    // the opening of a take is decoded again with the take's own mean once
    // enough of it was heard (see process()).
    bool startUtterance();
    bool process(const std::int16_t* samples, std::size_t count);
    std::string partialHypothesis();
    std::string finishUtterance();
    bool inUtterance() const { return inUtterance_; }

private:
    SphinxDecoder();
    // See the implementation: a throwaway model takes words added to the dictionary.
    void parkSearch();
    // Makes the interpolation of `models` (references handed over) the decoder's one search.
    bool installSearch(std::vector<ngram_model_s*> models, const std::vector<std::string>& names,
                       std::vector<float> weights);
    static constexpr const char* searchName = "context";
    bool beginSegment();
    std::string endSegment();
    void appendFinished(const std::string& text);
    bool feed(const std::int16_t* samples, std::size_t count);
    // Whether the take's opening is decoded again through its own mean
    // (when the take did not start from a mean learned from enough speech to
    // trust), kept as it was decoded, or judged again once more was heard.
    struct Opening {
        enum Verdict { wait, keep, decodeAgain } verdict = wait;
        std::vector<float> mean;  // decodeAgain
    };
    Opening judgeOpening();
    bool restartWithMean(std::vector<float> mean);
    static constexpr std::size_t sliceSamples = 512;

public:
    // How much speech (frames, 100 a second) a take's opening needs before
    // its own mean is trusted; how often (samples at 16 kHz) it is looked
    // at; and how long a take may go without that much speech before its
    // opening stands as decoded.
    static constexpr int openingSpeechFrames = 100;
    static constexpr std::size_t openingCheckSamples = 4000;
    static constexpr std::size_t longestOpeningSamples = 5 * 16000;
    // How much learned speech (in frames, 100 a second) makes a learned mean
    // trusted over the mean of a take's opening.
    static constexpr std::int64_t trustedFrames = 500;

private:
    SphinxModel model_;
    std::unique_ptr<SphinxModels::LoadedDecoder> loaded_;
    ngram_model_s* stockModel_ = nullptr;
    std::vector<float> initialCepstralMean_;
    std::string configuredKey_;
    bool inUtterance_ = false;
    bool segmentHasSpeech_ = false;
    std::string finishedText_;
    std::vector<std::int16_t> pending_;
    fe_s* meanFrontEnd_ = nullptr;
    std::vector<float> segmentStartMean_;
    std::optional<std::vector<float>> nextSegmentMean_;
    std::vector<std::int16_t> opening_;
    bool openingJudged_ = false;
    std::size_t nextOpeningCheck_ = openingCheckSamples;
};

// Warm decoders per language, lent out one recognition at a time.
class DecoderPool {
public:
    class Lease {
    public:
        Lease() = default;
        Lease(DecoderPool* pool, std::unique_ptr<SphinxDecoder> decoder) : pool_(pool), decoder_(std::move(decoder)) {}
        Lease(Lease&&) noexcept = default;
        Lease& operator=(Lease&& other) noexcept;
        ~Lease();
        SphinxDecoder* operator->() const { return decoder_.get(); }
        SphinxDecoder& operator*() const { return *decoder_; }
        explicit operator bool() const { return decoder_ != nullptr; }
        // Gives the decoder back in the middle of its utterance: a decode
        // whose text nobody waits for (the preview beside a live take) is
        // not finished while the user waits for the take's text. Whoever
        // borrows it next finishes it first, while their take is recorded.
        void giveBackUnfinished();

    private:
        DecoderPool* pool_ = nullptr;
        std::unique_ptr<SphinxDecoder> decoder_;
    };

    static DecoderPool& shared();
    // A warm decoder for the model, loading one only when every loaded
    // decoder is busy. A decoder being loaded ahead of use (prewarm) is
    // waited for rather than loaded a second time beside it.
    Lease acquire(const SphinxModel& model, std::string* error);
    // Loads decoders for the model ahead of use, in the background, and
    // keeps that many warm from now on.
    void prewarm(const SphinxModel& model, int count);
    // Keeps `count` decoders of the model warm once they were loaded (one
    // unless asked otherwise); a decoder given back beyond that is freed.
    void keepWarm(const SphinxModel& model, int count);
    // How many decoders were ever loaded (each load is a cost a dictation must not pay).
    int loadCount() const { return loads_.load(); }

private:
    void giveBack(std::unique_ptr<SphinxDecoder> decoder, bool finish = true);
    static std::string keyOf(const SphinxModel& model);
    // Idle decoders of the model with this key (the caller holds mutex_).
    int idleCount(const std::string& key) const;
    std::mutex mutex_;
    std::vector<std::unique_ptr<SphinxDecoder>> idle_;
    std::map<std::string, int> warm_;
    std::map<std::string, int> prewarming_;  // loads ahead of use in flight, by key
    std::condition_variable landed_;         // a load ahead of use ended
    std::atomic<int> loads_{0};
};

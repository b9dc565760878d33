#pragma once
// The on-device recogniser: pocketsphinx decoders over the installed
// language models, kept loaded and warm for the life of the process, and
// biased per recognition towards the context terms and the personal model.
#include <atomic>
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
    // learned acoustic state (see the cepstral mean in the implementation).
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
    static constexpr std::size_t sliceSamples = 512;

    SphinxModel model_;
    std::unique_ptr<SphinxModels::LoadedDecoder> loaded_;
    ngram_model_s* stockModel_ = nullptr;
    std::vector<float> initialCepstralMean_;
    std::string configuredKey_;
    bool inUtterance_ = false;
    bool segmentHasSpeech_ = false;
    std::string finishedText_;
    std::vector<std::int16_t> pending_;
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

    private:
        DecoderPool* pool_ = nullptr;
        std::unique_ptr<SphinxDecoder> decoder_;
    };

    static DecoderPool& shared();
    // A warm decoder for the model, loading one only when every loaded decoder is busy.
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
    void giveBack(std::unique_ptr<SphinxDecoder> decoder);
    static std::string keyOf(const SphinxModel& model);
    // Idle decoders of the model with this key (the caller holds mutex_).
    int idleCount(const std::string& key) const;
    std::mutex mutex_;
    std::vector<std::unique_ptr<SphinxDecoder>> idle_;
    std::map<std::string, int> warm_;
    std::atomic<int> loads_{0};
};

#include "Engine/SphinxRecognizer.h"

#include <pocketsphinx.h>
#include <sphinxbase/ckd_alloc.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/feat.h>
#include <sphinxbase/ngram_model.h>

#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "Learning/RecognizerWords.h"
#include "Platform/FileIO.h"
#include "Platform/Log.h"
#include "Platform/Queues.h"
#include "Platform/UUID.h"

extern char** environ;

namespace fs = std::filesystem;

// ---- Pronunciations ----

namespace Pronunciations {

namespace {
std::string runFlite(const std::string& word) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args = {"flite", "-ps", "-t", word, "-o", "none"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, "flite", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    std::string out;
    if (rc == 0) {
        char buf[512];
        ssize_t n;
        while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
            if (n > 0) out.append(buf, static_cast<std::size_t>(n));
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    }
    ::close(pipeFds[0]);
    return out;
}

std::string fromFlitePhones(const std::string& phones) {
    static const std::map<std::string, std::string> renamed = {{"ax", "AH"}, {"axr", "ER"}};
    std::istringstream in(phones);
    std::string phone, out;
    while (in >> phone) {
        if (phone == "pau" || phone == "h#") continue;
        while (!phone.empty() && std::isdigit(static_cast<unsigned char>(phone.back()))) phone.pop_back();
        auto it = renamed.find(phone);
        std::string mapped = it != renamed.end() ? it->second : phone;
        std::transform(mapped.begin(), mapped.end(), mapped.begin(), [](unsigned char c) { return std::toupper(c); });
        if (!out.empty()) out += ' ';
        out += mapped;
    }
    return out;
}

std::string spelled(const std::string& word) {
    static const std::map<char, const char*> letters = {
        {'a', "AE"}, {'b', "B"}, {'c', "K"},  {'d', "D"}, {'e', "EH"}, {'f', "F"},   {'g', "G"},  {'h', "HH"}, {'i', "IH"},
        {'j', "JH"}, {'k', "K"}, {'l', "L"},  {'m', "M"}, {'n', "N"},  {'o', "AA"},  {'p', "P"},  {'q', "K"},  {'r', "R"},
        {'s', "S"},  {'t', "T"}, {'u', "AH"}, {'v', "V"}, {'w', "W"},  {'x', "K S"}, {'y', "IY"}, {'z', "Z"}};
    std::string out;
    char previous = 0;
    for (char c : word) {
        if (c == previous) continue;
        previous = c;
        auto it = letters.find(c);
        if (it == letters.end()) continue;
        if (!out.empty()) out += ' ';
        out += it->second;
    }
    return out;
}
}  // namespace

std::string guess(const std::string& word) {
    if (word.empty() || word.find_first_not_of("abcdefghijklmnopqrstuvwxyz'") != std::string::npos) return {};
    // Each guess starts a process; the same screen and dictionary words come
    // back dictation after dictation, so each word is guessed once.
    static std::mutex cacheMutex;
    static std::map<std::string, std::string> cache;
    {
        std::lock_guard<std::mutex> guard(cacheMutex);
        if (auto it = cache.find(word); it != cache.end()) return it->second;
    }
    std::string phones = fromFlitePhones(runFlite(word));
    if (phones.empty()) phones = spelled(word);
    std::lock_guard<std::mutex> guard(cacheMutex);
    if (cache.size() < 20000) cache.emplace(word, phones);
    return phones;
}

}  // namespace Pronunciations

// ---- Decoder ----

namespace {

constexpr float contextWeight = 0.3f;
constexpr float personalWeight = 0.2f;

}  // namespace

std::unique_ptr<SphinxDecoder> SphinxDecoder::create(const SphinxModel& model, std::string* error) {
    // No stock search: the decoder's only language-model search is the one
    // configure() installs (see parkSearch).
    SphinxModels::DecoderOptions options;
    options.stockSearch = false;
    options.realTimeSearch = true;
    auto loaded = SphinxModels::makeDecoder(model, options, error);
    if (!loaded) return nullptr;
    auto decoder = std::unique_ptr<SphinxDecoder>(new SphinxDecoder());
    decoder->model_ = model;
    decoder->loaded_ = std::move(loaded);
    ps_decoder_t* ps = decoder->loaded_->decoder;
    decoder->stockModel_ =
        ngram_model_read(decoder->loaded_->config, model.languageModel.c_str(), NGRAM_AUTO, ps_get_logmath(ps));
    if (!decoder->stockModel_ || !decoder->installSearch({ngram_model_retain(decoder->stockModel_)}, {"stock"}, {1.0f})) {
        if (error) *error = "the language model could not be loaded from " + model.languageModel.string();
        return nullptr;
    }
    feat_t* feat = ps_get_feat(ps);
    if (feat && feat->cmn_struct)
        decoder->initialCepstralMean_.assign(feat->cmn_struct->cmn_mean,
                                             feat->cmn_struct->cmn_mean + feat->cmn_struct->veclen);
    return decoder;
}

namespace {
std::atomic<int> liveDecoders{0};
}  // namespace

SphinxDecoder::SphinxDecoder() { ++liveDecoders; }

SphinxDecoder::~SphinxDecoder() {
    if (stockModel_) ngram_model_free(stockModel_);
    --liveDecoders;
}

int SphinxDecoder::liveCount() { return liveDecoders.load(); }

bool SphinxDecoder::knowsWord(const std::string& word) {
    char* phones = ps_lookup_word(loaded_->decoder, word.c_str());
    if (!phones) return false;
    ckd_free(phones);
    return true;
}

void SphinxDecoder::configure(const std::vector<std::string>& contextTerms,
                              const std::optional<PersonalModel::Configuration>& personal) {
    std::vector<std::string> words;
    std::set<std::string> seen;
    for (const auto& term : contextTerms)
        for (auto& w : RecognizerWords::of(term))
            if (seen.insert(w).second) words.push_back(w);
    std::string key;
    for (const auto& w : words) key += w + "\n";
    if (personal)
        key += "\x01" + personal->languageModelPath + "\x01" + personal->dictionaryPath + "\x01" + personal->modelVersion;
    if (key == configuredKey_) return;
    configuredKey_ = key;
    // Pronunciations first: the personal dictionary's, so its words are
    // spoken the way the user's model was built, then guesses for the terms.
    std::vector<std::pair<std::string, std::string>> spoken;
    if (personal) {
        if (auto dict = platform::readFile(personal->dictionaryPath)) {
            std::istringstream lines(*dict);
            std::string line;
            while (std::getline(lines, line)) {
                std::istringstream fields(line);
                std::string word, phone, phones;
                if (!(fields >> word)) continue;
                while (fields >> phone) phones += (phones.empty() ? "" : " ") + phone;
                if (!phones.empty() && !knowsWord(word)) spoken.emplace_back(word, phones);
            }
        }
    }
    for (const auto& word : words) {
        if (knowsWord(word)) continue;
        std::string phones = Pronunciations::guess(word);
        if (phones.empty()) platform::log("SpeechEngine", "No pronunciation for the context word \"" + word + "\"");
        else spoken.emplace_back(word, phones);
    }
    if (!spoken.empty()) {
        parkSearch();
        for (const auto& [word, phones] : spoken) ps_add_word(loaded_->decoder, word.c_str(), phones.c_str(), FALSE);
    }

    std::vector<ngram_model_t*> models = {ngram_model_retain(stockModel_)};
    std::vector<std::string> names = {"stock"};
    std::vector<float32> weights = {1.0f};
    logmath_t* lmath = ps_get_logmath(loaded_->decoder);
    if (!words.empty()) {
        // A unigram model of the term words, each as likely as the others.
        const fs::path arpa = platform::temporaryDirectory() / ("ondira_terms_" + platform::newUUID() + ".arpa");
        std::ostringstream text;
        const double logp = std::log10(1.0 / static_cast<double>(words.size() + 1));
        text << "\\data\\\nngram 1=" << words.size() + 2 << "\n\n\\1-grams:\n";
        text << logp << " </s>\n-99 <s>\n";
        for (const auto& w : words) text << logp << ' ' << w << '\n';
        text << "\n\\end\\\n";
        if (platform::atomicWrite(arpa, text.str())) {
            if (ngram_model_t* terms = ngram_model_read(loaded_->config, arpa.c_str(), NGRAM_ARPA, lmath)) {
                models.push_back(terms);
                names.push_back("terms");
                weights.push_back(contextWeight);
            }
        }
        std::error_code ec;
        fs::remove(arpa, ec);
    }
    if (personal) {
        if (ngram_model_t* own = ngram_model_read(loaded_->config, personal->languageModelPath.c_str(), NGRAM_AUTO, lmath)) {
            models.push_back(own);
            names.push_back("personal");
            weights.push_back(personalWeight);
        }
    }
    float32 rest = 0;
    for (std::size_t i = 1; i < weights.size(); ++i) rest += weights[i];
    weights[0] = 1.0f - rest;
    if (!installSearch(std::move(models), names, weights)) {
        // Whatever failed, the stock model alone still decodes.
        configuredKey_.clear();
        installSearch({ngram_model_retain(stockModel_)}, {"stock"}, {1.0f});
    }
}

// pocketsphinx hands every word added to the dictionary to every language
// model of every n-gram search, and its n-gram models corrupt themselves
// once a few dozen words were appended (scoring such a word as history then
// reads past the model). So no model we keep ever takes a word: before words
// are added, the one search holds a throwaway model of two words, and the
// real models are installed afterwards.
void SphinxDecoder::parkSearch() {
    static std::mutex parkingMutex;
    static fs::path parking;
    std::lock_guard<std::mutex> guard(parkingMutex);
    if (parking.empty() || !platform::fileExists(parking)) {
        parking = platform::temporaryDirectory() / ("ondira_parking_" + platform::newUUID() + ".arpa");
        platform::atomicWrite(parking, "\\data\\\nngram 1=2\n\n\\1-grams:\n-0.3 </s>\n-99 <s>\n\n\\end\\\n");
    }
    if (ngram_model_t* dummy =
            ngram_model_read(loaded_->config, parking.c_str(), NGRAM_ARPA, ps_get_logmath(loaded_->decoder))) {
        ps_set_lm(loaded_->decoder, searchName, dummy);
        ngram_model_free(dummy);
        ps_set_search(loaded_->decoder, searchName);
    }
}

bool SphinxDecoder::installSearch(std::vector<ngram_model_s*> models, const std::vector<std::string>& names,
                                  std::vector<float> weights) {
    std::vector<std::string> ownNames = names;
    std::vector<char*> nameArgs;
    for (auto& n : ownNames) nameArgs.push_back(n.data());
    ngram_model_t* set = ngram_model_set_init(loaded_->config, models.data(), nameArgs.data(), weights.data(),
                                              static_cast<int32>(models.size()));
    if (!set) {
        for (auto* m : models) ngram_model_free(m);
        return false;
    }
    const bool ok = ps_set_lm(loaded_->decoder, searchName, set) == 0;
    ngram_model_free(set);
    return ok && ps_set_search(loaded_->decoder, searchName) == 0;
}

namespace {
// The cepstral mean describes the microphone and the room more than the
// words. Each utterance starts from the estimate the last finished utterance
// of the same model left, whichever decoder decoded it, so every decoder of
// the pool hears the user's input the same way and learns it as it is used.
std::mutex learnedMeanMutex;
std::map<std::string, std::vector<float>> learnedMeans;
}  // namespace

bool SphinxDecoder::startUtterance() {
    finishedText_.clear();
    pending_.clear();
    inUtterance_ = beginSegment();
    return inUtterance_;
}

bool SphinxDecoder::beginSegment() {
    if (feat_t* feat = ps_get_feat(loaded_->decoder); feat && feat->cmn_struct && !initialCepstralMean_.empty()) {
        std::vector<float> mean = initialCepstralMean_;
        {
            std::lock_guard<std::mutex> guard(learnedMeanMutex);
            auto it = learnedMeans.find(model_.acousticModel.string());
            if (it != learnedMeans.end() && it->second.size() == mean.size()) mean = it->second;
        }
        cmn_live_set(feat->cmn_struct, mean.data());
    }
    segmentHasSpeech_ = false;
    return ps_start_utt(loaded_->decoder) >= 0;
}

std::string SphinxDecoder::endSegment() {
    ps_end_utt(loaded_->decoder);
    if (feat_t* feat = ps_get_feat(loaded_->decoder); feat && feat->cmn_struct && ps_get_n_frames(loaded_->decoder) >= 50) {
        std::lock_guard<std::mutex> guard(learnedMeanMutex);
        learnedMeans[model_.acousticModel.string()].assign(feat->cmn_struct->cmn_mean,
                                                           feat->cmn_struct->cmn_mean + feat->cmn_struct->veclen);
    }
    int32 score = 0;
    const char* hyp = ps_get_hyp(loaded_->decoder, &score);
    return hyp ? hyp : "";
}

void SphinxDecoder::appendFinished(const std::string& text) {
    if (text.empty()) return;
    if (!finishedText_.empty()) finishedText_ += ' ';
    finishedText_ += text;
}

bool SphinxDecoder::process(const std::int16_t* samples, std::size_t count) {
    if (!inUtterance_) return false;
    pending_.insert(pending_.end(), samples, samples + count);
    std::size_t at = 0;
    // Fixed slices, so pauses are found at the same sample whatever blocks
    // the audio arrived in.
    while (pending_.size() - at >= sliceSamples) {
        if (ps_process_raw(loaded_->decoder, pending_.data() + at, sliceSamples, FALSE, FALSE) < 0) return false;
        at += sliceSamples;
        const bool speaking = ps_get_in_speech(loaded_->decoder) != 0;
        if (speaking) {
            segmentHasSpeech_ = true;
        } else if (segmentHasSpeech_) {
            // A pause after speech ends a segment, so the end of a take only
            // ever has its last segment left to finish.
            appendFinished(endSegment());
            if (!beginSegment()) return false;
        }
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
    return true;
}

std::string SphinxDecoder::partialHypothesis() {
    if (!inUtterance_) return finishedText_;
    int32 score = 0;
    const char* hyp = ps_get_hyp(loaded_->decoder, &score);
    if (!hyp || !*hyp) return finishedText_;
    return finishedText_.empty() ? std::string(hyp) : finishedText_ + " " + hyp;
}

std::string SphinxDecoder::finishUtterance() {
    if (!inUtterance_) return {};
    inUtterance_ = false;
    if (!pending_.empty()) ps_process_raw(loaded_->decoder, pending_.data(), pending_.size(), FALSE, FALSE);
    pending_.clear();
    appendFinished(endSegment());
    std::string text = std::move(finishedText_);
    finishedText_.clear();
    return text;
}

// ---- Pool ----

DecoderPool& DecoderPool::shared() {
    static DecoderPool* pool = new DecoderPool();
    return *pool;
}

DecoderPool::Lease& DecoderPool::Lease::operator=(Lease&& other) noexcept {
    if (this != &other) {
        if (pool_ && decoder_) pool_->giveBack(std::move(decoder_));
        pool_ = other.pool_;
        decoder_ = std::move(other.decoder_);
    }
    return *this;
}

DecoderPool::Lease::~Lease() {
    if (pool_ && decoder_) pool_->giveBack(std::move(decoder_));
}

std::string DecoderPool::keyOf(const SphinxModel& model) {
    return model.localeIdentifier + "\n" + model.acousticModel.string();
}

DecoderPool::Lease DecoderPool::acquire(const SphinxModel& model, std::string* error) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        const std::string key = keyOf(model);
        // The decoder given back last first: the roads that use decoders one
        // after the other find the one they configured last time.
        for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
            if (keyOf((*it)->model()) == key) {
                auto decoder = std::move(*it);
                idle_.erase(std::next(it).base());
                return Lease(this, std::move(decoder));
            }
        }
    }
    auto decoder = SphinxDecoder::create(model, error);
    if (!decoder) return {};
    ++loads_;
    return Lease(this, std::move(decoder));
}

int DecoderPool::idleCount(const std::string& key) const {
    return static_cast<int>(
        std::count_if(idle_.begin(), idle_.end(), [&](const auto& d) { return keyOf(d->model()) == key; }));
}

void DecoderPool::keepWarm(const SphinxModel& model, int count) {
    std::lock_guard<std::mutex> guard(mutex_);
    int& keep = warm_.try_emplace(keyOf(model), 1).first->second;
    keep = std::max(keep, count);
}

namespace {
// What a take allocated (its audio, the decoder's lattices, a decoder freed
// after it) is free once the take ends, yet the allocator keeps it for the
// process until told to hand it back. That is done a little after the take,
// off the main thread, so the text of the take never waits for it.
void returnFreedMemorySoon() {
    static std::atomic<bool> pending{false};
    if (pending.exchange(true)) return;
    platform::MainQueue::asyncAfter(2.0, [] {
        platform::GlobalQueue::async(platform::QoS::background, [] {
            pending = false;
            ::malloc_trim(0);
        });
    });
}
}  // namespace

void DecoderPool::giveBack(std::unique_ptr<SphinxDecoder> decoder) {
    if (decoder->inUtterance()) decoder->finishUtterance();
    {
        std::lock_guard<std::mutex> guard(mutex_);
        const std::string key = keyOf(decoder->model());
        const auto wanted = warm_.find(key);
        const int keep = wanted == warm_.end() ? 1 : wanted->second;
        if (idleCount(key) < keep) idle_.push_back(std::move(decoder));
    }
    // One more than the warm ones was loaded because every warm one was busy
    // (a retry while the first decode still runs): its models are freed now
    // rather than kept for the life of the process.
    decoder.reset();
    returnFreedMemorySoon();
}

void DecoderPool::prewarm(const SphinxModel& model, int count) {
    keepWarm(model, count);
    platform::GlobalQueue::async(platform::QoS::utility, [this, model, count] {
        int have = 0;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            have = idleCount(keyOf(model));
        }
        for (int i = have; i < count; ++i) {
            auto decoder = SphinxDecoder::create(model, nullptr);
            if (!decoder) return;
            giveBack(std::move(decoder));
            ++loads_;  // counted once it is there to be lent
        }
    });
}

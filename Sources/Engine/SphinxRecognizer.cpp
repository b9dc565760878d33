#include "Engine/SphinxRecognizer.h"

#include <pocketsphinx.h>
#include <sphinxbase/ckd_alloc.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/fe.h>
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
#include <ctime>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "Base/AppPaths.h"
#include "Learning/RecognizerWords.h"
#include "Platform/FileIO.h"
#include "Platform/StoreRecovery.h"
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
    decoder->meanFrontEnd_ = fe_init_auto_r(decoder->loaded_->config);
    return decoder;
}

namespace {
std::atomic<int> liveDecoders{0};
}  // namespace

SphinxDecoder::SphinxDecoder() { ++liveDecoders; }

SphinxDecoder::~SphinxDecoder() {
    if (stockModel_) ngram_model_free(stockModel_);
    if (meanFrontEnd_) fe_free(meanFrontEnd_);
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

// ---- Input adaptation ----
//
// The cepstral mean describes the microphone and the room more than the
// words. Each utterance starts from the estimate the last finished utterance
// of the same model left, whichever decoder decoded it, so every decoder of
// the pool hears the user's input the same way and learns it as it is used.
// The estimates outlive the process: without them the first take after a
// launch is heard through the model's stock mean, and its first words suffer.

namespace InputAdaptation {

namespace {
constexpr int storeVersion = 1;
std::mutex mutex;
bool loaded = false;
std::string input;
std::map<std::string, Learned> means;
bool dirty = false;
platform::SerialQueue& queue() {
    // Made once whichever decoder thread asks first; never freed, so a save
    // still queued at exit does not meet a destroyed queue.
    static auto* saveQueue = new platform::SerialQueue("com.ondira.inputadaptation", platform::QoS::background);
    return *saveQueue;
}

struct Record {
    std::string input;
    std::map<std::string, Learned> means;
};

// The record as stored; none when it does not parse as one. A model's entry
// that does not read is skipped: it is learned again.
std::optional<Record> parse(const std::string& bytes) {
    const auto value = nlohmann::json::parse(bytes, nullptr, false);
    if (!value.is_object() || value.value("version", 0) != storeVersion || !value.contains("means") ||
        !value["means"].is_object())
        return std::nullopt;
    Record out;
    if (value.contains("input") && value["input"].is_string()) out.input = value["input"].get<std::string>();
    for (const auto& [model, entry] : value["means"].items()) {
        if (!entry.is_object() || !entry.contains("mean") || !entry["mean"].is_array()) continue;
        const auto& mean = entry["mean"];
        if (mean.empty() || mean.size() > 64) continue;
        Learned learned;
        for (const auto& x : mean)
            if (x.is_number()) learned.mean.push_back(x.get<float>());
        if (learned.mean.size() != mean.size() ||
            !std::all_of(learned.mean.begin(), learned.mean.end(), [](float f) { return std::isfinite(f); }))
            continue;
        if (entry.contains("frames") && entry["frames"].is_number_integer())
            learned.frames = std::max<std::int64_t>(0, entry["frames"].get<std::int64_t>());
        out.means[model] = std::move(learned);
    }
    return out;
}

std::string serialised() {
    nlohmann::json record = {{"version", storeVersion}, {"input", input}, {"means", nlohmann::json::object()}};
    for (const auto& [model, learned] : means) record["means"][model] = {{"mean", learned.mean}, {"frames", learned.frames}};
    return record.dump() + "\n";
}

// The caller holds `mutex`.
void loadLocked() {
    if (loaded) return;
    loaded = true;
    const platform::FileRead read = platform::readRegularFile(storePath(), 1 << 20);
    if (read.outcome == platform::FileRead::Outcome::missing) return;
    auto record = read.ok() ? parse(read.bytes) : std::nullopt;
    if (record) {
        input = std::move(record->input);
        means = std::move(record->means);
        return;
    }
    // Never written over: moved aside like every other store's file, and the
    // next save starts afresh. Something else planted at the path (a link, a
    // FIFO, a device) is not ours to move: it stays, and saves leave it be.
    std::string error;
    if (!platform::setFileAside(storePath(), &error))
        platform::log("SpeechEngine", "What the recogniser learned about your microphone did not load (" +
                                          (read.ok() ? std::string("not a record it wrote") : read.error) +
                                          ") and could not be moved aside: " + error);
}
}  // namespace

fs::path storePath() { return AppPaths::applicationSupport() / "input_adaptation.json"; }

void useInput(const std::string& inputName) {
    if (inputName.empty() || inputName == "none") return;
    std::lock_guard<std::mutex> guard(mutex);
    loadLocked();
    if (inputName == input) return;
    // Another microphone or room: what was learned on the last one would mislead.
    if (!input.empty()) means.clear();
    input = inputName;
    dirty = true;
}

std::optional<Learned> learned(const std::string& acousticModel) {
    std::lock_guard<std::mutex> guard(mutex);
    loadLocked();
    auto it = means.find(acousticModel);
    if (it == means.end()) return std::nullopt;
    return it->second;
}

void learn(const std::string& acousticModel, std::vector<float> mean, std::int64_t frames) {
    std::lock_guard<std::mutex> guard(mutex);
    loadLocked();
    Learned& entry = means[acousticModel];
    entry.mean = std::move(mean);
    entry.frames = std::min<std::int64_t>(entry.frames + std::max<std::int64_t>(frames, 0), 1'000'000'000);
    dirty = true;
}

void saveSoon() {
    queue().async([] {
        std::string bytes;
        {
            std::lock_guard<std::mutex> guard(mutex);
            if (!dirty) return;
            dirty = false;
            bytes = serialised();
        }
        std::string error;
        // Our own record replaces whatever loaded; one that did not load was
        // moved aside when it was read, so nothing unread is written over.
        const bool ok = platform::updateFile(
            storePath(),
            [&bytes](const platform::FileRead& current) -> std::optional<std::string> {
                if (current.ok() ? !parse(current.bytes)
                                 : current.outcome != platform::FileRead::Outcome::missing)
                    return std::nullopt;
                return bytes;
            },
            0600, &error);
        if (!ok) platform::log("SpeechEngine", "Could not save what was learned about the microphone: " + error);
    });
}

void waitForSave() {
    queue().sync([] {});
}

void forgetLoadedForTesting() {
    waitForSave();
    std::lock_guard<std::mutex> guard(mutex);
    loaded = false;
    dirty = false;
    input.clear();
    means.clear();
}

}  // namespace InputAdaptation

namespace {
// The mean of the frames of `samples` that carry energy, as the decoder's
// front end computes them: what normalising the whole take at once (the
// file road's way) would subtract. None when fewer than `fewestFrames`
// carried energy: too little was heard to tell.
std::optional<std::vector<float>> cepstralMeanOf(fe_t* fe, const std::int16_t* samples, std::size_t count,
                                                 int fewestFrames) {
    if (!fe || fe_start_utt(fe) < 0) return std::nullopt;
    const int width = fe_get_output_size(fe);
    constexpr int block = 64;
    std::vector<mfcc_t> storage(static_cast<std::size_t>(block * width));
    std::vector<mfcc_t*> rows(block);
    for (int i = 0; i < block; ++i) rows[i] = storage.data() + i * width;
    std::vector<double> sum(static_cast<std::size_t>(width), 0.0);
    int frames = 0;
    const int16* at = samples;
    std::size_t left = count;
    while (left > 0) {
        int32 produced = block;
        if (fe_process_frames(fe, &at, &left, rows.data(), &produced, nullptr) < 0) break;
        for (int f = 0; f < produced; ++f) {
            if (rows[f][0] < 0) continue;  // no energy: skipped, as the normalisation skips it
            for (int i = 0; i < width; ++i) sum[i] += rows[f][i];
            ++frames;
        }
        if (produced == 0) break;
    }
    int32 rest = 0;
    fe_end_utt(fe, storage.data(), &rest);
    if (frames < fewestFrames) return std::nullopt;
    std::vector<float> mean(sum.size());
    for (std::size_t i = 0; i < sum.size(); ++i) mean[i] = static_cast<float>(sum[i] / frames);
    return mean;
}
}  // namespace

bool SphinxDecoder::startUtterance() {
    finishedText_.clear();
    pending_.clear();
    opening_.clear();
    openingJudged_ = false;
    nextOpeningCheck_ = openingCheckSamples;
    nextSegmentMean_.reset();
    inUtterance_ = beginSegment();
    return inUtterance_;
}

bool SphinxDecoder::beginSegment() {
    if (feat_t* feat = ps_get_feat(loaded_->decoder); feat && feat->cmn_struct && !initialCepstralMean_.empty()) {
        std::vector<float> mean = initialCepstralMean_;
        if (nextSegmentMean_ && nextSegmentMean_->size() == mean.size()) {
            mean = std::move(*nextSegmentMean_);
        } else if (auto learned = InputAdaptation::learned(model_.acousticModel.string());
                   learned && learned->mean.size() == mean.size()) {
            mean = std::move(learned->mean);
        }
        nextSegmentMean_.reset();
        segmentStartMean_ = mean;
        cmn_live_set(feat->cmn_struct, mean.data());
    }
    segmentHasSpeech_ = false;
    return ps_start_utt(loaded_->decoder) >= 0;
}

std::string SphinxDecoder::endSegment() {
    ps_end_utt(loaded_->decoder);
    const int frames = ps_get_n_frames(loaded_->decoder);
    if (feat_t* feat = ps_get_feat(loaded_->decoder); feat && feat->cmn_struct && frames >= 50)
        InputAdaptation::learn(
            model_.acousticModel.string(),
            std::vector<float>(feat->cmn_struct->cmn_mean, feat->cmn_struct->cmn_mean + feat->cmn_struct->veclen), frames);
    int32 score = 0;
    const char* hyp = ps_get_hyp(loaded_->decoder, &score);
    return hyp ? hyp : "";
}

SphinxDecoder::Opening SphinxDecoder::judgeOpening() {
    // A mean learned from enough of the user's speech describes the input
    // better than the opening of one take does.
    const auto learned = InputAdaptation::learned(model_.acousticModel.string());
    if (learned && learned->frames >= trustedFrames) return {Opening::keep, {}};
    auto mean = cepstralMeanOf(meanFrontEnd_, opening_.data(), opening_.size(), openingSpeechFrames);
    if (mean && mean->size() == segmentStartMean_.size()) return {Opening::decodeAgain, std::move(*mean)};
    // Silence before the words, or a take of a word or two: waited for a
    // while, then the opening stands as it was decoded.
    return {opening_.size() >= longestOpeningSamples ? Opening::keep : Opening::wait, {}};
}

bool SphinxDecoder::restartWithMean(std::vector<float> mean) {
    // What was decoded so far was heard through the wrong mean: dropped, and
    // not learned from.
    ps_end_utt(loaded_->decoder);
    finishedText_.clear();
    pending_.clear();
    nextSegmentMean_ = std::move(mean);
    if (!beginSegment()) return false;
    std::vector<std::int16_t> heard = std::move(opening_);
    opening_.clear();
    return feed(heard.data(), heard.size());
}

void SphinxDecoder::appendFinished(const std::string& text) {
    if (text.empty()) return;
    if (!finishedText_.empty()) finishedText_ += ' ';
    finishedText_ += text;
}

bool SphinxDecoder::process(const std::int16_t* samples, std::size_t count) {
    if (!inUtterance_) return false;
    if (!openingJudged_) {
        // The opening is decoded at once through the mean the take started
        // from. When that mean was learned from too little speech (the first
        // takes on this input: at first it is the model's stock one), the
        // opening is decoded again, once a second of speech was heard,
        // through its own mean: the file road normalises the whole take at
        // once and gets its first words right.
        opening_.insert(opening_.end(), samples, samples + count);
        if (opening_.size() >= nextOpeningCheck_) {
            nextOpeningCheck_ = opening_.size() + openingCheckSamples;
            Opening opening = judgeOpening();
            if (opening.verdict == Opening::decodeAgain) {
                openingJudged_ = true;
                return restartWithMean(std::move(opening.mean));
            }
            if (opening.verdict == Opening::keep) {
                openingJudged_ = true;
                opening_.clear();
                opening_.shrink_to_fit();
            }
        }
    }
    return feed(samples, count);
}

bool SphinxDecoder::feed(const std::int16_t* samples, std::size_t count) {
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
    opening_.clear();
    openingJudged_ = true;
    if (!pending_.empty()) ps_process_raw(loaded_->decoder, pending_.data(), pending_.size(), FALSE, FALSE);
    pending_.clear();
    appendFinished(endSegment());
    InputAdaptation::saveSoon();
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

void DecoderPool::Lease::giveBackUnfinished() {
    if (pool_ && decoder_) pool_->giveBack(std::move(decoder_), false);
    pool_ = nullptr;
}

std::string DecoderPool::keyOf(const SphinxModel& model) {
    return model.localeIdentifier + "\n" + model.acousticModel.string();
}

DecoderPool::Lease DecoderPool::acquire(const SphinxModel& model, std::string* error) {
    {
        std::unique_lock<std::mutex> guard(mutex_);
        const std::string key = keyOf(model);
        for (;;) {
            // The decoder given back last first: the roads that use decoders one
            // after the other find the one they configured last time.
            for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
                if (keyOf((*it)->model()) == key) {
                    auto decoder = std::move(*it);
                    idle_.erase(std::next(it).base());
                    guard.unlock();
                    // Given back unfinished: finished now, before it is configured.
                    if (decoder->inUtterance()) decoder->finishUtterance();
                    return Lease(this, std::move(decoder));
                }
            }
            // A take started right after launch: the decoder loading ahead of
            // it lands sooner than a second load beside it would, on the same
            // cores, and without a second copy of the models.
            const auto loading = prewarming_.find(key);
            if (loading == prewarming_.end() || loading->second == 0) break;
            landed_.wait(guard);
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

void DecoderPool::giveBack(std::unique_ptr<SphinxDecoder> decoder, bool finish) {
    if (finish && decoder->inUtterance()) decoder->finishUtterance();
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
    const std::string key = keyOf(model);
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ++prewarming_[key];
    }
    auto landed = [this, key] {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            --prewarming_[key];
        }
        landed_.notify_all();
    };
    platform::GlobalQueue::async(platform::QoS::utility, [this, model, count, key, landed] {
        int have = 0;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            have = idleCount(key);
        }
        for (int i = have; i < count; ++i) {
            auto decoder = SphinxDecoder::create(model, nullptr);
            if (!decoder) break;
            giveBack(std::move(decoder));
            ++loads_;  // counted once it is there to be lent
            // A waiting take takes this one; the next load is for the count.
            landed_.notify_all();
        }
        landed();
    });
}

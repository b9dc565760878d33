#include "Learning/PersonalModel.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <sphinxbase/err.h>
#include <sphinxbase/logmath.h>
#include <sphinxbase/ngram_model.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <set>
#include <sstream>
#include <thread>
#include <unordered_map>

#include "Base/AppPaths.h"
#include "Learning/DictationLogger.h"
#include "Learning/NgramEstimator.h"
#include "Learning/RecognizerWords.h"
#include "Platform/FileIO.h"
#include "Platform/Log.h"
#include "Platform/Queues.h"
#include "Platform/Unicode.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr const char* trainingFileName = "training_data.sflm";
constexpr const char* modelFileName = "model.bin";
constexpr const char* vocabularyFileName = "vocabulary.bin";
constexpr const char* metadataFileName = "metadata.json";
constexpr const char* outcomeFileName = "build_outcome.json";
constexpr const char* attachFileName = "last_attach.json";
// Where a build writes before it swaps its files in; a failed build removes them.
constexpr const char* partialSuffix = ".partial";
// Records are a few hundred bytes; anything much larger is not ours.
constexpr std::uintmax_t maxRecordBytes = 1 << 20;

// Bumped by every deletion from the history, so a build that read the
// history before a deletion never swaps in a model of what was deleted.
std::atomic<std::uint64_t> historyGeneration{0};

double secondsSince1970() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::optional<std::uint64_t> regularFileSize(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

std::optional<json> readRecord(const fs::path& path) {
    auto size = regularFileSize(path);
    if (!size || *size > maxRecordBytes) return std::nullopt;
    auto bytes = platform::readFile(path);
    if (!bytes) return std::nullopt;
    json value = json::parse(*bytes, nullptr, false);
    if (value.is_discarded() || !value.is_object()) return std::nullopt;
    return value;
}

bool writeRecord(const fs::path& path, const json& value) { return platform::atomicWrite(path, value.dump(), 0600); }

void removeFile(const fs::path& path) {
    std::error_code ec;
    fs::remove(path, ec);
}

// Calls `handle` for each line of a file, a last line without a newline
// included. The file is read as every store is read: only a regular file, never
// waited on (a FIFO planted at the path gives no lines) and never beyond the
// store size cap, so a huge file without line breaks can't hold the memory.
void forEachLine(const fs::path& path, const std::function<void(std::string_view)>& handle) {
    const platform::FileRead read = platform::readRegularFile(path);
    if (!read.ok()) {
        if (read.outcome != platform::FileRead::Outcome::missing) platform::log("PersonalModel", read.error);
        return;
    }
    const std::string_view bytes = read.bytes;
    std::size_t start = 0;
    for (std::size_t nl; (nl = bytes.find('\n', start)) != std::string_view::npos; start = nl + 1)
        handle(bytes.substr(start, nl - start));
    if (start < bytes.size()) handle(bytes.substr(start));
}

std::vector<fs::path> historyFiles() {
    const fs::path dir = AppPaths::applicationSupport();
    return {dir / "dictation_log.1.jsonl", dir / "dictation_log.jsonl"};
}

bool isControl(UChar32 c) {
    switch (u_charType(c)) {
        case U_CONTROL_CHAR:
        case U_FORMAT_CHAR:
        case U_LINE_SEPARATOR:
        case U_PARAGRAPH_SEPARATOR: return true;
        default: return false;
    }
}

// The phones of every word, from the stock dictionary first. Lines are
// "word PH ON ES"; alternates ("word(2)") are not needed.
std::unordered_map<std::string, std::string> stockPronunciations(const std::optional<fs::path>& dictionary,
                                                                 const std::set<std::string>& wanted) {
    std::unordered_map<std::string, std::string> found;
    if (!dictionary) return found;
    forEachLine(*dictionary, [&](std::string_view line) {
        const auto space = line.find(' ');
        if (space == std::string_view::npos) return;
        const std::string word(line.substr(0, space));
        if (!wanted.count(word) || found.count(word)) return;
        std::string phones = platform::text::trimmed(line.substr(space + 1));
        if (!phones.empty()) found.emplace(word, std::move(phones));
    });
    return found;
}

// The recogniser's own reader must accept the model, or it is no model.
void compileWithRecognizerReader(const fs::path& arpa, const fs::path& binary) {
    err_set_logfp(nullptr);
    logmath_t* lmath = logmath_init(1.0001, 0, 0);
    if (!lmath) throw std::runtime_error("could not prepare the recogniser's arithmetic");
    ngram_model_t* model = ngram_model_read(nullptr, arpa.c_str(), NGRAM_ARPA, lmath);
    if (!model) {
        logmath_free(lmath);
        throw std::runtime_error("the recogniser refused the estimated model at " + arpa.string());
    }
    // The recogniser creates the file with the process's umask; made first,
    // private, it is only written over.
    const int created = ::open(binary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (created >= 0) {
        ::fchmod(created, 0600);
        ::close(created);
    }
    const int written = created < 0 ? -1 : ngram_model_write(model, binary.c_str(), NGRAM_BIN);
    ngram_model_free(model);
    if (written != 0) {
        logmath_free(lmath);
        throw std::runtime_error("the recogniser could not write its binary model at " + binary.string());
    }
    ngram_model_t* reread = ngram_model_read(nullptr, binary.c_str(), NGRAM_BIN, lmath);
    if (reread) ngram_model_free(reread);
    logmath_free(lmath);
    if (!reread) throw std::runtime_error("the recogniser could not read back its binary model at " + binary.string());
}

// The phrases the personal model learns from. The recogniser mixes the
// personal model into the stock one word by word, so a phrase made only of
// words the stock model already expects ("lunch is on the third floor") adds
// nothing the stock model lacks, yet its small vocabulary makes those words
// far likelier than in the stock model and pulls them into unrelated speech.
// Only phrases with at least one word the stock model finds rare (or does not
// know) are kept: those carry the user's terms and the words around them.
// Without a readable stock model, or when no phrase has a rare word, every
// phrase is kept.
std::vector<NgramEstimator::Sentence> phrasesWithRareWords(std::vector<NgramEstimator::Sentence> sentences,
                                                           const std::optional<fs::path>& stockModel) {
    // log10 of one in a hundred thousand words of the stock model's text.
    constexpr double rare = -5.0;
    if (!stockModel) return sentences;
    err_set_logfp(nullptr);
    logmath_t* lmath = logmath_init(1.0001, 0, 0);
    if (!lmath) return sentences;
    ngram_model_t* model = ngram_model_read(nullptr, stockModel->c_str(), NGRAM_AUTO, lmath);
    if (!model) {
        logmath_free(lmath);
        return sentences;
    }
    auto isRare = [&](const std::string& word) {
        if (ngram_wid(model, word.c_str()) == ngram_unknown_wid(model)) return true;
        return logmath_log_to_log10(lmath, ngram_score(model, word.c_str(), nullptr)) < rare;
    };
    std::vector<NgramEstimator::Sentence> kept;
    for (auto& s : sentences)
        if (std::any_of(s.words.begin(), s.words.end(), isRare)) kept.push_back(std::move(s));
    ngram_model_free(model);
    logmath_free(lmath);
    if (kept.empty()) return sentences;  // nothing was moved out of them
    return kept;
}

void lowerThisThreadsPriority() {
    // Builds give way to everything else on the machine, dictation first.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 19);
}

std::string quoted(const std::string& s) { return json(s).dump(); }

}  // namespace

// ---- Kinds and records ----

namespace {
// Each road that can carry the model: its name in the attach record, and
// the same road in the words a user knows it by.
struct RoadNames {
    PersonalModel::RequestKind kind;
    const char* raw;
    const char* road;
};
constexpr RoadNames kRoads[] = {
    {PersonalModel::RequestKind::streamingBuffer, "streaming buffer", "the live preview while a dictation was spoken"},
    {PersonalModel::RequestKind::audioFile, "audio file", "a dictation's recording, decoded after the key was released"},
    {PersonalModel::RequestKind::dictationTranscriber, "dictation transcriber", "the dictation transcriber"},
};
const RoadNames& roadNames(PersonalModel::RequestKind kind) {
    for (const auto& names : kRoads)
        if (names.kind == kind) return names;
    return kRoads[0];
}
}  // namespace

const char* PersonalModel::rawValue(RequestKind kind) { return roadNames(kind).raw; }

const char* PersonalModel::roadText(RequestKind kind) { return roadNames(kind).road; }

std::optional<PersonalModel::RequestKind> PersonalModel::requestKind(std::string_view raw) {
    for (const auto& names : kRoads)
        if (raw == names.raw) return names.kind;
    return std::nullopt;
}

std::string PersonalModel::AttachRecord::description() const {
    return "AttachRecord(attachedAtTimestamp: " + platform::text::formatDouble(attachedAtTimestamp) +
           ", localeIdentifier: " + quoted(localeIdentifier) + ", requestKind: " + rawValue(requestKind) +
           ", modelVersion: " + quoted(modelVersion) + ")";
}

std::string PersonalModel::AttachObservation::description() const {
    switch (kind) {
        case Kind::never: return "never";
        case Kind::current: return "current(" + (record ? record->description() : std::string("nil")) + ")";
        case Kind::stale:
            return "stale(observedVersion: " + quoted(observedVersion) +
                   ", current: " + (currentVersion ? quoted(*currentVersion) : std::string("nil")) + ")";
    }
    return {};
}

std::string PersonalModel::CorpusEntry::description() const { return "CorpusEntry(text: " + quoted(text) + ")"; }

json PersonalModel::toJSON(const CacheMetadata& v) {
    return {{"entryCountAtBuild", v.entryCountAtBuild},
            {"localeIdentifier", v.localeIdentifier},
            {"builtAtTimestamp", v.builtAtTimestamp},
            {"modelVersion", v.modelVersion}};
}

json PersonalModel::toJSON(const BuildOutcome& v) {
    json out = {{"succeeded", v.succeeded},
                {"attemptedAtTimestamp", v.attemptedAtTimestamp},
                {"phraseCount", v.phraseCount},
                {"localeIdentifier", v.localeIdentifier},
                {"durationSeconds", v.durationSeconds}};
    if (v.failureReason) out["failureReason"] = *v.failureReason;
    if (v.phrasesRead) out["phrasesRead"] = *v.phrasesRead;
    return out;
}

json PersonalModel::toJSON(const AttachRecord& v) {
    return {{"attachedAtTimestamp", v.attachedAtTimestamp},
            {"localeIdentifier", v.localeIdentifier},
            {"requestKind", rawValue(v.requestKind)},
            {"modelVersion", v.modelVersion}};
}

std::optional<PersonalModel::CacheMetadata> PersonalModel::cacheMetadata(const json& v) {
    if (!v.is_object()) return std::nullopt;
    auto count = v.find("entryCountAtBuild");
    auto tag = v.find("localeIdentifier");
    auto built = v.find("builtAtTimestamp");
    auto version = v.find("modelVersion");
    if (count == v.end() || !count->is_number_integer() || tag == v.end() || !tag->is_string() || built == v.end() ||
        !built->is_number() || version == v.end() || !version->is_string())
        return std::nullopt;
    return CacheMetadata{count->get<std::int64_t>(), tag->get<std::string>(), built->get<double>(),
                         version->get<std::string>()};
}

std::optional<PersonalModel::BuildOutcome> PersonalModel::buildOutcome(const json& v) {
    if (!v.is_object()) return std::nullopt;
    auto ok = v.find("succeeded");
    auto at = v.find("attemptedAtTimestamp");
    auto phrases = v.find("phraseCount");
    auto tag = v.find("localeIdentifier");
    auto took = v.find("durationSeconds");
    if (ok == v.end() || !ok->is_boolean() || at == v.end() || !at->is_number() || phrases == v.end() ||
        !phrases->is_number_integer() || tag == v.end() || !tag->is_string() || took == v.end() || !took->is_number())
        return std::nullopt;
    BuildOutcome out{ok->get<bool>(),         at->get<double>(),   phrases->get<std::int64_t>(),
                     tag->get<std::string>(), took->get<double>(), std::nullopt, std::nullopt};
    if (auto reason = v.find("failureReason"); reason != v.end()) {
        if (!reason->is_string()) return std::nullopt;
        out.failureReason = reason->get<std::string>();
    }
    if (auto read = v.find("phrasesRead"); read != v.end()) {
        if (!read->is_number_integer()) return std::nullopt;
        out.phrasesRead = read->get<std::int64_t>();
    } else if (out.succeeded) {
        // Written before the two were told apart: its count is of the
        // phrases read, and how many were compiled is not known.
        out.phrasesRead = out.phraseCount;
        out.phraseCount = -1;
    }
    return out;
}

std::optional<PersonalModel::AttachRecord> PersonalModel::attachRecord(const json& v) {
    if (!v.is_object()) return std::nullopt;
    auto at = v.find("attachedAtTimestamp");
    auto tag = v.find("localeIdentifier");
    auto kind = v.find("requestKind");
    auto version = v.find("modelVersion");
    if (at == v.end() || !at->is_number() || tag == v.end() || !tag->is_string() || kind == v.end() || !kind->is_string() ||
        version == v.end() || !version->is_string())
        return std::nullopt;
    auto parsedKind = requestKind(kind->get<std::string>());
    if (!parsedKind) return std::nullopt;
    return AttachRecord{at->get<double>(), tag->get<std::string>(), *parsedKind, version->get<std::string>()};
}

std::optional<PersonalModel::CacheMetadata> PersonalModel::readMetadata() {
    auto value = readRecord(directory() / metadataFileName);
    return value ? cacheMetadata(*value) : std::nullopt;
}

// ---- Service ----

PersonalModel::PersonalModel() { platform::SettingsStore::registerDefaults({{enabledDefaultsKey, true}}); }

PersonalModel& PersonalModel::shared() {
    static PersonalModel* instance = [] {
        auto* model = new PersonalModel();
        // What the history no longer holds, the model must not keep.
        DictationLogger::shared().addDeletionObserver([](const DictationLogger::Deletion& deletion) {
            historyDeleted(deletion.scope == DictationLogger::Deletion::Scope::all);
        });
        return model;
    }();
    return *instance;
}

namespace {
std::mutex gObserverLock;
std::function<void()> gChangeObserver;

void notifyChange() {
    std::function<void()> observer;
    {
        std::lock_guard<std::mutex> guard(gObserverLock);
        observer = gChangeObserver;
    }
    if (observer) observer();
}
}  // namespace

void PersonalModel::setChangeObserver(std::function<void()> observer) {
    std::lock_guard<std::mutex> guard(gObserverLock);
    gChangeObserver = std::move(observer);
}

bool PersonalModel::isEnabled() {
    platform::SettingsStore::registerDefaults({{enabledDefaultsKey, true}});
    return AppPaths::userDefaults()->boolValue(enabledDefaultsKey);
}

void PersonalModel::setEnabled(bool enabled) { AppPaths::userDefaults()->setBool(enabledDefaultsKey, enabled); }

fs::path PersonalModel::directory() {
    const fs::path dir = AppPaths::applicationSupport() / "personal_model";
    platform::makePrivateDirectory(dir);
    return dir;
}

// ---- Corpus ----

std::optional<std::string> PersonalModel::cleanCorpusText(std::string_view text) {
    std::u32string scalars = platform::text::toUTF32(platform::text::sanitizeUTF8(text));
    for (auto& c : scalars)
        if (isControl(static_cast<UChar32>(c))) c = U' ';
    std::string spaced = platform::text::fromUTF32(scalars);
    std::string out;
    std::size_t start = 0;
    while (start < spaced.size()) {
        std::size_t end = spaced.find(' ', start);
        if (end == std::string::npos) end = spaced.size();
        if (end > start) {
            if (!out.empty()) out += ' ';
            out.append(spaced, start, end - start);
        }
        start = end + 1;
    }
    if (out.empty()) return std::nullopt;
    return out;
}

std::optional<std::string> PersonalModel::corpusText(std::string_view logLine) {
    const std::string line = platform::text::trimmed(logLine);
    if (line.empty()) return std::nullopt;
    json value = json::parse(line, nullptr, false);
    if (value.is_discarded() || !value.is_object()) return std::nullopt;
    auto text = value.find("text");
    if (text == value.end() || !text->is_string()) return std::nullopt;
    return cleanCorpusText(text->get<std::string>());
}

std::optional<PersonalModel::CorpusEntry> PersonalModel::parseCorpusLine(std::string_view logLine) {
    auto text = corpusText(logLine);
    if (!text) return std::nullopt;
    return CorpusEntry{*text};
}

std::int64_t PersonalModel::corpusEntryCount() {
    std::int64_t count = 0;
    for (const auto& file : historyFiles())
        forEachLine(file, [&](std::string_view line) {
            if (corpusText(line)) ++count;
        });
    return count;
}

std::vector<std::pair<std::string, std::int64_t>> PersonalModel::readCorpus() {
    std::vector<std::pair<std::string, std::int64_t>> phrases;
    std::unordered_map<std::string, std::size_t> index;
    for (const auto& file : historyFiles())
        forEachLine(file, [&](std::string_view line) {
            auto text = corpusText(line);
            if (!text) return;
            auto [it, inserted] = index.emplace(*text, phrases.size());
            if (inserted) phrases.emplace_back(*text, 0);
            ++phrases[it->second].second;
        });
    return phrases;
}

// ---- Rules ----

std::string PersonalModel::normalizedLocale(std::string_view identifier) {
    std::string out(identifier);
    for (auto& c : out) c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool PersonalModel::localesMatch(std::string_view a, std::string_view b) {
    return normalizedLocale(a) == normalizedLocale(b);
}

bool PersonalModel::shouldRebuild(bool cacheFilesPresent, std::optional<std::int64_t> cachedEntryCount,
                                  std::int64_t currentEntryCount, const std::optional<std::string>& cachedLocale,
                                  const std::string& currentLocale, std::int64_t threshold) {
    if (!cacheFilesPresent || !cachedEntryCount || !cachedLocale) return true;
    if (!localesMatch(*cachedLocale, currentLocale)) return true;
    // Fewer entries than the model was built from: some were deleted, and
    // the model still holds them.
    if (currentEntryCount < *cachedEntryCount) return true;
    return currentEntryCount - *cachedEntryCount >= threshold;
}

bool PersonalModel::isAttachable(bool enabled, bool modelPresent, bool vocabularyPresent,
                                 const std::optional<std::string>& cachedLocale, const std::string& currentLocale) {
    return enabled && modelPresent && vocabularyPresent && cachedLocale && localesMatch(*cachedLocale, currentLocale);
}

bool PersonalModel::isAttachable(const Status& s) {
    return isAttachable(s.enabled, s.modelBytes.has_value(), s.vocabularyBytes.has_value(), s.cachedLocale, s.currentLocale);
}

PersonalModel::AttachObservation PersonalModel::classifyAttachObservation(
    const std::optional<AttachRecord>& record, const std::optional<std::string>& currentModelVersion) {
    if (!record) return {};
    if (currentModelVersion && record->modelVersion == *currentModelVersion)
        return {AttachObservation::Kind::current, record, {}, std::nullopt};
    return {AttachObservation::Kind::stale, std::nullopt, record->modelVersion, currentModelVersion};
}

std::string PersonalModel::redactHomeDirectory(const std::string& text, const std::string& home) {
    std::string prefix = home;
    if (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
    if (prefix.empty()) return text;
    std::string out;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find(prefix, start)) != std::string::npos; start = at + prefix.size()) {
        out.append(text, start, at - start);
        out += '~';
    }
    out.append(text, start, std::string::npos);
    return out;
}

// ---- Attachment ----

std::optional<PersonalModel::Configuration> PersonalModel::preparedConfiguration(const std::string& localeIdentifier) const {
    const fs::path dir = directory();
    const fs::path model = dir / modelFileName;
    const fs::path vocabulary = dir / vocabularyFileName;
    const std::optional<CacheMetadata> metadata = readMetadata();
    const std::optional<std::string> builtFor =
        metadata ? std::optional<std::string>(metadata->localeIdentifier) : std::nullopt;
    if (!isAttachable(isEnabled(), regularFileSize(model).has_value(), regularFileSize(vocabulary).has_value(), builtFor,
                      localeIdentifier))
        return std::nullopt;
    return Configuration{model.string(), vocabulary.string(), metadata->modelVersion};
}

void PersonalModel::recordAttachment(const std::string& localeIdentifier, RequestKind kind) {
    const double at = secondsSince1970();
    attachQueue().async([localeIdentifier, kind, at] {
        const auto metadata = readMetadata();
        const AttachRecord record{at, localeIdentifier, kind, metadata ? metadata->modelVersion : std::string()};
        if (!writeRecord(directory() / attachFileName, toJSON(record)))
            platform::log("PersonalModel", "could not write the attach record");
        notifyChange();
    });
}

void PersonalModel::drainAttachRecords() { attachQueue().drain(); }

platform::SerialQueue& PersonalModel::attachQueue() {
    // Made on first use: a thread started while the process is still setting
    // up (before a command line blocks its signals) would take them instead.
    std::lock_guard<std::mutex> guard(stateLock_);
    if (!attachQueue_) attachQueue_ = std::make_unique<platform::SerialQueue>(attachQueueLabel, platform::QoS::utility);
    return *attachQueue_;
}

// ---- Build ----

void PersonalModel::setPronunciationSources(PronunciationSources sources) {
    std::lock_guard<std::mutex> guard(stateLock_);
    sources_ = std::move(sources);
}

bool PersonalModel::isBuilding() const {
    std::lock_guard<std::mutex> guard(stateLock_);
    return isBuilding_;
}

void PersonalModel::rebuildIfNeededInBackground(const std::string& currentLocaleIdentifier) {
    if (!isEnabled() || isBuilding()) return;
    try {
        std::thread([this, currentLocaleIdentifier] {
            lowerThisThreadsPriority();
            rebuildIfNeeded(currentLocaleIdentifier);
        }).detach();
    } catch (const std::exception& e) {
        platform::log("PersonalModel", std::string("could not start a rebuild: ") + e.what());
    }
}

bool PersonalModel::rebuildIfNeeded(const std::string& currentLocaleIdentifier) {
    if (!isEnabled()) return false;
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        if (isBuilding_) return false;
        isBuilding_ = true;
    }
    struct Clear {
        PersonalModel* self;
        ~Clear() {
            std::lock_guard<std::mutex> guard(self->stateLock_);
            self->isBuilding_ = false;
        }
    } clear{this};

    const std::int64_t count = corpusEntryCount();
    const fs::path dir = directory();
    const bool filesPresent =
        regularFileSize(dir / modelFileName).has_value() && regularFileSize(dir / vocabularyFileName).has_value();
    if (count < 1) {
        // The history was emptied (perhaps by another process): the model
        // of what it held goes with it.
        if (filesPresent || regularFileSize(dir / metadataFileName)) removeAllModelFiles();
        return false;
    }
    const std::optional<CacheMetadata> metadata = readMetadata();
    if (!shouldRebuild(filesPresent, metadata ? std::optional<std::int64_t>(metadata->entryCountAtBuild) : std::nullopt,
                       count, metadata ? std::optional<std::string>(metadata->localeIdentifier) : std::nullopt,
                       currentLocaleIdentifier, rebuildThreshold))
        return false;

    const auto start = std::chrono::system_clock::now();
    BuildOutcome outcome;
    outcome.attemptedAtTimestamp = std::chrono::duration<double>(start.time_since_epoch()).count();
    outcome.localeIdentifier = currentLocaleIdentifier;
    try {
        const PhraseCounts phrases = build(count, currentLocaleIdentifier);
        outcome.phraseCount = phrases.compiled;
        outcome.phrasesRead = phrases.read;
        outcome.succeeded = true;
        platform::log("PersonalModel",
                      "rebuilt from " + std::to_string(count) + " corpus entries (locale=" + currentLocaleIdentifier + ")");
    } catch (const std::exception& e) {
        outcome.succeeded = false;
        outcome.phraseCount = 0;
        outcome.failureReason = redactHomeDirectory(e.what(), platform::userHome().string());
        platform::log("PersonalModel", std::string("rebuild failed: ") + *outcome.failureReason);
    }
    outcome.durationSeconds = std::chrono::duration<double>(std::chrono::system_clock::now() - start).count();
    writeRecord(dir / outcomeFileName, toJSON(outcome));
    notifyChange();
    return true;
}

PersonalModel::PhraseCounts PersonalModel::build(std::int64_t entryCount, const std::string& localeIdentifier) {
    const auto started = std::chrono::system_clock::now();
    const std::uint64_t generation = historyGeneration.load();
    const std::string version =
        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(started.time_since_epoch()).count());
    const fs::path dir = directory();
    const fs::path partialModel = dir / (std::string(modelFileName) + partialSuffix);
    const fs::path partialVocabulary = dir / (std::string(vocabularyFileName) + partialSuffix);
    const fs::path partialArpa = dir / (std::string("model.arpa") + partialSuffix);
    struct Cleanup {
        std::vector<fs::path> paths;
        ~Cleanup() {
            for (const auto& p : paths) removeFile(p);
        }
    } cleanup{{partialModel, partialVocabulary, partialArpa}};

    const auto corpus = readCorpus();
    if (corpus.empty()) throw BuildError::corpusEmpty();

    // The exported corpus: one phrase and its count a line.
    std::vector<NgramEstimator::Sentence> sentences;
    std::string exported;
    std::int64_t inserted = 0;
    for (const auto& [phrase, occurrences] : corpus) {
        auto clean = cleanCorpusText(phrase);
        if (!clean) continue;
        exported += *clean + '\t' + std::to_string(occurrences) + '\n';
        sentences.push_back({RecognizerWords::of(*clean), occurrences});
        ++inserted;
    }
    std::string error;
    if (!platform::atomicWrite(dir / trainingFileName, exported, 0600, &error))
        throw std::runtime_error("could not export the training data: " + error);

    PronunciationSources sources;
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        sources = sources_;
    }
    sentences = phrasesWithRareWords(
        std::move(sentences),
        sources.stockLanguageModel ? sources.stockLanguageModel(localeIdentifier) : std::nullopt);
    const auto compiled = static_cast<std::int64_t>(sentences.size());
    const std::string arpa = NgramEstimator::arpa(sentences);
    if (arpa.empty()) throw std::runtime_error("no phrase of the corpus has a word the recogniser can spell");
    if (!platform::atomicWrite(partialArpa, arpa, 0600, &error))
        throw std::runtime_error("could not write the estimated model: " + error);
    compileWithRecognizerReader(partialArpa, partialModel);
    removeFile(partialArpa);

    // Pronunciations for every word of the model.
    const std::vector<std::string> words = NgramEstimator::vocabulary(sentences);
    const std::set<std::string> wanted(words.begin(), words.end());
    const auto stock =
        stockPronunciations(sources.stockDictionary ? sources.stockDictionary(localeIdentifier) : std::nullopt, wanted);
    std::string vocabulary;
    std::size_t unspoken = 0;
    for (const auto& word : words) {
        std::string phones;
        if (auto it = stock.find(word); it != stock.end()) phones = it->second;
        else if (sources.guess) phones = sources.guess(word);
        if (phones.empty()) {
            ++unspoken;
            continue;
        }
        vocabulary += word + ' ' + phones + '\n';
    }
    if (unspoken > 0) platform::log("PersonalModel", std::to_string(unspoken) + " model word(s) have no pronunciation");
    if (!platform::atomicWrite(partialVocabulary, vocabulary, 0600, &error))
        throw std::runtime_error("could not write the vocabulary: " + error);

    if (historyGeneration.load() != generation)
        throw std::runtime_error("the history changed while the model was built from it");
    // The swap: without metadata the model is not attached, so no request
    // ever sees a new model with the old vocabulary or the reverse.
    removeFile(dir / metadataFileName);
    std::error_code ec;
    fs::rename(partialModel, dir / modelFileName, ec);
    if (!ec) fs::rename(partialVocabulary, dir / vocabularyFileName, ec);
    if (ec) throw std::runtime_error("could not put the compiled model in place: " + ec.message());
    removeFile(dir / trainingFileName);
    const CacheMetadata metadata{entryCount, localeIdentifier,
                                 std::chrono::duration<double>(started.time_since_epoch()).count(), version};
    if (!writeRecord(dir / metadataFileName, toJSON(metadata)))
        throw std::runtime_error("could not write the model's metadata");
    return {inserted, compiled};
}

void PersonalModel::removeAllModelFiles() {
    const fs::path dir = AppPaths::applicationSupport() / "personal_model";
    // Metadata first: from that moment nothing attaches what follows.
    for (const char* name :
         {metadataFileName, modelFileName, vocabularyFileName, trainingFileName, outcomeFileName, attachFileName})
        removeFile(dir / name);
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        if (platform::text::hasSuffix(entry.path().filename().string(), partialSuffix)) removeFile(entry.path());
    notifyChange();
}

void PersonalModel::historyDeleted(bool all) {
    ++historyGeneration;
    if (all) {
        removeAllModelFiles();
    } else if (auto metadata = readMetadata()) {
        // The entry count is now below the count the model was built from.
        shared().rebuildIfNeededInBackground(metadata->localeIdentifier);
    }
}

// ---- Status ----

PersonalModel::Status PersonalModel::currentStatus(const std::string& currentLocale, bool enabled, double now) const {
    const fs::path dir = directory();
    Status s;
    s.enabled = enabled;
    s.currentLocale = currentLocale;
    s.corpusEntries = corpusEntryCount();
    s.modelBytes = regularFileSize(dir / modelFileName);
    s.vocabularyBytes = regularFileSize(dir / vocabularyFileName);
    if (auto metadata = readMetadata()) {
        s.cachedEntryCount = metadata->entryCountAtBuild;
        s.cachedLocale = metadata->localeIdentifier;
        s.cachedModelVersion = metadata->modelVersion;
        s.builtAtTimestamp = metadata->builtAtTimestamp;
    }
    s.leftoverTrainingAssetBytes = regularFileSize(dir / trainingFileName);
    if (auto value = readRecord(dir / outcomeFileName)) s.lastOutcome = buildOutcome(*value);
    if (auto value = readRecord(dir / attachFileName)) s.lastAttach = attachRecord(*value);
    s.nowTimestamp = now;
    return s;
}

std::string PersonalModel::ageText(double seconds) {
    // The times come from files on disk: one a century off either way (or
    // not a number at all) says nothing true, and a cast of it would wrap.
    constexpr double century = 100.0 * 365.25 * 86400.0;
    if (!std::isfinite(seconds) || seconds > century || seconds < -century) return "at an unknown time";
    const long long age = seconds < 0 ? 0 : static_cast<long long>(seconds);
    if (age < 90) return std::to_string(age) + "s ago";
    if (age < 5400) return std::to_string(age / 60) + "m ago";
    if (age < 172800) return std::to_string(age / 3600) + "h ago";
    return std::to_string(age / 86400) + "d ago";
}

std::string PersonalModel::countText(std::int64_t count) {
    return count < 0 ? std::string("unknown") : std::to_string(count);
}

std::string PersonalModel::sizeText(std::uint64_t bytes) {
    char buffer[32];
    if (bytes < 1024) return std::to_string(bytes) + " B";
    if (bytes < 1048576) std::snprintf(buffer, sizeof buffer, "%.0f K", static_cast<double>(bytes) / 1024.0);
    else std::snprintf(buffer, sizeof buffer, "%.1f M", static_cast<double>(bytes) / 1048576.0);
    return buffer;
}

std::vector<std::string> PersonalModel::statusLines(const Status& s) {
    auto label = [](const std::string& name) {
        std::string padded = "  " + name;
        while (padded.size() < 26) padded += ' ';
        return padded;
    };
    auto fileLine = [&](const char* name, const std::optional<std::uint64_t>& bytes) {
        return label(name) + (bytes ? "present, " + sizeText(*bytes) : std::string("ABSENT"));
    };
    const bool attachable = isAttachable(s);
    const AttachObservation observation = classifyAttachObservation(s.lastAttach, s.cachedModelVersion);

    std::vector<std::string> lines;
    lines.push_back("Personal model — on-device speech adaptation");
    lines.push_back("");
    lines.push_back(label("Enabled") + (s.enabled ? "yes" : "no"));
    lines.push_back(label("Dictations in history") + std::to_string(s.corpusEntries));
    lines.push_back(fileLine("model.bin", s.modelBytes));
    lines.push_back(fileLine("vocabulary.bin", s.vocabularyBytes));
    // The model learned from the history as it was at its build, which can
    // be well behind the history now: a build waits for a batch of new ones.
    if (!s.cachedLocale || !s.builtAtTimestamp) {
        lines.push_back(label("Built from") + "never — no metadata.json on disk");
    } else {
        std::string built = (s.cachedEntryCount ? countText(*s.cachedEntryCount) : std::string("?")) +
                            " dictations, locale " + *s.cachedLocale + ", " +
                            ageText(s.nowTimestamp - *s.builtAtTimestamp);
        if (s.enabled && s.cachedEntryCount && *s.cachedEntryCount >= 0 && s.corpusEntries > *s.cachedEntryCount)
            built += " — rebuilt when the history reaches " + std::to_string(*s.cachedEntryCount + rebuildThreshold);
        lines.push_back(label("Built from") + built);
    }
    lines.push_back(label("Locale now") + s.currentLocale);
    lines.push_back(label("ATTACHED TO RECOGNITION") + (attachable ? "YES" : "NO"));
    switch (observation.kind) {
        case AttachObservation::Kind::never: lines.push_back(label("Last observed attach") + "never"); break;
        case AttachObservation::Kind::stale:
            lines.push_back(label("Last observed attach") + "STALE — carried an earlier model");
            break;
        case AttachObservation::Kind::current:
            lines.push_back(label("Last observed attach") + ageText(s.nowTimestamp - s.lastAttach->attachedAtTimestamp) +
                            ", " + roadText(s.lastAttach->requestKind) + ", locale " + s.lastAttach->localeIdentifier);
            break;
    }
    lines.push_back("");
    if (!s.lastOutcome) {
        lines.push_back(label("Last build attempt") +
                        "no record — the model has not been rebuilt since this record was added");
    } else {
        // A build lasts seconds to minutes; a stored duration past a day or below zero is no duration.
        const double seconds = s.lastOutcome->durationSeconds;
        char took[32] = "an unknown time";
        if (std::isfinite(seconds) && seconds >= 0 && seconds <= 86400.0) std::snprintf(took, sizeof took, "%.1fs", seconds);
        lines.push_back(label("Last build attempt") + (s.lastOutcome->succeeded ? "SUCCEEDED" : "FAILED") + ", " +
                        ageText(s.nowTimestamp - s.lastOutcome->attemptedAtTimestamp) + ", took " + took);
        if (s.lastOutcome->succeeded) {
            // Phrases made only of words the stock model already expects are
            // read from the history and left out of the model.
            const auto& o = *s.lastOutcome;
            if (o.phrasesRead) lines.push_back(label("Phrases read") + countText(*o.phrasesRead));
            std::string compiled = countText(o.phraseCount);
            if (o.phraseCount < 0 && o.phrasesRead) compiled += " — this build did not record it";
            else if (o.phrasesRead && *o.phrasesRead > o.phraseCount)
                compiled += " — the other " + std::to_string(*o.phrasesRead - o.phraseCount) +
                            " hold only words the recogniser already expects";
            lines.push_back(label("Phrases compiled") + compiled);
        }
        else if (s.lastOutcome->failureReason)
            lines.push_back(label("Failure reason") + *s.lastOutcome->failureReason);
    }

    // What needs the reader's attention comes last, set apart, one mark each.
    std::vector<std::string> notes;
    if (s.leftoverTrainingAssetBytes)
        notes.push_back("training_data.sflm is still on disk (" + sizeText(*s.leftoverTrainingAssetBytes) +
                        ") — it is deleted only after a SUCCESSFUL compile, so the compiler threw");
    if (!attachable) {
        if (!s.enabled) {
            notes.push_back("not attached because the feature is switched off");
        } else if (!s.modelBytes || !s.vocabularyBytes) {
            notes.push_back(
                "not attached because the compiled model is missing — dictation is running WITHOUT your vocabulary");
        } else if (!s.cachedLocale) {
            notes.push_back("not attached because metadata.json is missing");
        } else {
            notes.push_back("not attached because the model was built for " + *s.cachedLocale + " but dictation is in " +
                            s.currentLocale + " — it will rebuild on the next dictation");
        }
    }
    if (s.corpusEntries == 0) notes.push_back("the corpus is empty — nothing to learn from yet");
    if (observation.kind == AttachObservation::Kind::stale)
        notes.push_back("the last observed attach carried model version " + observation.observedVersion +
                        ", but the model on disk is version " + observation.currentVersion.value_or("unknown") +
                        " — that observation says nothing about the model in use now");
    if (attachable && !s.lastAttach)
        notes.push_back(
            "no recognition request has been observed carrying this model yet — the line above is a "
            "prediction, and this feature has already shipped a state where every prediction was true and "
            "the recogniser still never saw the model");
    if (!notes.empty()) lines.push_back("");
    for (const auto& note : notes) lines.push_back("  ! " + note);
    return lines;
}

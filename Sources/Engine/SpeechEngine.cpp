#include "Engine/SpeechEngine.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <set>
#include <thread>

#include "Base/AppPaths.h"
#include "Engine/SphinxRecognizer.h"
#include "Learning/ScreenContext.h"
#include "Platform/FileIO.h"
#include "Platform/LinuxNames.h"
#include "Platform/Log.h"
#include "Platform/Unicode.h"

namespace fs = std::filesystem;

std::atomic<bool> SpeechEngine::allowsModelAssetDownload{true};

namespace {

SystemTime now() { return std::chrono::system_clock::now(); }

std::string underscored(std::string identifier) {
    std::replace(identifier.begin(), identifier.end(), '-', '_');
    return identifier;
}

// Non-empty pieces of `text` between `separator`s.
std::vector<std::string> pieces(const std::string& text, char separator) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        if (end > start) out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::vector<std::string> installedIdentifiers() {
    std::vector<std::string> ids;
    for (const auto& model : SphinxModels::installed()) ids.push_back(model.localeIdentifier);
    return ids;
}

// What a recognition asks of the recogniser.
struct RecognitionRequest {
    bool requiresOnDeviceRecognition = true;
    bool shouldReportPartialResults = true;
    std::vector<std::string> contextualStrings;
    std::optional<PersonalModel::Configuration> customizedLanguageModel;
};

// The samples of a recording at the recogniser's rate, as the file holds them.
std::optional<std::vector<std::int16_t>> recordingSamples(const fs::path& audioURL) {
    auto file = AudioFile::openForReading(audioURL, nullptr);
    if (!file) return std::nullopt;
    if (file->fileFormat().sampleRate == 16000.0) return file->readMono16(nullptr);
    // Another rate: convert once, whole.
    std::vector<float> mono = file->readMonoFloat(nullptr);
    const AudioFormat monoFormat{file->fileFormat().sampleRate, 1};
    auto converter = AudioConverter::make(monoFormat, AudioFormat{16000.0, 1});
    auto input = AudioPCMBuffer::fromInterleaved(monoFormat, mono.data(), mono.size());
    auto output = AudioPCMBuffer::make(
        AudioFormat{16000.0, 1},
        static_cast<std::size_t>(static_cast<double>(mono.size()) * 16000.0 / monoFormat.sampleRate) + 2);
    if (!converter || !input || !output || !converter->convert(*input, *output, nullptr)) return std::nullopt;
    auto rest = converter->finish(nullptr);
    if (!rest) return std::nullopt;
    std::vector<std::int16_t> samples;
    for (const auto& part : {output, rest})
        for (std::size_t i = 0; i < part->frameLength(); ++i) samples.push_back(floatToInt16(part->channelData(0)[i]));
    return samples;
}

std::uint64_t fnv1a(std::uint64_t hash, const std::int16_t* samples, std::size_t count) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(samples);
    for (std::size_t i = 0; i < count * sizeof(std::int16_t); ++i) {
        hash ^= bytes[i];
        hash *= 1099511628211ULL;
    }
    return hash;
}
constexpr std::uint64_t fnvOffset = 14695981039346656037ULL;

std::vector<std::int16_t> quantised(const AudioPCMBuffer& buffer) {
    std::vector<std::int16_t> samples(buffer.frameLength());
    const float* data = buffer.channelData(0);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = floatToInt16(data[i]);
    return samples;
}

// One decode of a whole recording on a worker thread, so the caller can
// give up at a deadline while the decoder finishes on its own. What it has
// heard so far is kept whether or not anyone watches it: a caller that gives
// up answers with those words, not with nothing.
struct DecodeJob {
    std::mutex mutex;
    std::condition_variable done;
    std::string latest;
    std::string finalText;
    bool finished = false;
    std::optional<std::string> failure;
    std::atomic<bool> cancelled{false};
    // When set, the deadline passes as soon as this many samples are heard,
    // however fast the machine: a cut at a known place in the take.
    std::optional<std::size_t> deadlineAfterSamples;

    static std::shared_ptr<DecodeJob> start(DecoderPool::Lease lease, std::vector<std::int16_t> samples, std::size_t chunk,
                                            std::function<void(const std::string&)> onPartial,
                                            std::optional<std::size_t> deadlineAfterSamples = std::nullopt) {
        auto job = std::make_shared<DecodeJob>();
        job->deadlineAfterSamples = deadlineAfterSamples;
        std::thread([job, lease = std::move(lease), samples = std::move(samples), chunk,
                     onPartial = std::move(onPartial)]() mutable {
            auto [text, failure] = job->decode(*lease, samples, chunk, onPartial);
            // The decoder is back in the pool before the caller hears the
            // result, so a fallback it starts right away finds the warm one.
            lease = DecoderPool::Lease();
            job->finish(std::move(text), std::move(failure));
        }).detach();
        return job;
    }

    std::pair<std::string, std::optional<std::string>> decode(SphinxDecoder& decoder,
                                                               const std::vector<std::int16_t>& samples,
                                                               std::size_t chunk,
                                                               const std::function<void(const std::string&)>& onPartial) {
        if (!decoder.startUtterance()) return {{}, "the decoder could not start an utterance"};
        for (std::size_t at = 0; at < samples.size() && !cancelled; at += chunk) {
            const std::size_t n = std::min(chunk, samples.size() - at);
            if (!decoder.process(samples.data() + at, n)) {
                decoder.finishUtterance();
                return {{}, "the decoder refused the audio"};
            }
            std::string hyp = decoder.partialHypothesis();
            bool expired = false;
            {
                std::lock_guard<std::mutex> guard(mutex);
                latest = hyp;
                expired = deadlineAfterSamples && at + n >= *deadlineAfterSamples;
                if (expired) cancelled = true;
            }
            if (expired) done.notify_all();
            if (onPartial) onPartial(hyp);
        }
        return {decoder.finishUtterance(), std::nullopt};
    }

    void finish(std::string text, std::optional<std::string> why) {
        {
            std::lock_guard<std::mutex> guard(mutex);
            finished = true;
            finalText = std::move(text);
            if (why) failure = std::move(why);
            // A caller that gave up keeps the words it was given.
            else if (!cancelled) latest = finalText;
        }
        done.notify_all();
    }

    // True when the job finished before its deadline: `seconds`, or the
    // samples it was told to stop at.
    bool waitFor(double seconds) {
        std::unique_lock<std::mutex> guard(mutex);
        done.wait_for(guard, std::chrono::duration<double>(seconds), [this] { return finished || cancelled; });
        const bool ok = finished && !cancelled;
        cancelled = true;
        return ok;
    }
};

}  // namespace

// A whole-take decode that runs while the take is being recorded. It hears
// the samples exactly as the recording file stores them and keeps a digest
// of them, so the recognition of the file can use its text only when the
// file holds precisely what it decoded.
class AheadDecode {
public:
    SpeechEngine::RecognitionPath path;
    std::string localeIdentifier;
    std::vector<std::string> terms;
    std::optional<PersonalModel::Configuration> personal;
    DecoderPool::Lease decoder;
    std::uint64_t digest = fnvOffset;
    std::size_t sampleCount = 0;
    bool healthy = true;

    void feed(const AudioPCMBuffer& buffer) {
        if (!healthy) return;
        std::vector<std::int16_t> samples = quantised(buffer);
        digest = fnv1a(digest, samples.data(), samples.size());
        sampleCount += samples.size();
        healthy = decoder->process(samples.data(), samples.size());
    }

    bool matches(SpeechEngine::RecognitionPath p, const std::string& locale, const std::vector<std::string>& t,
                 const std::optional<PersonalModel::Configuration>& own, const std::vector<std::int16_t>& samples) const {
        if (!healthy || p != path || locale != localeIdentifier || t != terms) return false;
        if (own.has_value() != personal.has_value()) return false;
        if (own && (own->languageModelPath != personal->languageModelPath ||
                    own->dictionaryPath != personal->dictionaryPath || own->modelVersion != personal->modelVersion))
            return false;
        return samples.size() == sampleCount && fnv1a(fnvOffset, samples.data(), samples.size()) == digest;
    }

    // Hands the decoder back to the pool once the take no longer needs it.
    // It is the warm one: while it is held, any other decode of the take
    // (the file, the incremental fallback) would load a second.
    void release() {
        healthy = false;
        decoder = DecoderPool::Lease();
    }
};

// ---- Engine identifiers and errors ----

namespace EngineIdentifier {
const char* contextDecoder() { return LinuxNames::engineContextDecoder; }
const char* personalDecoder() { return LinuxNames::enginePersonalDecoder; }
const char* incrementalDecoder() { return LinuxNames::engineIncrementalDecoder; }
const char* fileTranscription() { return LinuxNames::engineFileDecoder; }
std::string canonical(const std::string& stored) {
    for (const auto& alias : LinuxNames::engineIdentifierAliases)
        if (stored == alias.stored) return alias.current;
    return stored;
}
}  // namespace EngineIdentifier

std::string TranscriptionError::languageName(const std::string& localeIdentifier) {
    std::string id = localeIdentifier;
    std::replace(id.begin(), id.end(), '_', '-');
    icu::Locale current = icu::Locale::getDefault();
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale locale = icu::Locale::forLanguageTag(id.c_str(), status);
    if (U_FAILURE(status) || locale.isBogus() || std::string(locale.getLanguage()).empty()) return "this language";
    icu::UnicodeString language;
    locale.getDisplayLanguage(current, language);
    std::string languageText;
    language.toUTF8String(languageText);
    if (languageText.empty() || languageText == locale.getLanguage()) return "this language";
    icu::UnicodeString whole;
    locale.getDisplayName(current, whole);
    std::string out;
    whole.toUTF8String(out);
    return out.empty() ? languageText : out;
}

std::string TranscriptionError::errorDescription() const {
    switch (kind) {
        case Kind::engineUnavailable: return "Speech recognition isn't available right now. Try again in a moment.";
        case Kind::audioFileNotFound: return "The recording couldn't be found. Please try dictating again.";
        case Kind::transcriptionFailed: return "Transcription failed. Please try again.";
        case Kind::onDeviceUnavailable:
            return "On-device dictation isn't available for " + languageName(value) +
                   ". Ondira never sends audio to the internet, so it stopped instead. " +
                   LinuxNames::addDictationLanguageSentence;
        case Kind::speechModelNotInstalled:
            return "The offline speech model for " + languageName(value) + " isn't installed yet. " +
                   LinuxNames::addDictationLanguageSentence;
        case Kind::speechModelInstallFailed:
            return "Couldn't install the offline speech model for " + languageName(value) + ": " + underlying;
        case Kind::unsupportedLocale:
            return "Dictation isn't supported for " + languageName(value) + " on " + LinuxNames::thisComputer + ".";
        case Kind::speechModelDownloading:
            return std::string(LinuxNames::modelDownloader) +
                   " is still downloading the offline speech model. Try again shortly.";
        case Kind::notAuthorized:
            return std::string("Ondira needs permission to use speech recognition. ") +
                   LinuxNames::speechRecognitionAccessRemedy;
        case Kind::emptyTranscript: return "No speech was detected in that recording.";
        case Kind::audioTooShort: return "That recording was too short to transcribe.";
    }
    return {};
}

std::string TranscriptionError::diagnosticDetail() const {
    switch (kind) {
        case Kind::engineUnavailable: return "engineUnavailable: " + value;
        case Kind::audioFileNotFound: return "audioFileNotFound: " + value;
        case Kind::transcriptionFailed: return "transcriptionFailed: " + value;
        case Kind::onDeviceUnavailable: return "onDeviceUnavailable: " + value;
        case Kind::speechModelNotInstalled: return "speechModelNotInstalled: " + value;
        case Kind::speechModelInstallFailed: return "speechModelInstallFailed: " + value + ": " + underlying;
        case Kind::unsupportedLocale: return "unsupportedLocale: " + value;
        case Kind::speechModelDownloading: return "speechModelDownloading";
        case Kind::notAuthorized: return "notAuthorized";
        case Kind::emptyTranscript: return "emptyTranscript";
        case Kind::audioTooShort: return "audioTooShort";
    }
    return {};
}

bool TranscriptionError::isRetryable() const {
    return kind == Kind::engineUnavailable || kind == Kind::transcriptionFailed || kind == Kind::speechModelInstallFailed ||
           kind == Kind::speechModelDownloading;
}

std::string TranscriptionEngineProtocol::transcribe(const fs::path& audioURL, const std::vector<std::string>& contextTerms) {
    return transcribeDetailed(audioURL, contextTerms, std::nullopt).text;
}

// ---- The engine ----

const char* SpeechEngine::name(RecognitionPath path) {
    return path == RecognitionPath::speechTranscriber ? "speechTranscriber" : "dictationTranscriber";
}

SpeechEngine::Capabilities SpeechEngine::capabilities() { return Capabilities{}; }

SpeechEngine& SpeechEngine::shared() {
    static SpeechEngine* instance = new SpeechEngine();
    return *instance;
}

SpeechEngine::SpeechEngine() {
    platform::SettingsStore::registerDefaults({{dictationTranscriberEnabledDefaultsKey, false}});
    // The personal model's words are spoken as this recogniser speaks them.
    PersonalModel::shared().setPronunciationSources({[](const std::string& localeIdentifier) -> std::optional<fs::path> {
                                                         auto model = SphinxModels::forLocale(localeIdentifier);
                                                         return model ? std::optional<fs::path>(model->dictionary)
                                                                      : std::nullopt;
                                                     },
                                                     &Pronunciations::guess,
                                                     [](const std::string& localeIdentifier) -> std::optional<fs::path> {
                                                         auto model = SphinxModels::forLocale(localeIdentifier);
                                                         return model ? std::optional<fs::path>(model->languageModel)
                                                                      : std::nullopt;
                                                     }});
}

bool SpeechEngine::isDictationTranscriberEnabled() {
    return AppPaths::userDefaults()->boolValue(dictationTranscriberEnabledDefaultsKey);
}

void SpeechEngine::setDictationTranscriberEnabled(bool enabled) {
    AppPaths::userDefaults()->setBool(dictationTranscriberEnabledDefaultsKey, enabled);
}

std::string SpeechEngine::locale() const {
    std::lock_guard<std::mutex> guard(stateLock_);
    return configuredLocale_ ? *configuredLocale_ : currentSystemLocaleIdentifier();
}

void SpeechEngine::setLocale(const std::string& localeIdentifier) {
    std::lock_guard<std::mutex> guard(stateLock_);
    configuredLocale_ = localeIdentifier;
}

void SpeechEngine::resetLocaleToSystem() {
    std::lock_guard<std::mutex> guard(stateLock_);
    configuredLocale_.reset();
}

std::string SpeechEngine::configuredOrSystemLocale() const { return locale(); }

std::optional<TranscriptionResult> SpeechEngine::lastResult() const {
    std::lock_guard<std::mutex> guard(stateLock_);
    return lastResultStorage_;
}

std::optional<double> SpeechEngine::lastEndToEndLatencySeconds() const {
    auto result = lastResult();
    if (!result) return std::nullopt;
    return result->endToEndSeconds;
}

void SpeechEngine::expireAnalyzerDeadlineAfterAudioForTesting(std::optional<double> audioSeconds) {
    std::lock_guard<std::mutex> guard(stateLock_);
    analyzerDeadlineAfterAudio_ = audioSeconds;
}

// ---- Recognition language ----

void SpeechEngine::persistLocale(const std::optional<std::string>& identifier, platform::SettingsStore& userDefaults) {
    std::string value = identifier ? platform::text::trimmed(*identifier) : std::string();
    userDefaults.setString(localeDefaultsKey, value.empty() ? systemLanguageSentinel : value);
}

std::optional<std::string> SpeechEngine::loadPersistedLocale(const platform::SettingsStore& userDefaults) {
    auto value = userDefaults.object(localeDefaultsKey);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

std::string SpeechEngine::resolveConfiguredLocaleIdentifier(const std::optional<std::string>& stored,
                                                            const std::string& system) {
    const std::string systemIdentifier = underscored(system);
    if (!stored) return systemIdentifier;
    std::string value = platform::text::trimmed(*stored);
    if (value.empty()) return systemIdentifier;
    value = underscored(value);
    if (platform::text::lowercased(value) == systemLanguageSentinel) return systemIdentifier;
    return value;
}

void SpeechEngine::applyPersistedLocale(const platform::SettingsStore& userDefaults) {
    const std::string system = underscored(currentSystemLocaleIdentifier());
    const std::string resolved = resolveConfiguredLocaleIdentifier(loadPersistedLocale(userDefaults), system);
    std::lock_guard<std::mutex> guard(stateLock_);
    if (resolved == system) configuredLocale_.reset();
    else configuredLocale_ = resolved;
}

std::string SpeechEngine::currentSystemLocaleIdentifier() { return SphinxModels::systemLocaleIdentifier(); }

namespace {
std::string icuName(const icu::UnicodeString& s) {
    std::string out;
    s.toUTF8String(out);
    return out;
}
}  // namespace

std::string SpeechEngine::displayName(const std::string& identifier, const std::string& displayLocale) {
    const icu::Locale display(displayLocale.c_str());
    const icu::Locale whole(identifier.c_str());
    const std::vector<std::string> parts = pieces(identifier, '_');
    // The whole identifier counts as named only when ICU knows each of its parts.
    bool wholeKnown = !whole.isBogus() && !parts.empty();
    icu::UnicodeString scratch;
    if (wholeKnown && icuName(whole.getDisplayLanguage(display, scratch)) == whole.getLanguage()) wholeKnown = false;
    if (wholeKnown && *whole.getScript() && icuName(whole.getDisplayScript(display, scratch.remove())) == whole.getScript())
        wholeKnown = false;
    if (wholeKnown && *whole.getCountry() &&
        icuName(whole.getDisplayCountry(display, scratch.remove())) == whole.getCountry())
        wholeKnown = false;
    if (wholeKnown) {
        std::string name = icuName(whole.getDisplayName(display, scratch.remove()));
        if (!name.empty() && name != identifier) return name;
    }
    if (parts.empty()) return identifier;
    icu::Locale languageOnly(parts[0].c_str());
    std::string language = icuName(languageOnly.getDisplayLanguage(display, scratch.remove()));
    if (language.empty()) language = parts[0];
    std::vector<std::string> qualifiers;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        if (part.size() == 2 && platform::text::uppercased(part) == part) {
            icu::Locale region(("und_" + part).c_str());
            std::string name = icuName(region.getDisplayCountry(display, scratch.remove()));
            qualifiers.push_back(name.empty() ? part : name);
        } else if (platform::text::lowercased(part) == "translit") {
            qualifiers.push_back("Transliteration");
        } else {
            icu::Locale script(("und_" + part).c_str());
            std::string name = icuName(script.getDisplayScript(display, scratch.remove()));
            if (name.empty() || name == part) name = platform::text::uppercasingFirst(part);
            qualifiers.push_back(name);
        }
    }
    if (qualifiers.empty()) return language;
    return language + " (" + platform::text::join(qualifiers, ", ") + ")";
}

std::vector<SpeechEngine::LanguageRow> SpeechEngine::availableLanguages(const std::string& displayLocale) {
    std::vector<LanguageRow> rows;
    std::set<std::string> taken;
    for (const auto& id : installedIdentifiers()) {
        std::string identifier = underscored(id);
        if (!taken.insert(identifier).second) continue;
        rows.push_back({identifier, displayName(identifier, displayLocale), identifier});
    }
    // The system's own language is offered too when a model of its language
    // serves it (en_GB by the en-us model), saying which model that is.
    const std::string system = underscored(currentSystemLocaleIdentifier());
    if (auto model = SphinxModels::servingIdentifier(system, installedIdentifiers()); model && taken.insert(system).second)
        rows.push_back({system, displayName(system, displayLocale), underscored(*model)});
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(icu::Locale(displayLocale.c_str()), status));
    if (U_SUCCESS(status) && collator) {
        collator->setStrength(icu::Collator::SECONDARY);
        std::stable_sort(rows.begin(), rows.end(), [&](const LanguageRow& a, const LanguageRow& b) {
            UErrorCode s = U_ZERO_ERROR;
            return collator->compareUTF8(a.displayName, b.displayName, s) == UCOL_LESS;
        });
    }
    return rows;
}

std::optional<std::string> SpeechEngine::resolveLegacyLocale(const std::string& requested,
                                                             const std::vector<std::string>& supported) {
    // The same rule as every other road; only the spelling of the answer
    // differs: the request itself when it is supported as asked.
    const std::optional<std::string> served = SphinxModels::servingIdentifier(requested, supported);
    if (!served) return std::nullopt;
    if (SphinxModels::sameLocale(*served, requested)) return requested;
    return underscored(*served);
}

std::optional<std::string> SpeechEngine::supportedLocale(const std::string& equivalentTo) {
    return SphinxModels::servingIdentifier(equivalentTo, installedIdentifiers());
}

// ---- Pieces of the whole-take paths ----

SpeechEngine::RecognitionPath SpeechEngine::selectedModernPath(bool dictationTranscriberEnabled) {
    return dictationTranscriberEnabled ? RecognitionPath::dictationTranscriber : RecognitionPath::speechTranscriber;
}

SpeechEngine::ContentHints SpeechEngine::contentHints(const std::optional<PersonalModel::Configuration>& prepared) {
    ContentHints hints;
    hints.shortForm = true;
    if (prepared) hints.customizedLanguage = prepared;
    return hints;
}

SpeechEngine::AnalysisContext SpeechEngine::buildAnalysisContext(const std::vector<std::string>& contextTerms) {
    AnalysisContext context;
    if (!contextTerms.empty()) context.contextualStrings[AnalysisContext::general] = contextTerms;
    return context;
}

TranscriptionResult SpeechEngine::makeResult(const std::string& rawText, bool isTruncated,
                                             const std::string& engineIdentifier, const fs::path& audioURL, SystemTime start,
                                             std::optional<SystemTime> recordingStoppedAt, double audioSeconds) {
    const SystemTime end = now();
    TranscriptionResult result;
    result.text = platform::text::trimmed(rawText);
    result.isTruncated = isTruncated;
    result.transcriptionSeconds = std::chrono::duration<double>(end - start).count();
    result.endToEndSeconds = recordingStoppedAt ? std::chrono::duration<double>(end - *recordingStoppedAt).count() : 0.0;
    result.audioSeconds = audioSeconds;
    result.engineIdentifier = engineIdentifier;
    result.sourceAudioURL = audioURL;
    return result;
}

double SpeechEngine::analyzerDeadlineSeconds(double audioSeconds) {
    return std::min(std::max(audioSeconds * 2.0, 15.0), 600.0);
}

double SpeechEngine::classicTimeoutSeconds(double audioSeconds) {
    return std::min(std::max(audioSeconds * 4.0, 30.0), 600.0);
}

// ---- Authorisation and models ----

void SpeechEngine::ensureSpeechAuthorization() {
    // Recognition is "allowed" when a speech model is installed and readable.
    if (SphinxModels::installed().empty()) throw TranscriptionError::notAuthorized();
}

void SpeechEngine::ensureSpeechModelInstalled(RecognitionPath, const std::string& localeIdentifier) {
    // Models come from the system's packages: one is installed, or none
    // exists for the language. Nothing is ever downloaded here.
    if (SphinxModels::forLocale(localeIdentifier)) return;
    if (!allowsModelAssetDownload) throw TranscriptionError::speechModelNotInstalled(localeIdentifier);
    throw TranscriptionError::unsupportedLocale(localeIdentifier);
}

bool SpeechEngine::prewarmAndInstallModel(const std::string& localeIdentifier) {
    auto supported = supportedLocale(localeIdentifier);
    if (!supported) return false;
    auto model = SphinxModels::forLocale(*supported);
    if (!model) return false;
    // One warm decoder: a take decodes on it while it is recorded. Each one
    // holds about 95 MiB (acoustic model, dictionary, language model and its
    // search), so the rare second one (the incremental preview, a retry) is
    // loaded when first asked for rather than kept from launch.
    DecoderPool::shared().prewarm(*model, 1);
    return true;
}

// ---- Recognition of a recorded file ----

std::string SpeechEngine::transcribe(const fs::path& audioURL, const std::vector<std::string>& contextTerms) {
    return transcribeDetailed(audioURL, contextTerms, std::nullopt, nullptr, nullptr).text;
}

TranscriptionResult SpeechEngine::transcribeDetailed(const fs::path& audioURL, const std::vector<std::string>& contextTerms,
                                                     std::optional<SystemTime> recordingStoppedAt) {
    return transcribeDetailed(audioURL, contextTerms, recordingStoppedAt, nullptr, nullptr);
}

TranscriptionResult SpeechEngine::transcribeDetailed(const fs::path& audioURL, const std::vector<std::string>& contextTerms,
                                                     std::optional<SystemTime> recordingStoppedAt,
                                                     PartialTextCallback onPartialText) {
    return transcribeDetailed(audioURL, contextTerms, recordingStoppedAt, std::move(onPartialText), nullptr);
}

TranscriptionResult SpeechEngine::transcribeDetailed(const fs::path& audioURL, const std::vector<std::string>& contextTerms,
                                                     std::optional<SystemTime> recordingStoppedAt,
                                                     PartialTextCallback onPartialText, AheadDecode* ahead) {
    const SystemTime start = now();
    std::optional<SystemTime> anchor =
        recordingStoppedAt ? recordingStoppedAt : MicrophoneRecorder::shared().lastStopTimestamp();
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        lastResultStorage_.reset();
    }
    std::error_code ec;
    if (!fs::exists(audioURL, ec)) throw TranscriptionError::audioFileNotFound(audioURL.string());
    const double duration = audioFileDuration(audioURL);
    if (duration < 0.2) throw TranscriptionError::audioTooShort();
    // A live take read the screen when it began, for the decode that ran
    // beside it. Reading it again at key-up would make the user wait for
    // the read, and a different answer would throw that decode away.
    const std::vector<std::string> terms =
        ahead ? ahead->terms : ScreenContext::merge(contextTerms, ScreenContext::harvestTerms(), ScreenContext::maxTerms);

    Triple triple;
    if (capabilities().analyzerPaths) {
        try {
            triple = transcribeWithAnalyzer(selectedModernPath(isDictationTranscriberEnabled()), audioURL, terms,
                                            onPartialText, duration, ahead);
        } catch (const TranscriptionError& first) {
            platform::log("SpeechEngine", "Whole-take decode failed (" + first.diagnosticDetail() +
                                              "); falling back to the incremental decoder");
            triple = transcribeLegacy(audioURL, terms, onPartialText, duration);
        }
    } else {
        triple = transcribeLegacy(audioURL, terms, onPartialText, duration);
    }
    TranscriptionResult result =
        makeResult(triple.text, triple.isTruncated, triple.engineIdentifier, audioURL, start, anchor, duration);
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        lastResultStorage_ = result;
    }
    // Learn from the history at low priority; this dictation never waits for it.
    if (const auto locale = supportedLocale(configuredOrSystemLocale()))
        PersonalModel::shared().rebuildIfNeededInBackground(*locale);
    return result;
}

SpeechEngine::Triple SpeechEngine::transcribeWithAnalyzer(RecognitionPath path, const fs::path& audioURL,
                                                          const std::vector<std::string>& contextTerms,
                                                          const PartialTextCallback& onPartialText, double audioSeconds,
                                                          AheadDecode* ahead) {
    std::shared_ptr<PartialTextCoalescer> coalescer =
        onPartialText ? std::make_shared<PartialTextCoalescer>(onPartialText) : nullptr;
    if (!capabilities().analyzerPaths) throw TranscriptionError::engineUnavailable("SpeechTranscriber unavailable");
    const std::string requested = configuredOrSystemLocale();
    const std::optional<std::string> resolved = supportedLocale(requested);
    if (!resolved) throw TranscriptionError::unsupportedLocale(requested);
    std::optional<PersonalModel::Configuration> personal;
    if (path == RecognitionPath::dictationTranscriber) {
        const ContentHints hints = contentHints(PersonalModel::shared().preparedConfiguration(*resolved));
        personal = hints.customizedLanguage;
        if (hints.customizedLanguage)
            PersonalModel::shared().recordAttachment(*resolved, PersonalModel::RequestKind::dictationTranscriber);
    }
    ensureSpeechModelInstalled(path, *resolved);
    const std::optional<std::vector<std::int16_t>> samples = recordingSamples(audioURL);
    if (!samples) throw TranscriptionError::audioFileNotFound(audioURL.string());
    const AnalysisContext context = buildAnalysisContext(contextTerms);
    const auto general = context.contextualStrings.find(AnalysisContext::general);
    const std::vector<std::string> strings =
        general == context.contextualStrings.end() ? std::vector<std::string>{} : general->second;
    const char* identifier = path == RecognitionPath::speechTranscriber ? EngineIdentifier::contextDecoder()
                                                                        : EngineIdentifier::personalDecoder();

    std::string joined;
    bool finished = false;
    std::optional<std::string> failure;
    const bool decodedAhead = ahead && ahead->matches(path, *resolved, strings, personal, *samples);
    if (decodedAhead) {
        // The take was decoded while it was recorded: only its end is left.
        joined = ahead->decoder->finishUtterance();
        finished = true;
        ++liveDecodes_;
    }
    if (ahead) ahead->release();
    if (!decodedAhead) {
        auto model = SphinxModels::forLocale(*resolved);
        std::string error;
        DecoderPool::Lease lease = model ? DecoderPool::shared().acquire(*model, &error) : DecoderPool::Lease();
        if (!lease) throw TranscriptionError::transcriptionFailed(error.empty() ? "no decoder for " + *resolved : error);
        lease->configure(strings, personal);
        std::function<void(const std::string&)> offer;
        if (coalescer) offer = [coalescer](const std::string& text) { coalescer->consider(text, now()); };
        std::optional<std::size_t> cutAt;
        {
            std::lock_guard<std::mutex> guard(stateLock_);
            if (analyzerDeadlineAfterAudio_)
                cutAt = static_cast<std::size_t>(std::max(0.0, *analyzerDeadlineAfterAudio_) * 16000.0);
        }
        auto job = DecodeJob::start(std::move(lease), *samples, 16000, offer, cutAt);
        finished = job->waitFor(analyzerDeadlineSeconds(audioSeconds));
        std::lock_guard<std::mutex> guard(job->mutex);
        joined = finished ? job->finalText : job->latest;
        failure = job->failure;
    }
    const std::string trimmed = platform::text::trimmed(joined);
    if (finished && failure) {
        if (trimmed.empty()) throw TranscriptionError::transcriptionFailed(*failure);
        return {joined, true, identifier};
    }
    if (finished) {
        if (trimmed.empty()) throw TranscriptionError::emptyTranscript();
        return {joined, false, identifier};
    }
    // The deadline passed: what was heard so far is the answer, marked as cut
    // short, even when it is nothing. A second decode of the whole take would
    // keep the user waiting as long again.
    return {joined, true, identifier};
}

// ---- Live streaming recognition ----

std::unique_ptr<AheadDecode> SpeechEngine::beginAheadDecode(const std::vector<std::string>& contextTerms) {
    if (!capabilities().analyzerPaths) return nullptr;
    auto ahead = std::make_unique<AheadDecode>();
    ahead->path = selectedModernPath(isDictationTranscriberEnabled());
    const std::optional<std::string> resolved = supportedLocale(configuredOrSystemLocale());
    if (!resolved) return nullptr;
    auto model = SphinxModels::forLocale(*resolved);
    if (!model) return nullptr;
    ahead->localeIdentifier = *resolved;
    ahead->terms = ScreenContext::merge(contextTerms, ScreenContext::harvestTerms(), ScreenContext::maxTerms);
    if (ahead->path == RecognitionPath::dictationTranscriber)
        ahead->personal = PersonalModel::shared().preparedConfiguration(*resolved);
    ahead->decoder = DecoderPool::shared().acquire(*model, nullptr);
    if (!ahead->decoder) return nullptr;
    ahead->decoder->configure(ahead->terms, ahead->personal);
    if (!ahead->decoder->startUtterance()) return nullptr;
    return ahead;
}

std::unique_ptr<AheadDecode> SpeechEngine::aheadDecodeFor(const std::shared_ptr<AudioBufferStream>& bufferStream,
                                                          const std::vector<std::string>& contextTerms,
                                                          PartialTextCoalescer& partialCoalescer) {
    // What is learned about the input holds for the input it was learned on.
    InputAdaptation::useInput(MicrophoneRecorder::shared().currentInputName());
    // The decoder is made ready beside the take, which goes on being recorded
    // into the stream meanwhile and is decoded from its start once it is.
    // Right after launch that can outlast a short take: the pill then says
    // what the take waits for instead of leaving the user guessing.
    auto pending = std::async(std::launch::async, [this, contextTerms] { return beginAheadDecode(contextTerms); });
    while (pending.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        if (bufferStream->waitUntilFinished(0.05)) {
            if (pending.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
                partialCoalescer.consider(loadingModelText, now());
            break;
        }
    }
    return pending.get();
}

StreamingTranscriptionOutcome SpeechEngine::transcribeStreaming(const std::shared_ptr<AudioBufferStream>& bufferStream,
                                                                const fs::path& audioURL,
                                                                const std::vector<std::string>& contextTerms,
                                                                std::optional<SystemTime> recordingStoppedAt,
                                                                PartialTextCallback onPartialText) {
    PartialTextCoalescer partialCoalescer(std::move(onPartialText));
    std::unique_ptr<AheadDecode> ahead = aheadDecodeFor(bufferStream, contextTerms, partialCoalescer);
    const bool modern = capabilities().analyzerPaths && !isDictationTranscriberEnabled();
    const bool didStreamLive = modern ? streamModernBuffers(bufferStream, partialCoalescer, ahead.get())
                                      : streamLegacyBuffers(bufferStream, contextTerms, partialCoalescer, ahead.get());
    const TranscriptionResult result = transcribeDetailed(audioURL, contextTerms, recordingStoppedAt, nullptr, ahead.get());
    return StreamingTranscriptionOutcome{result, didStreamLive};
}

bool SpeechEngine::streamModernBuffers(const std::shared_ptr<AudioBufferStream>& bufferStream,
                                       PartialTextCoalescer& partialCoalescer, AheadDecode* ahead) {
    // The preview is the decode whose text the user will get, read as it
    // goes: no second decoder listens beside it on this road. It goes on
    // after the key is up, while the decode catches up with what is still
    // queued: that is when the pill shows it, beside "Transcribing".
    while (auto buffer = bufferStream->next()) {
        if (!ahead) continue;
        ahead->feed(**buffer);
        if (ahead->healthy) partialCoalescer.consider(ahead->decoder->partialHypothesis(), now());
    }
    return false;
}

bool SpeechEngine::streamLegacyBuffers(const std::shared_ptr<AudioBufferStream>& bufferStream,
                                       const std::vector<std::string>& contextTerms, PartialTextCoalescer& partialCoalescer,
                                       AheadDecode* ahead) {
    auto drain = [&] {
        while (auto buffer = bufferStream->next())
            if (ahead) ahead->feed(**buffer);
        return false;
    };
    try {
        ensureSpeechAuthorization();
    } catch (const TranscriptionError&) {
        return drain();
    }
    const std::optional<std::string> resolved = resolveLegacyLocale(configuredOrSystemLocale(), installedIdentifiers());
    if (!resolved) return drain();
    const std::optional<SphinxModel> recognizer = SphinxModels::forLocale(*resolved);
    if (!recognizer || !supportsOnDeviceRecognition(*recognizer)) return drain();
    RecognitionRequest request;
    if (!contextTerms.empty()) request.contextualStrings = contextTerms;
    if (auto prepared = PersonalModel::shared().preparedConfiguration(recognizer->localeIdentifier)) {
        request.customizedLanguageModel = prepared;
        PersonalModel::shared().recordAttachment(recognizer->localeIdentifier, PersonalModel::RequestKind::streamingBuffer);
    }
    // The preview decodes beside the live whole-take decode, so this road
    // keeps a warm decoder of its own.
    if (ahead) DecoderPool::shared().keepWarm(*recognizer, 2);
    DecoderPool::Lease lease = DecoderPool::shared().acquire(*recognizer, nullptr);
    if (!lease) return drain();
    lease->configure(request.contextualStrings, request.customizedLanguageModel);
    bool live = lease->startUtterance();
    while (auto buffer = bufferStream->next()) {
        if (ahead) ahead->feed(**buffer);
        if (!live) continue;
        // Once the key is up the preview has nothing left to show: what is
        // still queued goes only to the decode whose text the user waits for.
        if (ahead && bufferStream->waitUntilFinished(0)) continue;
        std::vector<std::int16_t> samples = quantised(**buffer);
        live = lease->process(samples.data(), samples.size());
        if (live) partialCoalescer.consider(lease->partialHypothesis(), now());
    }
    // The preview's job ends with the take; its final text is never used.
    lease.giveBackUnfinished();
    return true;
}

// ---- Legacy path (incremental decoder) ----

SpeechEngine::Triple SpeechEngine::transcribeLegacy(const fs::path& audioURL, const std::vector<std::string>& contextTerms,
                                                    const PartialTextCallback& onPartialText, double audioSeconds) {
    ensureSpeechAuthorization();
    const std::string requested = configuredOrSystemLocale();
    const std::optional<std::string> resolved = resolveLegacyLocale(requested, installedIdentifiers());
    if (!resolved) throw TranscriptionError::unsupportedLocale(requested);
    const std::optional<SphinxModel> recognizer = SphinxModels::forLocale(*resolved);
    if (!recognizer) throw TranscriptionError::engineUnavailable("pocketsphinx recogniser not available for " + *resolved);
    if (!supportsOnDeviceRecognition(*recognizer)) {
        throw TranscriptionError::onDeviceUnavailable(*resolved);
    }
    return transcribeRecognizedAudio(*recognizer, audioURL, audioSeconds, contextTerms, onPartialText, true);
}

// Legacy helpers

bool SpeechEngine::supportsOnDeviceRecognition(const SphinxModel& recognizer) {
    // A pocketsphinx model is a set of local files: it cannot recognise
    // anywhere but here. Anything that is not a local model never gets audio.
    std::error_code ec;
    return fs::exists(recognizer.acousticModel / "mdef", ec);
}

SpeechEngine::Triple SpeechEngine::transcribeRecognizedAudio(const SphinxModel& recognizer, const fs::path& audioURL,
                                                             double audioSeconds,
                                                             const std::vector<std::string>& contextTerms,
                                                             const PartialTextCallback& onPartialText,
                                                             bool requireOnDevice) {
    std::shared_ptr<PartialTextCoalescer> coalescer =
        onPartialText ? std::make_shared<PartialTextCoalescer>(onPartialText) : nullptr;
    RecognitionRequest request;
    request.requiresOnDeviceRecognition = requireOnDevice;
    if (!contextTerms.empty()) request.contextualStrings = contextTerms;
    if (auto prepared = PersonalModel::shared().preparedConfiguration(recognizer.localeIdentifier)) {
        request.customizedLanguageModel = prepared;
        PersonalModel::shared().recordAttachment(recognizer.localeIdentifier, PersonalModel::RequestKind::audioFile);
    }
    const double timeout = classicTimeoutSeconds(audioSeconds);
    const std::optional<std::vector<std::int16_t>> samples = recordingSamples(audioURL);
    if (!samples) throw TranscriptionError::transcriptionFailed("the recording could not be read");
    std::string error;
    DecoderPool::Lease lease = DecoderPool::shared().acquire(recognizer, &error);
    if (!lease)
        throw TranscriptionError::engineUnavailable("pocketsphinx recogniser not available for " +
                                                    recognizer.localeIdentifier);
    lease->configure(request.contextualStrings, request.customizedLanguageModel);
    std::function<void(const std::string&)> offer;
    if (coalescer && request.shouldReportPartialResults)
        offer = [coalescer](const std::string& text) { coalescer->consider(text, now()); };
    // A quarter of a second at a time, like audio arriving.
    auto job = DecodeJob::start(std::move(lease), *samples, 4000, offer);
    const bool finished = job->waitFor(timeout);
    std::lock_guard<std::mutex> guard(job->mutex);
    const char* identifier = EngineIdentifier::incrementalDecoder();
    if (finished && !job->failure) {
        if (platform::text::trimmed(job->finalText).empty()) throw TranscriptionError::emptyTranscript();
        return {job->finalText, false, identifier};
    }
    if (!platform::text::trimmed(job->latest).empty()) return {job->latest, true, identifier};
    throw TranscriptionError::transcriptionFailed(finished ? *job->failure : "on-device recognition timed out");
}

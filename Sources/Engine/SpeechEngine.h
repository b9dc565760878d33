#pragma once
// The speech engine: every recognition in the program, all of it on this
// machine. A recording is recognised by decoding the whole take with the
// context terms (and the personal model when chosen), falling back to the
// incremental decoder; a live take is decoded while it is being recorded, so
// that releasing the key only finishes the last fraction of a second.
#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Engine/StreamingSupport.h"
#include "Engine/TranscriptionTypes.h"
#include "Learning/PersonalModel.h"
#include "Platform/SettingsStore.h"

struct SphinxModel;
class AheadDecode;

class SpeechEngine : public TranscriptionEngineProtocol {
public:
    enum class RecognitionPath { speechTranscriber, dictationTranscriber };
    static const char* name(RecognitionPath path);

    // What the recogniser on this system can do; the engine takes the
    // branches these allow.
    struct Capabilities {
        bool analyzerPaths = true;   // whole-take decoding with context and personal models
        bool personalModels = true;  // interpolating a personal n-gram model
    };
    static Capabilities capabilities();

    // The hints given to the personal-model path.
    struct ContentHints {
        bool shortForm = true;
        std::optional<PersonalModel::Configuration> customizedLanguage;
        std::size_t count() const { return (shortForm ? 1 : 0) + (customizedLanguage ? 1 : 0); }
    };
    // Context strings of one whole-take decode, by tag.
    struct AnalysisContext {
        static constexpr const char* general = "general";
        std::map<std::string, std::vector<std::string>> contextualStrings;
    };
    struct LanguageRow {
        std::string identifier;
        std::string displayName;
        std::string model;  // the installed model that recognises it (its own identifier, or one of its language)
    };

    static inline constexpr const char* dictationTranscriberEnabledDefaultsKey = "ondira_dictation_transcriber_enabled";
    static inline constexpr const char* localeDefaultsKey = "ondira_dictation_locale";
    static inline constexpr const char* systemLanguageSentinel = "system";
    // Shown on the pill when a take has ended before the speech model was
    // loaded (a take right after launch): the wait is for the model.
    static inline constexpr const char* loadingModelText = "Loading the speech model\u2026";
    // When false, a language whose model is missing is reported as not installed.
    static std::atomic<bool> allowsModelAssetDownload;

    static SpeechEngine& shared();

    // TranscriptionEngineProtocol
    using TranscriptionEngineProtocol::transcribeDetailed;
    std::string transcribe(const std::filesystem::path& audioURL, const std::vector<std::string>& contextTerms) override;
    TranscriptionResult transcribeDetailed(const std::filesystem::path& audioURL,
                                           const std::vector<std::string>& contextTerms,
                                           std::optional<SystemTime> recordingStoppedAt) override;
    TranscriptionResult transcribeDetailed(const std::filesystem::path& audioURL,
                                           const std::vector<std::string>& contextTerms,
                                           std::optional<SystemTime> recordingStoppedAt, PartialTextCallback onPartialText);
    StreamingTranscriptionOutcome transcribeStreaming(const std::shared_ptr<AudioBufferStream>& bufferStream,
                                                      const std::filesystem::path& audioURL,
                                                      const std::vector<std::string>& contextTerms,
                                                      std::optional<SystemTime> recordingStoppedAt,
                                                      PartialTextCallback onPartialText);
    // Loads the language's decoders ahead of dictation. True when it is ready
    // or being made ready.
    bool prewarmAndInstallModel(const std::string& localeIdentifier);

    static bool isDictationTranscriberEnabled();
    static void setDictationTranscriberEnabled(bool enabled);

    std::string locale() const;
    void setLocale(const std::string& localeIdentifier);
    void resetLocaleToSystem();
    std::optional<TranscriptionResult> lastResult() const;
    std::optional<double> lastEndToEndLatencySeconds() const;

    // Recognition language.
    static void persistLocale(const std::optional<std::string>& identifier, platform::SettingsStore& userDefaults);
    static std::optional<std::string> loadPersistedLocale(const platform::SettingsStore& userDefaults);
    static std::string resolveConfiguredLocaleIdentifier(const std::optional<std::string>& stored,
                                                         const std::string& system);
    void applyPersistedLocale(const platform::SettingsStore& userDefaults);
    static std::vector<LanguageRow> availableLanguages(const std::string& displayLocale);
    static std::string displayName(const std::string& identifier, const std::string& displayLocale);
    // The system's language (from the environment), underscore shape.
    static std::string currentSystemLocaleIdentifier();
    // The supported locale the incremental path uses for a request, from the
    // supported identifiers in their order.
    static std::optional<std::string> resolveLegacyLocale(const std::string& requested,
                                                          const std::vector<std::string>& supported);
    // The installed model that recognises a locale (SphinxModels::servingIdentifier
    // over the installed models). Every road that recognises (the speech
    // grant, the pre-warm, the live decode, the whole take) asks here.
    static std::optional<std::string> supportedLocale(const std::string& equivalentTo);

    // Pieces of the whole-take paths.
    static RecognitionPath selectedModernPath(bool dictationTranscriberEnabled);
    static ContentHints contentHints(const std::optional<PersonalModel::Configuration>& prepared);
    static AnalysisContext buildAnalysisContext(const std::vector<std::string>& contextTerms);
    static TranscriptionResult makeResult(const std::string& rawText, bool isTruncated, const std::string& engineIdentifier,
                                          const std::filesystem::path& audioURL, SystemTime start,
                                          std::optional<SystemTime> recordingStoppedAt, double audioSeconds);
    static double analyzerDeadlineSeconds(double audioSeconds);
    static double classicTimeoutSeconds(double audioSeconds);

    // Authorisation and models: the model files must be installed and readable.
    void ensureSpeechAuthorization();
    void ensureSpeechModelInstalled(RecognitionPath module, const std::string& localeIdentifier);

    // For checks: the deadline of the whole-take paths is normally
    // analyzerDeadlineSeconds; with a value here it passes as soon as the
    // decode has heard that many seconds of the take, so a check can cut a
    // decode at a known place however loaded the machine is.
    void expireAnalyzerDeadlineAfterAudioForTesting(std::optional<double> audioSeconds);
    // How many recognitions took their text from a decode made while the
    // take was being recorded.
    int liveDecodeCount() const { return liveDecodes_.load(); }

private:
    SpeechEngine();

    struct Triple {
        std::string text;
        bool isTruncated = false;
        std::string engineIdentifier;
    };

    TranscriptionResult transcribeDetailed(const std::filesystem::path& audioURL,
                                           const std::vector<std::string>& contextTerms,
                                           std::optional<SystemTime> recordingStoppedAt, PartialTextCallback onPartialText,
                                           AheadDecode* ahead);
    Triple transcribeWithAnalyzer(RecognitionPath path, const std::filesystem::path& audioURL,
                                  const std::vector<std::string>& contextTerms, const PartialTextCallback& onPartialText,
                                  double audioSeconds, AheadDecode* ahead);
    Triple transcribeLegacy(const std::filesystem::path& audioURL, const std::vector<std::string>& contextTerms,
                            const PartialTextCallback& onPartialText, double audioSeconds);
    Triple transcribeRecognizedAudio(const SphinxModel& recognizer, const std::filesystem::path& audioURL,
                                     double audioSeconds, const std::vector<std::string>& contextTerms,
                                     const PartialTextCallback& onPartialText, bool requireOnDevice);
    bool streamModernBuffers(const std::shared_ptr<AudioBufferStream>& bufferStream, PartialTextCoalescer& partialCoalescer,
                             AheadDecode* ahead);
    bool streamLegacyBuffers(const std::shared_ptr<AudioBufferStream>& bufferStream,
                             const std::vector<std::string>& contextTerms, PartialTextCoalescer& partialCoalescer,
                             AheadDecode* ahead);
    std::unique_ptr<AheadDecode> beginAheadDecode(const std::vector<std::string>& contextTerms);
    std::unique_ptr<AheadDecode> aheadDecodeFor(const std::shared_ptr<AudioBufferStream>& bufferStream,
                                                const std::vector<std::string>& contextTerms,
                                                PartialTextCoalescer& partialCoalescer);
    std::string configuredOrSystemLocale() const;
    static bool supportsOnDeviceRecognition(const SphinxModel& recognizer);

    mutable std::mutex stateLock_;
    std::optional<std::string> configuredLocale_;
    std::optional<TranscriptionResult> lastResultStorage_;
    std::optional<double> analyzerDeadlineAfterAudio_;
    std::atomic<int> liveDecodes_{0};
};

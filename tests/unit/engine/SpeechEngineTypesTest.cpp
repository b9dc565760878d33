#include "Base/DictationErrorKind.h"
#include "Engine/SpeechEngine.h"

#include <gtest/gtest.h>

#include "Engine/FileTranscriber.h"
#include "Platform/UUID.h"
#include "support/TempDir.h"

using K = TranscriptionError::Kind;

TEST(TranscriptionError, DetailsUseTheRawIdentifierAndMessagesTheLanguageName) {
    struct Row {
        TranscriptionError error;
        const char* detail;
        bool retryable;
    };
    for (const Row& row :
         {Row{TranscriptionError::engineUnavailable("busy"), "engineUnavailable: busy", true},
          Row{TranscriptionError::audioFileNotFound("/x.wav"), "audioFileNotFound: /x.wav", false},
          Row{TranscriptionError::transcriptionFailed("why"), "transcriptionFailed: why", true},
          Row{TranscriptionError::onDeviceUnavailable("en_GB"), "onDeviceUnavailable: en_GB", false},
          Row{TranscriptionError::speechModelNotInstalled("en_GB"), "speechModelNotInstalled: en_GB", false},
          Row{TranscriptionError::speechModelInstallFailed("de_DE", "network"), "speechModelInstallFailed: de_DE: network",
              true},
          Row{TranscriptionError::unsupportedLocale("xx_ZZ"), "unsupportedLocale: xx_ZZ", false},
          Row{TranscriptionError::speechModelDownloading(), "speechModelDownloading", true},
          Row{TranscriptionError::notAuthorized(), "notAuthorized", false},
          Row{TranscriptionError::emptyTranscript(), "emptyTranscript", false},
          Row{TranscriptionError::audioTooShort(), "audioTooShort", false}}) {
        EXPECT_EQ(row.error.diagnosticDetail(), row.detail);
        EXPECT_EQ(row.error.isRetryable(), row.retryable) << row.detail;
        EXPECT_FALSE(row.error.errorDescription().empty());
    }
    EXPECT_NE(TranscriptionError::unsupportedLocale("en_GB").errorDescription().find("English"), std::string::npos);
    EXPECT_EQ(TranscriptionError::languageName("qq_QQ"), "this language");
    EXPECT_EQ(TranscriptionError::emptyTranscript().errorDescription(), "No speech was detected in that recording.");
}

// A missing language model has one remedy, whichever road found it missing.
TEST(TranscriptionError, AMissingLanguageModelNamesThePackageToInstall) {
    EXPECT_EQ(TranscriptionError::onDeviceUnavailable("qq_QQ").errorDescription(),
              "On-device dictation isn't available for this language. Ondira never sends audio to the internet, so it "
              "stopped instead. Install the pocketsphinx model package for the language.");
    EXPECT_EQ(TranscriptionError::speechModelNotInstalled("qq_QQ").errorDescription(),
              "The offline speech model for this language isn't installed yet. Install the pocketsphinx model package "
              "for the language.");
}

TEST(TranscriptionResult, RealTimeFactorIsAudioOverProcessing) {
    TranscriptionResult r;
    r.audioSeconds = 8;
    EXPECT_EQ(r.realTimeFactor(), 0.0);
    r.transcriptionSeconds = -1;
    EXPECT_EQ(r.realTimeFactor(), 0.0);
    r.transcriptionSeconds = 2;
    EXPECT_EQ(r.realTimeFactor(), 4.0);
}

TEST(EngineIdentifier, StoredNamesOfEveryPathReadAsTodaysNames) {
    EXPECT_EQ(EngineIdentifier::canonical("apple_speechanalyzer_ondevice"), EngineIdentifier::contextDecoder());
    EXPECT_EQ(EngineIdentifier::canonical("apple_dictationtranscriber_ondevice"), EngineIdentifier::personalDecoder());
    EXPECT_EQ(EngineIdentifier::canonical("apple_sfspeech_ondevice"), EngineIdentifier::incrementalDecoder());
    EXPECT_EQ(EngineIdentifier::canonical("apple_sfspeech_ondevice_file"), EngineIdentifier::fileTranscription());
    EXPECT_EQ(EngineIdentifier::canonical(EngineIdentifier::incrementalDecoder()), EngineIdentifier::incrementalDecoder());
}

TEST(RecognitionLanguage, StoredChoiceResolution) {
    struct Row {
        std::optional<std::string> stored;
        const char* system;
        const char* expected;
    };
    for (const Row& row : {Row{std::nullopt, "en-US", "en_US"}, Row{std::string("  "), "en-US", "en_US"},
                           Row{std::string("SYSTEM"), "en-US", "en_US"}, Row{std::string("es-ES"), "en-US", "es_ES"},
                           Row{std::string(" de_DE\n"), "en_US", "de_DE"}})
        EXPECT_EQ(SpeechEngine::resolveConfiguredLocaleIdentifier(row.stored, row.system), row.expected);
}

TEST(RecognitionLanguage, IncrementalPathTakesTheSameLanguageWhenTheRegionIsMissing) {
    const std::vector<std::string> supported = {"pt-PT", "en-US", "en-GB", "pt_BR"};
    EXPECT_EQ(SpeechEngine::resolveLegacyLocale("en_GB", supported), "en_GB");
    EXPECT_EQ(SpeechEngine::resolveLegacyLocale("pt_XX", supported), "pt_BR");  // lowest identifier of the language
    EXPECT_EQ(SpeechEngine::resolveLegacyLocale("ja_JP", supported), std::nullopt);
    EXPECT_EQ(SpeechEngine::resolveLegacyLocale("", supported), std::nullopt);
}

TEST(RecognitionLanguage, DisplayNamesComeFromTheWholeIdentifierOrItsParts) {
    EXPECT_EQ(SpeechEngine::displayName("en_US", "en_US"), "English (United States)");
    EXPECT_EQ(SpeechEngine::displayName("de_DE", "de_DE"), "Deutsch (Deutschland)");
    // A language ICU does not know is named from its parts.
    EXPECT_EQ(SpeechEngine::displayName("qq_Latn_GB", "en_US"), "qq (Latin, United Kingdom)");
    EXPECT_EQ(SpeechEngine::displayName("qq_translit", "en_US"), "qq (Transliteration)");
}

TEST(RecognitionLanguage, ApplyingTheStoredChoiceThatEqualsTheSystemFollowsTheSystem) {
    auto store =
        platform::SettingsStore::open(std::filesystem::temp_directory_path(), "ondira-test-locale-" + platform::newUUID());
    auto& engine = SpeechEngine::shared();
    const std::string system = SpeechEngine::currentSystemLocaleIdentifier();
    SpeechEngine::persistLocale(system, *store);
    engine.applyPersistedLocale(*store);
    EXPECT_EQ(engine.locale(), system);
    SpeechEngine::persistLocale(std::string("ja_JP"), *store);
    engine.applyPersistedLocale(*store);
    EXPECT_EQ(engine.locale(), "ja_JP");
    SpeechEngine::persistLocale(std::nullopt, *store);
    EXPECT_EQ(SpeechEngine::loadPersistedLocale(*store), "system");
    engine.applyPersistedLocale(*store);
    EXPECT_EQ(engine.locale(), system);
    store->removePersistentDomain(store->domain());
}

TEST(Deadlines, WholeTakeAndIncrementalLimits) {
    EXPECT_EQ(SpeechEngine::analyzerDeadlineSeconds(4), 15);
    EXPECT_EQ(SpeechEngine::analyzerDeadlineSeconds(100), 200);
    EXPECT_EQ(SpeechEngine::analyzerDeadlineSeconds(400), 600);
    EXPECT_EQ(SpeechEngine::classicTimeoutSeconds(5), 30);
    EXPECT_EQ(SpeechEngine::classicTimeoutSeconds(20), 80);
    EXPECT_EQ(SpeechEngine::classicTimeoutSeconds(200), 600);
}

TEST(PartialText, ThrottleDecision) {
    const SystemTime now = std::chrono::system_clock::now();
    auto ago = [&](double s) {
        return std::optional<SystemTime>(
            now - std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(s)));
    };
    const std::optional<std::string> hello = std::string("hello");
    EXPECT_FALSE(shouldEmitPartial(" \n ", std::nullopt, std::nullopt, now, 0.25));
    EXPECT_TRUE(shouldEmitPartial("hello", std::nullopt, std::nullopt, now, 0.25));
    EXPECT_FALSE(shouldEmitPartial("hello", hello, ago(10), now, 0.25));
    EXPECT_TRUE(shouldEmitPartial("hello you", hello, ago(0.25), now, 0.25));
    EXPECT_FALSE(shouldEmitPartial("hello you", hello, ago(0.05), now, 0.25));
    EXPECT_FALSE(shouldEmitPartial("hello you", hello, ago(-1), now, 0.25));  // stamped after now
}

TEST(PartialText, CoalescerDeliversAcceptedTextOnTheMainQueueInOrder) {
    std::vector<std::string> shown;
    PartialTextCoalescer coalescer([&](const std::string& t) { shown.push_back(t); });
    const SystemTime t0 = std::chrono::system_clock::now();
    coalescer.consider("", t0);
    coalescer.consider("hello", t0);
    coalescer.consider("hello world", t0 + std::chrono::milliseconds(50));
    coalescer.consider("hello world", t0 + std::chrono::milliseconds(300));
    coalescer.consider("hello", t0 + std::chrono::milliseconds(700));
    EXPECT_TRUE(shown.empty());  // nothing runs on the caller's thread
    platform::MainQueue::pump(0.5, [&] { return shown.size() >= 3; });
    EXPECT_EQ(shown, (std::vector<std::string>{"hello", "hello world", "hello"}));
}

TEST(DictationErrors, RemediesOpenAPaneOnlyForMicrophoneAndAccessibility) {
    ASSERT_EQ(DictationErrorKinds::allCases().size(), 9u);
    EXPECT_EQ(DictationErrorKinds::allCases().front(), DictationErrorKind::microphonePermissionDenied);
    EXPECT_EQ(DictationErrorKinds::allCases().back(), DictationErrorKind::shortHold);
    int panes = 0;
    for (auto kind : DictationErrorKinds::allCases()) panes += remedy(kind).has_value();
    EXPECT_EQ(panes, 3);
    EXPECT_EQ(remedy(DictationErrorKind::microphoneAccessOff), ErrorRemedy::openSystemPane(SettingsPane::microphone));
    EXPECT_EQ(remedy(DictationErrorKind::accessibilityNotTrusted), ErrorRemedy::openSystemPane(SettingsPane::accessibility));
    EXPECT_NE(ErrorRemedy::openSystemPane(SettingsPane::microphone),
              ErrorRemedy::openSystemPane(SettingsPane::accessibility));
    EXPECT_EQ(settingsPaneRawValue(SettingsPane::microphone), "microphone");
}

// A file transcribed without --locale and a dictation hear the same system
// language: both roads read it through one rule.
TEST(RecognitionLanguage, TheFileRoadAndDictationReadTheSameSystemLanguage) {
    const struct {
        std::optional<std::string> all, messages, lang;
        const char* expected;
    } rows[] = {
        {std::nullopt, std::nullopt, "en_GB.UTF-8", "en_GB"},
        {"", "de_DE@euro", "en_GB.UTF-8", "de_DE"},
        {"C", std::nullopt, "en_GB.UTF-8", "en_US"},
        {std::nullopt, std::nullopt, "en-GB", "en_GB"},
        {std::nullopt, std::nullopt, std::nullopt, "en_US"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.expected);
        ScopedEnv all{"LC_ALL", row.all}, messages{"LC_MESSAGES", row.messages}, lang{"LANG", row.lang};
        EXPECT_EQ(SpeechEngine::currentSystemLocaleIdentifier(), row.expected);
        EXPECT_EQ(FileTranscriber::currentLocaleIdentifier(), row.expected);
    }
}

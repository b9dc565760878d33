// A locale whose region has no model of its own is recognised with the
// installed model of its language, on every road that recognises: the speech
// grant, the pre-warm, the whole-take and live decode, and file transcription.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <vector>

#include "App/Permissions.h"
#include "CLI/OndiraCLI.h"
#include "Engine/SpeechEngine.h"
#include "Engine/SphinxRecognizer.h"
#include "Engine/SphinxWindowRecognizer.h"

namespace {

struct LocaleRow {
    const char* locale;
    std::optional<std::string> model;  // the installed model that serves it
};

// The engine's language is the test's for as long as it runs.
struct EngineLocale {
    explicit EngineLocale(const std::string& locale) { SpeechEngine::shared().setLocale(locale); }
    ~EngineLocale() { SpeechEngine::shared().resetLocaleToSystem(); }
};

// Environment variables set (or, for null, removed) for one scope.
struct ScopedEnvironment {
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
    ScopedEnvironment(std::initializer_list<std::pair<const char*, const char*>> values) {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name);
            saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            if (value) ::setenv(name, value, 1);
            else ::unsetenv(name);
        }
    }
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved) {
            if (value) ::setenv(name.c_str(), value->c_str(), 1);
            else ::unsetenv(name.c_str());
        }
    }
};

bool anyModelOfLanguage(const std::string& language) {
    for (const auto& model : SphinxModels::installed())
        if (model.localeIdentifier.rfind(language, 0) == 0) return true;
    return false;
}

}  // namespace

TEST(RecognitionLanguage, EachLocaleIsServedByTheInstalledModelOfItsLanguageOnEveryRoad) {
    ASSERT_TRUE(SphinxModels::forLocale("en_US")) << "the US English model (pocketsphinx-en-us) must be installed";
    ASSERT_FALSE(SphinxModels::forLocale("en_GB") || SphinxModels::forLocale("en_AU"))
        << "this table expects US English to be the only English model";
    ASSERT_FALSE(anyModelOfLanguage("de")) << "this table expects no German model";

    const LocaleRow rows[] = {
        {"en_US", "en_US"},
        {"en_GB", "en_US"},
        {"en_AU", "en_US"},
        {"de_DE", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.locale);
        EngineLocale locale(row.locale);
        EXPECT_EQ(SpeechEngine::supportedLocale(row.locale), row.model);
        EXPECT_EQ(OndiraPermission(OndiraPermission::speech).isGranted(), row.model.has_value()) << "the speech grant";
        EXPECT_EQ(SpeechEngine::shared().prewarmAndInstallModel(row.locale), row.model.has_value()) << "the pre-warm";
        const auto fileModel = SphinxWindowRecognizer::modelFor(row.locale);
        ASSERT_EQ(fileModel.has_value(), row.model.has_value()) << "file transcription";
        if (fileModel) {
            EXPECT_EQ(fileModel->acousticModel, SphinxModels::forLocale(*row.model)->acousticModel)
                << "file transcription and live recognition use the same model";
        }
        const auto diagnosis = OndiraPermission(OndiraPermission::speech).diagnose();
        EXPECT_EQ(diagnosis.granted, row.model.has_value());
        if (!row.model) {
            EXPECT_NE(diagnosis.problem.find("German"), std::string::npos) << diagnosis.problem;
        }
    }
}

TEST(RecognitionLanguage, AnExactModelWinsAndAmongOthersTheLowestIdentifierServes) {
    const std::vector<std::string> installed = {"en_US", "en_GB", "fr_FR", "fr_CA"};
    struct Row {
        const char* requested;
        std::optional<std::string> served;
    } rows[] = {{"en_GB", "en_GB"}, {"en-gb", "en_GB"},      {"en_IN", "en_GB"}, {"fr_BE", "fr_CA"},
                {"fr", "fr_CA"},    {"de_DE", std::nullopt}, {"", std::nullopt}};
    for (const auto& row : rows)
        EXPECT_EQ(SphinxModels::servingIdentifier(row.requested, installed), row.served) << row.requested;
}

TEST(RecognitionLanguage, TheLanguageListNamesTheModelThatServesTheSystemLanguage) {
    ASSERT_TRUE(SphinxModels::forLocale("en_US")) << "the US English model (pocketsphinx-en-us) must be installed";
    struct Row {
        const char* lang;
        const char* identifier;
        std::optional<std::string> model;  // none: the language is not offered
    } rows[] = {
        {"en_US.UTF-8", "en_US", "en_US"}, {"en_GB.UTF-8", "en_GB", "en_US"}, {"de_DE.UTF-8", "de_DE", std::nullopt}};
    for (const auto& row : rows) {
        ScopedEnvironment lang{{"LC_ALL", nullptr}, {"LC_MESSAGES", nullptr}, {"LANG", row.lang}};
        std::optional<std::string> model;
        int times = 0;
        for (const auto& language : SpeechEngine::availableLanguages(row.lang))
            if (language.identifier == row.identifier) {
                model = language.model;
                ++times;
            }
        EXPECT_EQ(model, row.model) << row.lang;
        EXPECT_LE(times, 1) << row.lang;
    }
}

TEST(RecognitionLanguage, DoctorSaysWhichModelServesTheLanguageOrWhatToInstall) {
    struct Row {
        const char* language;
        std::optional<std::string> model;
        const char* says;
    } rows[] = {
        {"en_US", "en_US", "en_US (its own model)"},
        {"en_GB", "en_US", "en_GB, recognised with the en_US model of the same language"},
        {"en_AU", std::nullopt, "en_AU: NO installed model \u2014 install it: sudo apt install pocketsphinx-en-us"},
        {"de_DE", std::nullopt, "de_DE: NO installed model \u2014 no model is packaged for this language"},
    };
    for (const auto& row : rows) {
        OndiraCLI::DoctorState state;
        state.speechLanguage = row.language;
        state.speechLanguageModel = row.model;
        std::string line;
        for (const auto& l : OndiraCLI::doctorLines(state))
            if (l.rfind("speech language", 0) == 0) line = l;
        EXPECT_NE(line.find(row.says), std::string::npos) << line;
    }
}

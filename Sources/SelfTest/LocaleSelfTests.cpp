#include <set>
#include <unicode/coll.h>

#include "Base/AppPaths.h"
#include "Engine/SpeechEngine.h"
#include "SelfTest/SelfTest.h"

namespace LocaleSelfTests {

namespace {
constexpr const char* suiteName = "com.ondira.selftest.locale";

SelfTestCase resolveCase(std::string name, std::string teeth, std::optional<std::string> stored, std::string system,
                         std::string expected, std::string label) {
    return {std::move(name), std::move(teeth), [=] {
                const std::string got = SpeechEngine::resolveConfiguredLocaleIdentifier(stored, system);
                if (got == expected) return SelfTestOutcome::pass();
                return SelfTestOutcome::fail(label + ": expected " + expected + ", got " + got);
            }};
}

// Runs `body` in the suite's own settings store, emptied before and after.
SelfTestOutcome inLocaleSuite(const std::function<SelfTestOutcome(platform::SettingsStore&)>& body) {
    auto store = AppPaths::settingsSuite(suiteName);
    if (!store) return SelfTestOutcome::fail("could not open isolated defaults suite");
    store->removePersistentDomain(suiteName);
    SelfTestOutcome outcome = body(*store);
    store->removePersistentDomain(suiteName);
    return outcome;
}
}  // namespace

std::vector<SelfTestCase> cases() {
    std::vector<SelfTestCase> out;
    out.push_back(resolveCase("no stored choice follows the system language",
                              "without a stored choice the system language is used, never a fixed language", std::nullopt,
                              "en_GB", "en_GB", "nil stored"));
    out.push_back(resolveCase("a stored choice overrides the system language",
                              "a stored choice must actually change what the recognizer hears", std::string("de_DE"),
                              "en_US", "de_DE", "stored overrides"));
    out.push_back(resolveCase("the 'system' sentinel returns to following the Mac",
                              "the sentinel is never treated as a locale identifier, so the user can return to automatic",
                              std::string("system"), "fr_FR", "fr_FR", "sentinel"));
    out.push_back(resolveCase("BCP-47 hyphens normalize to underscores",
                              "identifiers from the recognizer come in both hyphen and underscore shapes and must compare "
                              "equal after normalisation",
                              std::string("en-GB"), "en_US", "en_GB", "hyphen normalization"));
    out.push_back(
        {"blank and whitespace are not a language", "an emptied setting must not produce a recognizer for no language", [] {
             for (auto [stored, label] : {std::pair<std::string, std::string>{"", "empty string"},
                                          std::pair<std::string, std::string>{"   ", "whitespace"}}) {
                 const std::string got = SpeechEngine::resolveConfiguredLocaleIdentifier(stored, "en_US");
                 if (got != "en_US") return SelfTestOutcome::fail(label + ": expected en_US, got " + got);
             }
             return SelfTestOutcome::pass();
         }});
    out.push_back({"a chosen language survives a persist/load round trip",
                   "storing and resolving agree on the key and on the sentinel, so a cleared choice follows the system "
                   "again",
                   [] {
                       return inLocaleSuite([](platform::SettingsStore& store) {
                           SpeechEngine::persistLocale(std::string("es_ES"), store);
                           auto first = store.string(SpeechEngine::localeDefaultsKey);
                           if (first != std::optional<std::string>("es_ES"))
                               return SelfTestOutcome::fail("after persist: expected es_ES, got " + first.value_or("nil"));
                           store.setString(SpeechEngine::localeDefaultsKey, SpeechEngine::systemLanguageSentinel);
                           auto second = store.string(SpeechEngine::localeDefaultsKey);
                           if (second != std::optional<std::string>(SpeechEngine::systemLanguageSentinel))
                               return SelfTestOutcome::fail("after clearing: expected the system sentinel, got " +
                                                            second.value_or("nil"));
                           return SelfTestOutcome::pass();
                       });
                   }});
    out.push_back({"clearing the choice resolves back to the system language",
                   "storing and resolving agree on the key and on the sentinel, so a cleared choice follows the system "
                   "again",
                   [] {
                       return inLocaleSuite([](platform::SettingsStore& store) {
                           SpeechEngine::persistLocale(std::string("ja_JP"), store);
                           store.setString(SpeechEngine::localeDefaultsKey, SpeechEngine::systemLanguageSentinel);
                           const std::string got = SpeechEngine::resolveConfiguredLocaleIdentifier(
                               SpeechEngine::loadPersistedLocale(store), "en_US");
                           if (got == "en_US") return SelfTestOutcome::pass();
                           return SelfTestOutcome::fail("cleared choice: expected en_US, got " + got);
                       });
                   }});
    out.push_back({"available languages are non-empty, unique, underscored and named",
                   "the picker offers display names, each language once, in a stable sorted order", [] {
                       auto rows = SpeechEngine::availableLanguages("en_US");
                       if (rows.empty())
                           return SelfTestOutcome::skip(
                               "no pocketsphinx language model is installed in this environment");
                       std::set<std::string> seen;
                       bool english = false;
                       for (const auto& row : rows)
                           if (!seen.insert(row.identifier).second)
                               return SelfTestOutcome::fail("duplicate identifiers in the language list");
                       for (const auto& row : rows)
                           if (row.identifier.find('-') != std::string::npos)
                               return SelfTestOutcome::fail("identifier not normalized to underscores: " + row.identifier);
                       for (const auto& row : rows) english = english || row.identifier.starts_with("en_");
                       if (!english) return SelfTestOutcome::fail("no English locale in the supported list");
                       for (const auto& row : rows)
                           if (row.displayName.empty())
                               return SelfTestOutcome::fail("no display name for " + row.identifier);
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"available languages are sorted by display name",
                   "the picker offers display names, each language once, in a stable sorted order", [] {
                       auto rows = SpeechEngine::availableLanguages("en_US");
                       if (rows.size() < 2)
                           return SelfTestOutcome::skip("fewer than two supported locales in this environment");
                       UErrorCode status = U_ZERO_ERROR;
                       std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(icu::Locale("en_US"), status));
                       if (U_FAILURE(status)) return SelfTestOutcome::fail("language list is not sorted by display name");
                       collator->setStrength(icu::Collator::SECONDARY);
                       for (std::size_t i = 1; i < rows.size(); ++i) {
                           UErrorCode s = U_ZERO_ERROR;
                           if (collator->compareUTF8(rows[i - 1].displayName, rows[i].displayName, s) == UCOL_GREATER)
                               return SelfTestOutcome::fail("language list is not sorted by display name");
                       }
                       return SelfTestOutcome::pass();
                   }});
    return out;
}

}  // namespace LocaleSelfTests

ONDIRA_SELFTEST_SUITE("Locale", LocaleSelfTests::cases);

#pragma once
// Per-application switches (clean-up, capitalisation, dictionary, never
// dictate) and named profiles of the same switches that a rule can be bound
// to. Both are stored as JSON in the settings store; nothing is kept in memory.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform/SettingsStore.h"
#include "Text/ProcessingMode.h"

struct AppRule {
    std::string bundleID;  // the application id; "*" for the global rule
    std::string displayName;
    bool polishEnabled = true;
    bool autoCapitalizeEnabled = true;
    bool dictionaryEnabled = true;
    bool neverDictate = false;
    std::optional<std::string> profileID;
    bool operator==(const AppRule&) const = default;
};

struct Profile {
    std::string id;
    std::string name;
    ProcessingMode mode = ProcessingMode::balanced;
    bool polishEnabled = true;
    bool autoCapitalizeEnabled = true;
    bool dictionaryEnabled = true;
    bool operator==(const Profile&) const = default;
};

namespace AppRules {
inline constexpr const char* defaultsKey = "ondira_app_rules";
inline constexpr const char* globalDefaultBundleID = "*";
const AppRule& globalDefault();

std::vector<AppRule> builtInDefaults();
std::vector<AppRule> loadStoredOverrides(const std::shared_ptr<platform::SettingsStore>& userDefaults);
std::vector<AppRule> effectiveRules(const std::shared_ptr<platform::SettingsStore>& userDefaults);
void persist(const std::vector<AppRule>& rules, const std::shared_ptr<platform::SettingsStore>& userDefaults);
AppRule resolve(const std::optional<std::string>& bundleID, const std::vector<AppRule>& rules);
AppRule resolve(const std::optional<std::string>& bundleID, const std::vector<AppRule>& rules,
                const std::vector<Profile>& profiles);
bool shouldAllowDictation(const std::optional<std::string>& bundleID, const std::vector<AppRule>& rules);
// The short clean-up chain of an application with its own rule.
std::string apply(const AppRule& rule, std::string_view rawText);

// JSON forms (field names as keys; profileID only when present).
std::optional<std::vector<AppRule>> decode(std::string_view json);
std::string encode(const std::vector<AppRule>& rules);
}  // namespace AppRules

namespace Profiles {
inline constexpr const char* defaultsKey = "ondira_profiles";
inline constexpr const char* noneProfileID = "__none__";
const Profile& noneProfile();

std::vector<Profile> builtInDefaults();
std::vector<Profile> loadStoredProfiles(const std::shared_ptr<platform::SettingsStore>& userDefaults);
std::vector<Profile> effectiveProfiles(const std::shared_ptr<platform::SettingsStore>& userDefaults);
void persist(const std::vector<Profile>& profiles, const std::shared_ptr<platform::SettingsStore>& userDefaults);
AppRule materialize(const AppRule& rule, const std::vector<Profile>& profiles);
std::optional<std::string> normalizedName(std::string_view name);
bool isDuplicateName(std::string_view name, const std::optional<std::string>& excludingID,
                     const std::vector<Profile>& among);
std::optional<Profile> create(std::string_view name, ProcessingMode mode, bool polishEnabled, bool autoCapitalizeEnabled,
                              bool dictionaryEnabled, const std::vector<Profile>& among);
std::optional<std::vector<Profile>> rename(const std::string& id, std::string_view name, const std::vector<Profile>& in);
std::pair<std::vector<Profile>, std::string> remove(const std::string& id, const std::vector<Profile>& from,
                                                    const std::string& activeID);
Profile resolveActive(const std::string& id, const std::vector<Profile>& in);
AppRule bindingRule(const std::string& bundleID, const std::string& displayName, const std::string& profileID);

std::optional<std::vector<Profile>> decode(std::string_view json);
std::string encode(const std::vector<Profile>& profiles);
}  // namespace Profiles

// Printed forms for logs and self-test messages.
std::string describe(const AppRule& rule);
std::string describe(const std::optional<AppRule>& rule);
std::string describe(const std::vector<AppRule>& rules);
std::string describe(const Profile& profile);

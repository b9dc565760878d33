#include "Text/AppRules.h"

#include "Platform/Log.h"
#include "Platform/StoreRecovery.h"
#include "Platform/LinuxNames.h"
#include "Platform/Unicode.h"
#include "Platform/UUID.h"
#include "Text/RegexCleaner.h"
#include "Text/Vocabulary.h"
#include "Base/WordMatch.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>

namespace text = platform::text;
using json = nlohmann::json;
using Store = std::shared_ptr<platform::SettingsStore>;

namespace {

std::optional<std::string> storedJSON(const Store& store, const char* key, bool& present) {
    present = store->persistentObject(key).has_value();
    if (!present) return std::nullopt;
    auto bytes = store->data(key);
    if (!bytes) return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

void storeJSON(const Store& store, const char* key, const std::string& encoded) {
    store->setData(key, std::vector<std::uint8_t>(encoded.begin(), encoded.end()));
}

bool readBool(const json& object, const char* key, bool& out) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_boolean()) return false;
    out = it->get<bool>();
    return true;
}

bool readString(const json& object, const char* key, std::string& out) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return false;
    out = it->get<std::string>();
    return true;
}

// The stored list under `key`: empty when nothing is stored; when what is
// stored does not decode whole, every item that decodes on its own, or the
// shipped list (with one log line) when none does.
template <typename T, typename Decode, typename Fallback>
std::vector<T> loadStored(const Store& store, const char* key, Decode decode, Fallback fallback, const char* component,
                          const char* what) {
    bool present = false;
    auto stored = storedJSON(store, key, present);
    if (!present) return {};
    if (stored) {
        if (auto decoded = decode(*stored)) return *decoded;
        std::vector<T> readable;
        for (const auto& item : platform::salvageJSON(*stored))
            if (auto one = decode("[" + item.dump(-1, ' ', false, json::error_handler_t::replace) + "]"))
                readable.insert(readable.end(), one->begin(), one->end());
        if (!readable.empty()) {
            platform::log(component, std::string("Some persisted ") + what + " could not be read; keeping the others.");
            return readable;
        }
    }
    platform::log(component, std::string("Failed to decode persisted ") + what + " — degrading to shipped defaults.");
    return fallback();
}

// Writes `encoded` under `key`. A stored value that does not decode is never
// written over unseen: a copy goes beside the settings file first, and the
// user is told where.
template <typename Decode>
void storeReplacing(const Store& store, const char* key, Decode decode, const std::string& encoded) {
    bool present = false;
    const auto stored = storedJSON(store, key, present);
    if (present && !(stored && decode(*stored))) {
        const std::string bytes =
            stored ? *stored
                   : store->persistentObject(key).value_or(json()).dump(-1, ' ', false, json::error_handler_t::replace);
        const std::filesystem::path original =
            store->file().parent_path() / (store->file().filename().string() + "." + key);
        std::string error;
        const auto aside = platform::keepAside(original, bytes, &error);
        if (!aside) {
            platform::log("Settings", "Not replacing the unreadable " + std::string(key) + ": " + error);
            return;
        }
        platform::announceSetAside({original, *aside});
    }
    storeJSON(store, key, encoded);
}

// Shipped items with stored ones merged over them by key, sorted by key.
template <typename T, typename Key>
std::vector<T> mergedByKey(const std::vector<T>& shipped, const std::vector<T>& stored, Key key) {
    std::map<std::string, T> byKey;  // std::string order is code-point order for UTF-8
    for (const auto& item : shipped) byKey[key(item)] = item;
    for (const auto& item : stored) byKey[key(item)] = item;
    std::vector<T> out;
    for (auto& [k, item] : byKey) out.push_back(item);
    return out;
}

std::string quoted(const std::string& s) { return json(s).dump(); }
const char* boolText(bool b) { return b ? "true" : "false"; }

}  // namespace

namespace AppRules {

const AppRule& globalDefault() {
    static const AppRule rule{globalDefaultBundleID, "Global Default", true, true, true, false, std::nullopt};
    return rule;
}

std::vector<AppRule> builtInDefaults() {
    // Terminals get the text as spoken (trimmed only); password managers never record.
    return {
        {LinuxNames::systemTerminalID, LinuxNames::systemTerminalName, false, false, false, false, std::nullopt},
        {LinuxNames::secondTerminalID, LinuxNames::secondTerminalName, false, false, false, false, std::nullopt},
        {LinuxNames::passwordManagerID, LinuxNames::passwordManagerName, true, true, true, true, std::nullopt},
        {LinuxNames::secondPasswordManagerID, LinuxNames::secondPasswordManagerName, true, true, true, true, std::nullopt},
    };
}

std::optional<std::vector<AppRule>> decode(std::string_view encoded) {
    json root = json::parse(encoded, nullptr, false);
    if (root.is_discarded() || !root.is_array()) return std::nullopt;
    std::vector<AppRule> rules;
    for (const auto& item : root) {
        if (!item.is_object()) return std::nullopt;
        AppRule rule;
        if (!readString(item, "bundleID", rule.bundleID) || !readString(item, "displayName", rule.displayName) ||
            !readBool(item, "polishEnabled", rule.polishEnabled) ||
            !readBool(item, "autoCapitalizeEnabled", rule.autoCapitalizeEnabled) ||
            !readBool(item, "dictionaryEnabled", rule.dictionaryEnabled) ||
            !readBool(item, "neverDictate", rule.neverDictate))
            return std::nullopt;
        auto profile = item.find("profileID");
        if (profile != item.end() && !profile->is_null()) {
            if (!profile->is_string()) return std::nullopt;
            rule.profileID = profile->get<std::string>();
        }
        rules.push_back(std::move(rule));
    }
    return rules;
}

std::string encode(const std::vector<AppRule>& rules) {
    json array = json::array();
    for (const auto& r : rules) {
        json object = {{"bundleID", r.bundleID},
                       {"displayName", r.displayName},
                       {"polishEnabled", r.polishEnabled},
                       {"autoCapitalizeEnabled", r.autoCapitalizeEnabled},
                       {"dictionaryEnabled", r.dictionaryEnabled},
                       {"neverDictate", r.neverDictate}};
        if (r.profileID) object["profileID"] = *r.profileID;
        array.push_back(std::move(object));
    }
    return array.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::vector<AppRule> loadStoredOverrides(const Store& userDefaults) {
    return loadStored<AppRule>(userDefaults, defaultsKey, decode, builtInDefaults, "AppRules", "app rules");
}

std::vector<AppRule> effectiveRules(const Store& userDefaults) {
    return mergedByKey(builtInDefaults(), loadStoredOverrides(userDefaults), [](const AppRule& r) { return r.bundleID; });
}

void persist(const std::vector<AppRule>& rules, const Store& userDefaults) {
    storeReplacing(userDefaults, defaultsKey, decode, encode(rules));
}

AppRule resolve(const std::optional<std::string>& bundleID, const std::vector<AppRule>& rules) {
    if (!bundleID || bundleID->empty() || rules.empty()) return globalDefault();
    for (const auto& rule : rules)
        if (rule.bundleID == *bundleID) return rule;
    return globalDefault();
}

AppRule resolve(const std::optional<std::string>& bundleID, const std::vector<AppRule>& rules,
                const std::vector<Profile>& profiles) {
    return Profiles::materialize(resolve(bundleID, rules), profiles);
}

bool shouldAllowDictation(const std::optional<std::string>& bundleID, const std::vector<AppRule>& rules) {
    return !resolve(bundleID, rules).neverDictate;
}

std::string apply(const AppRule& rule, std::string_view rawText) {
    const std::string trimmed = text::trimmed(rawText);
    if (trimmed.empty()) return {};
    if (!rule.polishEnabled) return trimmed;
    std::string cleaned = RegexCleaner::shared().stripFillers(trimmed);
    if (rule.dictionaryEnabled) cleaned = Vocabulary::shared().apply(cleaned);
    cleaned = text::trimmed(cleaned);
    if (cleaned.empty()) return trimmed;
    if (rule.autoCapitalizeEnabled) {
        auto [first, rest] = WordMatch::splitFirstCharacter(cleaned);
        if (WordMatch::isLowercaseCharacter(first)) cleaned = text::uppercased(first) + rest;
    }
    return cleaned;
}

}  // namespace AppRules

namespace Profiles {

const Profile& noneProfile() {
    static const Profile profile{noneProfileID, "None", ProcessingMode::balanced, true, true, true};
    return profile;
}

std::vector<Profile> builtInDefaults() {
    return {
        {"email", "Email", ProcessingMode::polish, true, true, true},
        {"code", "Code", ProcessingMode::fast, false, false, false},
        {"slack", "Chat", ProcessingMode::balanced, true, false, false},
        {"notes", "Notes", ProcessingMode::balanced, true, true, true},
    };
}

std::optional<std::vector<Profile>> decode(std::string_view encoded) {
    json root = json::parse(encoded, nullptr, false);
    if (root.is_discarded() || !root.is_array()) return std::nullopt;
    std::vector<Profile> profiles;
    for (const auto& item : root) {
        if (!item.is_object()) return std::nullopt;
        Profile p;
        std::string mode;
        if (!readString(item, "id", p.id) || !readString(item, "name", p.name) || !readString(item, "mode", mode) ||
            !readBool(item, "polishEnabled", p.polishEnabled) ||
            !readBool(item, "autoCapitalizeEnabled", p.autoCapitalizeEnabled) ||
            !readBool(item, "dictionaryEnabled", p.dictionaryEnabled))
            return std::nullopt;
        auto parsed = ProcessingModes::fromRawValue(mode);
        if (!parsed) return std::nullopt;
        p.mode = *parsed;
        profiles.push_back(std::move(p));
    }
    return profiles;
}

std::string encode(const std::vector<Profile>& profiles) {
    json array = json::array();
    for (const auto& p : profiles) {
        array.push_back({{"id", p.id},
                         {"name", p.name},
                         {"mode", ProcessingModes::rawValue(p.mode)},
                         {"polishEnabled", p.polishEnabled},
                         {"autoCapitalizeEnabled", p.autoCapitalizeEnabled},
                         {"dictionaryEnabled", p.dictionaryEnabled}});
    }
    return array.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::vector<Profile> loadStoredProfiles(const Store& userDefaults) {
    return loadStored<Profile>(userDefaults, defaultsKey, decode, builtInDefaults, "Profiles", "profiles");
}

std::vector<Profile> effectiveProfiles(const Store& userDefaults) {
    return mergedByKey(builtInDefaults(), loadStoredProfiles(userDefaults), [](const Profile& p) { return p.id; });
}

void persist(const std::vector<Profile>& profiles, const Store& userDefaults) {
    storeReplacing(userDefaults, defaultsKey, decode, encode(profiles));
}

AppRule materialize(const AppRule& rule, const std::vector<Profile>& profiles) {
    if (!rule.profileID) return rule;
    for (const auto& p : profiles) {
        if (p.id != *rule.profileID) continue;
        AppRule bound = rule;
        bound.polishEnabled = p.polishEnabled;
        bound.autoCapitalizeEnabled = p.autoCapitalizeEnabled;
        bound.dictionaryEnabled = p.dictionaryEnabled;
        return bound;
    }
    return rule;
}

std::optional<std::string> normalizedName(std::string_view name) {
    std::string trimmed = text::trimmed(name);
    if (trimmed.empty()) return std::nullopt;
    return trimmed;
}

namespace {
std::string nameKey(std::string_view name) { return text::lowercased(text::trimmed(name)); }
}  // namespace

bool isDuplicateName(std::string_view name, const std::optional<std::string>& excludingID,
                     const std::vector<Profile>& among) {
    auto normalized = normalizedName(name);
    if (!normalized) return false;
    const std::string key = text::lowercased(*normalized);
    for (const auto& p : among) {
        if (excludingID && p.id == *excludingID) continue;
        if (nameKey(p.name) == key) return true;
    }
    return false;
}

std::optional<Profile> create(std::string_view name, ProcessingMode mode, bool polishEnabled, bool autoCapitalizeEnabled,
                              bool dictionaryEnabled, const std::vector<Profile>& among) {
    auto normalized = normalizedName(name);
    if (!normalized || isDuplicateName(*normalized, std::nullopt, among)) return std::nullopt;
    return Profile{
        text::lowercased(platform::newUUID()), *normalized, mode, polishEnabled, autoCapitalizeEnabled, dictionaryEnabled};
}

std::optional<std::vector<Profile>> rename(const std::string& id, std::string_view name, const std::vector<Profile>& in) {
    auto normalized = normalizedName(name);
    if (!normalized) return std::nullopt;
    if (std::none_of(in.begin(), in.end(), [&](const Profile& p) { return p.id == id; })) return std::nullopt;
    if (isDuplicateName(*normalized, id, in)) return std::nullopt;
    std::vector<Profile> out = in;
    for (auto& p : out)
        if (p.id == id) p.name = *normalized;
    return out;
}

std::pair<std::vector<Profile>, std::string> remove(const std::string& id, const std::vector<Profile>& from,
                                                    const std::string& activeID) {
    std::vector<Profile> kept;
    for (const auto& p : from)
        if (p.id != id) kept.push_back(p);
    return {kept, activeID == id ? std::string(noneProfileID) : activeID};
}

Profile resolveActive(const std::string& id, const std::vector<Profile>& in) {
    for (const auto& p : in)
        if (p.id == id) return p;
    return noneProfile();
}

AppRule bindingRule(const std::string& bundleID, const std::string& displayName, const std::string& profileID) {
    return AppRule{bundleID, displayName, true, true, true, false, profileID};
}

}  // namespace Profiles

std::string describe(const AppRule& r) {
    return "AppRule(bundleID: " + quoted(r.bundleID) + ", displayName: " + quoted(r.displayName) +
           ", polishEnabled: " + boolText(r.polishEnabled) +
           ", autoCapitalizeEnabled: " + boolText(r.autoCapitalizeEnabled) +
           ", dictionaryEnabled: " + boolText(r.dictionaryEnabled) + ", neverDictate: " + boolText(r.neverDictate) +
           ", profileID: " + (r.profileID ? "Optional(" + quoted(*r.profileID) + ")" : std::string("nil")) + ")";
}

std::string describe(const std::optional<AppRule>& rule) { return rule ? "Optional(" + describe(*rule) + ")" : "nil"; }

std::string describe(const std::vector<AppRule>& rules) {
    std::string out = "[";
    for (std::size_t i = 0; i < rules.size(); ++i) out += (i ? ", " : "") + describe(rules[i]);
    return out + "]";
}

std::string describe(const Profile& p) {
    return "Profile(id: " + quoted(p.id) + ", name: " + quoted(p.name) + ", mode: " + ProcessingModes::rawValue(p.mode) +
           ", polishEnabled: " + boolText(p.polishEnabled) +
           ", autoCapitalizeEnabled: " + boolText(p.autoCapitalizeEnabled) +
           ", dictionaryEnabled: " + boolText(p.dictionaryEnabled) + ")";
}

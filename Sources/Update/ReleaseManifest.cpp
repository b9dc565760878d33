#include "Update/ReleaseManifest.h"

#include <cmath>
#include <limits>

using nlohmann::json;

namespace {

const json* present(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

std::optional<std::string> optionalString(const json& object, const char* key) {
    const json* value = present(object, key);
    if (!value) return std::nullopt;
    if (!value->is_string()) {
        throw ManifestDecodingError(std::string("type mismatch for key \"") + key + "\": expected a string");
    }
    return value->get<std::string>();
}

std::string requiredString(const json& object, const char* key) {
    if (object.find(key) == object.end()) throw ManifestDecodingError(std::string("missing key \"") + key + "\"");
    auto value = optionalString(object, key);
    if (!value) throw ManifestDecodingError(std::string("null value for key \"") + key + "\"");
    return *value;
}

std::optional<long long> optionalInteger(const json& object, const char* key) {
    const json* value = present(object, key);
    if (!value) return std::nullopt;
    if (value->is_number_integer()) {
        if (value->is_number_unsigned() &&
            value->get<unsigned long long>() > static_cast<unsigned long long>(std::numeric_limits<long long>::max())) {
            throw ManifestDecodingError(std::string("number for key \"") + key + "\" does not fit an integer");
        }
        return value->get<long long>();
    }
    if (value->is_number_float()) {
        const double d = value->get<double>();
        if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9.0e18) return static_cast<long long>(d);
    }
    throw ManifestDecodingError(std::string("type mismatch for key \"") + key + "\": expected an integer");
}

std::string quotedOptional(const std::optional<std::string>& s) { return s ? "Optional(\"" + *s + "\")" : "nil"; }

}  // namespace

ReleaseManifest ReleaseManifest::fromJSON(const json& object) {
    if (!object.is_object()) throw ManifestDecodingError("the manifest is not a JSON object");
    ReleaseManifest m;
    m.version = requiredString(object, "version");
    m.build = optionalInteger(object, "build");
    m.releaseDate = optionalString(object, "releaseDate");
    m.downloadURL = requiredString(object, "downloadURL");
    m.sha256 = optionalString(object, "sha256");
    // The older spellings are read only when the current one is absent, so a
    // stray alias beside a valid current key can neither win nor fail the decode.
    m.releaseNotes = optionalString(object, "releaseNotes");
    if (!m.releaseNotes) m.releaseNotes = optionalString(object, "notes");
    m.minMacOSVersion = optionalString(object, "minMacOSVersion");
    if (!m.minMacOSVersion) m.minMacOSVersion = optionalString(object, "minOS");
    return m;
}

ReleaseManifest ReleaseManifest::decode(std::string_view jsonText) {
    json object;
    try {
        object = json::parse(jsonText);
    } catch (const json::exception& e) {
        throw ManifestDecodingError(std::string("the data is not valid JSON: ") + e.what());
    }
    return fromJSON(object);
}

nlohmann::ordered_json ReleaseManifest::toJSON() const {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    out["version"] = version;
    if (build) out["build"] = *build;
    if (releaseDate) out["releaseDate"] = *releaseDate;
    out["downloadURL"] = downloadURL;
    if (releaseNotes) out["releaseNotes"] = *releaseNotes;
    if (minMacOSVersion) out["minMacOSVersion"] = *minMacOSVersion;
    if (sha256) out["sha256"] = *sha256;
    return out;
}

std::string ReleaseManifest::encode() const {
    return toJSON().dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string ReleaseManifest::describe() const {
    return "ReleaseManifest(version: \"" + version +
           "\", build: " + (build ? "Optional(" + std::to_string(*build) + ")" : std::string("nil")) +
           ", releaseDate: " + quotedOptional(releaseDate) + ", downloadURL: \"" + downloadURL +
           "\", releaseNotes: " + quotedOptional(releaseNotes) + ", minMacOSVersion: " + quotedOptional(minMacOSVersion) +
           ", sha256: " + quotedOptional(sha256) + ")";
}

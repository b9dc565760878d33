#pragma once
// The release manifest the update checker fetches: the newest version, where
// to download it and, when published, the SHA-256 of the download.
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

struct ManifestDecodingError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct ReleaseManifest {
    std::string version;
    std::optional<long long> build;
    std::optional<std::string> releaseDate;
    std::string downloadURL;                     // kept as text, never parsed here
    std::optional<std::string> releaseNotes;     // "releaseNotes", else the older "notes"
    std::optional<std::string> minMacOSVersion;  // "minMacOSVersion", else the older "minOS"; shown, never enforced
    std::optional<std::string> sha256;

    bool operator==(const ReleaseManifest&) const = default;

    // Throws ManifestDecodingError when a required key is missing, a value has
    // the wrong type, or the text is not a JSON object.
    static ReleaseManifest decode(std::string_view jsonText);
    static ReleaseManifest fromJSON(const nlohmann::json& object);
    // The canonical keys only, in field order; absent fields are omitted.
    nlohmann::ordered_json toJSON() const;
    std::string encode() const;
    // The printed form used in messages.
    std::string describe() const;
};

#pragma once
// Build constants of the product.
namespace Branding {
inline constexpr const char* appName = "Ondira";
inline constexpr const char* supportDirName = "Ondira";
inline constexpr const char* bundleID = "com.ondira.app";
inline constexpr const char* version = "2.0.0";
inline constexpr const char* buildNumber = "200";
// The oldest system release the build supports (Debian 12); the published
// release manifest's "minOS" states the same floor.
inline constexpr const char* minimumSystemVersion = "12.0";
inline constexpr const char* executableName = "Ondira";
inline constexpr const char* helpURL = "https://ondira.app/help";
}  // namespace Branding

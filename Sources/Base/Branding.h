#pragma once
#include "Base/Version.h"
// Build constants of the product.
namespace Branding {
inline constexpr const char* appName = "Ondira";
inline constexpr const char* supportDirName = "Ondira";
inline constexpr const char* bundleID = "com.ondira.app";
inline constexpr const char* version = ONDIRA_VERSION;
inline constexpr const char* buildNumber = ONDIRA_BUILD_NUMBER;
inline constexpr const char* executableName = "Ondira";
inline constexpr const char* helpURL = "https://ondira.app/help";
}  // namespace Branding

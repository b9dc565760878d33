#pragma once
// The indicator pill's three pages (recording, processing, error), built in
// memory from the templates in the bundle's Resources/indicator, the scripts
// that talk to them, and the four accent themes of the recording page.
#include <optional>
#include <string>
#include <vector>

enum class IndicatorTheme { aurora, violet, titanium, abyss };

namespace IndicatorThemes {
inline constexpr const char* settingsKey = "ondira_indicator_theme";
inline constexpr IndicatorTheme defaultTheme = IndicatorTheme::titanium;
const std::vector<IndicatorTheme>& allCases();
std::string rawValue(IndicatorTheme theme);
std::optional<IndicatorTheme> fromRawValue(const std::string& raw);
// The fill colour of the recording page's bars, "#rrggbb".
std::string accent(IndicatorTheme theme);
// The stored theme; missing or unrecognised means the default.
IndicatorTheme stored();
void store(IndicatorTheme theme);
}  // namespace IndicatorThemes

namespace IndicatorPages {
// The recording page for a theme; `rawMode` adds the "raw" badge.
std::string rec(IndicatorTheme theme, bool rawMode);
std::string processing();
std::string error(const std::string& message);
// The same pill for a dictation the user called off: a cancel, not a failure.
std::string cancel(const std::string& message);

// A message as it enters the error page: 61 or more characters are cut to
// 57 and "…", then & < > " ' become entities (& first, so no entity is
// escaped twice).
std::string preparedErrorMessage(const std::string& message);

// "window.setLevel && window.setLevel(<level>);", the level in its shortest
// form that reads back exactly.
std::string setLevelJS(float level);
// The partial text as a JSON string literal that can't end the script.
std::string setPartialTextJS(const std::string& text);
}  // namespace IndicatorPages

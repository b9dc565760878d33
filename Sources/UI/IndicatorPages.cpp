#include "UI/IndicatorPages.h"

#include "Base/AppPaths.h"
#include "Platform/Bundle.h"
#include "Platform/FileIO.h"
#include "Platform/Log.h"
#include "Platform/Unicode.h"

#include <nlohmann/json.hpp>

#include <map>
#include <mutex>

namespace IndicatorThemes {
const std::vector<IndicatorTheme>& allCases() {
    static const std::vector<IndicatorTheme> all = {IndicatorTheme::aurora, IndicatorTheme::violet, IndicatorTheme::titanium,
                                                    IndicatorTheme::abyss};
    return all;
}

std::string rawValue(IndicatorTheme theme) {
    switch (theme) {
        case IndicatorTheme::aurora: return "aurora";
        case IndicatorTheme::violet: return "violet";
        case IndicatorTheme::titanium: return "titanium";
        case IndicatorTheme::abyss: return "abyss";
    }
    return "titanium";
}

std::optional<IndicatorTheme> fromRawValue(const std::string& raw) {
    for (IndicatorTheme t : allCases())
        if (rawValue(t) == raw) return t;
    return std::nullopt;
}

std::string accent(IndicatorTheme theme) {
    switch (theme) {
        case IndicatorTheme::aurora: return "#a78bfa";
        case IndicatorTheme::violet: return "#8d7bff";
        case IndicatorTheme::titanium: return "#ffffff";
        case IndicatorTheme::abyss: return "#06b6d4";
    }
    return "#ffffff";
}

// The theme lives in the store every other setting uses, which a self-test
// run isolates, so no test can change the user's choice.
IndicatorTheme stored() {
    auto raw = AppPaths::userDefaults()->string(settingsKey);
    if (!raw) return defaultTheme;
    return fromRawValue(*raw).value_or(defaultTheme);
}

void store(IndicatorTheme theme) { AppPaths::userDefaults()->setString(settingsKey, rawValue(theme)); }
}  // namespace IndicatorThemes

namespace IndicatorPages {
namespace {
// Templates are read once; a missing one is logged once and gives an empty page.
const std::string& templateNamed(const std::string& name) {
    static std::mutex lock;
    static std::map<std::string, std::string> cache;
    std::lock_guard<std::mutex> g(lock);
    auto it = cache.find(name);
    if (it != cache.end()) return it->second;
    std::optional<std::string> text;
    if (auto res = platform::Bundle::resourceURL()) text = platform::readFile(*res / "indicator" / name);
    if (!text) platform::log("Indicator", "page template missing from the bundle: indicator/" + name);
    return cache.emplace(name, text.value_or("")).first->second;
}

std::string replacedOnce(std::string text, const std::string& marker, const std::string& value) {
    auto pos = text.find(marker);
    if (pos != std::string::npos) text.replace(pos, marker.size(), value);
    return text;
}

constexpr const char* badgeOpen = "<!--raw-->";
constexpr const char* badgeClose = "<!--/raw-->";
}  // namespace

std::string rec(IndicatorTheme theme, bool rawMode) {
    std::string page = templateNamed("recording.html");
    auto open = page.find(badgeOpen);
    auto close = open == std::string::npos ? std::string::npos : page.find(badgeClose, open);
    if (close != std::string::npos) {
        const size_t openLen = std::char_traits<char>::length(badgeOpen);
        const size_t closeLen = std::char_traits<char>::length(badgeClose);
        std::string badge = page.substr(open + openLen, close - open - openLen);
        page.replace(open, close + closeLen - open, rawMode ? badge : std::string());
    }
    return replacedOnce(page, "{{ACCENT}}", IndicatorThemes::accent(theme));
}

std::string processing() { return templateNamed("processing.html"); }

std::string error(const std::string& message) {
    const std::string page = replacedOnce(templateNamed("error.html"), "{{TONE}}", "error");
    return replacedOnce(replacedOnce(page, "{{ICON}}", "\u26A0"), "{{MESSAGE}}", preparedErrorMessage(message));
}

std::string cancel(const std::string& message) {
    const std::string page = replacedOnce(templateNamed("error.html"), "{{TONE}}", "cancel");
    return replacedOnce(replacedOnce(page, "{{ICON}}", "\u2715"), "{{MESSAGE}}", preparedErrorMessage(message));
}

std::string preparedErrorMessage(const std::string& message) {
    std::string text = message;
    if (platform::text::graphemeCount(text) >= 61) text = platform::text::prefixGraphemes(text, 57) + "\u2026";
    return platform::text::escapedMarkup(text);
}

std::string setLevelJS(float level) {
    return "window.setLevel && window.setLevel(" + platform::text::formatFloat(level) + ");";
}

std::string setPartialTextJS(const std::string& text) {
    static const std::string fallback = "window.setPartialText && window.setPartialText(\"\");";
    if (!platform::text::isValidUTF8(text)) return fallback;
    std::string encoded;
    try {
        encoded = nlohmann::json(text).dump();
    } catch (const nlohmann::json::exception&) {
        return fallback;
    }
    // A JSON string is a valid script string. Every slash is escaped as well,
    // so the text can never hold "</script>" and end an enclosing script.
    std::string safe;
    safe.reserve(encoded.size() + 8);
    for (char c : encoded) {
        if (c == '/') safe += "\\/";
        else safe += c;
    }
    return "window.setPartialText && window.setPartialText(" + safe + ");";
}
}  // namespace IndicatorPages

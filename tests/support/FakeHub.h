#pragma once
// Doubles for the hub bridge: an emitter that records the page calls and a
// host that records the desktop and application services it was asked for.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "UI/HubBridge.h"

struct PageCall {
    std::string name;
    std::optional<nlohmann::json> argument;  // none for a call with empty parentheses
};

class FakeHubEmitter : public HubEmitter {
public:
    std::vector<std::string> scripts;
    void evaluateScript(const std::string& js) override { scripts.push_back(js); }

    // "window.X && window.X(<json>);" back into its name and argument; none
    // when the script does not have that form.
    static std::optional<PageCall> parse(const std::string& js) {
        const std::string head = "window.";
        if (js.rfind(head, 0) != 0) return std::nullopt;
        const auto guard = js.find(" && window.");
        if (guard == std::string::npos) return std::nullopt;
        const std::string name = js.substr(head.size(), guard - head.size());
        const std::string call = " && window." + name + "(";
        if (js.compare(guard, call.size(), call) != 0) return std::nullopt;
        const std::string tail = ");";
        if (js.size() < guard + call.size() + tail.size() || js.compare(js.size() - tail.size(), tail.size(), tail) != 0)
            return std::nullopt;
        const std::string arg = js.substr(guard + call.size(), js.size() - tail.size() - guard - call.size());
        if (arg.empty()) return PageCall{name, std::nullopt};
        auto parsed = nlohmann::json::parse(arg, nullptr, false);
        if (parsed.is_discarded()) return std::nullopt;
        return PageCall{name, parsed};
    }

    std::vector<PageCall> calls() const {
        std::vector<PageCall> out;
        for (const auto& s : scripts)
            if (auto c = parse(s)) out.push_back(*c);
        return out;
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& c : calls()) out.push_back(c.name);
        return out;
    }
    std::optional<PageCall> last(const std::string& name) const {
        std::optional<PageCall> found;
        for (const auto& c : calls())
            if (c.name == name) found = c;
        return found;
    }
};

class FakeHubHost : public HubHost {
public:
    // What the dialogs answer; none stands for Cancel.
    std::optional<std::string> savePath;
    std::optional<std::string> openPath;
    // Nothing: the grab succeeds; else the refusal message.
    std::optional<std::string> grabRefusal;
    bool insertionSucceeds = true;

    std::vector<std::string> saveTitles, openTitles, copied, openedURLs, permissionPanes, themes, insertedTexts;
    std::vector<HotkeyMode> grabs;
    int languageChanges = 0;

    void chooseSaveFile(const std::string& title, const std::string& suggestedName,
                        std::function<void(std::optional<std::string>)> done) override {
        saveTitles.push_back(title + "|" + suggestedName);
        done(savePath);
    }
    void chooseOpenFile(const std::string& title, const std::vector<std::string>&,
                        std::function<void(std::optional<std::string>)> done) override {
        openTitles.push_back(title);
        done(openPath);
    }
    void copyToClipboard(const std::string& text) override { copied.push_back(text); }
    void openURL(const std::string& url) override { openedURLs.push_back(url); }
    std::optional<std::string> regrabHotkey(HotkeyMode mode) override {
        grabs.push_back(mode);
        return grabRefusal;
    }
    nlohmann::json healthItems() override {
        return nlohmann::json::array(
            {{{"id", "microphone"}, {"title", "Microphone"}, {"ok", true}, {"detail", ""}, {"fix", ""}}});
    }
    void openPermissionSettings(const std::string& id) override { permissionPanes.push_back(id); }
    void applyIndicatorTheme(const std::string& theme) override { themes.push_back(theme); }
    void dictationLanguageChanged() override { ++languageChanges; }
    void insertStagedText(const std::string& text, std::function<void(bool, std::string)> done) override {
        insertedTexts.push_back(text);
        done(insertionSucceeds, insertionSucceeds ? "" : "The focused field did not take the text.");
    }
};

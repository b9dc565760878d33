#pragma once
// The hub page and the hub's message dispatcher as the self-test reads them:
// the page shipped in the bundle, the page in the checkout's Resources, the
// message names the page posts through act(), and the names the dispatcher
// handles.
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "SelfTest/SelfTest.h"

namespace HubPageSource {

inline constexpr const char* pageFileName = "ondira_hub.html";

// The page in the bundle's resources, when it is there and is UTF-8.
std::optional<std::string> bundledPage();
// The page in the checkout's Resources (`path` tells where it was looked for).
std::optional<std::string> checkoutPage(std::filesystem::path* path = nullptr);

// Every name the page posts: act('name') and act('name:…') give "name".
std::set<std::string> postedMessages(std::string_view page);

// The dispatcher, HubBridge::handleMessage in Sources/UI/HubWindow.cpp. Its
// region runs from the start marker to the first end marker after it; an
// exact word is written `body == "name"` and a prefix word
// `strip(body, "name:")`; a message that matches nothing is logged whole.
inline constexpr const char* dispatcherFile = "Sources/UI/HubWindow.cpp";
inline constexpr const char* dispatcherStart = "void HubBridge::handleMessage(";
inline constexpr const char* dispatcherEnd = "std::optional<std::string> strip(";
inline constexpr const char* unhandledLog = "\"[bridge] UNHANDLED: \" + body";

struct DispatcherScan {
    std::set<std::string> handlers;  // exact and prefix names, without the colon
    bool logsUnhandled = false;
};
// Nothing when either region marker is missing.
std::optional<DispatcherScan> scanDispatcher(std::string_view source);

// "a, b, c" in ascending order.
std::string joined(const std::set<std::string>& names);

// A case that passes when `page` holds every one of `needles`, else fails with `message`.
SelfTestCase pageHolds(std::shared_ptr<const std::string> page, std::string name, std::string teeth,
                       std::vector<std::string> needles, std::string message);

}  // namespace HubPageSource

// The page cases that the older suites end with.
std::vector<SelfTestCase> UpdateAutoCheckPageCases();
std::vector<SelfTestCase> StagingPageCases();

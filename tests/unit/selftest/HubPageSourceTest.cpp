// The readers behind the hub-page suites, and the properties of the shipped
// page that no suite names: it builds no markup from data, loads nothing
// remote and defines every callback the host calls.
#include <gtest/gtest.h>

#include <cctype>

#include "Diagnostics/PrivacyProbe.h"
#include "Platform/FileIO.h"
#include "SelfTest/HubPageSource.h"

namespace {

std::string shippedPage() {
    auto text = platform::readFile(std::string(ONDIRA_SOURCE_DIR) + "/Resources/ondira_hub.html");
    EXPECT_TRUE(text.has_value());
    return text.value_or("");
}

TEST(HubPageSource, PostedMessagesAreTheLiteralNamesOfActCalls) {
    const std::string page =
        "act('stats_query'); act('dict_add:' + json(x)); act('rules_query:');"
        "act(variable); act(''); act('a-b'); act(\"double\");";
    EXPECT_EQ(HubPageSource::postedMessages(page), (std::set<std::string>{"a", "dict_add", "rules_query", "stats_query"}));
}

TEST(HubPageSource, DispatcherScanCountsOnlyTheRegionBetweenItsMarkers) {
    const std::string source =
        "bool early(const std::string& body) { return body == \"before\"; }\n"
        "std::optional<std::string> strip(const std::string& body, std::string_view prefix);\n"
        "void HubBridge::handleMessage(const std::string& body) {\n"
        "    if (body == \"stats_query\") return;\n"
        "    if (auto p = strip(body, \"dict_add:\")) return;\n"
        "    if (auto p = strip(body, \"no_colon\")) return;\n"
        "    bridgeLog(\"[bridge] UNHANDLED: \" + body);\n"
        "}\n"
        "std::optional<std::string> strip(const std::string& body, std::string_view prefix) {\n"
        "    if (body == \"after\") return {};\n"
        "}\n";
    auto scan = HubPageSource::scanDispatcher(source);
    ASSERT_TRUE(scan.has_value());
    EXPECT_EQ(scan->handlers, (std::set<std::string>{"dict_add", "stats_query"}));
    EXPECT_TRUE(scan->logsUnhandled);

    EXPECT_FALSE(HubPageSource::scanDispatcher("void HubBridge::handleMessage(const std::string& body) {}").has_value());
    EXPECT_FALSE(HubPageSource::scanDispatcher("std::optional<std::string> strip(x)").has_value());
    auto quiet = HubPageSource::scanDispatcher(
        "void HubBridge::handleMessage(const std::string& body) { log(\"[bridge] UNHANDLED\"); }\n"
        "std::optional<std::string> strip(");
    ASSERT_TRUE(quiet.has_value());
    EXPECT_FALSE(quiet->logsUnhandled);
}

TEST(HubPage, BuildsNoMarkupFromText) {
    const std::string page = shippedPage();
    for (const char* sink : {"innerHTML", "outerHTML", "insertAdjacentHTML", "document.write", "DOMParser",
                             "createContextualFragment", "eval(", "new Function"})
        EXPECT_EQ(page.find(sink), std::string::npos) << sink;
}

// Everything the page shows is local: a policy that forbids every remote
// load, and no URL in it but the SVG namespace and the product's own help.
TEST(HubPage, LoadsNothingRemote) {
    const std::string page = shippedPage();
    EXPECT_NE(page.find("http-equiv=\"Content-Security-Policy\" content=\"default-src 'none';"), std::string::npos);
    EXPECT_EQ(page.find("<link"), std::string::npos);
    EXPECT_EQ(page.find(" src="), std::string::npos);
    EXPECT_EQ(page.find("@import"), std::string::npos);
    EXPECT_EQ(page.find("url("), std::string::npos);
    int urls = 0;
    for (auto at = page.find("://"); at != std::string::npos; at = page.find("://", at + 3)) {
        auto end = at + 3;
        while (end < page.size() &&
               (std::isalnum(static_cast<unsigned char>(page[end])) || page[end] == '.' || page[end] == '-'))
            ++end;
        const std::string host = page.substr(at + 3, end - at - 3);
        EXPECT_TRUE(host == "www.w3.org" || PrivacyProbe::isAllowedHost(host)) << host;
        ++urls;
    }
    EXPECT_GT(urls, 0);  // the scan sees the page's own URLs
}

TEST(HubPage, DefinesEveryCallbackTheHostCalls) {
    const std::string page = shippedPage();
    for (const char* name : {"ondiraSetStats",
                             "ondiraSetDictionary",
                             "ondiraSetHotkey",
                             "ondiraHotkeyError",
                             "ondiraSetMode",
                             "ondiraSetLanguages",
                             "ondiraSetHealth",
                             "ondiraSetSelftest",
                             "ondiraSetUpdateState",
                             "ondiraSetDictExportResult",
                             "ondiraSetDictImportResult",
                             "ondiraSetHistory",
                             "ondiraSetHistorySearchResults",
                             "ondiraSetExportResult",
                             "ondiraSetCopyAck",
                             "onRewriteResult",
                             "onRewriteAvailability",
                             "onPrivacyProbe",
                             "onRules",
                             "onSnippets",
                             "onProfiles",
                             "onProfileResult",
                             "onEngineInfo",
                             "onLearnedRules",
                             "onStaging",
                             "onPersonalModel"})
        EXPECT_NE(page.find(std::string("window.") + name + " = "), std::string::npos) << name;
}

}  // namespace

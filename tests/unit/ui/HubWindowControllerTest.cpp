#include "UI/HubWindowController.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/TempDir.h"

namespace fs = std::filesystem;
using Decision = HubWindowController::LinkDecision;

TEST(HubWindowNavigation, OnlyThePageDirectoryStaysInTheViewAndOnlyWebLinksLeaveForTheBrowser) {
    TempDir dir;
    const fs::path page = dir.path / "Resources";
    fs::create_directories(page / "indicator");
    fs::create_directories(dir.path / "Resources-other");
    // A link inside the directory that points outside it.
    fs::create_symlink("/etc", page / "escape");
    const std::string base = "file://" + page.string();
    const struct {
        std::string uri;
        bool newWindow;
        Decision expected;
    } table[] = {
        {base + "/ondira_hub.html", false, Decision::allow},
        {base + "/ondira_hub.html#history", false, Decision::allow},
        {base + "/indicator/error.html?x=1", false, Decision::allow},
        {base + "/indicator/../ondira_hub.html", false, Decision::allow},
        {base + "/../Resources-other/x.html", false, Decision::refuse},
        {"file://" + dir.path.string() + "/Resources-other/x.html", false, Decision::refuse},  // shares the prefix
        {base + "/escape/passwd", false, Decision::refuse},
        {"file://otherhost" + page.string() + "/ondira_hub.html", false, Decision::refuse},
        {"file:///etc/passwd", false, Decision::refuse},
        {base + "/ondira_hub.html", true, Decision::refuse},
        {"https://ondira.app/help", false, Decision::openInBrowser},
        {"HTTP://example.org/", false, Decision::openInBrowser},
        {"https://example.org/", true, Decision::openInBrowser},
        {"about:blank", false, Decision::allow},
        {"about:config", false, Decision::refuse},
        {"data:text/html,<p>x</p>", false, Decision::refuse},
        {"javascript:alert(1)", false, Decision::refuse},
        {"ondira://hub", false, Decision::refuse},
        {"", false, Decision::refuse},
    };
    for (const auto& row : table)
        EXPECT_EQ(HubWindowController::decideNavigation(row.uri, page, row.newWindow), row.expected)
            << row.uri << (row.newWindow ? " (new window)" : "");
    // Without a page directory (the inline page) no file is allowed.
    EXPECT_EQ(HubWindowController::decideNavigation(base + "/ondira_hub.html", fs::path(), false), Decision::refuse);
}

TEST(HubWindowPlacement, CentredOnTheWorkAreaFittedInsideItButNeverBelowTheMinimum) {
    using F = HubWindowController::Frame;
    const struct {
        F workArea;
        int width, height;
        F expected;
    } table[] = {
        {{0, 0, 1920, 1080}, 1180, 820, {370, 130, 1180, 820}},
        {{1920, 24, 2560, 1416}, 1180, 820, {2610, 322, 1180, 820}},  // second monitor, panel on top
        {{0, 0, 1280, 800}, 1180, 820, {50, 0, 1180, 800}},           // shorter than the window
        {{0, 0, 800, 500}, 1180, 820, {0, 0, 900, 600}},              // smaller than the minimum
    };
    for (const auto& row : table) {
        EXPECT_EQ(HubWindowController::centredFrame(row.workArea, row.width, row.height), row.expected);
    }
    EXPECT_TRUE(HubWindowController::intersects({0, 0, 100, 100}, {99, 99, 10, 10}));
    EXPECT_FALSE(HubWindowController::intersects({0, 0, 100, 100}, {100, 0, 10, 10}));
    EXPECT_FALSE(HubWindowController::intersects({5000, 5000, 1180, 820}, {0, 0, 1280, 800}));
}

#include "UI/IndicatorPages.h"

#include <gtest/gtest.h>

#include "Base/AppPaths.h"
#include "Platform/Bundle.h"
#include "Platform/Unicode.h"
#include "support/TempDir.h"

namespace {
struct BundleFixture : ::testing::Test {
    void SetUp() override { platform::Bundle::overrideBundleDirectory(std::filesystem::path(ONDIRA_BUNDLE_DIR)); }
    void TearDown() override { platform::Bundle::overrideBundleDirectory(std::nullopt); }
};
using IndicatorPagesTest = BundleFixture;
}  // namespace

TEST_F(IndicatorPagesTest, RecordingPageCarriesTheAccentAndOnlyRawModeHasTheBadge) {
    const struct {
        IndicatorTheme theme;
        const char* accent;
    } table[] = {{IndicatorTheme::aurora, "#a78bfa"},
                 {IndicatorTheme::violet, "#8d7bff"},
                 {IndicatorTheme::titanium, "#ffffff"},
                 {IndicatorTheme::abyss, "#06b6d4"}};
    for (const auto& row : table) {
        const std::string standard = IndicatorPages::rec(row.theme, false);
        const std::string raw = IndicatorPages::rec(row.theme, true);
        EXPECT_NE(standard.find(std::string("var ACCENT = \"") + row.accent + "\""), std::string::npos);
        EXPECT_EQ(standard.find(">raw<"), std::string::npos);
        EXPECT_EQ(standard.find("<!--"), std::string::npos) << "no marker of the badge reaches the page";
        ASSERT_NE(raw.find(">raw<"), std::string::npos);
        // The raw page is the standard page with the badge element inserted.
        const auto at = raw.find("<span");
        const auto end = raw.find("</span>", at) + 7;
        EXPECT_EQ(raw.substr(0, at) + raw.substr(end), standard);
    }
    EXPECT_NE(IndicatorPages::processing().find("window.setPartialText"), std::string::npos);
    EXPECT_NE(IndicatorPages::processing().find(">Transcribing<"), std::string::npos);
}

TEST_F(IndicatorPagesTest, ErrorMessagesAreCutAt61CharactersAndEscapedOnce) {
    const std::string sixty(60, 'a'), sixtyOne(61, 'b');
    EXPECT_EQ(IndicatorPages::preparedErrorMessage(sixty), sixty);
    EXPECT_EQ(IndicatorPages::preparedErrorMessage(sixtyOne), std::string(57, 'b') + "\u2026");
    // Characters, not bytes: 61 two-byte letters are cut as well.
    std::string accented;
    for (int i = 0; i < 61; ++i) accented += "\u00e9";
    EXPECT_EQ(platform::text::graphemeCount(IndicatorPages::preparedErrorMessage(accented)), 58u);
    EXPECT_EQ(IndicatorPages::preparedErrorMessage("Tom & Jerry's <b>\"x\"</b> &amp;"),
              "Tom &amp; Jerry&#39;s &lt;b&gt;&quot;x&quot;&lt;/b&gt; &amp;amp;");
    const std::string page = IndicatorPages::error("a<b");
    EXPECT_NE(page.find("a&lt;b</span></div>\n</body></html>"), std::string::npos);
    EXPECT_TRUE(platform::text::hasSuffix(page, "</span></div>\n</body></html>"));

    // A cancel is the same pill without the warning: no sign of a failure.
    EXPECT_NE(page.find("<body class=\"error\">"), std::string::npos);
    EXPECT_NE(page.find("\u26A0"), std::string::npos);
    const std::string cancelled = IndicatorPages::cancel("Cancelled \u2014 nothing was recorded");
    EXPECT_NE(cancelled.find("<body class=\"cancel\">"), std::string::npos);
    EXPECT_EQ(cancelled.find("\u26A0"), std::string::npos);
    EXPECT_EQ(cancelled.find("{{"), std::string::npos) << "every marker is filled";
    EXPECT_NE(cancelled.find("Cancelled \u2014 nothing was recorded</span>"), std::string::npos);
}

TEST(IndicatorScripts, LevelsUseTheShortestFloatTextAndPartialTextStaysInsideItsString) {
    EXPECT_EQ(IndicatorPages::setLevelJS(0.05f), "window.setLevel && window.setLevel(0.05);");
    EXPECT_EQ(IndicatorPages::setLevelJS(0.5f), "window.setLevel && window.setLevel(0.5);");
    EXPECT_EQ(IndicatorPages::setLevelJS(1.0f), "window.setLevel && window.setLevel(1.0);");

    const std::string js = IndicatorPages::setPartialTextJS("he said </script> and \"quoted\" \\ stuff \n newline");
    EXPECT_EQ(js,
              "window.setPartialText && window.setPartialText("
              "\"he said <\\/script> and \\\"quoted\\\" \\\\ stuff \\n newline\");");
    EXPECT_EQ(IndicatorPages::setPartialTextJS("hello world"),
              "window.setPartialText && window.setPartialText(\"hello world\");");
    EXPECT_EQ(IndicatorPages::setPartialTextJS(std::string("bad \xff byte")),
              "window.setPartialText && window.setPartialText(\"\");");
}

TEST(IndicatorThemesTest, StoredThemeFallsBackToTitaniumAndLivesInTheIsolatedStore) {
    TempDir dir;
    ScopedEnv env(AppPaths::selfTestStateDirVariable, dir.path.string());
    EXPECT_EQ(IndicatorThemes::stored(), IndicatorTheme::titanium);
    AppPaths::userDefaults()->setString("ondira_indicator_theme", "sepia");
    EXPECT_EQ(IndicatorThemes::stored(), IndicatorTheme::titanium);
    IndicatorThemes::store(IndicatorTheme::abyss);
    EXPECT_EQ(AppPaths::userDefaults()->string("ondira_indicator_theme"), "abyss");
    EXPECT_EQ(IndicatorThemes::stored(), IndicatorTheme::abyss);
    std::vector<std::string> names;
    for (auto t : IndicatorThemes::allCases()) names.push_back(IndicatorThemes::rawValue(t));
    EXPECT_EQ(names, (std::vector<std::string>{"aurora", "violet", "titanium", "abyss"}));
}

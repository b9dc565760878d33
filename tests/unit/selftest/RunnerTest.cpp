#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "Platform/Bundle.h"
#include "SelfTest/SelfTest.h"

namespace {
SelfTestCase passing(const std::string& n) {
    return {n, "teeth of " + n, [] { return SelfTestOutcome::pass(); }};
}
}  // namespace

TEST(SelfTestRunner, PrintsTheExactReportAndListsFailuresInOrder) {
    std::vector<SelfTestSuite> suites = {
        {"Alpha",
         {passing("one"),
          {"two", "t2", [] { return SelfTestOutcome::fail("expected 1, got 2"); }},
          {"three", "t3", [] { return SelfTestOutcome::skip("no checkout"); }}}},
        {"Empty", {}},
        {"Beta", {{"boom", "t4", []() -> SelfTestOutcome { throw std::runtime_error("kaput"); }}}},
    };
    std::ostringstream out;
    auto summary = SelfTestRunner::runSuites(suites, out);
    SelfTestRunner::printSummary(summary, out);

    const std::string em = "\xE2\x80\x94";
    const std::string sep(50, '=');
    const std::string expected =
        "== Alpha ==\n"
        "[PASS] one " +
        em +
        " teeth: teeth of one\n"
        "[FAIL] two " +
        em + " expected 1, got 2 " + em +
        " teeth: t2\n"
        "[SKIP] three " +
        em +
        " no checkout\n"
        "\n"
        "== Empty ==\n"
        "\n"
        "== Beta ==\n"
        "[FAIL] boom " +
        em + " threw std::runtime_error: kaput " + em +
        " teeth: t4\n"
        "\n" +
        sep +
        "\n"
        "TOTAL: 4  PASS: 1  FAIL: 2  SKIP: 1\n"
        "\n"
        "FAILURES:\n"
        " - Alpha/two: expected 1, got 2\n"
        " - Beta/boom: threw std::runtime_error: kaput\n" +
        sep + "\n";
    EXPECT_EQ(out.str(), expected);
    EXPECT_FALSE(summary.ok());
}

TEST(SelfTestRunner, AllPassingOrSkippedHasNoFailuresBlock) {
    std::vector<SelfTestSuite> suites = {
        {"Only", {passing("a"), {"b (skipped)", "n/a", [] { return SelfTestOutcome::skip("why"); }}}}};
    std::ostringstream out;
    auto summary = SelfTestRunner::runSuites(suites, out);
    SelfTestRunner::printSummary(summary, out);
    EXPECT_TRUE(summary.ok());
    EXPECT_EQ(out.str().find("FAILURES"), std::string::npos);
    EXPECT_NE(out.str().find("TOTAL: 2  PASS: 1  FAIL: 0  SKIP: 1\n" + std::string(50, '=') + "\n"), std::string::npos);
}

TEST(SelfTestRegistry, EverySuiteOfTheFixedOrderIsBuiltAndRunsInThatOrder) {
    const auto& order = SelfTestRegistry::suiteOrder();
    ASSERT_EQ(order.size(), 39u);
    EXPECT_EQ(SelfTestRegistry::missingSuites(), std::vector<std::string>{}) << "suites this build does not register";
    std::vector<std::string> names;
    for (const auto& suite : SelfTestRegistry::allSuites()) names.push_back(suite.first);
    EXPECT_EQ(names, order);
}

// A case dropped from a suite (or a substitute standing in for several)
// shows as a count that no longer matches; the tray application's policy
// and privacy page cases hold their places in the AppRules suite.
TEST(SelfTestRegistry, EverySuiteBuildsItsFullSetOfCases) {
    const std::vector<std::pair<std::string, std::size_t>> expected = {
        {"RegexCleaner", 10},     {"Vocabulary", 14},         {"AppPaths", 2},
        {"DictationLog", 10},     {"HistoryExport", 6},       {"DictionaryImport", 6},
        {"PasteVerdict", 8},      {"PolishService", 24},      {"CorrectionLog", 13},
        {"SoundCues", 8},         {"HotkeyMode", 25},         {"ScreenContext", 19},
        {"RegressionGate", 13},   {"PersonalModel", 48},      {"PrivacyProbe", 15},
        {"AppRules", 29},         {"Snippets", 31},           {"DictationTranscriber", 12},
        {"CLI", 57},              {"FileTranscriber", 62},    {"Locale", 9},
        {"BridgeContract", 3},    {"SupportBundle", 8},       {"ArtifactHygiene", 3},
        {"HistoryPaging", 10},    {"AppDelegateHelpers", 13}, {"VoiceCommands", 33},
        {"WritingStyle", 12},     {"PartialTextPreview", 10}, {"Profiles", 12},
        {"ProfilesUI", 9},        {"EngineUI", 8},            {"OnboardingContent", 23},
        {"Staging", 22},          {"StreamingCapture", 9},    {"UpdateChecker", 21},
        {"UpdateAutoCheck", 12},  {"HubHonesty", 16},         {"PersonaSimulation", 6},
    };
    // The bundle of this build tree, whose checkout the source-reading cases read.
    platform::Bundle::overrideBundleDirectory(std::filesystem::path(ONDIRA_BUNDLE_DIR));
    const auto suites = SelfTestRegistry::allSuites();
    platform::Bundle::overrideBundleDirectory(std::nullopt);
    std::vector<std::pair<std::string, std::size_t>> built;
    std::vector<std::string> appRules;
    for (const auto& [name, cases] : suites) {
        built.emplace_back(name, cases.size());
        if (name == "AppRules")
            for (const auto& c : cases) appRules.push_back(c.name);
    }
    EXPECT_EQ(built, expected);
    ASSERT_GE(appRules.size(), 5u);
    EXPECT_EQ(appRules[1], "activation policy is .accessory (menu-bar-only, no dock icon)");
    EXPECT_EQ(appRules[2], "activation policy constant is what main actually calls");
    EXPECT_EQ(appRules[3], "privacy policy discloses the automatic update check");
    EXPECT_EQ(appRules[4], "privacy policy's \"at most once a day\" matches UpdateChecker's interval");
}

TEST(SelfTestRegistry, ABuilderThatThrowsBecomesOneFailingCase) {
    auto suites = SelfTestRegistry::build({
        {"Broken", []() -> std::vector<SelfTestCase> { throw std::runtime_error("fixture missing"); }},
        {"Fine", [] { return std::vector<SelfTestCase>{passing("x")}; }},
    });
    ASSERT_EQ(suites.size(), 2u);
    ASSERT_EQ(suites[0].second.size(), 1u);
    auto outcome = suites[0].second[0].run();
    EXPECT_TRUE(outcome.isFail());
    EXPECT_NE(outcome.message.find("fixture missing"), std::string::npos);
    EXPECT_EQ(suites[1].first, "Fine");
}

#include "Learning/HistoryView.h"

#include "Platform/Unicode.h"

#include <gtest/gtest.h>

using HistoryView::LogEntry;

// Lower-casing is Unicode-aware: the fast ASCII path must agree with it.
TEST(HistoryView, SearchLowerCasesBothSidesBeyondASCII) {
    const std::vector<LogEntry> entries = {
        {"t", "d", "Notes", "Ärger im Büro", 3},
        {"t", "d", "ÉDITEUR", "plain", 1},
        {"t", "d", "Notes", "ASCII ONLY", 2},
        {"t", "d", "Notes",
         "\xE2\x84\xAA"
         "elvin",
         1},  // KELVIN SIGN lower-cases to an ASCII k
    };
    struct Case {
        const char* query;
        int count;
    };
    const Case table[] = {
        {"ärger", 1}, {"ÄRGER", 1}, {"büro", 1}, {"éditeur", 1}, {"ascii only", 1}, {"kelvin", 1}, {"ß", 0}, {"\t\n", 0},
    };
    for (const auto& c : table) {
        auto result = HistoryView::searchHistory(entries, c.query, 10);
        EXPECT_EQ(result.matchCount, c.count) << c.query;
        EXPECT_EQ(static_cast<int>(result.matches.size()), c.count) << c.query;
    }
}

TEST(HistoryView, NothingToSearchOrPage) {
    EXPECT_EQ(HistoryView::searchHistory({}, "x", 10).matchCount, 0);
    auto page = HistoryView::paginateHistory({}, 0, 10);
    EXPECT_TRUE(page.page.empty());
    EXPECT_EQ(page.total, 0);
    // A render cap of 0 still counts every match.
    std::vector<LogEntry> two = {{"t", "d", "a", "x", 1}, {"t", "d", "a", "x", 1}};
    auto capped = HistoryView::searchHistory(two, "x", 0);
    EXPECT_TRUE(capped.matches.empty());
    EXPECT_EQ(capped.matchCount, 2);
    // Offsets near the integer limit don't overflow into a bogus page.
    EXPECT_TRUE(HistoryView::paginateHistory(two, 1, std::numeric_limits<int>::max()).page.size() == 1);
}

// The shortcuts must agree with lower-casing the whole text the full way.
TEST(HistoryView, LowercasedContainsAgreesWithTheFullMapping) {
    const std::vector<std::string> haystacks = {
        "Plain ASCII Text",
        "\xE2\x84\xAA"
        "ELVIN scale",
        "\xC4\xB0stanbul Trip",
        "ΟΔΥΣΣΕΥΣ sails",
        "Straße und STRASSE",
        "Ärger ÉCOLE Ünïcode",
        "mixed ascii + Ωmega",
        "",
    };
    const std::vector<std::string> needles = {
        "kelvin", "i\xCC\x87stanbul", "istanbul", "οδυσσευς", "ς sails", "σευς", "straße", "ärger é", "ωmega",
        "ascii",  "plain ascii text", "trip",     "ünï"};
    for (const auto& h : haystacks) {
        const std::string reference = platform::text::lowercased(h);
        for (const auto& n : needles) {
            EXPECT_EQ(HistoryView::lowercasedContains(h, n), reference.find(n) != std::string::npos)
                << "haystack " << h << " needle " << n;
        }
    }
}

#include "Learning/HistoryView.h"
#include "SelfTest/DictationLogSelfTests.h"
#include "SelfTest/SelfTest.h"

#include <cstdio>

namespace HistoryPagingSelfTests {

using HistoryView::LogEntry;

// `count` entries, oldest first; every `markerEvery`-th one (index 0 included)
// carries a marker word in its text and its own app name.
std::vector<LogEntry> syntheticEntries(int count, int markerEvery) {
    std::vector<LogEntry> entries;
    entries.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        char time[16];
        char date[16];
        std::snprintf(time, sizeof time, "%02d:%02d", (i / 60) % 24, i % 60);
        std::snprintf(date, sizeof date, "2026-01-%02d", (i % 28) + 1);
        const bool marker = markerEvery > 0 && i % markerEvery == 0;
        entries.push_back({time, date, marker ? "MarkerApp" : "Notes",
                           (marker ? "hello zzzmarker world #" : "plain entry #") + std::to_string(i), 3});
    }
    return entries;
}

namespace {
using DictationLogSelfTests::bracketed;

std::vector<std::string> texts(const std::vector<LogEntry>& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries) out.push_back(e.text);
    return out;
}

std::vector<std::string> plainEntries(std::initializer_list<int> indices) {
    std::vector<std::string> out;
    for (int i : indices) out.push_back("plain entry #" + std::to_string(i));
    return out;
}

std::string optionalText(const std::vector<LogEntry>& matches) {
    if (matches.empty()) return "nil";
    return "Optional(" + DictationLogSelfTests::quotedEscaped(matches.front().text) + ")";
}

std::string n(std::size_t value) { return std::to_string(value); }
}  // namespace

std::vector<SelfTestCase> cases() {
    std::vector<SelfTestCase> out;

    out.push_back({"paginateHistory reports the TRUE total even when it exceeds the requested limit",
                   "a page capped at a fixed 2000 entries with no independent total, or a total taken from the page "
                   "size instead of the entry count, would report 2000 for 3000 entries",
                   [] {
                       auto result = HistoryView::paginateHistory(syntheticEntries(3000, 0), 0, 2000);
                       if (result.page.size() != 2000) {
                           return SelfTestOutcome::fail("expected page.count 2000, got " + n(result.page.size()));
                       }
                       if (result.total != 3000) {
                           return SelfTestOutcome::fail("total for 3000 synthetic entries, limit 2000: expected 3000, got " +
                                                        std::to_string(result.total));
                       }
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"paginateHistory returns entries newest-first",
                   "dropping the reversal, or applying it after slicing instead of before, would show the oldest "
                   "dictations first",
                   [] {
                       auto result = HistoryView::paginateHistory(syntheticEntries(10, 0), 0, 3);
                       if (result.page.size() != 3) {
                           return SelfTestOutcome::fail("expected 3 entries, got " + n(result.page.size()));
                       }
                       const auto expected = plainEntries({9, 8, 7});
                       if (texts(result.page) != expected) {
                           return SelfTestOutcome::fail("first 3 entries of a browse page, newest-first: expected " +
                                                        bracketed(expected) + ", got " + bracketed(texts(result.page)));
                       }
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"paginateHistory offset beyond total returns an empty page with the correct total, no crash",
                   "an unguarded slice would end the process with a range error as soon as the offset reaches the "
                   "total, as when the interface asks for one page past the end of a 3000-entry log",
                   [] {
                       auto result = HistoryView::paginateHistory(syntheticEntries(3000, 0), 3000, 500);
                       if (!result.page.empty()) {
                           return SelfTestOutcome::fail("expected empty page for offset==total, got " +
                                                        n(result.page.size()) + " entries");
                       }
                       if (result.total != 3000) {
                           return SelfTestOutcome::fail(
                               "total is still reported correctly even for an out-of-range offset: expected 3000, got " +
                               std::to_string(result.total));
                       }
                       return SelfTestOutcome::pass();
                   }});

    out.push_back(
        {"paginateHistory with limit larger than total returns exactly total entries, not a crash or a "
         "short silent count mismatch",
         "an unguarded end bound would crash or, clamped wrongly, return fewer entries than exist while "
         "still reporting the true total",
         [] {
             auto result = HistoryView::paginateHistory(syntheticEntries(50, 0), 0, 5000);
             if (result.page.size() != 50) {
                 return SelfTestOutcome::fail("expected all 50 entries, got " + n(result.page.size()));
             }
             if (result.total != 50) {
                 return SelfTestOutcome::fail("total for a 50-entry log: expected 50, got " + std::to_string(result.total));
             }
             return SelfTestOutcome::pass();
         }});

    out.push_back({"paginateHistory offset+limit lands on the exact requested slice boundary",
                   "an off-by-one in the offset or the end, or reversing after slicing, would shift every page by "
                   "one entry; checking the identity of the boundary rows catches it",
                   [] {
                       auto result = HistoryView::paginateHistory(syntheticEntries(10, 0), 3, 4);
                       if (result.page.size() != 4) {
                           return SelfTestOutcome::fail("expected 4 entries, got " + n(result.page.size()));
                       }
                       const auto expected = plainEntries({6, 5, 4, 3});
                       if (texts(result.page) != expected) {
                           return SelfTestOutcome::fail("boundary mismatch: expected " + bracketed(expected) + ", got " +
                                                        bracketed(texts(result.page)));
                       }
                       if (result.total != 10) {
                           return SelfTestOutcome::fail("total unaffected by offset/limit: expected 10, got " +
                                                        std::to_string(result.total));
                       }
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"paginateHistory with limit <= 0 returns an empty page, not all entries",
                   "without the limit > 0 guard a malformed or zero payload would return everything or crash on a "
                   "negative range",
                   [] {
                       const auto entries = syntheticEntries(20, 0);
                       for (int limit : {0, -1}) {
                           auto result = HistoryView::paginateHistory(entries, 0, limit);
                           if (!result.page.empty()) {
                               return SelfTestOutcome::fail("expected an empty page for limit " + std::to_string(limit) +
                                                            ", got " + n(result.page.size()) + " entries");
                           }
                           if (result.total != 20) {
                               return SelfTestOutcome::fail(
                                   "total still reported for a degenerate limit: expected 20, got " +
                                   std::to_string(result.total));
                           }
                       }
                       return SelfTestOutcome::pass();
                   }});

    out.push_back(
        {"searchHistory matchCount is the TRUE count across the whole log, independent of renderCap",
         "counting the matches after capping the list would report far fewer matches than exist", [] {
             auto result = HistoryView::searchHistory(syntheticEntries(3000, 3), "zzzmarker", 50);
             if (result.matches.size() != 50) {
                 return SelfTestOutcome::fail("expected render cap of 50 matches returned, got " + n(result.matches.size()));
             }
             if (result.matchCount != 1000) {
                 return SelfTestOutcome::fail("true match count across the full 3000-entry log: expected 1000, got " +
                                              std::to_string(result.matchCount));
             }
             return SelfTestOutcome::pass();
         }});

    out.push_back({"searchHistory matches are case-insensitive and check both text and app",
                   "dropping the lower-casing on either side, or the test of the app name, would silently miss real "
                   "matches",
                   [] {
                       const auto entries = syntheticEntries(30, 5);
                       auto byText = HistoryView::searchHistory(entries, "ZZZMARKER", 100);
                       if (byText.matchCount != 6) {
                           return SelfTestOutcome::fail("expected 6 case-insensitive text matches, got " +
                                                        std::to_string(byText.matchCount));
                       }
                       auto byApp = HistoryView::searchHistory(entries, "markerapp", 100);
                       if (byApp.matchCount != 6) {
                           return SelfTestOutcome::fail("case-insensitive app-field match count: expected 6, got " +
                                                        std::to_string(byApp.matchCount));
                       }
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"searchHistory returns matches newest-first",
                   "scanning oldest-first without reversing would put the most recent match last", [] {
                       const auto entries = syntheticEntries(20, 4);
                       auto result = HistoryView::searchHistory(entries, "zzzmarker", 100);
                       if (result.matches.size() != 5) {
                           return SelfTestOutcome::fail("expected 5 matches, got " + n(result.matches.size()));
                       }
                       if (result.matches.front().text != entries[16].text) {
                           return SelfTestOutcome::fail("first (newest) search match: expected " +
                                                        optionalText({entries[16]}) + ", got " +
                                                        optionalText(result.matches));
                       }
                       return SelfTestOutcome::pass();
                   }});

    out.push_back({"searchHistory with an empty/whitespace query returns no matches, not the whole log",
                   "an empty query that fell through to a test for containing the empty string, which is always "
                   "true, would return every entry",
                   [] {
                       auto result = HistoryView::searchHistory(syntheticEntries(50, 2), "   ", 100);
                       if (!result.matches.empty()) {
                           return SelfTestOutcome::fail("expected no matches for a blank query, got " +
                                                        n(result.matches.size()));
                       }
                       if (result.matchCount != 0) {
                           return SelfTestOutcome::fail("matchCount for a blank query: expected 0, got " +
                                                        std::to_string(result.matchCount));
                       }
                       return SelfTestOutcome::pass();
                   }});
    return out;
}

}  // namespace HistoryPagingSelfTests

ONDIRA_SELFTEST_SUITE("HistoryPaging", HistoryPagingSelfTests::cases);

#include "Text/RegexCleaner.h"

#include <gtest/gtest.h>

namespace {
struct Case {
    const char* input;
    const char* expected;
};
class StripFillers : public ::testing::TestWithParam<Case> {};

TEST_P(StripFillers, GivesTheExpectedText) {
    EXPECT_EQ(RegexCleaner::shared().stripFillers(GetParam().input), GetParam().expected) << GetParam().input;
}

INSTANTIATE_TEST_SUITE_P(
    Fillers, StripFillers,
    ::testing::Values(Case{"", ""}, Case{"um so we met", "So we met"}, Case{"so, um, we met", "So, we met"},
                      Case{"ummm Hmmm okay", "Okay"}, Case{"umbrella her error", "Umbrella her error"}, Case{"er", ""},
                      Case{"you know, you know it works", "You know it works"},
                      Case{"it was, you know, fine", "It was, fine"}, Case{"like, I said no", "I said no"},
                      Case{"I like, you know, cake", "I like, cake"}, Case{"um, uh", ""}, Case{"um, okay,", "Okay"},
                      Case{"a   b\nc", "A b\nc"}, Case{"I like it", "I like it"},
                      Case{"\u00e9t\u00e9 um fini", "\u00c9t\u00e9 fini"}));
}  // namespace

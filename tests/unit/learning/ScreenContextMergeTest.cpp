#include "Learning/ScreenContext.h"

#include <gtest/gtest.h>

using V = std::vector<std::string>;

TEST(ScreenContextMerge, DictionaryFirstNeverCutScreenFillsTheBudget) {
    struct Case {
        const char* name;
        V dictionary, screen;
        std::int64_t cap;
        V expected;
    };
    V many;
    for (int i = 0; i < 120; ++i) many.push_back("term" + std::to_string(i));
    const Case table[] = {
        {"both empty", {}, {}, 100, {}},
        {"budget", {"d1", "d2"}, {"s1", "s2", "s3"}, 4, {"d1", "d2", "s1", "s2"}},
        {"dictionary over cap", many, {"s1"}, 100, many},
        {"repeats cost nothing", {"API"}, {"api", "Api", "Kernel"}, 2, {"API", "Kernel"}},
        {"first casing wins", {"Foo", "foo"}, {}, 100, {"Foo"}},
        {"empties skipped", {"", "a"}, {"", "b", ""}, 2, {"a", "b"}},
        {"zero cap", {"a"}, {"b"}, 0, {"a"}},
        {"cap used up", {"a", "b"}, {"c"}, 2, {"a", "b"}},
        {"blank is not empty", {" "}, {}, 5, {" "}},
        {"negative cap", {}, {"a"}, -5, {}},
        {"huge negative cap", {"a"}, {"b"}, std::numeric_limits<std::int64_t>::min(), {"a"}},
    };
    for (const auto& c : table) EXPECT_EQ(ScreenContext::merge(c.dictionary, c.screen, c.cap), c.expected) << c.name;
}

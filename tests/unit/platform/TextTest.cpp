#include "Platform/Unicode.h"
#include "Platform/UUID.h"

#include <gtest/gtest.h>

using namespace platform::text;

TEST(Regex, WordBoundaryAndCaseInsensitiveMatchingFollowIcu) {
    Regex re("\\bcat\\b", Regex::caseInsensitive);
    EXPECT_EQ(re.replaceAllLiteral("the Cat sat, concatenate, category, cats", "dog"),
              "the dog sat, concatenate, category, cats");
}

TEST(Regex, LiteralReplacementNeverExpandsTemplates) {
    Regex re("\\bfoo\\b");
    EXPECT_EQ(re.replaceAllLiteral("test foo now foo", "$1\\0"), "test $1\\0 now $1\\0");
    EXPECT_EQ(re.replaceAll("test foo now", Regex::escapedTemplate("$500")), "test $500 now");
}

TEST(Regex, TemplateReplacementExpandsGroups) {
    Regex re("(\\w+) (\\w+)");
    EXPECT_EQ(re.replaceAll("hello world", "$2 $1"), "world hello");
}

TEST(Regex, OffsetsAreUtf8BytesEvenAroundAstralCharacters) {
    Regex re("caf\\u00e9");
    std::string text = "😀 café and café";
    auto ms = re.matches(text);
    ASSERT_EQ(ms.size(), 2u);
    EXPECT_EQ(text.substr(ms[0].range.begin, ms[0].range.length()), "café");
    EXPECT_EQ(re.replaceAllLiteral(text, "tea"), "😀 tea and tea");
}

TEST(Regex, CaptureGroupsThatDidNotParticipateAreAbsent) {
    Regex re("(a)|(b)");
    auto m = re.firstMatch("b");
    ASSERT_TRUE(m);
    EXPECT_FALSE(m->groups[1].has_value());
    ASSERT_TRUE(m->groups[2].has_value());
    EXPECT_EQ(m->group("b", 2), "b");
}

TEST(Regex, EscapedPatternMatchesLiterally) {
    const std::string literal = "a.b*c+(d)[e]{f}^$|?\\/";
    Regex re(Regex::escapedPattern(literal));
    EXPECT_TRUE(re.isMatch("xx" + literal + "yy"));
    EXPECT_FALSE(re.isMatch("aXb*c+(d)[e]{f}^$|?\\/"));
}

TEST(Regex, BadPatternThrowsOrReturnsNull) {
    EXPECT_THROW(Regex("(unclosed"), std::invalid_argument);
    std::string error;
    EXPECT_EQ(Regex::make("[", 0, &error), nullptr);
    EXPECT_FALSE(error.empty());
}

TEST(Text, TrimmingMatchesThePlatformCharacterSets) {
    struct Case {
        const char* in;
        const char* all;
        const char* spacesOnly;
    };
    const Case table[] = {
        {"  hi  ", "hi", "hi"},
        {"\n\thi\r\n", "hi", "\n\thi\r\n"},
        {"\u00a0\u2003hi\u3000", "hi", "hi"},  // no-break, em and ideographic spaces
        {"\u0085hi\u2028", "hi", "\u0085hi"},  // NEL is a newline; U+2028 is a Z* separator
        {"", "", ""},
        {" \n ", "", "\n"},
    };
    for (const auto& c : table) {
        EXPECT_EQ(trimmed(c.in), c.all) << c.in;
        EXPECT_EQ(trimmedWhitespace(c.in), c.spacesOnly) << c.in;
    }
}

TEST(Text, CaseMappingAndGraphemes) {
    EXPECT_EQ(lowercased("ÉCOLE Straße"), "école straße");
    EXPECT_EQ(uppercased("straße"), "STRASSE");
    EXPECT_EQ(uppercasingFirst("élan vital"), "Élan vital");
    EXPECT_TRUE(equalsIgnoringCase("Straße", "STRASSE"));
    EXPECT_TRUE(containsIgnoringCase("The EBITDA line", "ebitda"));
    EXPECT_EQ(graphemeCount("e\u0301👍🏽🇫🇷"), 3u);
    EXPECT_EQ(prefixGraphemes("e\u0301👍🏽x", 2), "e\u0301👍🏽");
    EXPECT_EQ(utf16Length("😀a"), 3u);
}

TEST(Text, Utf8ValidationAndRepair) {
    EXPECT_TRUE(isValidUTF8("ok é 😀"));
    EXPECT_FALSE(isValidUTF8("bad \xC3"));
    EXPECT_EQ(sanitizeUTF8("a\xFF"
                           "b"),
              "a\uFFFD"
              "b");
}

TEST(Text, DefaultNumberForm) {
    EXPECT_EQ(formatDouble(700.0), "700.0");
    EXPECT_EQ(formatDouble(61.5), "61.5");
    EXPECT_EQ(formatDouble(0.1), "0.1");
}

TEST(UUID, UpperCaseCanonicalAndUnique) {
    std::string a = platform::newUUID(), b = platform::newUUID();
    EXPECT_TRUE(platform::isUUID(a));
    EXPECT_NE(a, b);
    EXPECT_EQ(a[14], '4');
    for (char c : a) EXPECT_FALSE(c >= 'a' && c <= 'f') << a;
}

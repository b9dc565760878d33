#include "Update/ReleaseManifest.h"

#include <gtest/gtest.h>

namespace {
std::optional<ReleaseManifest> decoded(const std::string& text) {
    try {
        return ReleaseManifest::decode(text);
    } catch (const ManifestDecodingError&) {
        return std::nullopt;
    }
}
}  // namespace

TEST(ReleaseManifest, DecodesRequiredAndOptionalFieldsByType) {
    struct Case {
        const char* json;
        bool decodes;
    };
    const Case table[] = {
        {R"({"version":"2.1.0","downloadURL":"https://ondira.app/a"})", true},
        {R"({"version":"2.1.0"})", false},
        {R"({"downloadURL":"https://ondira.app/a"})", false},
        {R"({"version":null,"downloadURL":"x"})", false},
        {R"({"version":210,"downloadURL":"x"})", false},
        {R"({"version":"2","downloadURL":"x","build":"210"})", false},
        {R"({"version":"2","downloadURL":"x","build":210.0})", true},
        {R"({"version":"2","downloadURL":"x","build":210.5})", false},
        {R"({"version":"2","downloadURL":"x","build":null,"sha256":null})", true},
        {R"({"version":"2","downloadURL":"x","sha256":5})", false},
        {R"({"version":"2","downloadURL":"x","releaseNotes":"ok","notes":5})", true},  // alias not read
        {R"({"version":"2","downloadURL":"x","notes":5})", false},
        {R"({"version":"2","downloadURL":"x","minMacOSVersion":"14","minOS":[]})", true},
        {R"({"version":"2","downloadURL":"x","somethingElse":{"a":1}})", true},
        {R"(["version","2"])", false},
        {R"({"version":"2","downloadURL":"x")", false},
        {"", false},
    };
    for (const auto& c : table) EXPECT_EQ(decoded(c.json).has_value(), c.decodes) << c.json;
}

TEST(ReleaseManifest, AliasesFillInOnlyWhenTheCurrentKeyIsAbsentOrNull) {
    auto m = decoded(R"({"version":"2","downloadURL":"x","releaseNotes":null,"notes":"old","minOS":"12.0"})");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->releaseNotes, "old");
    EXPECT_EQ(m->minMacOSVersion, "12.0");
    // Key order in the text does not matter.
    auto n = decoded(
        R"({"notes":"alias","minOS":"1","version":"2","downloadURL":"x","releaseNotes":"current","minMacOSVersion":"3"})");
    ASSERT_TRUE(n);
    EXPECT_EQ(n->releaseNotes, "current");
    EXPECT_EQ(n->minMacOSVersion, "3");
}

TEST(ReleaseManifest, EncodesCanonicalKeysInFieldOrderAndOmitsAbsentFields) {
    ReleaseManifest m;
    m.version = "2.5.0";
    m.downloadURL = "https://ondira.app/releases/Ondira-2.5.0.tar.gz";
    EXPECT_EQ(m.encode(), R"({"version":"2.5.0","downloadURL":"https://ondira.app/releases/Ondira-2.5.0.tar.gz"})");
    m.build = 250;
    m.releaseDate = "2026-09-15";
    m.releaseNotes = "n";
    m.minMacOSVersion = "12.0";
    m.sha256 = "ab";
    EXPECT_EQ(
        m.encode(),
        R"({"version":"2.5.0","build":250,"releaseDate":"2026-09-15","downloadURL":"https://ondira.app/releases/Ondira-2.5.0.tar.gz","releaseNotes":"n","minMacOSVersion":"12.0","sha256":"ab"})");
    EXPECT_EQ(ReleaseManifest::decode(m.encode()), m);
    // A manifest read from the older spellings is written back in the current ones.
    auto old = ReleaseManifest::decode(R"({"version":"2","downloadURL":"x","notes":"n","minOS":"12"})");
    EXPECT_EQ(old.encode(), R"({"version":"2","downloadURL":"x","releaseNotes":"n","minMacOSVersion":"12"})");
}

#include "Platform/FileIO.h"
#include "Platform/SystemReadiness.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace readiness = platform::readiness;

TEST(SystemReadiness, SpeechModelNeedsEveryFileAndNamesTheFirstMissing) {
    TempDir root("ondira-model-");
    EXPECT_FALSE(readiness::probeSpeechModel(root.path).complete);
    std::filesystem::create_directories(root.path / "en-us" / "en-us");
    for (const char* f :
         {"en-us/mdef", "en-us/means", "en-us/variances", "en-us/transition_matrices", "cmudict-en-us.dict"}) {
        ASSERT_TRUE(platform::atomicWrite(root.path / "en-us" / f, "x"));
    }
    auto partial = readiness::probeSpeechModel(root.path);
    EXPECT_FALSE(partial.complete);
    EXPECT_EQ(partial.missing, (root.path / "en-us" / "en-us.lm.bin").string());

    ASSERT_TRUE(platform::atomicWrite(root.path / "en-us" / "en-us.lm.bin", "x"));
    auto whole = readiness::probeSpeechModel(root.path);
    EXPECT_TRUE(whole.complete);
    EXPECT_EQ(whole.directory, root.path / "en-us");
}

TEST(SystemReadiness, InstalledSpeechModelIsComplete) {
    EXPECT_TRUE(readiness::probeSpeechModel(ONDIRA_SPHINX_MODELDIR).complete);
}

TEST(SystemReadiness, DisplaySessionFollowsTheEnvironment) {
    struct Case {
        std::optional<std::string> sessionType, wayland, display;
        std::string type;
    };
    const Case table[] = {
        {std::nullopt, std::nullopt, ":1", "x11"},    {"x11", std::nullopt, ":0", "x11"},
        {"wayland", std::nullopt, ":0", "wayland"},  // XWayland's DISPLAY doesn't make it X11
        {std::nullopt, "wayland-0", ":0", "wayland"}, {"tty", std::nullopt, std::nullopt, "none"},
        {std::nullopt, std::nullopt, "", "none"},
    };
    for (const auto& c : table) {
        ScopedEnv a("XDG_SESSION_TYPE", c.sessionType), b("WAYLAND_DISPLAY", c.wayland), d("DISPLAY", c.display);
        EXPECT_EQ(readiness::probeDisplaySession().type, c.type)
            << c.sessionType.value_or("-") << " " << c.wayland.value_or("-") << " " << c.display.value_or("-");
    }
}

TEST(SystemReadiness, UnreachableServicesAnswerQuicklyWithAReason) {
    ScopedEnv pulse("PULSE_SERVER", "unix:/nonexistent/ondira-socket");
    auto sound = readiness::probeSoundServer(2.0);
    EXPECT_FALSE(sound.reachable);
    EXPECT_FALSE(sound.error.empty());

    ScopedEnv noDisplay("DISPLAY", std::nullopt);
    auto xtest = readiness::probeXTest();
    EXPECT_FALSE(xtest.available);
    EXPECT_EQ(xtest.error, "no DISPLAY");

    ScopedEnv noBus("DBUS_SESSION_BUS_ADDRESS", std::nullopt), noRuntime("XDG_RUNTIME_DIR", "/nonexistent");
    auto bus = readiness::probeAccessibilityBus();
    EXPECT_FALSE(bus.reachable);
    EXPECT_EQ(bus.error, "no session bus");
}

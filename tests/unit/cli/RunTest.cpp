// The built executable as a user runs it: which stream each text goes to,
// the exit statuses, and a doctor report that follows the machine it runs on.
#include "CLI/OndiraCLI.h"
#include "Platform/FileIO.h"
#include "Platform/Unicode.h"
#include "support/TempDir.h"
#include "unit/cli/CLIRun.h"

#include <gtest/gtest.h>

namespace {

std::string doctorLine(const CLIRun& run, const std::string& label) {
    for (const auto& line : platform::text::splitLines(run.out)) {
        if (line.rfind(label, 0) == 0 && line.size() > 21 && line.substr(19, 2) == ": ") return line.substr(21);
    }
    return "(no " + label + " line)";
}

bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

}  // namespace

TEST(OndiraCLIRun, StreamsAndExitStatuses) {
    const std::string usage = OndiraCLI::usageText();

    const CLIRun help = runOndira("-h");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, usage + "\n");
    EXPECT_EQ(help.err, "");

    const CLIRun bad = runOndira("history --last 0");
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err, "--last requires a positive integer\n\n" + usage + "\n");

    const CLIRun extra = runOndira("doctor now");
    EXPECT_EQ(extra.status, 2);
    EXPECT_EQ(extra.err.substr(0, 27), "doctor takes no arguments\n\n");
}

// Bodies that belong to subsystems this build lacks fail honestly, on standard error.
TEST(OndiraCLIRun, CommandsWithoutTheirSubsystemSaySoAndFail) {
    const std::pair<const char*, const char*> table[] = {
        {"--privacy-report", "--privacy-report"},
        {"--personal-model", "--personal-model"},
    };
    for (const auto& [arguments, name] : table) {
        const CLIRun run = runOndira(arguments);
        EXPECT_EQ(run.status, 1) << arguments;
        EXPECT_EQ(run.out, "") << arguments;
        EXPECT_EQ(run.err, std::string(name) + ": not available in this build yet\n") << arguments;
    }
}

TEST(OndiraCLIRun, DoctorReportsThisMachine) {
    TempDir home("ondira-cli-home-");
    const std::string isolated = "-u XDG_DATA_HOME -u XDG_CONFIG_HOME HOME='" + home.path.string() + "'";

    const CLIRun run = runOndira("doctor", isolated);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const auto lines = platform::text::splitLines(run.out);
    ASSERT_GE(lines.size(), 8u) << run.out;
    for (const auto& line : lines) {
        if (line.empty()) continue;
        EXPECT_EQ(line.substr(19, 2), ": ") << line;
    }
    // The test session runs a sound server, an X display and the accessibility bus.
    if (platform::environment("PULSE_SERVER") || platform::environment("XDG_RUNTIME_DIR")) {
        EXPECT_TRUE(contains(doctorLine(run, "sound server"), "(running)")) << run.out;
    }
    if (platform::environment("DISPLAY")) {
        EXPECT_EQ(doctorLine(run, "key injection"), "XTest available");
        EXPECT_EQ(doctorLine(run, "display session").rfind("X11 (DISPLAY=", 0), 0u) << run.out;
    }
    EXPECT_TRUE(contains(doctorLine(run, "speech model"), "installed (")) << run.out;
    EXPECT_EQ(doctorLine(run, "hotkey"), "fn (default; config.json sets none)");

    // Each fact follows the environment it is gathered from.
    const CLIRun noServer = runOndira("doctor", isolated + " PULSE_SERVER=unix:/nonexistent/ondira-socket");
    EXPECT_TRUE(contains(doctorLine(noServer, "sound server"), "NOT reachable")) << noServer.out;
    EXPECT_TRUE(contains(doctorLine(noServer, "sound server"), "pulseaudio --start")) << noServer.out;
    EXPECT_TRUE(contains(doctorLine(noServer, "microphone"), "unknown")) << noServer.out;
    EXPECT_EQ(noServer.status, 1) << "a required piece is missing";

    const CLIRun noDisplay = runOndira("doctor", "-u DISPLAY -u WAYLAND_DISPLAY -u XDG_SESSION_TYPE " + isolated);
    EXPECT_TRUE(contains(doctorLine(noDisplay, "display session"), "none (no DISPLAY)")) << noDisplay.out;
    EXPECT_TRUE(contains(doctorLine(noDisplay, "key injection"), "NOT available")) << noDisplay.out;
    EXPECT_EQ(noDisplay.status, 1);

    const CLIRun wayland = runOndira("doctor", isolated + " WAYLAND_DISPLAY=wayland-0");
    EXPECT_TRUE(contains(doctorLine(wayland, "display session"), "Wayland (WAYLAND_DISPLAY=wayland-0)"))
        << wayland.out;
    EXPECT_TRUE(contains(doctorLine(wayland, "display session"), "need X11")) << wayland.out;

    const CLIRun noBus = runOndira("doctor", "-u DBUS_SESSION_BUS_ADDRESS " + isolated + " XDG_RUNTIME_DIR=/nonexistent");
    EXPECT_TRUE(contains(doctorLine(noBus, "accessibility"), "NOT reachable")) << noBus.out;

    const std::filesystem::path support = home.path / ".local" / "share" / "Ondira";
    std::filesystem::create_directories(support);
    ASSERT_TRUE(platform::atomicWrite(support / "config.json", R"({"hotkey":"f13"})"));
    EXPECT_EQ(doctorLine(runOndira("doctor", isolated), "hotkey"), "f13 (config.json)");
    ASSERT_TRUE(platform::atomicWrite(support / "config.json", R"({"hotkey":"capslock"})"));
    const std::string unknown = doctorLine(runOndira("doctor", isolated), "hotkey");
    EXPECT_TRUE(contains(unknown, "'capslock' in config.json is not a hotkey")) << unknown;
    EXPECT_TRUE(contains(unknown, "fn, altspace, f13, f14")) << unknown;
}

// The built executable as a user runs it: which stream each text goes to,
// the exit statuses, and a doctor report that follows the machine it runs on.
#include "CLI/OndiraCLI.h"
#include "Platform/FileIO.h"
#include "Platform/Unicode.h"
#include "support/TempDir.h"
#include "unit/cli/CLIRun.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string doctorLine(const CLIRun& run, const std::string& label) {
    for (const auto& line : platform::text::splitLines(run.out)) {
        if (line.rfind(label, 0) == 0 && line.size() > 21 && line.substr(19, 2) == ": ") return line.substr(21);
    }
    return "(no " + label + " line)";
}

bool contains(const std::string& haystack, const std::string& needle) { return haystack.find(needle) != std::string::npos; }

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

// The report measures this installation: a leftover recording in the private
// temporary folder and a credential-shaped file in the data folder turn their
// checks red with the counts that made them so.
TEST(OndiraCLIRun, PrivacyReportPrintsEveryCheckWithItsFigures) {
    IsolatedHome home;
    TempDir tmp("ondira-cli-tmp-");
    // env(1) takes its -u options before any assignment.
    const std::string environment = "-u XDG_RUNTIME_DIR " + home.environment() + " TMPDIR='" + tmp.path.string() + "'";

    const CLIRun clean = runOndira("--privacy-report", environment);
    ASSERT_EQ(clean.status, 0) << clean.err;
    EXPECT_EQ(clean.err, "");
    for (const char* line :
         {"[PASS] outbound_hosts — ", "[PASS] audio_retention — ", "[PASS] account_state — ", "[UNKNOWN] socket_count — ",
          "    bytesScanned: ", "    unknownHosts: []", "    fileCount: 0", "    credentialShapedCount: 0", "    count: ",
          "Update check: automatic checks are off; a check, automatic or from the menu, fetches only "
          "https://ondira.app/releases/manifest.json"}) {
        EXPECT_TRUE(contains(clean.out, line)) << line << "\n" << clean.out;
    }

    const auto recordings = tmp.path / ("ondira-" + std::to_string(::getuid()));
    std::filesystem::create_directories(recordings);
    ASSERT_TRUE(platform::atomicWrite(recordings / "ondira_rec_1.wav", std::string(10, 'x'), 0600));
    std::filesystem::create_directories(home.applicationSupport());
    ASSERT_TRUE(platform::atomicWrite(home.applicationSupport() / "session_token.dat", "x", 0600));
    const CLIRun dirty = runOndira("--privacy-report", environment);
    ASSERT_EQ(dirty.status, 0) << dirty.err;
    for (const char* line : {"[FAIL] audio_retention — ", "ondira_rec_1.wav", "    fileCount: 1", "    totalBytes: 10",
                             "[FAIL] account_state — ", "session_token.dat", "    credentialShapedCount: 1"}) {
        EXPECT_TRUE(contains(dirty.out, line)) << line << "\n" << dirty.out;
    }
}

TEST(OndiraCLIRun, PersonalModelPrintsItsStatusAndSucceeds) {
    TempDir home("ondira-cli-home-");
    const std::string isolated = "-u XDG_DATA_HOME -u XDG_CONFIG_HOME HOME='" + home.path.string() + "'";
    const CLIRun run = runOndira("--personal-model", isolated);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const auto lines = platform::text::splitLines(run.out);
    ASSERT_GE(lines.size(), 10u) << run.out;
    EXPECT_EQ(lines[0], "Personal model — on-device speech adaptation");
    EXPECT_NE(run.out.find("  ATTACHED TO RECOGNITION NO"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("the corpus is empty"), std::string::npos) << run.out;
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
    EXPECT_TRUE(contains(doctorLine(wayland, "display session"), "Wayland (WAYLAND_DISPLAY=wayland-0)")) << wayland.out;
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

// A config.json that is there but cannot be read is not reported as one
// that sets no hotkey: the line names the file and why, and dictation's
// default is shown as the default it is.
TEST(OndiraCLIRun, DoctorSaysAConfigThatCannotBeReadCouldNotBeRead) {
    enum class Road { write, barred, folder, fifo };
    struct Row {
        Road road;
        std::string content;
        std::string reason;  // after the file's path
    };
    const std::vector<Row> rows = {
        {Road::write, R"({"hotkey":"f1)", " is not valid JSON"},
        {Road::write, "{\"hotkey\":\"f13\xFF\"}", " is not UTF-8 text"},
        {Road::write, R"(["hotkey","f13"])", " does not hold a JSON object"},
        {Road::barred, R"({"hotkey":"f13"})", ": Permission denied"},
        {Road::folder, "", " is not a regular file"},
        {Road::fifo, "", " is not a regular file"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.content + row.reason);
        const IsolatedHome home;
        std::filesystem::create_directories(home.applicationSupport());
        const auto file = home.applicationSupport() / "config.json";
        switch (row.road) {
            case Road::write: ASSERT_TRUE(platform::atomicWrite(file, row.content)); break;
            case Road::barred:
                ASSERT_TRUE(platform::atomicWrite(file, row.content));
                ASSERT_EQ(::chmod(file.c_str(), 0), 0);
                break;
            case Road::folder: std::filesystem::create_directory(file); break;
            case Road::fifo: ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); break;
        }
        const CLIRun run = runOndira("doctor", home.environment(), withoutPermissionOverride());
        EXPECT_EQ(doctorLine(run, "hotkey"), "fn (default; config.json could not be read: " +
                                                 std::string(row.road == Road::barred ? "cannot open " : "") +
                                                 file.string() + row.reason + ") \u2014 repair or remove the file");
    }
    // A hotkey that is not text is named too.
    const IsolatedHome home;
    std::filesystem::create_directories(home.applicationSupport());
    const auto file = home.applicationSupport() / "config.json";
    ASSERT_TRUE(platform::atomicWrite(file, R"({"hotkey":13})"));
    EXPECT_TRUE(contains(doctorLine(runOndira("doctor", home.environment()), "hotkey"),
                         "could not be read: \"hotkey\" in " + file.string() + " is not text"));
}

// An error message that echoes the user's own argument shows an escape
// sequence in it on a terminal as normal output does, as U+FFFD; a pipe still
// gets the bytes as typed.
TEST(OndiraCLIRun, ErrorsShowEscapeSequencesInArgumentsOnATerminalOnly) {
    const IsolatedHome home;
    const TempDir dir("ondira-tty-");
    const std::string command = "exec env " + home.environment() + " '" + std::string(ONDIRA_BUNDLE_DIR) +
                                "/Ondira' dict \"$(printf 'frob\\033]0;PWNED\\007')\"\n";
    ASSERT_TRUE(platform::atomicWrite(dir / "run.sh", command));
    // script(1) runs the command on a pseudo-terminal, as a user's shell would.
    const std::string onTerminal =
        "script -qec \"sh '" + (dir / "run.sh").string() + "'\" /dev/null >'" + (dir / "out").string() + "'";
    [[maybe_unused]] const int status = std::system(onTerminal.c_str());
    const std::string shown = platform::readFile(dir / "out").value_or("");
    EXPECT_TRUE(contains(shown, "unknown dict subcommand: frob\uFFFD]0;PWNED\uFFFD")) << shown;
    EXPECT_EQ(shown.find('\x1b'), std::string::npos) << shown;

    const CLIRun piped = runOndira("dict \"$(printf 'frob\\033]0;PWNED\\007')\"", home.environment());
    EXPECT_TRUE(contains(piped.err, "unknown dict subcommand: frob\x1b]0;PWNED\x07")) << piped.err;
}

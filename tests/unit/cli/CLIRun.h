#pragma once
// Runs the built executable as a user would, capturing both streams.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "Platform/FileIO.h"
#include "support/TempDir.h"

struct CLIRun {
    int status = -1;
    std::string out;
    std::string err;
};

// A program run as root reads a file of mode 000 all the same; run through
// this, it keeps root's identity but loses the capabilities that override
// file permissions, so mode 000 bars it as it bars a user's program.
inline std::string withoutPermissionOverride() {
    return ::geteuid() == 0 ? "setpriv --bounding-set=-dac_override,-dac_read_search " : "";
}

// `environment` is the argument list of env(1): its -u options first, then
// assignments. `wrapper` (withoutPermissionOverride()) goes before the program.
inline CLIRun runOndira(const std::string& arguments, const std::string& environment = "",
                        const std::string& wrapper = "") {
    TempDir dir("ondira-cli-run-");
    const std::string command = "env " + environment + " " + wrapper + "'" + std::string(ONDIRA_BUNDLE_DIR) + "/Ondira' " + arguments +
                                " >'" + (dir / "out").string() + "' 2>'" + (dir / "err").string() + "' </dev/null";
    const int raw = std::system(command.c_str());
    CLIRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = platform::readFile(dir / "out").value_or("");
    r.err = platform::readFile(dir / "err").value_or("");
    return r;
}

// A private home for one test: env(1) arguments that point the product at it.
struct IsolatedHome {
    TempDir home{"ondira-cli-home-"};
    std::string environment() const { return "-u XDG_DATA_HOME -u XDG_CONFIG_HOME HOME='" + home.path.string() + "'"; }
    std::filesystem::path applicationSupport() const { return home.path / ".local" / "share" / "Ondira"; }
};

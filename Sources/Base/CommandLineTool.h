#pragma once
// How the user runs the command line from a shell. The program is one
// executable: installed it is <prefix>/bin/ondira, in the build tree it is
// Ondira.bundle/Ondira, and "Install Command Line Tool…" links it as
// ~/.local/bin/ondira, a folder a login shell puts on PATH only when it
// existed at login. Texts that tell the user to run a command name what
// this resolves to, never a name that isn't there.
#include <filesystem>
#include <string>

namespace CommandLineTool {

struct Invocation {
    // What to type: "ondira" when PATH finds this program under that name,
    // else a path to it (shell-quoted when it needs it).
    std::string command;
    bool onPath = false;
};

// `pathVariable` is a PATH value; `link` the menu's link (it counts when it
// points at `executable`); `home` is written "~" at the start of a path.
Invocation invocation(const std::filesystem::path& executable, const std::string& pathVariable,
                      const std::filesystem::path& link, const std::filesystem::path& home);
// The running program, this process's PATH and the user's link.
Invocation current();

// Where the menu links the tool: ~/.local/bin/ondira.
std::filesystem::path linkPath();
// Whether `folder` is one of PATH's folders.
bool isFolderOnPath(const std::filesystem::path& folder, const std::string& pathVariable);
// A path as the user types it: "~/..." under `home`, else shell-quoted when it needs it.
std::string displayPath(const std::filesystem::path& file, const std::filesystem::path& home);
// The words of `s` as one shell word: safe characters as they are, else in single quotes.
std::string shellQuoted(const std::string& s);

}  // namespace CommandLineTool

#pragma once
// Starting programs of the user's: the default application for a link or a
// folder, a settings program. The process keeps a private umask for its own
// files (keepNewFilesPrivate, FileIO.h); a browser or file manager started
// from here gets the umask the user gave us back, so what the user saves
// with it is made as the user would expect.
#include <string>
#include <vector>

namespace platform {

// Opens `uri` (a web link, a file:// folder) in the user's default
// application for it, detached. False with `error` filled when no
// application could be started.
bool openWithDefaultApplication(const std::string& uri, std::string* error = nullptr);

// Starts `argv` (its first word looked up on PATH), detached.
bool startProgram(const std::vector<std::string>& argv, std::string* error = nullptr);

}  // namespace platform

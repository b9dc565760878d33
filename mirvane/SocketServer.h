#pragma once
// The rewrite protocol on a Unix-domain socket, for scripts and tools that
// want a warm model without owning the process. One connection is served at
// a time, each exactly like the standard-input road (ready line first); the
// server exits once nothing has happened for the idle time.
#include <string>

namespace mirvane {

// <data home>/Ondira/run/mirvane.sock ($XDG_DATA_HOME when absolute, else
// <home>/.local/share), the same Application Support directory the main
// program uses.
std::string defaultSocketPath();

// Returns the exit status: 0 after the idle time, 3 when the model is
// unavailable, 1 when the socket cannot be set up safely.
int runSocketServer(const std::string& path, double idleSeconds);

}  // namespace mirvane

#pragma once
// The rewrite protocol on a Unix-domain socket, for scripts and tools that
// want a warm model without owning the process. Connections are served at
// the same time, each exactly like the standard-input road (ready line
// first), their requests taking turns at the model. Places are limited: a
// peer that asks nothing for ten seconds is let go, and while every place is
// taken the peer idle longest makes way for a newcomer. The server exits
// once no peer is connected and nothing has happened for the idle time, and
// removes its socket when asked to stop (SIGTERM, SIGINT, SIGHUP).
#include <string>

namespace mirvane {

// <data home>/Ondira/run/mirvane.sock ($XDG_DATA_HOME when absolute, else
// <home>/.local/share), the same Application Support directory the main
// program uses.
std::string defaultSocketPath();

// Returns the exit status: 0 after the idle time or a stop signal, 3 when the model is
// unavailable, 1 when the socket cannot be set up safely.
int runSocketServer(const std::string& path, double idleSeconds);

}  // namespace mirvane

#pragma once
#include <string>
#include <vector>

namespace mirvane {

// What the command line asks for.
struct Invocation {
    enum class Road { oneShot, serve, socketServer, printSocketPath };
    Road road = Road::oneShot;
    std::string mode = "polish";
    std::string instruction;
    std::string socketPath;
    double idleSeconds = 300;
};

// `args` are the process arguments including the program name.
Invocation parseArguments(const std::vector<std::string>& args);

// Reads all of standard input, rewrites it once and prints the result.
int runOneShot(const std::string& mode, const std::string& instruction);

namespace Mirvane {
int main(int argc, char** argv);
}  // namespace Mirvane

}  // namespace mirvane

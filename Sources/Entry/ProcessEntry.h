#pragma once
// Which road the process takes, decided from the arguments before anything
// else exists.
#include <string>
#include <vector>

enum class EntryRoad { selfTest, polishSmokeTest, hudDemo, commandLine, menuBarApplication, micCheck };

// `args` are the process arguments, the program path first.
EntryRoad chooseEntryRoad(const std::vector<std::string>& args);
const char* entryRoadName(EntryRoad road);

// Runs the chosen road and returns the process's exit status (the menu-bar
// application returns only when it quits).
int runEntryRoad(EntryRoad road, int argc, char** argv);

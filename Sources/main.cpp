// Process entry of Ondira: one executable, several roads, chosen from the
// arguments before any window exists.
#include "Entry/ProcessEntry.h"
#include "Platform/Queues.h"

#include <clocale>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    std::setlocale(LC_NUMERIC, "C");  // numbers in files and reports use ASCII digits and '.'
    platform::MainQueue::markCurrentThreadAsMain();
    std::vector<std::string> args(argv, argv + argc);
    return runEntryRoad(chooseEntryRoad(args), argc, argv);
}

// Process entry of Ondira: one executable, several roads, chosen from the
// arguments before any window exists.
#include "Entry/ProcessEntry.h"
#include "Platform/FileIO.h"
#include "Platform/Queues.h"

#include <clocale>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    std::setlocale(LC_NUMERIC, "C");  // numbers in files and reports use ASCII digits and '.'
    platform::MainQueue::markCurrentThreadAsMain();
    // Before any thread or helper process exists: what we and the web
    // engine's processes create in our folders is the user's alone, whatever
    // umask we were started with.
    platform::keepNewFilesPrivate();
    std::vector<std::string> args(argv, argv + argc);
    return runEntryRoad(chooseEntryRoad(args), argc, argv);
}

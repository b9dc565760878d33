// mirvane: rewrites text with a language model served on this machine.
#include "Entry.h"

int main(int argc, char** argv) { return mirvane::Mirvane::main(argc, argv); }

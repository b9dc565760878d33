#include "App/Roads.h"

int Roads::runMicCheck() { return unavailable("--mic-check (microphone capture)"); }

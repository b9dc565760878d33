#include "App/Roads.h"

int Roads::runHudDemo(int, char**) { return unavailable("--hud-demo (the indicator)"); }

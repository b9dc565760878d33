#include "App/Roads.h"

int Roads::runPolishSmokeTest() { return unavailable("--polish-smoke-test (the rewrite client)"); }

#include "App/Roads.h"

#include <cstdio>

namespace Roads {
int unavailable(const char* what) {
    std::fprintf(stderr, "Ondira: %s is not available in this build yet.\n", what);
    return 2;
}
}  // namespace Roads

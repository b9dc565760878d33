#pragma once
// Tests that need a real desktop service (an X display, the sound server, the
// accessibility or session bus, a model package) use this instead of a plain
// skip. On a developer's bare `ctest` the test skips with the reason; inside
// tests/support/test-session, and whenever CI=true, a missing service means the
// session is broken, so the test fails with the reason instead of passing green.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace testsupport {
inline bool servicesRequired() {
    const char* ci = std::getenv("CI");
    const char* session = std::getenv("ONDIRA_IN_TEST_SESSION");
    return (ci && std::strcmp(ci, "true") == 0) || (session && *session);
}
}  // namespace testsupport

// Usable in a test body or in SetUp (a fatal failure there skips the body).
#define ONDIRA_REQUIRE_SERVICE(available, why)                                                           \
    do {                                                                                                 \
        if (!(available)) {                                                                              \
            if (::testsupport::servicesRequired()) FAIL() << "missing service in this session: " << why; \
            GTEST_SKIP() << why;                                                                         \
        }                                                                                                \
    } while (0)

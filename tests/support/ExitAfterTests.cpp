// The unit tests' main. The process ends with _Exit once every test has run
// and its output is flushed, as the application itself ends: the delegate and
// services under test keep worker threads that are never joined, and static
// destructors running under them crashed the process after a passing test.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::_Exit(result);
}

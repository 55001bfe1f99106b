// Test main: binds the library to the simulated reader before any test runs.
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    // A test program may run with a provider chosen from outside (the
    // provider-selection tests); otherwise every test talks to the simulator.
    if (std::getenv("KQ_TEST_KEEP_D2XX") == nullptr) {
#ifdef _WIN32
        _putenv_s("KQ_D2XX", KQSIM_LIBRARY_NAME);
#else
        setenv("KQ_D2XX", KQSIM_LIBRARY_PATH, 1);
#endif
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// KQSIM_SCENARIO: the simulated reader library sets itself up from the
// example scenario file when it is loaded (CTest sets the variable to
// examples/field.scenario), before any kqsim_* call.
#include "sim_test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

using simtest::Exchange;
using simtest::Show;

const std::string kA = "E0040150A1B2C301";
const std::string kB = "E0040150A1B2C302";
const std::string kLate = "E0040150A1B2C304";
const std::string kSensor = "E0040150A1B2C3FF";

TEST(EnvScenario, ExampleFieldIsThereAtLoadAndFollowsItsSchedule) {
    const auto loaded = std::chrono::steady_clock::now(); // no later than this
    FT_HANDLE h = simtest::Open();
    std::string reply = Exchange(h, "GU");
    EXPECT_EQ(reply, simtest::Frame("RGU003" + kA + kB + kSensor)) << Show(reply);
    // Memory and block sizes (8 characters a block on kB).
    reply = Exchange(h, "SR0004" + kA);
    EXPECT_NE(reply.find("HELLO-KQ-TAG-001"), std::string::npos) << Show(reply);
    reply = Exchange(h, "SR0002" + kB);
    EXPECT_NE(reply.find("CRATE-0042-BATCH"), std::string::npos) << Show(reply);
    // 3 s after the load kB leaves and the late tag enters.
    std::this_thread::sleep_until(loaded + std::chrono::milliseconds(3200));
    reply = Exchange(h, "GU");
    EXPECT_EQ(reply, simtest::Frame("RGU003" + kA + kSensor + kLate)) << Show(reply);
    EXPECT_EQ(FT_Close(h), 0u);
}

TEST(EnvScenario, ResetGoesBackToAnEmptyField) {
    kqsim_reset();
    char out[64] = {};
    EXPECT_EQ(kqsim_tag_get_data(kA.c_str(), 0, 4, out, sizeof out), -1);
}

} // namespace

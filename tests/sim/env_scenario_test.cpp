// KQSIM_SCENARIO: the simulated reader library sets itself up from the
// scenario file when it is loaded, before any kqsim_* call. CTest runs the
// EnvScenario tests with examples/field.scenario and the EnvReaders tests
// with tests/sim/readers.scenario (three readers).
#include "sim_test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
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

std::vector<std::string> ListedSerials() {
    DWORD n = 0;
    EXPECT_EQ(FT_ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    std::vector<std::string> out;
    for (DWORD i = 0; i < n; ++i) {
        char serial[64] = {};
        EXPECT_EQ(FT_ListDevices(reinterpret_cast<void*>(static_cast<uintptr_t>(i)), serial,
                                 FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
                  FT_OK);
        out.emplace_back(serial);
    }
    return out;
}

FT_HANDLE OpenSerial(const char* serial) {
    FT_HANDLE h = nullptr;
    EXPECT_EQ(FT_OpenEx(const_cast<char*>(serial), FT_OPEN_BY_SERIAL_NUMBER, &h), FT_OK) << serial;
    FT_SetTimeouts(h, 500, 500);
    return h;
}

TEST(EnvReaders, EveryReaderHasItsFieldAndItsPlugSchedule) {
    const auto loaded = std::chrono::steady_clock::now(); // no later than this
    // At the load: the default reader and the second one; the third is not
    // attached yet.
    EXPECT_EQ(ListedSerials(), (std::vector<std::string>{"KQSIM0001", "KQSIM0002"}));
    FT_HANDLE first = OpenSerial("KQSIM0001");
    FT_HANDLE second = OpenSerial("KQSIM0002");
    FT_HANDLE none = nullptr;
    EXPECT_NE(FT_OpenEx(const_cast<char*>("KQSIM0003"), FT_OPEN_BY_SERIAL_NUMBER, &none), FT_OK);
    std::string reply = Exchange(first, "GU");
    EXPECT_EQ(reply, simtest::Frame("RGU001E004015000000001")) << Show(reply);
    reply = Exchange(second, "GU");
    EXPECT_EQ(reply, simtest::Frame("RGU002E004015000000021E004015000000022")) << Show(reply);
    reply = Exchange(second, "SR0002E004015000000022");
    EXPECT_NE(reply.find("SECOND-READER-22"), std::string::npos) << Show(reply);
    ASSERT_LT(std::chrono::steady_clock::now() - loaded, std::chrono::milliseconds(2000))
        << "too slow to see the state before the first plug change";

    // 2 s after the load: the second reader is unplugged (its handle is
    // stale), the third is attached.
    std::this_thread::sleep_until(loaded + std::chrono::milliseconds(2300));
    EXPECT_EQ(ListedSerials(), (std::vector<std::string>{"KQSIM0001", "KQSIM0003"}));
    DWORD written = 0;
    EXPECT_EQ(FT_Write(second, const_cast<char*>("\x02GU\r\n"), 5, &written), FT_IO_ERROR);
    EXPECT_EQ(FT_Close(second), FT_OK);
    FT_HANDLE third = OpenSerial("KQSIM0003");
    reply = Exchange(third, "GU");
    EXPECT_EQ(reply, simtest::Frame("RGU001E004015000000031")) << Show(reply);

    // 4 s after: the second reader is back, with its tags.
    std::this_thread::sleep_until(loaded + std::chrono::milliseconds(4300));
    EXPECT_EQ(ListedSerials(), (std::vector<std::string>{"KQSIM0001", "KQSIM0002", "KQSIM0003"}));
    second = OpenSerial("KQSIM0002");
    reply = Exchange(second, "GU");
    EXPECT_EQ(reply, simtest::Frame("RGU002E004015000000021E004015000000022")) << Show(reply);
    EXPECT_EQ(FT_Close(second), FT_OK);
    EXPECT_EQ(FT_Close(third), FT_OK);
    EXPECT_EQ(FT_Close(first), FT_OK);
}

} // namespace

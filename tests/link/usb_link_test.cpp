// USB link through the exported functions: serial number, open, probe and
// close, with the exact driver calls each makes.
#include "call_log.h"

#include "kq.h"
#include "kqsim.h"
#include "support/sim_fixture.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

namespace kqtest {
namespace {

using UsbLink = SimRecordTest;

// A handle value no driver ever gave out; only compared, never used while
// it stands in the record.
void* const kForeignHandle = reinterpret_cast<void*>(uintptr_t{0x5a5a5a});

// ---- KQ_GetSerialNo -------------------------------------------------------

TEST_F(UsbLink, SerialNoOfTheAttachedReaderWithTheListingArguments) {
    char buffer[KQ_SERIALNO_BUFFER_SIZE];
    std::memset(buffer, 'x', sizeof buffer);
    kqsim_clear_logs();
    ASSERT_EQ(KQ_GetSerialNo(buffer), KQ_OK);
    EXPECT_STREQ(buffer, "KQSIM0001");
    // Device index 0 in the first argument, FT_LIST_BY_INDEX |
    // FT_OPEN_BY_SERIAL_NUMBER, and nothing else.
    ExpectCalls(Calls(), {{KQSIM_FT_LISTDEVICES, 0, {0u, 0x40000001u}}});
}

TEST_F(UsbLink, SerialNoWithoutAReaderIsASerialNoError) {
    kqsim_device_remove_all();
    char buffer[KQ_SERIALNO_BUFFER_SIZE] = {};
    EXPECT_EQ(KQ_GetSerialNo(buffer), KQ_ERR_SERIALNO);
}

TEST_F(UsbLink, SerialNoWhenTheListingFailsIsASerialNoError) {
    kqsim_fail_call(KQSIM_FT_LISTDEVICES, 4, 0, 1);
    char buffer[KQ_SERIALNO_BUFFER_SIZE] = {};
    EXPECT_EQ(KQ_GetSerialNo(buffer), KQ_ERR_SERIALNO);
    // Only that one call failed: the next one lists again.
    EXPECT_EQ(KQ_GetSerialNo(buffer), KQ_OK);
    EXPECT_STREQ(buffer, "KQSIM0001");
}

TEST_F(UsbLink, SerialNoWithTwoReadersIsAlwaysTheFirst) {
    // Not sorted by name: the first attached one.
    kqsim_device_remove_all();
    kqsim_device_add("ZZ-FIRST");
    kqsim_device_add("AA-SECOND");
    kqsim_clear_logs();
    for (int round = 0; round < 3; ++round) {
        char buffer[KQ_SERIALNO_BUFFER_SIZE] = {};
        ASSERT_EQ(KQ_GetSerialNo(buffer), KQ_OK);
        EXPECT_STREQ(buffer, "ZZ-FIRST") << "round " << round;
    }
    for (const auto& c : CallsOf(KQSIM_FT_LISTDEVICES)) {
        EXPECT_EQ(c.a0, 0u) << "asked for another index than 0";
    }
    // The second reader can still be opened by its serial number.
    serial_ = "AA-SECOND";
    P().SerialNo = serial_.c_str();
    EXPECT_EQ(KQ_OpenUSB(&P()), KQ_OK);
}

// ---- KQ_GetReaderCount, KQ_GetSerialNoAt, KQ_GetVersion ------------------

TEST_F(UsbLink, EveryAttachedReaderIsListedInTheDriversOrder) {
    kqsim_device_remove_all();
    const char* serials[] = {"ZZ-FIRST", "AA-SECOND", "MM-THIRD"};
    for (const char* s : serials) {
        kqsim_device_add(s);
    }
    int count = -1;
    kqsim_clear_logs();
    ASSERT_EQ(KQ_GetReaderCount(&count), KQ_OK);
    EXPECT_EQ(count, 3);
    // One FT_ListDevices with FT_LIST_NUMBER_ONLY (its first argument is
    // where the count goes), and nothing else.
    auto calls = Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].fn, KQSIM_FT_LISTDEVICES);
    EXPECT_EQ(calls[0].a1, 0x80000000u);
    for (int i = 0; i < count; ++i) {
        char buffer[KQ_SERIALNO_BUFFER_SIZE];
        std::memset(buffer, 'x', sizeof buffer);
        ASSERT_EQ(KQ_GetSerialNoAt(i, buffer), KQ_OK) << i;
        EXPECT_STREQ(buffer, serials[i]);
    }
    // Index 0 is what KQ_GetSerialNo gives.
    char first[KQ_SERIALNO_BUFFER_SIZE] = {};
    ASSERT_EQ(KQ_GetSerialNo(first), KQ_OK);
    EXPECT_STREQ(first, serials[0]);
}

TEST_F(UsbLink, ListingPastTheLastReaderOrWithoutOneIsASerialNoError) {
    char buffer[KQ_SERIALNO_BUFFER_SIZE];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(KQ_GetSerialNoAt(1, buffer), KQ_ERR_SERIALNO);
    EXPECT_EQ(buffer[0], '\0') << "a failed listing leaves text behind";
    kqsim_device_remove_all();
    int count = -1;
    ASSERT_EQ(KQ_GetReaderCount(&count), KQ_OK);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(KQ_GetSerialNoAt(0, buffer), KQ_ERR_SERIALNO);
}

TEST_F(UsbLink, ListingArgumentsThatCannotBeRightReachNoDriver) {
    char buffer[KQ_SERIALNO_BUFFER_SIZE] = {};
    kqsim_clear_logs();
    EXPECT_EQ(KQ_GetReaderCount(nullptr), KQ_ERR_PARAM);
    EXPECT_EQ(KQ_GetSerialNoAt(0, nullptr), KQ_ERR_PARAM);
    EXPECT_EQ(KQ_GetSerialNoAt(-1, buffer), KQ_ERR_PARAM);
    EXPECT_TRUE(Calls().empty());
}

TEST_F(UsbLink, AFailedCountIsASerialNoErrorWithACountOfZero) {
    kqsim_fail_call(KQSIM_FT_LISTDEVICES, 4, 0, 1);
    int count = -1;
    EXPECT_EQ(KQ_GetReaderCount(&count), KQ_ERR_SERIALNO);
    EXPECT_EQ(count, 0);
}

TEST_F(UsbLink, TheLoadedVersionIsTheHeadersVersion) {
    EXPECT_EQ(KQ_GetVersion(),
              KQ_VERSION_MAJOR * 10000 + KQ_VERSION_MINOR * 100 + KQ_VERSION_PATCH);
    EXPECT_EQ(std::to_string(KQ_VERSION_MAJOR) + "." + std::to_string(KQ_VERSION_MINOR) + "." +
                  std::to_string(KQ_VERSION_PATCH),
              KQ_VERSION_STRING);
}

// ---- KQ_OpenUSB -----------------------------------------------------------

TEST_F(UsbLink, OpenMakesTheExactDriverCallsInOrder) {
    // Different timeouts, so that swapping them shows: the record holds the
    // write timeout first, the driver takes the read timeout first.
    P().WriteTimeout = 1500;
    P().ReadTimeout = 25;
    kqsim_clear_logs();
    ASSERT_EQ(KQ_OpenUSB(&P()), KQ_OK);
    const uint64_t h = HandleValue(P().Handle);
    ASSERT_NE(h, 0u);
    auto calls = Calls();
    ExpectCalls(calls, OpenCalls(h, 25, 1500));
    ASSERT_FALSE(calls.empty());
    EXPECT_STREQ(calls[0].text, "KQSIM0001");
    EXPECT_EQ(kqsim_open_handles(), 1);
}

TEST_F(UsbLink, OpenWithoutSerialNoIsAParameterErrorAndTouchesNothing) {
    P().SerialNo = nullptr;
    kqsim_clear_logs();
    EXPECT_EQ(KQ_OpenUSB(&P()), KQ_ERR_PARAM);
    EXPECT_EQ(P().Handle, nullptr);
    ExpectCalls(Calls(), {});

    // A handle already in the record is neither closed nor replaced.
    P().Handle = kForeignHandle;
    EXPECT_EQ(KQ_OpenUSB(&P()), KQ_ERR_PARAM);
    EXPECT_EQ(P().Handle, kForeignHandle);
    ExpectCalls(Calls(), {});
    P().Handle = nullptr;
}

TEST_F(UsbLink, OpenWithoutSerialNoLeavesAnOpenReaderOpen) {
    Open();
    void* h = P().Handle;
    P().SerialNo = nullptr;
    EXPECT_EQ(KQ_OpenUSB(&P()), KQ_ERR_PARAM);
    EXPECT_EQ(P().Handle, h);
    ExpectCalls(Calls(), {});
    EXPECT_EQ(KQ_CheckStatusUSB(&P()), 0);
    P().SerialNo = serial_.c_str();
}

TEST_F(UsbLink, OpenOfAnUnknownSerialIsAnUsbErrorWithHandleCleared) {
    serial_ = "NOT-ATTACHED";
    P().SerialNo = serial_.c_str();
    P().Handle = nullptr;
    EXPECT_EQ(KQ_OpenUSB(&P()), KQ_ERR_USB);
    EXPECT_EQ(P().Handle, nullptr);
    EXPECT_EQ(kqsim_open_handles(), 0);
}

TEST_F(UsbLink, FailedOpenReleasesTheHandleItReplaces) {
    Open();
    const uint64_t old = HandleValue(P().Handle);
    serial_ = "NOT-ATTACHED";
    P().SerialNo = serial_.c_str();
    EXPECT_EQ(KQ_OpenUSB(&P()), KQ_ERR_USB);
    EXPECT_EQ(P().Handle, nullptr);
    EXPECT_EQ(kqsim_open_handles(), 0) << "the old handle was leaked";
    ExpectOneCloseOf(old);
}

TEST_F(UsbLink, OpenThatTheDriverRefusesIsAnUsbError) {
    kqsim_fail_call(KQSIM_FT_OPENEX, 3, 0, 1);
    kqsim_clear_logs();
    EXPECT_EQ(KQ_OpenUSB(&P()), KQ_ERR_USB);
    EXPECT_EQ(P().Handle, nullptr);
    // Nothing but the open was tried.
    ExpectCalls(Calls(), {{KQSIM_FT_OPENEX, 0, {1u}}});
}

class OpenWithFailingSetup : public SimRecordTest, public ::testing::WithParamInterface<int> {};

TEST_P(OpenWithFailingSetup, StillSucceedsAndMakesEveryCall) {
    kqsim_fail_call(GetParam(), 4, 0, -1);
    kqsim_clear_logs();
    EXPECT_EQ(KQ_OpenUSB(&P()), KQ_OK);
    ASSERT_NE(P().Handle, nullptr);
    const uint64_t h = HandleValue(P().Handle);
    ExpectCalls(Calls(), OpenCalls(h, 300, 300));
    kqsim_clear_faults();
    EXPECT_EQ(KQ_CheckStatusUSB(&P()), 0);
}

INSTANTIATE_TEST_SUITE_P(UsbLink, OpenWithFailingSetup,
                         ::testing::Values(KQSIM_FT_RESETDEVICE, KQSIM_FT_SETBAUDRATE,
                                           KQSIM_FT_SETDATACHARACTERISTICS, KQSIM_FT_SETFLOWCONTROL,
                                           KQSIM_FT_SETTIMEOUTS, KQSIM_FT_PURGE),
                         [](const ::testing::TestParamInfo<int>& param) {
                             std::string name = kqsim_fn_name(param.param);
                             std::string out;
                             for (char c : name) {
                                 if (std::isalnum(static_cast<unsigned char>(c))) {
                                     out += c;
                                 }
                             }
                             return out;
                         });

TEST_F(UsbLink, OpenSucceedsWhenEverySetupCallFails) {
    for (int fn : {KQSIM_FT_RESETDEVICE, KQSIM_FT_SETBAUDRATE, KQSIM_FT_SETDATACHARACTERISTICS,
                   KQSIM_FT_SETFLOWCONTROL, KQSIM_FT_SETTIMEOUTS, KQSIM_FT_PURGE}) {
        kqsim_fail_call(fn, 4, 0, -1);
    }
    EXPECT_EQ(KQ_OpenUSB(&P()), KQ_OK);
    EXPECT_NE(P().Handle, nullptr);
    kqsim_clear_faults();
}

TEST_F(UsbLink, ReopenOfAnOpenReaderClosesTheOldHandleFirst) {
    Open();
    const uint64_t old = HandleValue(P().Handle);
    ASSERT_EQ(KQ_OpenUSB(&P()), KQ_OK);
    const uint64_t fresh = HandleValue(P().Handle);
    EXPECT_NE(fresh, 0u);
    EXPECT_NE(fresh, old);
    EXPECT_EQ(kqsim_open_handles(), 1) << "a handle was leaked";
    auto calls = Calls();
    ASSERT_GE(calls.size(), 2u) << Describe(calls);
    EXPECT_EQ(calls[0].fn, KQSIM_FT_CLOSE) << Describe(calls);
    EXPECT_EQ(calls[0].handle, old);
    EXPECT_EQ(calls[1].fn, KQSIM_FT_OPENEX) << Describe(calls);
    EXPECT_EQ(KQ_CheckStatusUSB(&P()), 0);
}

TEST_F(UsbLink, ReopenAfterUnplugAndReplug) {
    Open();
    const uint64_t stale = HandleValue(P().Handle);
    kqsim_unplug();
    EXPECT_NE(KQ_CheckStatusUSB(&P()), 0);
    kqsim_replug();
    ASSERT_EQ(KQ_OpenUSB(&P()), KQ_OK);
    EXPECT_NE(HandleValue(P().Handle), stale);
    EXPECT_EQ(KQ_CheckStatusUSB(&P()), 0);
    EXPECT_EQ(kqsim_open_handles(), 1) << "the stale handle was leaked";
}

TEST_F(UsbLink, ReopenWhileUnpluggedIsAnUsbErrorAndReleasesTheStaleHandle) {
    Open();
    kqsim_unplug();
    EXPECT_EQ(KQ_OpenUSB(&P()), KQ_ERR_USB);
    EXPECT_EQ(P().Handle, nullptr);
    EXPECT_EQ(kqsim_open_handles(), 0);
}

// ---- KQ_CloseUSB ----------------------------------------------------------

TEST_F(UsbLink, CloseWithoutHandleIsAnUsbErrorAndCallsNothing) {
    kqsim_clear_logs();
    EXPECT_EQ(KQ_CloseUSB(&P()), KQ_ERR_USB);
    ExpectCalls(Calls(), {});
}

TEST_F(UsbLink, CloseOfAnOpenReaderThenAgain) {
    Open();
    const uint64_t h = HandleValue(P().Handle);
    EXPECT_EQ(KQ_CloseUSB(&P()), KQ_OK);
    EXPECT_EQ(P().Handle, nullptr);
    ExpectCalls(Calls(), {{KQSIM_FT_GETSTATUS, h, {}}, {KQSIM_FT_CLOSE, h, {}}});
    EXPECT_EQ(kqsim_open_handles(), 0);
    EXPECT_EQ(KQ_CloseUSB(&P()), KQ_ERR_USB);
}

TEST_F(UsbLink, CloseThatTheDriverRefusesIsACloseErrorAndKeepsTheHandle) {
    Open();
    void* h = P().Handle;
    kqsim_fail_call(KQSIM_FT_CLOSE, 4, 0, 1);
    EXPECT_EQ(KQ_CloseUSB(&P()), KQ_ERR_CLOSE);
    EXPECT_EQ(P().Handle, h);
    EXPECT_EQ(KQ_CheckStatusUSB(&P()), 0) << "the reader should still be open";
    EXPECT_EQ(KQ_CloseUSB(&P()), KQ_OK);
    EXPECT_EQ(P().Handle, nullptr);
}

TEST_F(UsbLink, CloseOfAnUnpluggedReaderReleasesItsHandle) {
    Open();
    const uint64_t h = HandleValue(P().Handle);
    kqsim_unplug();
    EXPECT_EQ(KQ_CloseUSB(&P()), KQ_OK);
    EXPECT_EQ(P().Handle, nullptr);
    EXPECT_EQ(kqsim_open_handles(), 0) << "the stale handle was leaked in the driver";
    ExpectOneCloseOf(h);
    // Plugged back in, the reader opens again.
    kqsim_replug();
    EXPECT_EQ(KQ_OpenUSB(&P()), KQ_OK);
}

// ---- KQ_CheckStatusUSB ----------------------------------------------------

TEST_F(UsbLink, ProbeReturnsTheDriverStatusItself) {
    // No handle: the driver's invalid-handle status, and the null handle was
    // passed as it is.
    kqsim_clear_logs();
    EXPECT_EQ(KQ_CheckStatusUSB(&P()), 1);
    ExpectCalls(Calls(), {{KQSIM_FT_GETSTATUS, 0, {}}});

    Open();
    const uint64_t h = HandleValue(P().Handle);
    EXPECT_EQ(KQ_CheckStatusUSB(&P()), 0);
    ExpectCalls(Calls(), {{KQSIM_FT_GETSTATUS, h, {}}});

    // Any status number comes back unchanged, not mapped to a result code.
    kqsim_fail_call(KQSIM_FT_GETSTATUS, 18, 0, 1);
    EXPECT_EQ(KQ_CheckStatusUSB(&P()), 18);

    kqsim_unplug();
    EXPECT_EQ(KQ_CheckStatusUSB(&P()), 4);
    EXPECT_EQ(HandleValue(P().Handle), h) << "the probe must not touch Handle";
}

} // namespace
} // namespace kqtest

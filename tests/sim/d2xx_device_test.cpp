// FTDI device behaviour of the simulated reader library: listing, opening
// by serial number, handle validity, unplug and replug.
#include "sim_test_util.h"

#include <cstring>
#include <set>
#include <vector>

namespace simtest {
namespace {

constexpr DWORD kListByIndex = FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER;

FT_STATUS ListIndex(uintptr_t index, std::string* serial) {
    char buf[64];
    std::memset(buf, 'x', sizeof buf);
    FT_STATUS st = FT_ListDevices(reinterpret_cast<void*>(index), buf, kListByIndex);
    if (st == FT_OK) {
        *serial = buf;
    }
    return st;
}

DWORD CountDevices() {
    DWORD n = 12345;
    EXPECT_EQ(FT_ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    return n;
}

FT_STATUS OpenSerial(const char* serial, FT_HANDLE* h) {
    return FT_OpenEx(const_cast<char*>(serial), FT_OPEN_BY_SERIAL_NUMBER, h);
}

// Every call on a handle, with harmless arguments; returns their statuses.
std::vector<FT_STATUS> EveryHandleCall(FT_HANDLE h) {
    DWORD a = 0;
    DWORD b = 0;
    DWORD c = 0;
    char buf[8] = "\x02GU\r\n";
    return {FT_ResetDevice(h),
            FT_SetBaudRate(h, 38400),
            FT_SetDataCharacteristics(h, 8, 0, 0),
            FT_SetFlowControl(h, 0, 0, 0),
            FT_SetTimeouts(h, 10, 10),
            FT_Purge(h, 3),
            FT_GetStatus(h, &a, &b, &c),
            FT_GetQueueStatus(h, &a),
            FT_SetBreakOn(h),
            FT_SetBreakOff(h),
            FT_Write(h, buf, 5, &a),
            FT_Read(h, buf, 1, &a)};
}

using DeviceTest = SimDriverTest;

TEST_F(DeviceTest, ListsAttachedDevicesByIndexAndNumber) {
    std::string serial;
    ASSERT_EQ(ListIndex(0, &serial), FT_OK);
    EXPECT_EQ(serial, kSerial);
    EXPECT_EQ(ListIndex(1, &serial), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(CountDevices(), 1u);

    int second = kqsim_device_add("KQSIM0002");
    EXPECT_EQ(second, 1);
    EXPECT_EQ(CountDevices(), 2u);
    ASSERT_EQ(ListIndex(1, &serial), FT_OK);
    EXPECT_EQ(serial, "KQSIM0002");

    // An unplugged device is not listed; the others move up.
    kqsim_select_device(0);
    kqsim_unplug();
    ASSERT_EQ(ListIndex(0, &serial), FT_OK);
    EXPECT_EQ(serial, "KQSIM0002");
    EXPECT_EQ(CountDevices(), 1u);
    kqsim_replug();
    ASSERT_EQ(ListIndex(0, &serial), FT_OK);
    EXPECT_EQ(serial, kSerial);

    char description[64] = {};
    ASSERT_EQ(FT_ListDevices(reinterpret_cast<void*>(uintptr_t{0}), description,
                             FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION),
              FT_OK);
    EXPECT_STREQ(description, KQSIM_DESCRIPTION);

    kqsim_device_remove_all();
    EXPECT_EQ(ListIndex(0, &serial), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(CountDevices(), 0u);
}

TEST_F(DeviceTest, ListAllFillsEveryBuffer) {
    kqsim_device_add("KQSIM0002");
    char first[64] = {};
    char second[64] = {};
    char* buffers[3] = {first, second, nullptr};
    DWORD n = 0;
    ASSERT_EQ(FT_ListDevices(buffers, &n, FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    EXPECT_EQ(n, 2u);
    EXPECT_STREQ(first, kSerial);
    EXPECT_STREQ(second, "KQSIM0002");
}

TEST_F(DeviceTest, OpenBySerialNumberOnlyOnce) {
    FT_HANDLE h = nullptr;
    EXPECT_EQ(OpenSerial("NOSUCH", &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(kqsim_open_handles(), 0);
    ASSERT_EQ(OpenSerial(kSerial, &h), FT_OK);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(kqsim_open_handles(), 1);

    // As with the real driver, an open device cannot be opened again.
    FT_HANDLE again = nullptr;
    EXPECT_EQ(OpenSerial(kSerial, &again), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(kqsim_open_handles(), 1);

    EXPECT_EQ(FT_Close(h), FT_OK);
    EXPECT_EQ(FT_Close(h), FT_INVALID_HANDLE);
    ASSERT_EQ(OpenSerial(kSerial, &again), FT_OK);
    EXPECT_NE(again, h) << "handles are never reused";
    h_ = again;
}

TEST_F(DeviceTest, TwoDevicesOpenSideBySide) {
    kqsim_device_add("KQSIM0002");
    FT_HANDLE one = nullptr;
    FT_HANDLE two = nullptr;
    ASSERT_EQ(OpenSerial(kSerial, &one), FT_OK);
    ASSERT_EQ(OpenSerial("KQSIM0002", &two), FT_OK);
    kqsim_select_device(1);
    kqsim_tag_add(kUidB, 4, 4);
    EXPECT_EQ(Exchange(one, "GU"), Frame("RGU000"));
    EXPECT_EQ(Exchange(two, "GU"), Frame(std::string("RGU001") + kUidB));
    EXPECT_EQ(kqsim_open_handles(), 2);
    EXPECT_EQ(FT_Close(one), FT_OK);
    EXPECT_EQ(FT_Close(two), FT_OK);
}

TEST_F(DeviceTest, UnknownNullAndClosedHandlesGiveInvalidHandleEverywhere) {
    FT_HANDLE closed = Open();
    ASSERT_EQ(FT_Close(closed), FT_OK);
    const FT_HANDLE bad[] = {nullptr, closed, reinterpret_cast<FT_HANDLE>(uintptr_t{0xdead})};
    for (FT_HANDLE h : bad) {
        for (FT_STATUS st : EveryHandleCall(h)) {
            EXPECT_EQ(st, FT_INVALID_HANDLE) << "handle " << h;
        }
        EXPECT_EQ(FT_Close(h), FT_INVALID_HANDLE);
    }
}

TEST_F(DeviceTest, UnplugMakesHandlesStaleUntilClosed) {
    h_ = Open();
    kqsim_unplug();
    for (FT_STATUS st : EveryHandleCall(h_)) {
        EXPECT_EQ(st, FT_IO_ERROR);
    }
    FT_HANDLE other = nullptr;
    EXPECT_EQ(OpenSerial(kSerial, &other), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(kqsim_open_handles(), 1) << "a stale handle stays until closed";

    kqsim_replug();
    // The stale handle stays stale; the device opens afresh beside it.
    EXPECT_EQ(FT_SetBaudRate(h_, 38400), FT_IO_ERROR);
    ASSERT_EQ(OpenSerial(kSerial, &other), FT_OK);
    EXPECT_EQ(Exchange(other, "LP"), Frame("RLP0"));
    EXPECT_EQ(FT_Close(h_), FT_OK);
    h_ = other;
    EXPECT_EQ(kqsim_open_handles(), 1);
}

TEST_F(DeviceTest, UnplugCutsTheReadersPower) {
    h_ = Open();
    kqsim_tag_add(kUidA, 4, 4);
    EXPECT_EQ(Exchange(h_, "LT00"), Frame("RLT0"));
    EXPECT_EQ(kqsim_reader_loop_on(), 1);
    kqsim_unplug();
    EXPECT_EQ(kqsim_reader_loop_on(), 0);
    kqsim_replug();
    EXPECT_EQ(FT_Close(h_), FT_OK);
    h_ = Open();
    // The tag and its memory are still there.
    EXPECT_EQ(Exchange(h_, "GU"), Frame(std::string("RGU001") + kUidA));
}

TEST_F(DeviceTest, RemovingAllDevicesAndResetInvalidate) {
    h_ = Open();
    kqsim_device_remove_all();
    EXPECT_EQ(FT_Purge(h_, 3), FT_IO_ERROR);
    EXPECT_EQ(FT_Close(h_), FT_OK);
    h_ = nullptr;

    kqsim_reset();
    FT_HANDLE before_reset = Open();
    kqsim_reset();
    EXPECT_EQ(FT_Purge(before_reset, 3), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_Close(before_reset), FT_INVALID_HANDLE);
    EXPECT_EQ(kqsim_open_handles(), 0);
}

TEST_F(DeviceTest, HandlesAreUnique) {
    std::set<FT_HANDLE> seen;
    for (int i = 0; i < 50; ++i) {
        FT_HANDLE h = Open();
        EXPECT_TRUE(seen.insert(h).second);
        EXPECT_EQ(FT_Close(h), FT_OK);
        if (i == 25) {
            kqsim_reset();
            kqsim_set_timing(0);
        }
    }
}

TEST_F(DeviceTest, BadParameters) {
    FT_HANDLE h = nullptr;
    EXPECT_EQ(FT_OpenEx(nullptr, FT_OPEN_BY_SERIAL_NUMBER, &h), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_OpenEx(const_cast<char*>(kSerial), FT_OPEN_BY_SERIAL_NUMBER, nullptr),
              FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_ListDevices(nullptr, nullptr, FT_LIST_NUMBER_ONLY), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_ListDevices(nullptr, nullptr, kListByIndex), FT_INVALID_PARAMETER);
    h_ = Open();
    DWORD n = 0;
    EXPECT_EQ(FT_GetStatus(h_, nullptr, &n, &n), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_Read(h_, nullptr, 4, &n), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_Write(h_, nullptr, 4, &n), FT_INVALID_PARAMETER);
}

} // namespace
} // namespace simtest

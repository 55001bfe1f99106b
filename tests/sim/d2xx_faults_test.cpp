// Injected D2XX failures and the call and frame logs that tests of the
// library read back.
#include "sim_test_util.h"

#include <cstring>
#include <vector>

namespace simtest {
namespace {

std::vector<kqsim_call> Calls() {
    std::vector<kqsim_call> calls;
    for (size_t i = 0; i < kqsim_call_count(); ++i) {
        kqsim_call c{};
        EXPECT_EQ(kqsim_call_get(i, &c), 0);
        calls.push_back(c);
    }
    return calls;
}

uint64_t Id(FT_HANDLE h) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(h));
}

using FaultTest = SimDriverTest;

TEST_F(FaultTest, FailCallSkipsThenFailsTheGivenNumberOfTimes) {
    h_ = Open();
    kqsim_fail_call(KQSIM_FT_PURGE, 4, 2, 2);
    std::vector<FT_STATUS> got;
    for (int i = 0; i < 5; ++i) {
        got.push_back(FT_Purge(h_, 3));
    }
    EXPECT_EQ(got, (std::vector<FT_STATUS>{0, 0, 4, 4, 0}));

    kqsim_fail_call(KQSIM_FT_SETBAUDRATE, 18, 0, -1);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(FT_SetBaudRate(h_, 38400), 18u);
    }
    kqsim_clear_faults();
    EXPECT_EQ(FT_SetBaudRate(h_, 38400), FT_OK);
}

TEST_F(FaultTest, FailedCallsHaveNoEffect) {
    h_ = Open(30);
    // A failed write never reaches the reader.
    kqsim_fail_call(KQSIM_FT_WRITE, FT_IO_ERROR, 0, 1);
    EXPECT_EQ(Write(h_, Frame("LP")), FT_IO_ERROR);
    EXPECT_EQ(Queued(h_), 0u);
    EXPECT_EQ(Exchange(h_, "LP"), Frame("RLP0"));

    // A failed read takes nothing out of the queue.
    ASSERT_EQ(Write(h_, Frame("LP")), FT_OK);
    kqsim_fail_call(KQSIM_FT_READ, FT_IO_ERROR, 0, 1);
    char buf[8] = {};
    DWORD n = 77;
    EXPECT_EQ(FT_Read(h_, buf, 7, &n), FT_IO_ERROR);
    EXPECT_EQ(Read(h_, 7), Frame("RLP0"));

    // A failed purge empties nothing.
    ASSERT_EQ(Write(h_, Frame("LP")), FT_OK);
    kqsim_fail_call(KQSIM_FT_PURGE, FT_IO_ERROR, 0, 1);
    EXPECT_EQ(FT_Purge(h_, 3), FT_IO_ERROR);
    EXPECT_EQ(Queued(h_), 7u);

    // A failed close keeps the handle; a failed open creates none.
    kqsim_fail_call(KQSIM_FT_CLOSE, FT_IO_ERROR, 0, 1);
    EXPECT_EQ(FT_Close(h_), FT_IO_ERROR);
    EXPECT_EQ(kqsim_open_handles(), 1);
    EXPECT_EQ(FT_Close(h_), FT_OK);
    h_ = nullptr;
    kqsim_fail_call(KQSIM_FT_OPENEX, FT_DEVICE_NOT_FOUND, 0, 1);
    FT_HANDLE h = nullptr;
    EXPECT_EQ(FT_OpenEx(const_cast<char*>(kSerial), FT_OPEN_BY_SERIAL_NUMBER, &h),
              FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(kqsim_open_handles(), 0);

    kqsim_fail_call(KQSIM_FT_LISTDEVICES, 7, 0, 1);
    char serial[64] = "untouched";
    EXPECT_EQ(FT_ListDevices(reinterpret_cast<void*>(uintptr_t{0}), serial,
                             FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
              7u);
    EXPECT_STREQ(serial, "untouched");
}

TEST_F(FaultTest, CallLogRecordsEveryCallWithItsArguments) {
    kqsim_tag_add(kUidA, 4, 4);
    kqsim_clear_logs();
    FT_HANDLE h = nullptr;
    char serial[64];
    ASSERT_EQ(FT_ListDevices(reinterpret_cast<void*>(uintptr_t{0}), serial,
                             FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
              FT_OK);
    ASSERT_EQ(FT_OpenEx(const_cast<char*>(kSerial), FT_OPEN_BY_SERIAL_NUMBER, &h), FT_OK);
    h_ = h;
    FT_ResetDevice(h);
    FT_SetBaudRate(h, 38400);
    FT_SetDataCharacteristics(h, 8, 0, 0);
    FT_SetFlowControl(h, 0, 0x11, 0x13);
    FT_SetTimeouts(h, 300, 200);
    FT_Purge(h, 3);
    FT_SetBreakOn(h);
    FT_SetBreakOff(h);
    ASSERT_EQ(Write(h, Frame("GU")), FT_OK);
    DWORD rx = 0;
    DWORD tx = 0;
    DWORD ev = 0;
    FT_GetStatus(h, &rx, &tx, &ev);
    kqsim_fail_call(KQSIM_FT_GETQUEUESTATUS, 4, 0, 1);
    FT_GetQueueStatus(h, &rx);
    char buf[64];
    DWORD got = 0;
    FT_Read(h, buf, 64, &got);
    FT_Close(h);
    h_ = nullptr;

    const uint64_t id = Id(h);
    struct Want {
        int fn;
        uint64_t handle;
        uint32_t a0, a1, a2, status;
    };
    const std::vector<Want> want = {
        {KQSIM_FT_LISTDEVICES, 0, 0, 0x40000001, 0, 0},
        {KQSIM_FT_OPENEX, 0, 1, 0, 0, 0},
        {KQSIM_FT_RESETDEVICE, id, 0, 0, 0, 0},
        {KQSIM_FT_SETBAUDRATE, id, 38400, 0, 0, 0},
        {KQSIM_FT_SETDATACHARACTERISTICS, id, 8, 0, 0, 0},
        {KQSIM_FT_SETFLOWCONTROL, id, 0, 0x11, 0x13, 0},
        {KQSIM_FT_SETTIMEOUTS, id, 300, 200, 0, 0},
        {KQSIM_FT_PURGE, id, 3, 0, 0, 0},
        {KQSIM_FT_SETBREAKON, id, 0, 0, 0, 0},
        {KQSIM_FT_SETBREAKOFF, id, 0, 0, 0, 0},
        {KQSIM_FT_WRITE, id, 5, 0, 0, 0},
        {KQSIM_FT_GETSTATUS, id, 25, 0, 0, 0},
        {KQSIM_FT_GETQUEUESTATUS, id, 0, 0, 0, 4},
        {KQSIM_FT_READ, id, 64, 25, 0, 0},
        {KQSIM_FT_CLOSE, id, 0, 0, 0, 0},
    };
    std::vector<kqsim_call> calls = Calls();
    ASSERT_EQ(calls.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(kqsim_fn_name(calls[i].fn));
        EXPECT_EQ(calls[i].fn, want[i].fn);
        EXPECT_EQ(calls[i].handle, want[i].handle);
        EXPECT_EQ(calls[i].a0, want[i].a0);
        EXPECT_EQ(calls[i].a1, want[i].a1);
        EXPECT_EQ(calls[i].a2, want[i].a2);
        EXPECT_EQ(calls[i].status, want[i].status);
    }
    EXPECT_STREQ(calls[1].text, kSerial);
    EXPECT_STREQ(calls[0].text, "");
    kqsim_call out{};
    EXPECT_EQ(kqsim_call_get(calls.size(), &out), -1);
}

TEST_F(FaultTest, FrameLogKeepsExactBytesAndCounts) {
    h_ = Open();
    kqsim_clear_logs();
    const char buf[] = "\x02GU\r\n\0\0tail";
    DWORD written = 0;
    // The count decides, not the text: 7 bytes with two NULs after CR LF.
    ASSERT_EQ(FT_Write(h_, const_cast<char*>(buf), 7, &written), FT_OK);
    ASSERT_EQ(FT_Write(h_, const_cast<char*>(buf), 4, &written), FT_OK);
    FT_HANDLE bogus = reinterpret_cast<FT_HANDLE>(uintptr_t{0x77});
    EXPECT_EQ(FT_Write(bogus, const_cast<char*>(buf), 2, &written), FT_INVALID_HANDLE);

    ASSERT_EQ(kqsim_frame_count(), 3u);
    char out[32];
    std::memset(out, '#', sizeof out);
    ASSERT_EQ(kqsim_frame_get(0, out, sizeof out), 7);
    EXPECT_EQ(std::string(out, 7), std::string(buf, 7));
    EXPECT_EQ(out[7], '#') << "nothing past the frame is written";
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(kqsim_frame_get(0, out, 3), 7) << "the full length, even when cut";
    EXPECT_EQ(std::string(out, 4), "\x02GU#");
    EXPECT_EQ(kqsim_frame_get(1, out, sizeof out), 4);
    EXPECT_EQ(kqsim_frame_get(2, out, sizeof out), 2);
    EXPECT_EQ(kqsim_frame_get(3, out, sizeof out), -1);

    // Each write call names its frame.
    std::vector<kqsim_call> calls = Calls();
    ASSERT_EQ(calls.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(calls[i].fn, KQSIM_FT_WRITE);
        EXPECT_EQ(calls[i].a1, i);
    }
    EXPECT_EQ(calls[2].status, FT_INVALID_HANDLE);
    // The 7-byte write was one GU frame for the reader; the 4-byte one no
    // frame at all.
    EXPECT_EQ(ReadReply(h_), Frame("RGU000"));
    EXPECT_EQ(Queued(h_), 0u);
}

TEST_F(FaultTest, LoggingCanBeSwitchedOff) {
    h_ = Open();
    kqsim_clear_logs();
    kqsim_set_logging(0);
    EXPECT_EQ(Exchange(h_, "LP"), Frame("RLP0"));
    EXPECT_EQ(kqsim_call_count(), 0u);
    EXPECT_EQ(kqsim_frame_count(), 0u);
    kqsim_set_logging(1);
    FT_Purge(h_, 3);
    EXPECT_EQ(kqsim_call_count(), 1u);
    kqsim_clear_logs();
    EXPECT_EQ(kqsim_call_count(), 0u);
}

TEST_F(FaultTest, FunctionNames) {
    EXPECT_STREQ(kqsim_fn_name(KQSIM_FT_LISTDEVICES), "FT_ListDevices");
    EXPECT_STREQ(kqsim_fn_name(KQSIM_FT_SETDATACHARACTERISTICS), "FT_SetDataCharacteristics");
    EXPECT_STREQ(kqsim_fn_name(KQSIM_FT_CLOSE), "FT_Close");
    EXPECT_STREQ(kqsim_fn_name(KQSIM_FN_COUNT), "?");
    EXPECT_STREQ(kqsim_fn_name(-1), "?");
}

} // namespace
} // namespace simtest

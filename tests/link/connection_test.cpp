// The connection check of the command envelope: probe, and reopen by serial
// number when the probe fails.
#include "call_log.h"

#include "kq.h"
#include "kqsim.h"
#include "link/link.h"
#include "support/sim_fixture.h"

#include <gtest/gtest.h>

namespace kqtest {
namespace {

using Connection = SimRecordTest;

TEST_F(Connection, PresentReaderIsOnlyProbed) {
    Open();
    void* h = P().Handle;
    EXPECT_EQ(kq::CheckConnection(&P()), KQ_OK);
    EXPECT_EQ(P().Handle, h);
    ExpectCalls(Calls(), {{KQSIM_FT_GETSTATUS, HandleValue(h), {}}});
}

TEST_F(Connection, NeverOpenedReaderIsOpenedOnDemand) {
    kqsim_clear_logs();
    EXPECT_EQ(kq::CheckConnection(&P()), KQ_OK);
    ASSERT_NE(P().Handle, nullptr);
    const uint64_t h = HandleValue(P().Handle);
    // The failed probe of the null handle, then the full open.
    std::vector<ExpectedCall> want = OpenCalls(h, 300, 300);
    want.insert(want.begin(), {KQSIM_FT_GETSTATUS, 0, {}});
    ExpectCalls(Calls(), want);
    EXPECT_EQ(KQ_CheckStatusUSB(&P()), 0);
}

TEST_F(Connection, WithoutSerialNoIsAnUsbError) {
    P().SerialNo = nullptr;
    kqsim_clear_logs();
    EXPECT_EQ(kq::CheckConnection(&P()), KQ_ERR_USB);
    EXPECT_EQ(P().Handle, nullptr);
    ExpectCalls(Calls(), {{KQSIM_FT_GETSTATUS, 0, {}}});
}

TEST_F(Connection, WithoutSerialNoAStaleHandleStays) {
    Open();
    void* stale = P().Handle;
    kqsim_unplug();
    P().SerialNo = nullptr;
    EXPECT_EQ(kq::CheckConnection(&P()), KQ_ERR_USB);
    EXPECT_EQ(P().Handle, stale);
    EXPECT_EQ(CountCalls(KQSIM_FT_OPENEX), 0);
}

TEST_F(Connection, ProbeAndReopenFailingIsAnUsbErrorWithHandleCleared) {
    Open();
    kqsim_unplug();
    EXPECT_EQ(kq::CheckConnection(&P()), KQ_ERR_USB);
    EXPECT_EQ(P().Handle, nullptr);
    EXPECT_EQ(kqsim_open_handles(), 0) << "the stale handle was leaked";
}

TEST_F(Connection, ReplugReaderIsReopened) {
    Open();
    const uint64_t stale = HandleValue(P().Handle);
    kqsim_unplug();
    kqsim_replug();
    EXPECT_EQ(kq::CheckConnection(&P()), KQ_OK);
    EXPECT_NE(HandleValue(P().Handle), stale);
    EXPECT_EQ(KQ_CheckStatusUSB(&P()), 0);
    EXPECT_EQ(kqsim_open_handles(), 1) << "the stale handle was leaked";
}

TEST_F(Connection, FailedProbeOfAPresentReaderReopensWithoutLeaking) {
    // A probe that fails once while the reader is still there: the reader is
    // still held by the old handle, which must be released for the reopen to
    // succeed.
    Open();
    const uint64_t old = HandleValue(P().Handle);
    kqsim_fail_call(KQSIM_FT_GETSTATUS, 4, 0, 1);
    EXPECT_EQ(kq::CheckConnection(&P()), KQ_OK);
    EXPECT_NE(HandleValue(P().Handle), old);
    EXPECT_EQ(kqsim_open_handles(), 1);
    EXPECT_EQ(KQ_CheckStatusUSB(&P()), 0);
}

} // namespace
} // namespace kqtest

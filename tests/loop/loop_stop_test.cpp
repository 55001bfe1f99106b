// KQ_LoopStop and the end of a loop worker: the stop handshake, the loss of
// the device, and stops that must not hang on a silent or vanished reader.
#include "loop/loop_helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kqtest {
namespace {

// Runs for both loops that the one-shot operations hand over to.
class LoopStop : public SimRecordTest, public ::testing::WithParamInterface<int> {
  protected:
    void SetUp() override {
        SimRecordTest::SetUp();
        // No tag, no periodic reports: the worker listens to a quiet reader.
        kqsim_set_loop_interval(0);
    }
    // Starts the loop of this test's kind through its exported operation.
    void StartLoop() {
        P().LoopMode = 1;
        if (GetParam() == KQ_LOOP_UID) {
            ASSERT_EQ(KQ_GetUID(&P()), KQ_OK);
        } else {
            // No tag in the field: the one-shot fails and the loop starts.
            std::strcpy(P().IN_TA, "ABC");
            ASSERT_EQ(KQ_TagCommand(&P()), KQ_OK);
        }
        ASSERT_NE(P().hThread, nullptr);
        ASSERT_EQ(P().LoopKind, GetParam());
    }
    void StartListening() {
        StartLoop();
        ASSERT_TRUE(WaitListening());
    }
    static void ExpectNullMessage(const KQ_NOTIFICATION& n) {
        EXPECT_EQ(n.Zero, 0u);
        EXPECT_EQ(n.wParam, 0u);
        EXPECT_EQ(n.lParam, 0u);
    }
    // A worker that ended by itself is released when the next loop starts.
    void RestartAndStop() {
        kqsim_replug();
        kqsim_clear_faults();
        kqsim_clear_scripts();
        int before = N().Count(WM_KQ_LOOPEND);
        kqsim_clear_logs();
        StartListening();
        EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
        EXPECT_EQ(P().hThread, nullptr);
        EXPECT_TRUE(WaitCount(N(), WM_KQ_LOOPEND, before + 1));
    }
};

std::string KindName(const ::testing::TestParamInfo<int>& info) {
    return info.param == KQ_LOOP_UID ? "Uid" : "TagCommand";
}

INSTANTIATE_TEST_SUITE_P(Kinds, LoopStop, ::testing::Values(KQ_LOOP_UID, KQ_LOOP_TAGCOMMAND),
                         KindName);

TEST_P(LoopStop, StopEndsTheWorkerWithOneLoopOffAndOneLoopEnd) {
    Open();
    StartListening();
    kqsim_clear_logs();
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_EQ(P().hThread, nullptr);
    EXPECT_EQ(P().StopFlag, 1);
    EXPECT_EQ(Frames(), std::vector<std::string>{Frame("LP")});
    EXPECT_EQ(kqsim_reader_loop_on(), 0);
    ASSERT_TRUE(WaitCount(N(), WM_KQ_LOOPEND, 1));
    N().Drain(50);
    ASSERT_EQ(N().Seen().size(), 1u) << "the quiet reader gave no data";
    EXPECT_EQ(N().Seen()[0].Message, static_cast<uint32_t>(WM_KQ_LOOPEND));
    ExpectNullMessage(N().Seen()[0]);

    // A second stop finds nothing to do.
    kqsim_clear_logs();
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_EQ(kqsim_call_count(), 0u);
    N().Drain(30);
    EXPECT_EQ(N().Seen().size(), 1u);
}

TEST_P(LoopStop, StopWhileTheWorkerWaitsInsideAReceive) {
    Open();
    StartListening();
    // The quiet reader keeps the worker in its receive poll.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto start = Clock::now();
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_EQ(P().hThread, nullptr);
    EXPECT_TRUE(WaitCount(N(), WM_KQ_LOOPEND, 1));
}

TEST_P(LoopStop, StopWhileAReportIsOnItsWay) {
    Open();
    StartListening();
    kqsim_reply_delay(60);
    ASSERT_EQ(kqsim_tag_add(Uid(1).c_str(), 4, 8), 0);
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_EQ(P().hThread, nullptr);
    ASSERT_TRUE(WaitCount(N(), WM_KQ_LOOPEND, 1));
    N().Drain(30);
    // The receive under way may or may not have caught the report; either
    // way it was handled before the worker ended, so nothing comes after
    // WM_KQ_LOOPEND.
    EXPECT_LE(N().Count(WM_KQ_DATA), 1);
    EXPECT_EQ(N().Count(WM_KQ_LOOPEND), 1);
    EXPECT_EQ(N().Seen().back().Message, static_cast<uint32_t>(WM_KQ_LOOPEND));
    if (N().Count(WM_KQ_DATA) == 1 && GetParam() == KQ_LOOP_UID) {
        EXPECT_EQ(P().OUT_GU.Count, 1);
        EXPECT_EQ(std::string(P().OUT_GU.TagInfo[0].UID), Uid(1));
    }
}

TEST_P(LoopStop, SilentReaderDoesNotHangTheStop) {
    Open();
    StartListening();
    kqsim_drop_reply("LP", -1);
    auto start = Clock::now();
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_LT(MsSince(start), 10000);
    EXPECT_EQ(P().hThread, nullptr);
    EXPECT_TRUE(WaitCount(N(), WM_KQ_LOOPEND, 1)) << "the stop cannot fail";
}

TEST_P(LoopStop, FailingQueuePollDoesNotHangTheStop) {
    Open();
    StartListening();
    kqsim_fail_call(KQSIM_FT_GETQUEUESTATUS, 4, 0, -1);
    auto start = Clock::now();
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_LT(MsSince(start), 10000);
    EXPECT_EQ(P().hThread, nullptr);
    EXPECT_TRUE(WaitCount(N(), WM_KQ_LOOPEND, 1));
}

TEST_P(LoopStop, StopWhileTheWorkerWaitsForItsLoopOnReply) {
    Open();
    kqsim_drop_reply("LT", 1);
    StartLoop();
    auto start = Clock::now();
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_LT(MsSince(start), 10000);
    EXPECT_EQ(P().hThread, nullptr);
    EXPECT_TRUE(WaitCount(N(), WM_KQ_LOOPEND, 1));
}

TEST_P(LoopStop, UnplugGivesOneUsbErrorAndNoLoopEnd) {
    Open();
    StartListening();
    kqsim_unplug();
    ASSERT_TRUE(WaitCount(N(), WM_KQ_USBERROR, 1));
    EXPECT_TRUE(WaitUntil([&] { return StopFlagOf(P()) == 1; }, 5000));
    kqsim_clear_logs();
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_EQ(kqsim_frame_count(), 0u) << "no LP after the worker ended by itself";
    N().Drain(100);
    EXPECT_EQ(N().Count(WM_KQ_USBERROR), 1);
    EXPECT_EQ(N().Count(WM_KQ_LOOPEND), 0);
    EXPECT_EQ(N().Count(WM_KQ_DATA), 0);
    ExpectNullMessage(N().Seen().front());
    // The finished worker is released all the same.
    EXPECT_EQ(P().hThread, nullptr);
    EXPECT_EQ(StopFlagOf(P()), 1);
    RestartAndStop();
}

TEST_P(LoopStop, StopAsSoonAsTheDeviceLossIsPostedGivesNoLoopEnd) {
    // A client that stops the loop the moment it learns of the loss: the
    // worker has ended by itself, so the stop has nothing to end. The moment
    // is a race with the worker's last steps, hence the repetitions.
    constexpr int kLosses = 50;
    kqsim_set_logging(0);
    Open();
    for (int i = 1; i <= kLosses; ++i) {
        kqsim_replug();
        StartLoop();
        kqsim_unplug();
        ASSERT_TRUE(WaitCount(N(), WM_KQ_USBERROR, i)) << "loss " << i;
        EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
        ASSERT_EQ(N().Count(WM_KQ_LOOPEND), 0)
            << "loss " << i << ": no WM_KQ_LOOPEND follows WM_KQ_USBERROR";
    }
    N().Drain(100);
    EXPECT_EQ(N().Count(WM_KQ_USBERROR), kLosses);
    EXPECT_EQ(N().Count(WM_KQ_LOOPEND), 0);
    kqsim_set_logging(1);
    RestartAndStop();
}

TEST_P(LoopStop, UnplugWhileTheLoopRunsWithDataSeen) {
    Open();
    StartListening();
    if (GetParam() == KQ_LOOP_UID) {
        ASSERT_TRUE(InjectAndWaitHandled(GuReply("00", {})));
    } else {
        ASSERT_TRUE(InjectAndWaitHandled(TaReply('0', "00AB")));
    }
    ASSERT_TRUE(WaitCount(N(), WM_KQ_DATA, 1));
    kqsim_unplug();
    ASSERT_TRUE(WaitCount(N(), WM_KQ_USBERROR, 1));
    N().Drain(100);
    // Nothing follows the device loss.
    EXPECT_EQ(N().Seen().back().Message, static_cast<uint32_t>(WM_KQ_USBERROR));
    EXPECT_EQ(N().Count(WM_KQ_USBERROR), 1);
    EXPECT_EQ(N().Count(WM_KQ_DATA), 1);
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    N().Drain(30);
    EXPECT_EQ(N().Count(WM_KQ_LOOPEND), 0);
    RestartAndStop();
}

TEST_P(LoopStop, VanishedReaderDoesNotHangThePreparation) {
    Open();
    StartListening();
    kqsim_unplug();
    auto start = Clock::now();
    // The preparation fails on the connection check before it stops
    // anything; the worker ends by itself on its next probe.
    EXPECT_EQ(KQ_GetUID(&P()), KQ_ERR_USB);
    EXPECT_LT(MsSince(start), 10000);
    ASSERT_TRUE(WaitCount(N(), WM_KQ_USBERROR, 1));
    start = Clock::now();
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_LT(MsSince(start), 10000);
    N().Drain(50);
    EXPECT_EQ(N().Count(WM_KQ_USBERROR), 1);
    RestartAndStop();
}

// A multi loop worker beeps after every tag it handled; a reader that does
// not answer the beep must not hold the worker, and with it the stop, even
// when the record's timeouts are 0 (no limit to the driver).
class BeepingMultiLoop : public SimRecordTest, public ::testing::WithParamInterface<int> {};

INSTANTIATE_TEST_SUITE_P(Kinds, BeepingMultiLoop,
                         ::testing::Values(KQ_LOOP_MULTIREAD, KQ_LOOP_MULTIWRITE),
                         [](const ::testing::TestParamInfo<int>& kind) {
                             return kind.param == KQ_LOOP_MULTIREAD ? "MultiRead" : "MultiWrite";
                         });

TEST_P(BeepingMultiLoop, StopReturnsWhileTheWorkerBeepsAtASilentReader) {
    P().ReadTimeout = 0;
    P().WriteTimeout = 0;
    Open();
    ASSERT_EQ(kqsim_tag_add(Uid(1).c_str(), 4, 8), 0);
    kqsim_drop_reply("BZ", -1);
    P().LoopMode = 1;
    P().BuzzerOn = 1;
    P().BuzzerTime = 0;
    ASSERT_EQ(StartMultiLoopOnFirstTag(P(), GetParam()), KQ_OK);
    ASSERT_TRUE(WaitUntil([] { return !FramesOf("BZ").empty(); }, 20000)) << "no beep";
    int r = -1;
    ASSERT_TRUE(ReturnsWithin([&] { r = KQ_LoopStop(&P()); }, 60000));
    EXPECT_EQ(r, KQ_OK);
    EXPECT_EQ(P().hThread, nullptr);
    EXPECT_TRUE(WaitCount(N(), WM_KQ_LOOPEND, 1));
}

// A record as a client zeroes it: StopFlag 0, no thread.
using LoopStopZeroed = SimRecordTest;

TEST_F(LoopStopZeroed, SetsStopFlagAndTouchesNothingElse) {
    P().StopFlag = 0;
    kqsim_clear_logs();
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_EQ(P().StopFlag, 1);
    EXPECT_EQ(P().hThread, nullptr);
    EXPECT_EQ(kqsim_call_count(), 0u);
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_EQ(P().StopFlag, 1);
    EXPECT_EQ(kqsim_call_count(), 0u);
    EXPECT_EQ(N().Drain(50).size(), 0u);
}

TEST_F(LoopStopZeroed, OpenDeviceGetsNoLoopOff) {
    Open();
    P().StopFlag = 0;
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_EQ(kqsim_frame_count(), 0u);
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_EQ(kqsim_frame_count(), 0u);
    EXPECT_EQ(N().Drain(50).size(), 0u);
}

} // namespace
} // namespace kqtest

// Loop workers started and stopped many times in a row, and restarted after
// device losses: afterwards no thread, descriptor or driver handle is left.
#include "loop/loop_helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kqtest {
namespace {

constexpr int kCycles = 200;

class LoopStress : public SimRecordTest, public ::testing::WithParamInterface<int> {
  protected:
    void SetUp() override {
        SimRecordTest::SetUp();
        kqsim_set_logging(0);
    }
    // Starts a loop of the given kind through its exported operation.
    int Start(int kind) {
        P().LoopMode = 1;
        switch (kind) {
        case KQ_LOOP_UID:
            return KQ_GetUID(&P());
        case KQ_LOOP_TAGCOMMAND:
            return KQ_TagCommand(&P());
        case KQ_LOOP_MULTIREAD:
            return KQ_MultiRead(&P());
        default:
            return KQ_MultiWrite(&P());
        }
    }
    // One cycle: start, let it run for a moment (none to a few ms), stop.
    void Cycle(int kind, int i) {
        ASSERT_EQ(Start(kind), KQ_OK) << "cycle " << i;
        ASSERT_NE(P().hThread, nullptr) << "cycle " << i;
        ASSERT_EQ(P().LoopKind, kind);
        if (i % 3 != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(i % 5));
        }
        ASSERT_EQ(KQ_LoopStop(&P()), KQ_OK);
        ASSERT_EQ(P().hThread, nullptr) << "cycle " << i;
        ASSERT_EQ(P().StopFlag, 1) << "cycle " << i;
        N().Drain(0);
    }
};

INSTANTIATE_TEST_SUITE_P(Kinds, LoopStress,
                         ::testing::Values(KQ_LOOP_UID, KQ_LOOP_TAGCOMMAND, KQ_LOOP_MULTIREAD,
                                           KQ_LOOP_MULTIWRITE),
                         LoopKindName);

TEST_P(LoopStress, StartAndStopHundredsOfTimes) {
    const int kind = GetParam();
    if (kind == KQ_LOOP_UID || kind == KQ_LOOP_TAGCOMMAND) {
        // A tag answering all the time keeps these workers' receives short.
        ASSERT_EQ(kqsim_tag_add(Uid(1).c_str(), 4, 8), 0);
        kqsim_set_loop_interval(1);
        // A failing first tag command hands over to the loop.
        kqsim_ta_script("S", '0', "01");
        std::strcpy(P().IN_TA, "S");
    } else {
        // The multi loops poll with GU themselves; an empty field keeps their
        // passes short (no reads or writes).
        P().IN_MR.BlockCount = 1;
        P().IN_MW.BlockCount = 1;
    }
    Open();
    // Warm-up: whatever the first cycle creates once (driver binding, the
    // simulator's own state) is not counted as left over.
    Cycle(kind, 0);
    const int tasks = TaskCount();
    const int fds = FdCount();

    auto start = Clock::now();
    for (int i = 1; i <= kCycles && !HasFatalFailure(); ++i) {
        Cycle(kind, i);
    }
    ASSERT_FALSE(HasFatalFailure());
    N().Drain(50);
    EXPECT_EQ(N().Count(WM_KQ_LOOPEND), kCycles + 1) << "one WM_KQ_LOOPEND per stop";
    EXPECT_EQ(N().Count(WM_KQ_USBERROR), 0);
    EXPECT_LT(MsSince(start), 120000);

    if (tasks >= 0) {
        EXPECT_TRUE(WaitUntil([&] { return TaskCount() == tasks; }, 2000))
            << "threads: " << TaskCount() << ", before: " << tasks;
        EXPECT_EQ(FdCount(), fds);
    }
    EXPECT_EQ(kqsim_open_handles(), 1) << "only the record's own handle";
    EXPECT_EQ(KQ_CloseUSB(&P()), KQ_OK);
    EXPECT_EQ(kqsim_open_handles(), 0);
}

// Device lost and back, again and again: each new loop releases the worker
// that ended by itself.
using LoopRestart = SimRecordTest;

TEST_F(LoopRestart, RestartAfterDeviceLossReleasesTheFinishedWorker) {
    kqsim_set_loop_interval(0);
    Open();
    P().LoopMode = 1;
    // Warm-up: a runtime may start a helper thread of its own with the
    // process's first thread (ThreadSanitizer does).
    ASSERT_EQ(KQ_GetUID(&P()), KQ_OK);
    ASSERT_EQ(KQ_LoopStop(&P()), KQ_OK);
    const int tasks = TaskCount();
    ASSERT_EQ(KQ_GetUID(&P()), KQ_OK);
    if (tasks >= 0) {
        EXPECT_TRUE(WaitUntil([&] { return TaskCount() == tasks + 1; }, 2000));
    }
    kqsim_unplug();
    ASSERT_TRUE(WaitCount(N(), WM_KQ_USBERROR, 1));
    if (tasks >= 0) {
        EXPECT_TRUE(WaitUntil([&] { return TaskCount() == tasks; }, 2000))
            << "the worker ends after a device loss";
    }
    void* finished = P().hThread;
    EXPECT_NE(finished, nullptr);

    kqsim_replug();
    ASSERT_EQ(KQ_GetUID(&P()), KQ_OK);
    EXPECT_NE(P().hThread, nullptr);
    EXPECT_EQ(StopFlagOf(P()), 0);
    if (tasks >= 0) {
        EXPECT_TRUE(WaitUntil([&] { return TaskCount() == tasks + 1; }, 2000))
            << "exactly one worker runs";
    }
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_EQ(P().hThread, nullptr);
    if (tasks >= 0) {
        EXPECT_TRUE(WaitUntil([&] { return TaskCount() == tasks; }, 2000));
    }
    EXPECT_TRUE(WaitCount(N(), WM_KQ_LOOPEND, 2));
    EXPECT_EQ(kqsim_open_handles(), 1);
}

TEST_F(LoopRestart, ManyDeviceLossesLeaveNothingBehind) {
    constexpr int kLosses = 40;
    kqsim_set_loop_interval(0);
    kqsim_set_logging(0);
    Open();
    P().LoopMode = 1;
    // Warm-up: the first worker's start and stop.
    ASSERT_EQ(KQ_GetUID(&P()), KQ_OK);
    ASSERT_EQ(KQ_LoopStop(&P()), KQ_OK);
    const int tasks = TaskCount();
    const int fds = FdCount();
    const int maps = MappingCount();

    for (int i = 1; i <= kLosses; ++i) {
        ASSERT_EQ(KQ_GetUID(&P()), KQ_OK) << "loss " << i;
        kqsim_unplug();
        ASSERT_TRUE(WaitCount(N(), WM_KQ_USBERROR, i)) << "loss " << i;
        ASSERT_TRUE(WaitUntil([&] { return StopFlagOf(P()) == 1; }, 2000));
        // Half the time the client stops the ended loop itself; otherwise the
        // next start finds the finished worker.
        if (i % 2 == 0) {
            EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
            EXPECT_EQ(P().hThread, nullptr);
        }
        kqsim_replug();
    }
    // A last proper start and stop releases the last finished worker.
    ASSERT_EQ(KQ_GetUID(&P()), KQ_OK);
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_EQ(P().hThread, nullptr);
    N().Drain(30);
    EXPECT_EQ(N().Count(WM_KQ_USBERROR), kLosses);
    EXPECT_EQ(N().Count(WM_KQ_LOOPEND), 2) << "only the first and the last stop end a worker";

    if (tasks >= 0) {
        EXPECT_TRUE(WaitUntil([&] { return TaskCount() == tasks; }, 2000));
        EXPECT_EQ(FdCount(), fds);
#if !defined(KQ_TEST_TSAN) && !defined(KQ_TEST_ASAN)
        // A thread that ended but was never joined keeps its stack mapped;
        // joined ones go to the C library's small stack cache. (Under the
        // sanitizers their own leak checks catch this instead.)
        EXPECT_LT(MappingCount() - maps, kLosses / 2) << "finished workers were not released";
#else
        (void)maps;
#endif
    }
    EXPECT_EQ(kqsim_open_handles(), 1);
}

} // namespace
} // namespace kqtest

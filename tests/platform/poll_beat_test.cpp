// The fixed 1 ms beat of the library's polls, and on Windows the path its
// precise waits take. Sleeps never end early, so the lower bounds below hold
// on any machine, however loaded; the upper bounds only catch a hang.
#include "platform/platform.h"

#include "kq.h"
#include "kqsim.h"
#include "support/sim_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

#if defined(__linux__)
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
using kq::PollBeat;

double MsSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

constexpr double kHang = 10000; // ms

TEST(PollBeat, TheKthWaitEndsKBeatsAfterTheStart) {
    auto before = Clock::now();
    PollBeat beat;
    kq::PollBeatStart(&beat);
    for (int i = 0; i < 40; ++i) {
        kq::PollBeatNext(&beat);
    }
    kq::PollBeatEnd(&beat);
    double ms = MsSince(before);
    EXPECT_GE(ms, 39.99);
    EXPECT_LT(ms, kHang);
}

TEST(PollBeat, BeatsMissedWhileHeldUpAreDroppedNotFiredBackToBack) {
    PollBeat beat;
    kq::PollBeatStart(&beat);
    std::this_thread::sleep_for(std::chrono::milliseconds(25)); // held up
    auto resumed = Clock::now();
    kq::PollBeatNext(&beat);
    double first = MsSince(resumed);
    for (int i = 0; i < 9; ++i) {
        kq::PollBeatNext(&beat);
    }
    double ten = MsSince(resumed);
    kq::PollBeatEnd(&beat);
    // Catching up would return at once for each of the 25 missed beats.
    EXPECT_GE(first, 0.99);
    EXPECT_GE(ten, 9.99);
    EXPECT_LT(ten, kHang);
}

TEST(PollBeat, ABeatFallenBehindCatchesUpAtHalfBeatsNeverBackToBack) {
    auto before = Clock::now();
    PollBeat beat;
    kq::PollBeatStart(&beat);
    std::this_thread::sleep_for(std::chrono::microseconds(2500)); // 1.5 beats late
    double shortest = kHang;
    for (int i = 0; i < 10; ++i) {
        auto wait = Clock::now();
        kq::PollBeatNext(&beat);
        shortest = std::min(shortest, MsSince(wait));
    }
    kq::PollBeatEnd(&beat);
    EXPECT_GE(shortest, 0.49);        // the missed beats come half a beat apart at most
    EXPECT_GE(MsSince(before), 9.99); // and the tenth wait ends on its beat
}

TEST(PollBeat, SleepLastsItsMilliseconds) {
    auto before = Clock::now();
    kq::SleepMs(15);
    double ms = MsSince(before);
    EXPECT_GE(ms, 14.99);
    EXPECT_LT(ms, kHang);
}

#if defined(__linux__)

// The calling thread's timer slack, whole (prctl() returns it as an int).
long ThreadSlack() {
    return syscall(SYS_prctl, PR_GET_TIMERSLACK, 0L, 0L, 0L, 0L);
}

// The timer slack a beat lowers is the waiting thread's own: the caller's is
// back when the beat ends, on every way out of the library's waits, and an
// inner beat does not give back the outer one's early.
class ThreadSlackTest : public kqtest::SimRecordTest {
  protected:
    static constexpr long kCallers = 200000; // ns, a program's own choice
    void SetUp() override {
        kqtest::SimRecordTest::SetUp();
        saved_ = ThreadSlack();
        if (saved_ <= 0 || prctl(PR_SET_TIMERSLACK, kCallers, 0, 0, 0) != 0) {
            saved_ = 0;
            GTEST_SKIP() << "this thread's timer slack cannot be set";
        }
    }
    void TearDown() override {
        kqtest::SimRecordTest::TearDown();
        if (saved_ > 0) {
            prctl(PR_SET_TIMERSLACK, saved_, 0, 0, 0);
        }
    }
    long saved_ = 0;
};

TEST_F(ThreadSlackTest, IsLowWhileBeatsRunAndTheCallersAfter) {
    PollBeat outer;
    kq::PollBeatStart(&outer);
    EXPECT_EQ(ThreadSlack(), 1);
    PollBeat inner;
    kq::PollBeatStart(&inner);
    kq::PollBeatNext(&inner);
    kq::PollBeatEnd(&inner);
    EXPECT_EQ(ThreadSlack(), 1);
    kq::PollBeatNext(&outer);
    kq::PollBeatEnd(&outer);
    EXPECT_EQ(ThreadSlack(), kCallers);

    // Operations that end with a reply, without one, on a failed poll, and
    // a loop worker stopped from this thread.
    Open();
    kqsim_tag_add("E004010000000001", 4, 64);
    EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
    EXPECT_EQ(ThreadSlack(), kCallers);
    EXPECT_EQ(KQ_BuzzerCommand(&P(), 0), KQ_OK);
    EXPECT_EQ(ThreadSlack(), kCallers);
    kqsim_drop_reply("TA", 1);
    std::strcpy(P().IN_TA, "0123");
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_ERR_NOREPLY);
    EXPECT_EQ(ThreadSlack(), kCallers);
    kqsim_fail_call(KQSIM_FT_GETSTATUS, 4, 1, 1);
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_ERR_RECEIVE);
    EXPECT_EQ(ThreadSlack(), kCallers);
    P().LoopMode = 1;
    EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_EQ(ThreadSlack(), kCallers);
}

TEST_F(ThreadSlackTest, AboveTwoSecondsComesBackWhole) {
#if ULONG_MAX <= 0xffffffffUL
    GTEST_SKIP() << "a long cannot hold a slack above 4.2 s";
#else
    const unsigned long kLong = 5000000000UL; // more than an int holds
    ASSERT_EQ(prctl(PR_SET_TIMERSLACK, kLong, 0, 0, 0), 0);
    PollBeat beat;
    kq::PollBeatStart(&beat);
    kq::PollBeatNext(&beat);
    kq::PollBeatEnd(&beat);
    EXPECT_EQ(ThreadSlack(), static_cast<long>(kLong));
    kq::SleepMs(1);
    EXPECT_EQ(ThreadSlack(), static_cast<long>(kLong));
#endif
}

TEST_F(ThreadSlackTest, IsLowWhileASleepLastsAndTheCallersAfter) {
    // Seen from another thread while this one sleeps.
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/timerslack_ns", static_cast<long>(gettid()));
    long during = -1;
    bool readable = false;
    std::thread watcher([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (FILE* f = std::fopen(path, "r")) {
            readable = std::fscanf(f, "%ld", &during) == 1;
            std::fclose(f);
        }
    });
    kq::SleepMs(300);
    watcher.join();
    EXPECT_EQ(ThreadSlack(), kCallers);
    if (!readable) {
        GTEST_SKIP() << "cannot read " << path;
    }
    EXPECT_EQ(during, 1);
}

#endif

#ifdef _WIN32

// Restores the path found on the system after a test forced one.
class PreciseWait : public ::testing::Test {
  protected:
    void SetUp() override { found_ = kq::PreciseWaitPath(); }
    void TearDown() override {
        kq::ForcePreciseWaitPath(found_);
        EXPECT_EQ(kq::RaisedResolutionHolders(), 0u);
    }
    kq::WaitPath found_ = kq::WaitPath::Monotonic;
};

TEST_F(PreciseWait, PathIsTheOneTheSystemHas) {
    HANDLE probe =
        CreateWaitableTimerExW(nullptr, nullptr, 0x2 /* high resolution */, TIMER_ALL_ACCESS);
    bool high_resolution = probe != nullptr;
    if (probe != nullptr) {
        CloseHandle(probe);
    }
    std::printf("precise wait path: %s\n",
                high_resolution ? "high-resolution waitable timer" : "raised timer resolution");
    EXPECT_EQ(found_,
              high_resolution ? kq::WaitPath::HighResolutionTimer : kq::WaitPath::RaisedResolution);
}

TEST_F(PreciseWait, HighResolutionBeatsLeaveTheTimerResolutionAlone) {
    if (found_ != kq::WaitPath::HighResolutionTimer) {
        GTEST_SKIP() << "no high-resolution timers on this system";
    }
    PollBeat beat;
    kq::PollBeatStart(&beat);
    EXPECT_NE(beat.timer, nullptr);
    EXPECT_FALSE(beat.raised);
    kq::PollBeatNext(&beat);
    EXPECT_EQ(kq::RaisedResolutionHolders(), 0u);
    kq::PollBeatEnd(&beat);
}

TEST_F(PreciseWait, RaisedResolutionIsHeldWhileBeatsRunAndReleasedAfter) {
    kq::ForcePreciseWaitPath(kq::WaitPath::RaisedResolution);
    EXPECT_EQ(kq::RaisedResolutionHolders(), 0u);
    PollBeat a;
    kq::PollBeatStart(&a);
    EXPECT_TRUE(a.raised);
    EXPECT_EQ(kq::RaisedResolutionHolders(), 1u);
    PollBeat b;
    kq::PollBeatStart(&b);
    EXPECT_EQ(kq::RaisedResolutionHolders(), 2u);
    auto before = Clock::now();
    for (int i = 0; i < 5; ++i) {
        kq::PollBeatNext(&a);
        kq::PollBeatNext(&b);
    }
    EXPECT_GE(MsSince(before), 4.0);
    kq::PollBeatEnd(&a);
    EXPECT_EQ(kq::RaisedResolutionHolders(), 1u);
    kq::PollBeatEnd(&b);
    EXPECT_EQ(kq::RaisedResolutionHolders(), 0u);

    // A plain sleep holds it only while it sleeps.
    std::atomic<bool> sleeping{false};
    std::thread sleeper([&] {
        sleeping = true;
        kq::SleepMs(300);
    });
    while (!sleeping) {
        std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(kq::RaisedResolutionHolders(), 1u);
    sleeper.join();
    EXPECT_EQ(kq::RaisedResolutionHolders(), 0u);
}

// The library's own waits: an operation releases the raised resolution when
// it returns, a loop worker holds it until it has ended.
class PreciseWaitOperations : public kqtest::SimRecordTest {
  protected:
    void SetUp() override {
        found_ = kq::PreciseWaitPath();
        kqtest::SimRecordTest::SetUp();
    }
    void TearDown() override {
        kqtest::SimRecordTest::TearDown();
        kq::ForcePreciseWaitPath(found_);
        EXPECT_EQ(kq::RaisedResolutionHolders(), 0u);
    }
    kq::WaitPath found_ = kq::WaitPath::Monotonic;
};

TEST_F(PreciseWaitOperations, ResolutionIsReleasedWhenOperationsAndWorkersEnd) {
    kq::ForcePreciseWaitPath(kq::WaitPath::RaisedResolution);
    Open();
    kqsim_tag_add("E004010000000001", 4, 64);
    EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
    EXPECT_EQ(kq::RaisedResolutionHolders(), 0u);
    EXPECT_EQ(KQ_BuzzerCommand(&P(), 0), KQ_OK);
    EXPECT_EQ(kq::RaisedResolutionHolders(), 0u);

    // A reply that never comes: the whole receive window.
    kqsim_drop_reply("TA", 1);
    std::strcpy(P().IN_TA, "0123");
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_ERR_NOREPLY);
    EXPECT_EQ(kq::RaisedResolutionHolders(), 0u);

    P().LoopMode = 1;
    EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_GE(kq::RaisedResolutionHolders(), 1u); // the worker's beat
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_EQ(kq::RaisedResolutionHolders(), 0u);
}

#endif

} // namespace

// The UID loop worker: which inventory reports it accepts, what it stores in
// OUT_GU and what it posts, and how it follows the tags in the field.
#include "loop/loop_helpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace kqtest {
namespace {

class UidLoop : public SimRecordTest {
  protected:
    void SetUp() override {
        SimRecordTest::SetUp();
        // Reports only when the field changes, so OUT_GU stays still between
        // a notification and the test's reading of it.
        kqsim_set_loop_interval(0);
    }
    void StartLoop(unsigned char buzzer_on = 0) {
        Open();
        P().LoopMode = 1;
        P().BuzzerOn = buzzer_on;
        ASSERT_EQ(KQ_GetUID(&P()), KQ_OK);
        ASSERT_TRUE(WaitListening());
    }
    // Feeds one report; true when the worker posted for it.
    bool Feed(const std::string& report) {
        int before = N().Count(WM_KQ_DATA);
        EXPECT_TRUE(InjectAndWaitHandled(report)) << Show(report);
        if (!WaitCount(N(), WM_KQ_DATA, before + 1, 50)) {
            return false;
        }
        return N().Count(WM_KQ_DATA) == before + 1;
    }
    std::string UidAt(int i) const {
        return std::string(prop_->OUT_GU.TagInfo[i].UID, sizeof prop_->OUT_GU.TagInfo[i].UID);
    }
    bool EntryEmpty(int i) const {
        const auto* b = reinterpret_cast<const unsigned char*>(&prop_->OUT_GU.TagInfo[i]);
        for (size_t k = 0; k < sizeof(KQ_TAGINFO); ++k) {
            if (b[k] != 0) {
                return false;
            }
        }
        return true;
    }
};

TEST_F(UidLoop, ReportWithTwoTagsIsStoredAndPosted) {
    StartLoop();
    ASSERT_TRUE(Feed(GuReply("02", {Uid(1), Uid(2)})));
    EXPECT_EQ(P().OUT_GU.Count, 2);
    EXPECT_EQ(UidAt(0), Uid(1) + '\0');
    EXPECT_EQ(UidAt(1), Uid(2) + '\0');
    EXPECT_TRUE(EntryEmpty(2));
    EXPECT_TRUE(EntryEmpty(3));
}

TEST_F(UidLoop, DataMessageCarriesTheRecordAddress) {
    StartLoop();
    ASSERT_TRUE(Feed(GuReply("01", {Uid(1)})));
    const KQ_NOTIFICATION& n = N().Seen().back();
    EXPECT_EQ(n.Message, static_cast<uint32_t>(WM_KQ_DATA));
    EXPECT_EQ(n.Zero, 0u);
    EXPECT_EQ(n.wParam, 0u);
    EXPECT_EQ(n.lParam, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&P())));
}

TEST_F(UidLoop, CountZeroClearsAllEntriesAndPosts) {
    StartLoop();
    ASSERT_TRUE(Feed(GuReply("03", {Uid(1), Uid(2), Uid(3)})));
    ASSERT_TRUE(Feed(GuReply("00", {})));
    EXPECT_EQ(P().OUT_GU.Count, 0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(EntryEmpty(i)) << i;
    }
}

TEST_F(UidLoop, ThreeTagsAreAccepted) {
    StartLoop();
    const std::string report = GuReply("03", {Uid(7), Uid(8), Uid(9)});
    ASSERT_EQ(report.size(), 57u);
    ASSERT_TRUE(Feed(report));
    EXPECT_EQ(P().OUT_GU.Count, 3);
    EXPECT_EQ(UidAt(2), Uid(9) + '\0');
}

TEST_F(UidLoop, FourTagsAreDroppedAndOutputKept) {
    StartLoop();
    ASSERT_TRUE(Feed(GuReply("01", {Uid(1)})));
    EXPECT_FALSE(Feed(GuReply("04", {Uid(1), Uid(2), Uid(3), Uid(4)})));
    EXPECT_EQ(P().OUT_GU.Count, 1);
    EXPECT_EQ(UidAt(0), Uid(1) + '\0');
    EXPECT_TRUE(EntryEmpty(1));
    // Still listening.
    EXPECT_TRUE(Feed(GuReply("01", {Uid(2)})));
}

TEST_F(UidLoop, MalformedReportsAreDropped) {
    StartLoop();
    ASSERT_TRUE(Feed(GuReply("01", {Uid(1)})));
    const std::string bad[] = {
        GuReply("0A", {Uid(2)}), // count not two digits
        GuReply(" 1", {Uid(2)}),
        GuReply("1:", {Uid(2)}),
        GuReply("05", {}), // five or more
        GuReply("99", {Uid(2)}),
        Frame("RGU101" + Uid(2)), // reader status not '0'
        Frame("RGUA01" + Uid(2)),
        Frame("RGUG01" + Uid(2)),
        Frame("RGU"),  // no status at all
        Frame("RGU0"), // no count
        // Not an inventory report as a whole: other letters before the
        // status, fewer or more UIDs than counted, no STX, no CR LF.
        Frame("XYZ001" + Uid(6)),
        Frame("RTA001" + Uid(6)),
        GuReply("02", {Uid(5)}),
        GuReply("01", {Uid(5), Uid(6)}),
        GuReply("01", {Uid(5).substr(0, 15)}),
        GuReply("01", {Uid(5)}).substr(1),
        GuReply("01", {Uid(5)}).substr(0, 23) + "\n\r",
        std::string("\x02RGU001") + '\0' + Uid(5).substr(1) + "\r\n",
    };
    for (const auto& report : bad) {
        EXPECT_FALSE(Feed(report)) << Show(report);
        EXPECT_EQ(P().OUT_GU.Count, 1) << Show(report);
        EXPECT_EQ(UidAt(0), Uid(1) + '\0') << Show(report);
    }
    EXPECT_EQ(N().Count(WM_KQ_DATA), 1);
}

TEST_F(UidLoop, LoopOnAsksForBeepsOnlyWhenBuzzerOnIsExactlyOne) {
    const std::pair<unsigned char, const char*> cases[] = {
        {1, "LT01"}, {0, "LT00"}, {2, "LT00"}, {0xFF, "LT00"}};
    for (auto [on, lt] : cases) {
        P().BuzzerOn = on;
        if (P().Handle == nullptr) {
            Open();
        }
        kqsim_clear_logs();
        P().LoopMode = 1;
        ASSERT_EQ(KQ_GetUID(&P()), KQ_OK);
        ASSERT_TRUE(WaitListening());
        EXPECT_EQ(FramesOf("LT"), std::vector<std::string>{Frame(lt)}) << int(on);
        KQ_LoopStop(&P());
    }
}

TEST_F(UidLoop, ClearsTheOneShotResultWhenItStarts) {
    // Four tags: the one-shot fills all entries; the reader's own reports
    // (count 04) are dropped by the loop, so only the start can clear them.
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(kqsim_tag_add(Uid(i).c_str(), 4, 8), 0);
    }
    kqsim_set_loop_interval(5);
    StartLoop();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    KQ_LoopStop(&P());
    EXPECT_EQ(N().Count(WM_KQ_DATA), 0);
    EXPECT_EQ(P().OUT_GU.Count, 0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(EntryEmpty(i)) << i;
    }
}

TEST_F(UidLoop, FollowsTagsArrivingAndLeaving) {
    StartLoop();
    ASSERT_EQ(kqsim_tag_add(Uid(1).c_str(), 4, 8), 0);
    ASSERT_TRUE(WaitCount(N(), WM_KQ_DATA, 1));
    EXPECT_EQ(P().OUT_GU.Count, 1);
    EXPECT_EQ(UidAt(0), Uid(1) + '\0');

    ASSERT_EQ(kqsim_tag_add(Uid(2).c_str(), 4, 8), 0);
    ASSERT_TRUE(WaitCount(N(), WM_KQ_DATA, 2));
    EXPECT_EQ(P().OUT_GU.Count, 2);
    EXPECT_EQ(UidAt(1), Uid(2) + '\0');

    ASSERT_EQ(kqsim_tag_remove(Uid(1).c_str()), 0);
    ASSERT_TRUE(WaitCount(N(), WM_KQ_DATA, 3));
    EXPECT_EQ(P().OUT_GU.Count, 1);
    EXPECT_EQ(UidAt(0), Uid(2) + '\0');
    EXPECT_TRUE(EntryEmpty(1));

    kqsim_field_clear();
    ASSERT_TRUE(WaitCount(N(), WM_KQ_DATA, 4));
    EXPECT_EQ(P().OUT_GU.Count, 0);
    EXPECT_TRUE(EntryEmpty(0));
}

#ifndef KQ_TEST_TSAN
// The worker reads the count back from the record while the client may be
// writing it. Whatever the record holds, the worker must stay within the
// four entries: nothing after OUT_GU changes, in the record or past its end.
// (This test races with the worker on purpose, so it does not run under
// ThreadSanitizer.)
TEST_F(UidLoop, ClientOverwritingTheCountNeverTakesTheWorkerPastFourEntries) {
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(kqsim_tag_add(Uid(i).c_str(), 4, 8), 0);
    }
    kqsim_set_loop_interval(1);
    kqsim_set_logging(0);
    // The record at the start of a zeroed area as large as 255 entries would
    // reach, so that stray writes land where they can be seen.
    constexpr size_t kReach = offsetof(KQ_PROPERTY, OUT_GU) + sizeof(KQ_OUT_GU) * 2 + 256 * 2066;
    std::vector<unsigned char> area(kReach, 0);
    auto* rec = reinterpret_cast<KQ_PROPERTY*>(area.data());
    rec->SerialNo = P().SerialNo;
    rec->ReadTimeout = P().ReadTimeout;
    rec->WriteTimeout = P().WriteTimeout;
    rec->hWnd = P().hWnd;
    rec->StopFlag = 1;
    rec->LoopMode = 1;
    ASSERT_EQ(KQ_OpenUSB(rec), KQ_OK);
    ASSERT_EQ(KQ_GetUID(rec), KQ_OK);
    std::atomic<bool> done{false};
    std::thread client([&] {
        while (!done.load(std::memory_order_relaxed)) {
            __atomic_store_n(&rec->OUT_GU.Count, static_cast<unsigned char>(0xFF),
                             __ATOMIC_RELAXED);
        }
    });
    EXPECT_TRUE(WaitCount(N(), WM_KQ_DATA, 300, 20000));
    done = true;
    client.join();
    KQ_LoopStop(rec);
    EXPECT_EQ(KQ_CloseUSB(rec), KQ_OK);
    const size_t after = offsetof(KQ_PROPERTY, OUT_MR);
    size_t dirty = 0;
    for (size_t i = after; i < area.size(); ++i) {
        dirty += area[i] != 0;
    }
    EXPECT_EQ(dirty, 0u) << "bytes written past the four entries";
}
#endif

} // namespace
} // namespace kqtest

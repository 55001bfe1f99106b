// The reports a reader sends by itself, as the loop workers receive them at
// the wire rate: split across the end of a receive window at every byte
// position, late by more than a window, several in one read, among junk.
// Every report reaches the record exactly once; nothing malformed is stored.
#include "loop/loop_helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace kqtest {
namespace {

// Queue polls of one receive window. The window that reads the head of a
// report split this many polls ahead of its tail gives up before the tail
// is readable, so the tail arrives in a later window.
constexpr unsigned kWindowPolls = 202;
// Upper bound of one wait for a report to be stored: generous, for slow
// emulated runs (qemu-i386, Wine); a passing run never comes near it.
constexpr int kReportWaitMs = 20000;

// Waits until the reader's answer to the n-th LT frame has been read: the
// worker listens, and the next bytes queued are for its receive.
bool WaitLoopOnAnswered(size_t n, int timeout_ms = 20000) {
    return WaitUntil(
        [n] {
            auto frames = Frames();
            size_t seen = 0;
            for (const auto& c : Calls()) {
                if (c.fn == KQSIM_FT_WRITE && c.a1 < frames.size() &&
                    frames[c.a1].compare(0, 3, "\x02LT") == 0) {
                    ++seen;
                } else if (seen == n && c.fn == KQSIM_FT_READ) {
                    return true;
                }
            }
            return false;
        },
        timeout_ms);
}

class Reports : public SimRecordTest {
  protected:
    void SetUp() override {
        SimRecordTest::SetUp();
        kqsim_set_timing(1);        // bytes paced at 3840 per second
        kqsim_set_loop_interval(0); // reports only when the field changes
    }
    std::string UidAt(int i) const { return prop_->OUT_GU.TagInfo[i].UID; }
};

TEST_F(Reports, UidLoopStoresEveryReportSplitAcrossAWindowOnce) {
    Open();
    P().LoopMode = 1;
    ASSERT_EQ(KQ_GetUID(&P()), KQ_OK);
    ASSERT_TRUE(WaitListening());
    // Three reports in quick succession, read together or apart.
    std::vector<std::string> field;
    for (int i = 0; i < 3; ++i) {
        field.push_back(Uid(i));
        ASSERT_EQ(kqsim_tag_add(field.back().c_str(), 4, 8), 0);
    }
    int posts = 3;
    ASSERT_TRUE(WaitCount(N(), WM_KQ_DATA, posts, kReportWaitMs));
    const size_t length = GuReply("03", field).size();
    ASSERT_EQ(length, 57u);
    for (size_t head = 1; head < length; ++head) {
        SCOPED_TRACE("split after " + std::to_string(head) + " bytes");
        // One tag leaves (a whole 41-byte report), another comes (a 57-byte
        // report split after `head` bytes, its tail a window later).
        ASSERT_EQ(kqsim_tag_remove(field[head % 3].c_str()), 0);
        field.erase(field.begin() + static_cast<long>(head % 3));
        ASSERT_TRUE(WaitCount(N(), WM_KQ_DATA, ++posts, kReportWaitMs));
        ASSERT_EQ(P().OUT_GU.Count, 2);
        field.push_back(Uid(100 + static_cast<int>(head)));
        kqsim_split_next_frame(head, kWindowPolls);
        ASSERT_EQ(kqsim_tag_add(field.back().c_str(), 4, 8), 0);
        ASSERT_TRUE(WaitCount(N(), WM_KQ_DATA, ++posts, kReportWaitMs));
        ASSERT_EQ(P().OUT_GU.Count, 3);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(UidAt(i), field[static_cast<size_t>(i)]) << i;
        }
    }
    N().Drain(50);
    EXPECT_EQ(N().Count(WM_KQ_DATA), posts) << "a report stored twice or a fragment stored";
}

TEST_F(Reports, TagCommandLoopStoresEveryAnswerSplitAcrossAWindowOnce) {
    Open();
    P().LoopMode = 1;
    std::strcpy(P().IN_TA, "Q");
    ASSERT_EQ(KQ_TagCommand(&P()), KQ_OK); // no tag: the loop starts
    ASSERT_TRUE(WaitListening());
    const size_t length = TaReply('0', "00" + std::string(30, 'x')).size();
    int posts = 0;
    for (size_t head = 1; head < length; ++head) {
        SCOPED_TRACE("split after " + std::to_string(head) + " bytes");
        std::string payload = std::to_string(1000 + head) + std::string(26, 'a' + head % 26);
        ASSERT_EQ(payload.size(), 30u);
        kqsim_ta_script("Q", '0', ("00" + payload).c_str());
        kqsim_split_next_frame(head, kWindowPolls);
        // The reader answers the loop's command when a tag comes.
        ASSERT_EQ(kqsim_tag_add(Uid(static_cast<int>(head)).c_str(), 4, 8), 0);
        ASSERT_TRUE(WaitCount(N(), WM_KQ_DATA, ++posts, kReportWaitMs));
        EXPECT_EQ(std::string(P().OUT_TA, 30), payload);
        ASSERT_EQ(kqsim_tag_remove(Uid(static_cast<int>(head)).c_str()), 0);
    }
    N().Drain(50);
    EXPECT_EQ(N().Count(WM_KQ_DATA), posts);
}

TEST_F(Reports, LateReportsAndJunkBetweenReports) {
    Open();
    P().LoopMode = 1;
    ASSERT_EQ(KQ_GetUID(&P()), KQ_OK);
    ASSERT_TRUE(WaitListening());
    int posts = 0;
    auto expect_field = [&](const std::vector<std::string>& uids) {
        ASSERT_TRUE(WaitCount(N(), WM_KQ_DATA, ++posts, kReportWaitMs));
        ASSERT_EQ(P().OUT_GU.Count, uids.size());
        for (size_t i = 0; i < uids.size(); ++i) {
            EXPECT_EQ(UidAt(static_cast<int>(i)), uids[i]) << i;
        }
    };
    // More than two windows late.
    kqsim_reply_delay(500);
    ASSERT_EQ(kqsim_tag_add(Uid(1).c_str(), 4, 8), 0);
    expect_field({Uid(1)});
    kqsim_reply_delay(0);

    // Text, line ends and a broken frame before a report.
    const std::string before = std::string("zz\r\n\n\r") + '\0' + "\x02RGU0";
    kqsim_prefix_next_reply(before.data(), before.size());
    ASSERT_EQ(kqsim_tag_add(Uid(2).c_str(), 4, 8), 0);
    expect_field({Uid(1), Uid(2)});

    // The head of a frame that never ends, left behind a report: the next
    // report cuts it off.
    const std::string after = "\x02RGU001E0040100";
    kqsim_suffix_next_reply(after.data(), after.size());
    ASSERT_EQ(kqsim_tag_remove(Uid(1).c_str()), 0);
    expect_field({Uid(2)});
    ASSERT_EQ(kqsim_tag_add(Uid(3).c_str(), 4, 8), 0);
    expect_field({Uid(2), Uid(3)});

    // A report split across a window, its tail followed at once by the next
    // report in the same read: both are stored, one after the other (the
    // first is overwritten at once, so only the second can be looked at).
    kqsim_split_next_frame(30, kWindowPolls);
    ASSERT_EQ(kqsim_tag_remove(Uid(2).c_str()), 0);
    ASSERT_EQ(kqsim_tag_add(Uid(4).c_str(), 4, 8), 0);
    ++posts;
    expect_field({Uid(3), Uid(4)});

    N().Drain(50);
    EXPECT_EQ(N().Count(WM_KQ_DATA), posts);
}

// The multi loops take the reader's own reports while they wait: after a
// tag was handled and met again. Each report wakes the worker once, whose
// handling of the tag then posts once.
class MultiReports : public Reports, public ::testing::WithParamInterface<int> {};

INSTANTIATE_TEST_SUITE_P(Kinds, MultiReports,
                         ::testing::Values(KQ_LOOP_MULTIREAD, KQ_LOOP_MULTIWRITE),
                         [](const ::testing::TestParamInfo<int>& kind) {
                             return kind.param == KQ_LOOP_MULTIREAD ? "MultiRead" : "MultiWrite";
                         });

TEST_P(MultiReports, WaitingWorkerTakesReportsSplitAcrossAWindowOnce) {
    kqsim_set_timing(0); // the select reads and writes take their own time
    Open();
    ASSERT_EQ(kqsim_tag_add(Uid(1).c_str(), 4, 8), 0);
    P().LoopMode = 1;
    ASSERT_EQ(StartMultiLoopOnFirstTag(P(), GetParam()), KQ_OK);
    // Handled when polled, met again and left to the reader's loop.
    int posts = 1;
    size_t waits = 1;
    ASSERT_TRUE(WaitCount(N(), WM_KQ_DATA, posts, kReportWaitMs));
    ASSERT_TRUE(WaitLoopOnAnswered(waits));
    const std::string report = GuReply("01", {Uid(1)});
    for (size_t head : {1, 2, 4, 5, 6, 7, 8, 15, 22, 23, 24}) {
        SCOPED_TRACE("split after " + std::to_string(head) + " bytes");
        kqsim_split_next_frame(head, kWindowPolls);
        kqsim_inject_rx(report.data(), report.size());
        ASSERT_TRUE(WaitCount(N(), WM_KQ_DATA, ++posts, kReportWaitMs));
        ASSERT_TRUE(WaitLoopOnAnswered(++waits));
    }
    N().Drain(50);
    EXPECT_EQ(N().Count(WM_KQ_DATA), posts);
    EXPECT_EQ(FramesOf("LT").size(), waits) << "each report woke the worker once";
}

} // namespace
} // namespace kqtest

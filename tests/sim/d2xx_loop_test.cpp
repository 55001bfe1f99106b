// The reader's own loop seen through the D2XX functions in real time: its
// reports arrive by themselves and wake a waiting read.
#include "sim_test_util.h"

#include <chrono>
#include <future>
#include <thread>

namespace simtest {
namespace {

using std::chrono::milliseconds;

const std::string kInventoryA = Frame(std::string("RGU001") + kUidA);

using LoopTest = SimDriverTest;

TEST_F(LoopTest, ReportsAtTheIntervalWakeABlockedRead) {
    kqsim_set_loop_interval(30);
    kqsim_tag_add(kUidA, 4, 4);
    h_ = Open(0); // reads wait without a limit
    EXPECT_EQ(Exchange(h_, "GU"), kInventoryA);
    EXPECT_EQ(Exchange(h_, "LT01"), Frame("RLT0"));
    EXPECT_EQ(kqsim_reader_loop_on(), 1);
    EXPECT_EQ(kqsim_reader_loop_beep(), 1);
    auto reports = std::async(std::launch::async, [this] { return Read(h_, 3 * 25); });
    ASSERT_EQ(reports.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(reports.get(), kInventoryA + kInventoryA + kInventoryA);
    EXPECT_GE(kqsim_beep_count(), 3u);

    FT_SetTimeouts(h_, 1000, 0);
    EXPECT_EQ(Write(h_, Frame("LP")), FT_OK);
    // Reports sent before the LP may still come first.
    std::string tail;
    for (int i = 0; i < 20 && tail.find(Frame("RLP0")) == std::string::npos; ++i) {
        tail += ReadReply(h_);
    }
    EXPECT_NE(tail.find(Frame("RLP0")), std::string::npos);
    EXPECT_EQ(kqsim_reader_loop_on(), 0);
    FT_SetTimeouts(h_, 150, 0);
    EXPECT_EQ(Read(h_, 1), "") << "no report after LP";
}

TEST_F(LoopTest, FieldChangesAreReportedAtOnce) {
    kqsim_set_loop_interval(0);
    h_ = Open(2000);
    EXPECT_EQ(Exchange(h_, "LT00"), Frame("RLT0"));
    auto report = std::async(std::launch::async, [this] { return ReadReply(h_); });
    std::this_thread::sleep_for(milliseconds(20));
    kqsim_tag_add(kUidA, 4, 4);
    ASSERT_EQ(report.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_EQ(report.get(), kInventoryA);
    kqsim_tag_remove(kUidA);
    EXPECT_EQ(ReadReply(h_), Frame("RGU000"));
    EXPECT_EQ(kqsim_tag_remove(kUidA), -1);
}

TEST_F(LoopTest, TagCommandLoopAnswersWhileATagIsThere) {
    kqsim_set_loop_interval(20);
    kqsim_tag_add(kUidA, 4, 4);
    h_ = Open(2000);
    EXPECT_EQ(Exchange(h_, "TA0123"), Frame("RTA0003210"));
    EXPECT_EQ(Exchange(h_, "LT01"), Frame("RLT0"));
    EXPECT_EQ(ReadReply(h_), Frame("RTA0003210"));
    kqsim_field_clear();
    FT_Purge(h_, 1);
    FT_SetTimeouts(h_, 150, 0);
    EXPECT_EQ(Read(h_, 1), "");
}

} // namespace
} // namespace simtest

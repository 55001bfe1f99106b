// The receive side of the simulated device: what FT_GetStatus reports,
// FT_Read with its timeout, purge against bytes still on the wire, break,
// stray bytes.
#include "sim_test_util.h"

#include <chrono>
#include <future>
#include <thread>

namespace simtest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

long long MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - t).count();
}

// Waits (generously) until the receive queue holds at least n bytes.
bool WaitQueued(FT_HANDLE h, uint32_t n) {
    auto deadline = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < deadline) {
        if (Queued(h) >= n) {
            return true;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    return false;
}

using QueueTest = SimDriverTest;

TEST_F(QueueTest, ReadReturnsWhatArrivedWhenTheTimeoutPasses) {
    h_ = Open(60);
    ASSERT_EQ(Write(h_, Frame("LP")), FT_OK);
    auto start = Clock::now();
    std::string got = Read(h_, 20);
    EXPECT_EQ(got, Frame("RLP0"));
    EXPECT_GE(MsSince(start), 55);
    EXPECT_LT(MsSince(start), 3000);

    start = Clock::now();
    EXPECT_EQ(Read(h_, 1), "");
    EXPECT_GE(MsSince(start), 55);
}

TEST_F(QueueTest, ReadWakesAsSoonAsTheBytesAreDue) {
    kqsim_set_timing(1);
    kqsim_tag_add(kUidA, 4, 4);
    h_ = Open(10000);
    ASSERT_EQ(Write(h_, Frame("GU")), FT_OK);
    auto start = Clock::now();
    // 5 bytes out, 1 ms, 25 bytes back: about 9 ms at 38400 baud.
    EXPECT_EQ(Read(h_, 25), Frame(std::string("RGU001") + kUidA));
    EXPECT_LT(MsSince(start), 2000) << "the read must not wait for its timeout";

    // Without a timeout it waits as long as it takes.
    FT_SetTimeouts(h_, 0, 0);
    kqsim_reply_delay(40);
    ASSERT_EQ(Write(h_, Frame("LP")), FT_OK);
    start = Clock::now();
    EXPECT_EQ(Read(h_, 7), Frame("RLP0"));
    EXPECT_GE(MsSince(start), 35);
}

TEST_F(QueueTest, ReadInOneThreadIsServedByWritesAndUnplugInAnother) {
    h_ = Open(0);
    auto reader = std::async(std::launch::async, [this] { return Read(h_, 7); });
    std::this_thread::sleep_for(milliseconds(20));
    ASSERT_EQ(Write(h_, Frame("LP")), FT_OK);
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_EQ(reader.get(), Frame("RLP0"));

    auto gone = std::async(std::launch::async, [this] {
        char buf[8];
        DWORD n = 0;
        return FT_Read(h_, buf, 7, &n);
    });
    std::this_thread::sleep_for(milliseconds(20));
    kqsim_unplug();
    ASSERT_EQ(gone.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_EQ(gone.get(), FT_IO_ERROR);
}

TEST_F(QueueTest, PurgeEmptiesOnlyWhatIsReadableNow) {
    h_ = Open(2000);
    ASSERT_EQ(Write(h_, Frame("LP")), FT_OK);
    EXPECT_EQ(Queued(h_), 7u);
    EXPECT_EQ(FT_Purge(h_, 2), FT_OK); // transmit side only
    EXPECT_EQ(Queued(h_), 7u);
    EXPECT_EQ(FT_Purge(h_, 1), FT_OK);
    EXPECT_EQ(Queued(h_), 0u);

    // A reply still on its way survives a purge and arrives afterwards.
    kqsim_reply_delay(50);
    ASSERT_EQ(Write(h_, Frame("LP")), FT_OK);
    EXPECT_EQ(FT_Purge(h_, 3), FT_OK);
    EXPECT_EQ(Queued(h_), 0u);
    EXPECT_EQ(Read(h_, 7), Frame("RLP0"));
}

TEST_F(QueueTest, StatusReportsBytesReadableNowPieceByPiece) {
    kqsim_reply_pieces(5, 100);
    kqsim_tag_add(kUidA, 4, 4);
    h_ = Open();
    ASSERT_EQ(Write(h_, Frame("GU")), FT_OK);
    DWORD rx = 99;
    DWORD tx = 99;
    DWORD events = 99;
    ASSERT_EQ(FT_GetStatus(h_, &rx, &tx, &events), FT_OK);
    EXPECT_EQ(rx, 5u);
    EXPECT_EQ(tx, 0u);
    EXPECT_EQ(events, 0u);
    uint32_t last = 0;
    auto deadline = Clock::now() + std::chrono::seconds(3);
    while (last < 25 && Clock::now() < deadline) {
        uint32_t now = Queued(h_);
        EXPECT_EQ(now % 5, 0u) << "pieces arrive whole";
        EXPECT_GE(now, last);
        last = now;
        std::this_thread::sleep_for(milliseconds(2));
    }
    EXPECT_EQ(last, 25u);
    EXPECT_EQ(Read(h_, 25), Frame(std::string("RGU001") + kUidA));
}

TEST_F(QueueTest, InjectedBytesAreReadableAtOnceInOrder) {
    h_ = Open(100);
    kqsim_reply_delay(300);
    ASSERT_EQ(Write(h_, Frame("LP")), FT_OK);
    kqsim_inject_rx("ab\0c", 4);
    EXPECT_EQ(Queued(h_), 4u);
    ASSERT_TRUE(WaitQueued(h_, 11));
    EXPECT_EQ(Read(h_, 11), std::string("ab\0c", 4) + Frame("RLP0"));
}

TEST_F(QueueTest, BreakDiscardsThePartialFrame) {
    h_ = Open(50);
    ASSERT_EQ(Write(h_, "\x02L"), FT_OK);
    EXPECT_EQ(FT_SetBreakOn(h_), FT_OK);
    EXPECT_EQ(FT_SetBreakOff(h_), FT_OK);
    ASSERT_EQ(Write(h_, "P\r\n"), FT_OK);
    EXPECT_EQ(Read(h_, 7), "");
    EXPECT_EQ(Exchange(h_, "LP"), Frame("RLP0"));
}

TEST_F(QueueTest, AFreshHandleStartsEmpty) {
    h_ = Open();
    ASSERT_EQ(Write(h_, Frame("LP")), FT_OK);
    EXPECT_EQ(Queued(h_), 7u);
    ASSERT_EQ(FT_Close(h_), FT_OK);
    h_ = Open();
    EXPECT_EQ(Queued(h_), 0u);
}

TEST_F(QueueTest, RealisticRepliesTrickleIn) {
    kqsim_set_timing(1);
    for (const char* uid : {kUidA, kUidB, kUidC}) {
        kqsim_tag_add(uid, 4, 4);
    }
    h_ = Open(3000);
    ASSERT_EQ(Write(h_, Frame("GU")), FT_OK);
    // 57 bytes take about 15 ms on the wire; polling collects them whole.
    std::string got;
    auto deadline = Clock::now() + std::chrono::seconds(3);
    while (got.size() < 57 && Clock::now() < deadline) {
        uint32_t n = Queued(h_);
        if (n > 0) {
            got += Read(h_, n);
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    EXPECT_EQ(got, Frame(std::string("RGU003") + kUidA + kUidB + kUidC));
}

} // namespace
} // namespace simtest

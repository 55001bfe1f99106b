// The reader model's timeline, driven with made-up times: wire time,
// processing time, pieces, delay, latency timer and the reader's own loop,
// checked to the nanosecond without waiting for a real clock.
#include "model/reader.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using kqsim::Millis;
using kqsim::Reader;
using kqsim::Time;
using kqsim::WireTime;

const Time T0 = Time(std::chrono::hours(1));
const std::string kUidA = "E004010000000001";
const std::string kUidB = "E004010000000002";

std::string Frame(const std::string& body) {
    return "\x02" + body + "\r\n";
}

void Send(Reader& r, Time t, const std::string& bytes) {
    r.Write(t, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string Due(Reader& r, Time t) {
    std::string out;
    r.TakeDue(t, out);
    return out;
}

std::string Inventory(const std::string& uids, int count) {
    char head[16];
    std::snprintf(head, sizeof head, "%02d", count);
    return Frame("RGU0" + std::string(head) + uids);
}

TEST(ReaderTimeline, ReplyBytesArriveAtWireSpeedAfterFrameAndProcessing) {
    Reader r;
    r.TagAdd(T0, kUidA, 4, 16);
    Send(r, T0, Frame("GU"));
    const std::string reply = Inventory(kUidA, 1);
    ASSERT_EQ(reply.size(), 25u);
    // The frame's LF arrives after 5 byte times; the reader then works 1 ms.
    const Time ready = T0 + WireTime(5) + Millis(1);
    ASSERT_TRUE(r.NextWake().has_value());
    EXPECT_EQ(*r.NextWake(), T0 + WireTime(5));

    EXPECT_EQ(Due(r, ready), "");
    EXPECT_EQ(*r.NextWake(), ready + WireTime(1));
    EXPECT_EQ(Due(r, ready + WireTime(1)), "\x02");
    std::string got = Due(r, ready + WireTime(25) - std::chrono::nanoseconds(1));
    EXPECT_EQ(got, reply.substr(1, 23));
    EXPECT_EQ(Due(r, ready + WireTime(25)), "\n");
    EXPECT_FALSE(r.NextWake().has_value());
}

TEST(ReaderTimeline, ProcessingTimesOfSelectReadAndBuzzer) {
    Reader r;
    r.TagAdd(T0, kUidA, 4, 16);
    std::string sr = Frame("SR0001" + kUidA);
    ASSERT_EQ(sr.size(), 25u);
    Send(r, T0, sr);
    const Time sr_ready = T0 + WireTime(25) + Millis(250);
    EXPECT_EQ(Due(r, sr_ready), "");
    EXPECT_EQ(Due(r, sr_ready + WireTime(1)), "\x02");

    Reader b;
    const Time t1 = T0 + Millis(5000);
    Send(b, t1, Frame("BZ05"));
    const Time bz_ready = t1 + WireTime(7) + Millis(500 + 1);
    EXPECT_EQ(Due(b, bz_ready), "");
    EXPECT_EQ(Due(b, bz_ready + WireTime(7)), Frame("RBZ0"));

    Reader c;
    c.SetProcessingMs("GU", 40);
    Send(c, T0, Frame("GU"));
    EXPECT_EQ(Due(c, T0 + WireTime(5) + Millis(40)), "");
    EXPECT_EQ(Due(c, T0 + WireTime(5) + Millis(40) + WireTime(9)), Inventory("", 0));
}

TEST(ReaderTimeline, WithoutTimingReplyIsReadableAtOnce) {
    Reader r;
    r.SetRealistic(false);
    r.TagAdd(T0, kUidA, 4, 16);
    Send(r, T0, Frame("SR0001" + kUidA));
    EXPECT_EQ(Due(r, T0), Frame("RSR0" + kUidA + "0001" + "0000"));
    Send(r, T0, Frame("BZ30"));
    EXPECT_EQ(Due(r, T0), Frame("RBZ0"));
}

TEST(ReaderTimeline, RepliesQueueOnTheSerialLine) {
    Reader r;
    Send(r, T0, Frame("GU") + Frame("GU"));
    const Time first_ready = T0 + WireTime(5) + Millis(1);
    const Time first_end = first_ready + WireTime(9);
    // The second frame is complete at 10 byte times and ready 1 ms later,
    // before the first reply has left: it follows right behind it.
    const Time second_end = first_end + WireTime(9);
    EXPECT_EQ(Due(r, first_end), Inventory("", 0));
    EXPECT_EQ(Due(r, second_end - std::chrono::nanoseconds(1)).size(), 8u);
    EXPECT_EQ(Due(r, second_end), "\n");
}

TEST(ReaderTimeline, InputBytesQueueOnTheLineToo) {
    Reader r;
    Send(r, T0, std::string(100, 'x')); // noise outside any frame
    Send(r, T0, Frame("GU"));
    // The frame follows the 100 bytes on the line: its LF is in after 105
    // byte times.
    ASSERT_TRUE(r.NextWake().has_value());
    const Time frame_in = T0 + WireTime(100) + WireTime(5);
    EXPECT_EQ(*r.NextWake(), frame_in);
    EXPECT_EQ(Due(r, frame_in + Millis(1) + WireTime(9) - std::chrono::nanoseconds(1)).size(), 8u);
    EXPECT_EQ(Due(r, frame_in + Millis(1) + WireTime(9)), "\n");
}

TEST(ReaderTimeline, PiecesArriveGapApart) {
    Reader r;
    r.SetRealistic(false);
    r.SetReplyPieces(4, 10);
    r.TagAdd(T0, kUidA, 4, 16);
    Send(r, T0, Frame("GU"));
    const std::string reply = Inventory(kUidA, 1); // 25 bytes: 7 pieces
    std::string got;
    for (int k = 0; k < 7; ++k) {
        std::string piece = Due(r, T0 + Millis(10 * k));
        EXPECT_EQ(piece, reply.substr(4 * k, 4)) << "piece " << k;
        EXPECT_EQ(Due(r, T0 + Millis(10 * k + 9)), "") << "after piece " << k;
        got += piece;
    }
    EXPECT_EQ(got, reply);
}

TEST(ReaderTimeline, PiecesWithTimingEachWholeWhenItsLastByteArrives) {
    Reader r;
    r.SetReplyPieces(3, 0);
    Send(r, T0, Frame("LP"));
    const Time ready = T0 + WireTime(5) + Millis(1);
    EXPECT_EQ(Due(r, ready + WireTime(3) - std::chrono::nanoseconds(1)), "");
    EXPECT_EQ(Due(r, ready + WireTime(3)), "\x02RL");
    EXPECT_EQ(Due(r, ready + WireTime(6)), "P0\r");
    EXPECT_EQ(Due(r, ready + WireTime(7)), "\n");
}

TEST(ReaderTimeline, ReplyDelayShiftsEverything) {
    Reader r;
    r.SetRealistic(false);
    r.SetReplyDelay(50);
    Send(r, T0, Frame("LP"));
    EXPECT_EQ(Due(r, T0 + Millis(49)), "");
    EXPECT_EQ(Due(r, T0 + Millis(50)), Frame("RLP0"));
}

TEST(ReaderTimeline, LatencyTimerHoldsShortPackets) {
    Reader r;
    r.SetLatencyTimer(16);
    Send(r, T0, Frame("LP"));
    const Time last_byte = T0 + WireTime(5) + Millis(1) + WireTime(7);
    EXPECT_EQ(Due(r, last_byte + Millis(16) - std::chrono::nanoseconds(1)), "");
    EXPECT_EQ(Due(r, last_byte + Millis(16)), Frame("RLP0"));

    // 73 bytes: one full packet of 62 goes out at once, the last 11 wait.
    Reader four;
    four.SetLatencyTimer(16);
    std::string uids;
    for (int i = 0; i < 4; ++i) {
        std::string uid = "E00401000000000" + std::to_string(i);
        four.TagAdd(T0, uid, 4, 16);
        uids += uid;
    }
    Send(four, T0, Frame("GU"));
    const std::string reply = Inventory(uids, 4);
    ASSERT_EQ(reply.size(), 73u);
    const Time ready = T0 + WireTime(5) + Millis(1);
    EXPECT_EQ(Due(four, ready + WireTime(62) - std::chrono::nanoseconds(1)), "");
    EXPECT_EQ(Due(four, ready + WireTime(62)), reply.substr(0, 62));
    EXPECT_EQ(Due(four, ready + WireTime(73) + Millis(16) - std::chrono::nanoseconds(1)), "");
    EXPECT_EQ(Due(four, ready + WireTime(73) + Millis(16)), reply.substr(62));
}

class ReaderLoop : public ::testing::Test {
  protected:
    void SetUp() override { r.SetRealistic(false); }
    // Every complete frame due by t, in order.
    std::vector<std::string> Frames(Time t) {
        pending += Due(r, t);
        std::vector<std::string> out;
        size_t at = 0;
        while ((at = pending.find("\r\n")) != std::string::npos) {
            out.push_back(pending.substr(0, at + 2));
            pending.erase(0, at + 2);
        }
        return out;
    }
    Reader r;
    std::string pending;
};

TEST_F(ReaderLoop, ReportsAtEveryIntervalWhileATagIsInTheField) {
    r.TagAdd(T0, kUidA, 4, 16);
    Send(r, T0, Frame("GU") + Frame("LT00"));
    EXPECT_EQ(Frames(T0), (std::vector<std::string>{Inventory(kUidA, 1), Frame("RLT0")}));
    EXPECT_TRUE(r.LoopOn());
    EXPECT_FALSE(r.LoopBeep());
    EXPECT_TRUE(Frames(T0 + Millis(199)).empty());
    EXPECT_EQ(Frames(T0 + Millis(200)), std::vector<std::string>{Inventory(kUidA, 1)});
    EXPECT_EQ(Frames(T0 + Millis(1000)).size(), 4u); // 400, 600, 800, 1000

    Send(r, T0 + Millis(1001), Frame("LP"));
    EXPECT_FALSE(r.LoopOn());
    EXPECT_EQ(Frames(T0 + Millis(5000)), std::vector<std::string>{Frame("RLP0")});
}

TEST_F(ReaderLoop, ReportsEveryChangeOfTheFieldAndNothingElseWithIntervalZero) {
    r.SetLoopInterval(T0, 0);
    Send(r, T0, Frame("LT01"));
    EXPECT_TRUE(r.LoopBeep());
    EXPECT_EQ(Frames(T0), std::vector<std::string>{Frame("RLT0")});
    r.TagAdd(T0 + Millis(10), kUidA, 4, 16);
    r.TagAdd(T0 + Millis(20), kUidB, 4, 16);
    r.TagAdd(T0 + Millis(25), kUidB, 4, 16); // already there: no change
    r.TagRemove(T0 + Millis(30), kUidA);
    r.FieldClear(T0 + Millis(40));
    r.FieldClear(T0 + Millis(50)); // empty already
    EXPECT_EQ(Frames(T0 + Millis(60000)),
              (std::vector<std::string>{Inventory(kUidA, 1), Inventory(kUidA + kUidB, 2),
                                        Inventory(kUidB, 1), Inventory("", 0)}));
    EXPECT_EQ(r.BeepCount(), 4u);
}

TEST_F(ReaderLoop, FieldChangeRestartsTheInterval) {
    r.TagAdd(T0, kUidA, 4, 16);
    Send(r, T0, Frame("LT00"));
    Frames(T0);
    r.TagAdd(T0 + Millis(150), kUidB, 4, 16);
    EXPECT_EQ(Frames(T0 + Millis(150)).size(), 1u);
    EXPECT_TRUE(Frames(T0 + Millis(349)).empty());
    EXPECT_EQ(Frames(T0 + Millis(350)).size(), 1u);
}

TEST_F(ReaderLoop, NoIntervalReportsWithAnEmptyField) {
    Send(r, T0, Frame("LT00"));
    Frames(T0);
    EXPECT_TRUE(Frames(T0 + Millis(2000)).empty());
    EXPECT_FALSE(r.NextWake().has_value());
}

TEST_F(ReaderLoop, RepeatsTheLastTagCommandReceived) {
    r.TagAdd(T0, kUidA, 4, 16);
    Send(r, T0, Frame("GU") + Frame("TAXYZ") + Frame("LT00"));
    Frames(T0);
    EXPECT_EQ(Frames(T0 + Millis(200)), std::vector<std::string>{Frame("RTA000ZYX")});
    // The tag command is answered only while a tag is in the field.
    r.TagRemove(T0 + Millis(300), kUidA);
    EXPECT_TRUE(Frames(T0 + Millis(2000)).empty());
    r.TagAdd(T0 + Millis(2000), kUidA, 4, 16);
    EXPECT_EQ(Frames(T0 + Millis(2000)), std::vector<std::string>{Frame("RTA000ZYX")});

    // A scripted answer is what the loop reports too.
    r.TaScript("XYZ", '0', "12");
    EXPECT_EQ(Frames(T0 + Millis(2200)), std::vector<std::string>{Frame("RTA012")});
}

TEST_F(ReaderLoop, OverridesApplyToLoopReports) {
    r.TagAdd(T0, kUidA, 4, 16);
    Send(r, T0, Frame("LT00"));
    Frames(T0);
    r.DropReply("GU", 1);
    r.ForceReply("GU", "\x02RXX004\r\n", 1);
    EXPECT_TRUE(Frames(T0 + Millis(200)).empty());
    EXPECT_EQ(Frames(T0 + Millis(400)), std::vector<std::string>{"\x02RXX004\r\n"});
    r.ForceStatus("GU", '3', 1);
    EXPECT_EQ(Frames(T0 + Millis(600)), std::vector<std::string>{Frame("RGU3")});
    EXPECT_EQ(Frames(T0 + Millis(800)), std::vector<std::string>{Inventory(kUidA, 1)});
}

TEST(ReaderLoopTiming, ReportsOnTheWireStayAfterLP) {
    Reader r;
    r.TagAdd(T0, kUidA, 4, 16);
    Send(r, T0, Frame("LT00"));
    // The loop starts when the LT frame is in; its first report goes on the
    // wire 1 ms after the tick (25 bytes, 6.5 ms). LP arrives meanwhile.
    const Time tick = T0 + WireTime(7) + Millis(200);
    Send(r, tick + Millis(1), Frame("LP"));
    std::string got = Due(r, tick + Millis(100));
    EXPECT_EQ(got, Frame("RLT0") + Inventory(kUidA, 1) + Frame("RLP0"));
    EXPECT_FALSE(r.LoopOn());
}

TEST(ReaderLoopTiming, LongUnwatchedLoopDoesNotPileUpWithoutBound) {
    Reader r;
    r.SetRealistic(false);
    r.SetLoopInterval(T0, 100);
    r.TagAdd(T0, kUidA, 4, 16);
    Send(r, T0, Frame("LT00"));
    std::string got = Due(r, T0 + std::chrono::hours(10));
    size_t reports = 0;
    for (size_t at = 0; (at = got.find("RGU0", at)) != std::string::npos; ++at) {
        ++reports;
    }
    EXPECT_GE(reports, 90u);
    EXPECT_LE(reports, 110u);
    // And it keeps its pace afterwards.
    EXPECT_EQ(Due(r, T0 + std::chrono::hours(10) + Millis(100)).size(), 25u);
}

TEST(ReaderTimeline, PowerCycleLosesLoopAndWire) {
    Reader r;
    r.TagAdd(T0, kUidA, 4, 16);
    Send(r, T0, Frame("LT00") + "\x02GU");
    Due(r, T0 + Millis(5));
    r.PowerCycle();
    EXPECT_FALSE(r.LoopOn());
    EXPECT_EQ(Due(r, T0 + Millis(1000)), "");
    // The partial GU frame is gone too: its tail alone is no frame.
    Send(r, T0 + Millis(1000), "\r\n");
    EXPECT_EQ(Due(r, T0 + Millis(2000)), "");
    EXPECT_TRUE(r.Tags().InField(kUidA));
}

} // namespace

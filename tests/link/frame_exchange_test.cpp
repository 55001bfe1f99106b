// Frame exchange: SendFrame's exact driver calls and bytes, ReceiveFrame's
// framing rules and buffer limits, ReadRaw's single read, and the carry of
// ReceiveReport, the loop workers' receive.
#include "call_log.h"

#include "kq.h"
#include "kqsim.h"
#include "link/link.h"
#include "loop/report.h"
#include "support/sim_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace kqtest {
namespace {

using namespace std::string_literals;

const std::string kUid1 = "E004010000000001";
const std::string kUid2 = "E004010000000002";
// The reader's inventory reply with both tags in the field: 41 bytes.
const std::string kGuReply = Frame("RGU002" + kUid1 + kUid2);
const std::string kGuCommand = Frame("GU");

constexpr size_t kGuard = 32;
constexpr char kGuardByte = '\xEE';

// A destination of `capacity` bytes, zeroed as every command passes it, with
// guard bytes on both sides.
struct Destination {
    explicit Destination(size_t size) : capacity(size), bytes(size + 2 * kGuard, kGuardByte) {
        std::memset(Data(), 0, size);
    }
    char* Data() { return bytes.data() + kGuard; }
    std::string Text() { return std::string(Data(), strnlen(Data(), capacity)); }
    bool AllZero() {
        for (size_t i = 0; i < capacity; ++i) {
            if (Data()[i] != 0) {
                return false;
            }
        }
        return true;
    }
    bool GuardsIntact() {
        for (size_t i = 0; i < kGuard; ++i) {
            if (bytes[i] != kGuardByte || bytes[kGuard + capacity + i] != kGuardByte) {
                return false;
            }
        }
        return true;
    }
    size_t capacity;
    std::vector<char> bytes;
};

struct Received {
    kq::FT_STATUS status;
    kq::DWORD length;
};

class Exchange : public SimRecordTest {
  protected:
    void SetUp() override {
        SimRecordTest::SetUp();
        // Short enough that a ReadRaw of missing bytes returns soon.
        P().ReadTimeout = 50;
        Open();
        kqsim_tag_add(kUid1.c_str(), 4, 16);
        kqsim_tag_add(kUid2.c_str(), 4, 16);
    }

    void Send(const std::string& frame) {
        kq::DWORD written = 0;
        ASSERT_EQ(kq::SendFrame(&P(), frame.data(), static_cast<kq::DWORD>(frame.size()), &written),
                  0u);
    }

    Received Receive(Destination& dest) {
        Received r{0, 0xDEADBEEF};
        r.status =
            kq::ReceiveFrame(&P(), dest.Data(), static_cast<kq::DWORD>(dest.capacity), &r.length);
        EXPECT_TRUE(dest.GuardsIntact()) << "ReceiveFrame wrote outside the destination";
        return r;
    }

    // Sends the inventory command and collects its reply into a roomy
    // destination.
    std::string Inventory(Received* r, size_t capacity = 512) {
        Send(kGuCommand);
        Destination dest(capacity);
        *r = Receive(dest);
        return dest.Text();
    }

    void Inject(const std::string& bytes) { kqsim_inject_rx(bytes.data(), bytes.size()); }
    void Prefix(const std::string& bytes) { kqsim_prefix_next_reply(bytes.data(), bytes.size()); }
    void Suffix(const std::string& bytes) { kqsim_suffix_next_reply(bytes.data(), bytes.size()); }
    void ForceGu(const std::string& bytes) {
        kqsim_force_reply("GU", bytes.data(), bytes.size(), 1);
    }

    // Every read of ReceiveFrame asks for what the preceding poll reported as
    // queued, cut to the room left in its 2048-character accumulator, and no
    // read is made when nothing is queued or no room is left. (Assumes the
    // delivered text holds no NUL.)
    void ExpectReadsFollowTheQueue() {
        auto calls = Calls();
        size_t used = 0;
        uint32_t queued = 0;
        bool polled = false;
        for (const auto& c : calls) {
            if (c.fn == KQSIM_FT_GETSTATUS) {
                if (polled) {
                    EXPECT_EQ(std::min<size_t>(queued, 2048 - used), 0u)
                        << "a poll with text queued and room left made no read:" << Describe(calls);
                }
                queued = c.a0;
                polled = true;
            } else if (c.fn == KQSIM_FT_READ) {
                ASSERT_TRUE(polled) << "read without a poll before it:" << Describe(calls);
                size_t want = std::min<size_t>(queued, 2048 - used);
                EXPECT_NE(want, 0u) << "read with nothing queued or no room:" << Describe(calls);
                EXPECT_EQ(c.a0, want) << "read size:" << Describe(calls);
                used += c.a1;
                polled = false;
            }
        }
        EXPECT_LE(used, 2048u);
    }

    // One ReceiveFrame into 64 bytes that gives up after all its polls:
    // status 0, length 0, the destination untouched.
    void ExpectGiveUpAfterEveryPoll() {
        Destination dest(64);
        Received r = Receive(dest);
        EXPECT_EQ(r.status, 0u);
        EXPECT_TRUE(dest.AllZero());
        EXPECT_EQ(r.length, 0u);
        EXPECT_EQ(Polls(), 202);
    }

    int Polls() { return CountCalls(KQSIM_FT_GETSTATUS); }
    int Reads() { return CountCalls(KQSIM_FT_READ); }
};

// ---- SendFrame -------------------------------------------------------------

TEST_F(Exchange, SendRaisesBreakPurgesThenWritesTheFrame) {
    const uint64_t h = HandleValue(P().Handle);
    kq::DWORD written = 0;
    EXPECT_EQ(kq::SendFrame(&P(), kGuCommand.data(), 5, &written), 0u);
    ExpectCalls(Calls(), {{KQSIM_FT_SETBREAKON, h, {}},
                          {KQSIM_FT_SETBREAKOFF, h, {}},
                          {KQSIM_FT_PURGE, h, {3u}},
                          {KQSIM_FT_WRITE, h, {5u}}});
    EXPECT_EQ(Frames(), std::vector<std::string>{kGuCommand});
    EXPECT_EQ(written, 5u);
}

TEST_F(Exchange, SendWritesExactlyTheCountGiven) {
    // A NUL inside the count is written; bytes past the count are not.
    const std::string buffer = "\x02TA\0Z\r\nTRAILING"s;
    kq::DWORD written = 0;
    EXPECT_EQ(kq::SendFrame(&P(), buffer.data(), 7, &written), 0u);
    EXPECT_EQ(Frames(), std::vector<std::string>{buffer.substr(0, 7)})
        << Show(Frames().empty() ? "" : Frames()[0]);
    auto writes = CallsOf(KQSIM_FT_WRITE);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].a0, 7u);
}

TEST_F(Exchange, SendIgnoresFailedBreakAndPurge) {
    kqsim_fail_call(KQSIM_FT_SETBREAKON, 4, 0, -1);
    kqsim_fail_call(KQSIM_FT_SETBREAKOFF, 4, 0, -1);
    kqsim_fail_call(KQSIM_FT_PURGE, 4, 0, -1);
    kq::DWORD written = 0;
    EXPECT_EQ(kq::SendFrame(&P(), kGuCommand.data(), 5, &written), 0u);
    EXPECT_EQ(Frames(), std::vector<std::string>{kGuCommand});
    auto calls = Calls();
    ASSERT_EQ(calls.size(), 4u) << Describe(calls);
    EXPECT_EQ(calls[3].fn, KQSIM_FT_WRITE) << Describe(calls);
}

TEST_F(Exchange, SendReturnsTheStatusOfAFailedWrite) {
    kqsim_fail_call(KQSIM_FT_WRITE, 4, 0, 1);
    kq::DWORD written = 0;
    EXPECT_EQ(kq::SendFrame(&P(), kGuCommand.data(), 5, &written), 4u);
    // Any status number, unchanged.
    kqsim_fail_call(KQSIM_FT_WRITE, 13, 0, 1);
    EXPECT_EQ(kq::SendFrame(&P(), kGuCommand.data(), 5, &written), 13u);
}

TEST_F(Exchange, SendDiscardsTextQueuedBeforeTheCommand) {
    Inject(Frame("RLP0"));
    Inject("stray");
    Received r{};
    EXPECT_EQ(Inventory(&r), kGuReply);
    EXPECT_EQ(r.status, 0u);
}

// ---- ReceiveFrame: complete frames -----------------------------------------

TEST_F(Exchange, ReceiveReturnsTheWholeReplyWithItsLength) {
    Received r{};
    EXPECT_EQ(Show(Inventory(&r)), Show(kGuReply));
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.length, kGuReply.size());
    ExpectReadsFollowTheQueue();
}

TEST_F(Exchange, ReceiveJoinsAReplyArrivingInPieces) {
    kqsim_reply_pieces(6, 3);
    Received r{};
    EXPECT_EQ(Show(Inventory(&r)), Show(kGuReply));
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.length, kGuReply.size());
    EXPECT_GE(Reads(), 2) << "the pieces did not arrive over several polls:" << Describe(Calls());
    ExpectReadsFollowTheQueue();
}

TEST_F(Exchange, ReceiveFindsACrLfSplitAcrossTwoReads) {
    // The first piece ends with the CR, the LF comes in the second.
    kqsim_reply_pieces(static_cast<unsigned>(kGuReply.size() - 1), 20);
    Received r{};
    EXPECT_EQ(Show(Inventory(&r)), Show(kGuReply));
    EXPECT_EQ(r.length, kGuReply.size());
    auto reads = CallsOf(KQSIM_FT_READ);
    ASSERT_GE(reads.size(), 2u) << "the LF arrived with the CR:" << Describe(Calls());
    EXPECT_EQ(reads[0].a1, kGuReply.size() - 1);
}

TEST_F(Exchange, ReceiveTerminatesTheFrameInTheDestination) {
    // The frame's NUL is copied too: text the destination held before does
    // not run on after it.
    Send(kGuCommand);
    Destination dest(128);
    std::memset(dest.Data(), 'x', 100);
    Received r = Receive(dest);
    EXPECT_EQ(Show(dest.Text()), Show(kGuReply));
    EXPECT_EQ(r.length, kGuReply.size());
}

TEST_F(Exchange, ReceiveKeepsOnlyTheFirstOfTwoFramesInOneRead) {
    Suffix(Frame("RGU000"));
    Received r{};
    EXPECT_EQ(Show(Inventory(&r)), Show(kGuReply));
    EXPECT_EQ(r.length, kGuReply.size());
    EXPECT_EQ(Reads(), 1) << "premise: both frames in one read:" << Describe(Calls());
}

TEST_F(Exchange, ReceiveCutsAtAnStxAfterOtherText) {
    // Two characters of other text, then the reply: the cut is at the STX.
    Prefix("ab");
    Received r{};
    EXPECT_EQ(Show(Inventory(&r)), "ab");
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.length, 2u);
}

TEST_F(Exchange, ReceiveTestsForALaterStxBeforeCrLf) {
    // STX, two characters, STX, two characters, CR LF: only the first three.
    Inject("\x02"
           "ab"
           "\x02"
           "cd\r\n");
    Destination dest(64);
    Received r = Receive(dest);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(Show(dest.Text()), "<STX>ab");
    EXPECT_EQ(r.length, 3u);
}

TEST_F(Exchange, ReceiveDropsTextWithoutStxAfterTheReply) {
    Suffix("trailing text without a frame");
    Received r{};
    EXPECT_EQ(Show(Inventory(&r)), Show(kGuReply));
    EXPECT_EQ(r.length, kGuReply.size());
}

TEST_F(Exchange, ReceiveCarriesNothingOverToTheNextCall) {
    Inject(Frame("Rone") + Frame("Rtwo"));
    Destination first(64);
    Received r = Receive(first);
    EXPECT_EQ(Show(first.Text()), Show(Frame("Rone")));
    EXPECT_EQ(r.length, Frame("Rone").size());
    // The second frame was read along with the first and discarded.
    Destination second(64);
    r = Receive(second);
    EXPECT_EQ(r.status, 0u);
    EXPECT_TRUE(second.AllZero()) << Show(second.Text());
    EXPECT_EQ(r.length, 0u);
}

// ---- ReceiveFrame: nothing complete ----------------------------------------

TEST_F(Exchange, ReceiveGivesUpAfterExactly202Polls) {
    ExpectGiveUpAfterEveryPoll();
    EXPECT_EQ(Reads(), 0);
}

TEST_F(Exchange, ReceiveGivesUpWhenTheReaderStaysSilent) {
    kqsim_drop_reply("GU", 1);
    Received r{};
    EXPECT_EQ(Inventory(&r, 64), "");
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.length, 0u);
    EXPECT_EQ(Polls(), 202);
}

TEST_F(Exchange, GiveUpReportsTheTextTheDestinationAlreadyHolds) {
    Destination dest(64);
    std::memcpy(dest.Data(), "xy", 2);
    Received r = Receive(dest);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.length, 2u);
    EXPECT_EQ(dest.Text(), "xy");
}

class NeverAFrame : public Exchange, public ::testing::WithParamInterface<std::string> {};

TEST_P(NeverAFrame, GivesUpWithTheDestinationEmpty) {
    Inject(GetParam());
    Destination dest(64);
    Received r = Receive(dest);
    EXPECT_EQ(r.status, 0u);
    EXPECT_TRUE(dest.AllZero()) << Show(dest.Text());
    EXPECT_EQ(r.length, 0u);
    EXPECT_EQ(Polls(), 202);
}

INSTANTIATE_TEST_SUITE_P(Exchange, NeverAFrame,
                         ::testing::Values("\x02", "\x02RGU000", "\r", "\n", "\n\r",
                                           "\x02RGU000\n\r", "ab\rcd\nef"),
                         [](const ::testing::TestParamInfo<std::string>& param) {
                             return "Case" + std::to_string(param.index);
                         });

TEST_F(Exchange, ReceiveDropsTheRestOfAReadAfterANul) {
    // The CR LF after the NUL is lost with it: no frame.
    Inject("\x02RGU0\0zz\r\n"s);
    Destination dest(64);
    Received r = Receive(dest);
    EXPECT_EQ(r.status, 0u);
    EXPECT_TRUE(dest.AllZero()) << Show(dest.Text());
    EXPECT_EQ(r.length, 0u);
}

TEST_F(Exchange, ReceiveKeepsTheTextBeforeANulAndGoesOn) {
    // First read: STX R GU 0, NUL, "zz" (dropped); second read: "00" CR LF.
    const std::string reply = "\x02RGU0\0zz00\r\n"s;
    ForceGu(reply);
    kqsim_reply_pieces(8, 40);
    Received r{};
    std::string text = Inventory(&r);
    auto reads = CallsOf(KQSIM_FT_READ);
    ASSERT_GE(reads.size(), 2u) << Describe(Calls());
    ASSERT_EQ(reads[0].a1, 8u) << "premise: the NUL and zz arrive in the first read";
    EXPECT_EQ(Show(text), Show(Frame("RGU000")));
    EXPECT_EQ(r.length, 9u);
}

// ---- ReceiveFrame: limits ----------------------------------------------------

TEST_F(Exchange, ReceiveFailingPollOnTheFirstPollReturnsItsStatus) {
    Send(kGuCommand);
    kqsim_clear_logs();
    kqsim_fail_call(KQSIM_FT_GETSTATUS, 4, 0, 1);
    Destination dest(64);
    std::memcpy(dest.Data(), "keep", 4);
    Received r = Receive(dest);
    EXPECT_EQ(r.status, 4u);
    EXPECT_EQ(dest.Text(), "keep");
    EXPECT_EQ(Polls(), 1);
    EXPECT_EQ(Reads(), 0);
}

TEST_F(Exchange, ReceiveFailingPollLaterLeavesTheDestinationUntouched) {
    // The first piece was already read when the second poll fails.
    kqsim_reply_pieces(10, 40);
    Send(kGuCommand);
    kqsim_clear_logs();
    kqsim_fail_call(KQSIM_FT_GETSTATUS, 4, 1, 1);
    Destination dest(64);
    Received r = Receive(dest);
    EXPECT_EQ(r.status, 4u);
    EXPECT_TRUE(dest.AllZero()) << Show(dest.Text());
    EXPECT_EQ(Polls(), 2);
}

TEST_F(Exchange, ReceiveIgnoresAFailedRead) {
    // The read's status is not examined: the poll appends whatever the
    // driver placed in the chunk (nothing here) and polling goes on.
    kqsim_fail_call(KQSIM_FT_READ, 4, 0, 1);
    Received r{};
    EXPECT_EQ(Show(Inventory(&r)), Show(kGuReply));
    EXPECT_EQ(r.status, 0u);
    EXPECT_GE(Reads(), 2);
}

TEST_F(Exchange, FrameLongerThanTheDestinationIsAGiveUp) {
    // 41 characters need 42 bytes with the NUL.
    for (size_t capacity : {size_t{8}, kGuReply.size() - 1, kGuReply.size()}) {
        SCOPED_TRACE("capacity " + std::to_string(capacity));
        kqsim_clear_logs();
        Send(kGuCommand);
        Destination dest(capacity);
        Received r = Receive(dest);
        EXPECT_EQ(r.status, 0u);
        EXPECT_TRUE(dest.AllZero()) << Show(std::string(dest.Data(), capacity));
        EXPECT_EQ(r.length, 0u);
        // The frame was complete: no further polls after it.
        EXPECT_LT(Polls(), 202);
    }
    Send(kGuCommand);
    Destination exact(kGuReply.size() + 1);
    Received r = Receive(exact);
    EXPECT_EQ(Show(exact.Text()), Show(kGuReply));
    EXPECT_EQ(r.length, kGuReply.size());
}

TEST_F(Exchange, ReceiveNeverReadsMoreThanTheAccumulatorHolds) {
    Inject(std::string(3000, 'A'));
    ExpectGiveUpAfterEveryPoll();
    auto reads = CallsOf(KQSIM_FT_READ);
    ASSERT_EQ(reads.size(), 1u) << "a full accumulator takes nothing more:" << Describe(Calls());
    EXPECT_EQ(reads[0].a0, 2048u);
    ExpectReadsFollowTheQueue();
}

TEST_F(Exchange, ReceiveReadsOnlyTheRoomLeft) {
    // 1500 characters, then 1002 more: the second read asks for the 548
    // characters of room left; the CR LF beyond it is never seen.
    ForceGu(std::string(1500, 'A') + std::string(1000, 'B') + "\r\n");
    kqsim_reply_pieces(1500, 40);
    Received r{};
    EXPECT_EQ(Inventory(&r, 4096), "");
    EXPECT_EQ(r.length, 0u);
    auto reads = CallsOf(KQSIM_FT_READ);
    ASSERT_EQ(reads.size(), 2u) << Describe(Calls());
    EXPECT_EQ(reads[0].a0, 1500u) << "premise: the first piece read alone";
    EXPECT_EQ(reads[1].a0, 548u);
    ExpectReadsFollowTheQueue();
}

TEST_F(Exchange, ReceiveTakesAFrameThatFillsTheAccumulator) {
    // 2046 characters and CR LF: exactly 2048, a complete frame.
    const std::string reply = "\x02RGU0" + std::string(2041, 'C') + "\r\n";
    ASSERT_EQ(reply.size(), 2048u);
    ForceGu(reply);
    Received r{};
    EXPECT_EQ(Inventory(&r, 2049), reply);
    EXPECT_EQ(r.length, 2048u);
    ExpectReadsFollowTheQueue();
}

// ---- ReadRaw ---------------------------------------------------------------

TEST_F(Exchange, ReadRawIsOneReadOfTheCount) {
    Inject(Frame("RBZ0") + "XYZ");
    const uint64_t h = HandleValue(P().Handle);
    char buf[16] = {};
    kq::DWORD got = 0;
    EXPECT_EQ(kq::ReadRaw(&P(), buf, 7, &got), 0u);
    EXPECT_EQ(got, 7u);
    EXPECT_EQ(Show(std::string(buf, 7)), Show(Frame("RBZ0")));
    EXPECT_EQ(buf[7], 0);
    ExpectCalls(Calls(), {{KQSIM_FT_READ, h, {7u, 7u}}});
}

TEST_F(Exchange, ReadRawShortReadLeavesTheRestNul) {
    Inject("\x02RB");
    char buf[16] = {};
    kq::DWORD got = 0;
    EXPECT_EQ(kq::ReadRaw(&P(), buf, 7, &got), 0u);
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(std::string(buf, 3), "\x02RB");
    for (size_t i = 3; i < sizeof buf; ++i) {
        EXPECT_EQ(buf[i], 0) << "byte " << i;
    }
    EXPECT_EQ(Reads(), 1);
}

TEST_F(Exchange, ReadRawReturnsTheReadStatus) {
    Inject(Frame("RBZ0"));
    kqsim_fail_call(KQSIM_FT_READ, 4, 0, 1);
    char buf[16] = {};
    kq::DWORD got = 0;
    EXPECT_EQ(kq::ReadRaw(&P(), buf, 7, &got), 4u);
}

// ---- ReceiveReport: the carry ------------------------------------------------

TEST_F(Exchange, ReportAlreadyInTheCarryIsHandedOverWithoutAnyPoll) {
    // Two reports in one read: the second waits in the carry and is the next
    // one handed over, although the reader sends nothing more.
    const std::string first = Frame("RGU001" + kUid1);
    const std::string second = Frame("RGU001" + kUid2);
    Inject(first + second);
    kq::ReportCarry carry;
    kq::ReportCarryClear(&carry);
    char dest[kq::kGuReplyCapacity] = {};
    kq::DWORD length = 0;
    ASSERT_EQ(kq::ReceiveReport(&P(), &carry, dest, sizeof dest, &length), 0u);
    EXPECT_EQ(Show(std::string(dest, length)), Show(first));
    ASSERT_EQ(Reads(), 1) << "both reports were queued for one read";

    kqsim_clear_logs();
    std::memset(dest, 0, sizeof dest);
    ASSERT_EQ(kq::ReceiveReport(&P(), &carry, dest, sizeof dest, &length), 0u);
    EXPECT_EQ(Show(std::string(dest, length)), Show(second));
    EXPECT_EQ(Polls(), 0) << "the carry held a whole report; the driver was asked anyway";
}

} // namespace
} // namespace kqtest

// Internal pieces of the command envelope: status characters to result
// codes, reading the TA and GU replies, the three short commands with their 7-byte replies,
// PrepareCommand, and StartLoopWorker (the kinds it accepts, the release of a worker that ended by
// itself).
#include "commands/commands.h"
#include "link/link.h"
#include "loop/loop_helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kqtest {
namespace {

// ---- StatusToCode ------------------------------------------------------------

TEST(StatusToCode, HexDigitsGiveTheirValue) {
    for (char c = '1'; c <= '9'; ++c) {
        EXPECT_EQ(kq::StatusToCode(c), c - '0') << c;
    }
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(kq::StatusToCode(static_cast<char>('A' + i)), 10 + i);
        EXPECT_EQ(kq::StatusToCode(static_cast<char>('a' + i)), 10 + i);
    }
}

TEST(StatusToCode, NothingAtTheStatusPositionIsNoReply) {
    EXPECT_EQ(kq::StatusToCode('\0'), KQ_ERR_NOREPLY);
    // Reader status 'A' and a missing reply share the code.
    EXPECT_EQ(kq::StatusToCode('A'), kq::StatusToCode('\0'));
}

TEST(StatusToCode, GarbledCharacterIsNoReplyNeverSuccess) {
    for (char c : std::string("GgZz @/:`\x7f\r\n\x02")) {
        EXPECT_EQ(kq::StatusToCode(c), KQ_ERR_NOREPLY) << Show(std::string(1, c));
    }
    EXPECT_EQ(kq::StatusToCode(static_cast<char>(0xC1)), KQ_ERR_NOREPLY);
}

// ---- Reading replies -------------------------------------------------------------

// The one reading of a TA reply, for the exported call and the loop alike.
TEST(TaReply, SubStatusPayloadOrNoReply) {
    struct Case {
        std::string reply;
        int result;
        std::string out; // the first bytes of KQ_OUT_TA afterwards
    };
    const Case cases[] = {
        {Frame("RTA000ABCD"), KQ_OK, "ABCD"},
        {Frame("RTA000"), KQ_OK, ""},
        {Frame("RTA012XYZ"), KQ_ERR_TAG, "12"},
        {"\x02RTA000", KQ_ERR_NOREPLY, ""}, // cut short before CR LF: nothing stored
        {"\x02RTA0", KQ_ERR_TAG, std::string(2, '\0')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Show(c.reply));
        char reply[kq::kTaReplyCapacity] = {};
        std::memcpy(reply, c.reply.data(), c.reply.size());
        KQ_OUT_TA out;
        std::memset(out, 0, sizeof out);
        out[sizeof out - 1] = '#';
        EXPECT_EQ(kq::ReadTaReply(reply, c.reply.size(), &out), c.result);
        EXPECT_EQ(std::string(out, c.out.size()), c.out);
        EXPECT_EQ(out[c.out.size()], '\0');
        EXPECT_EQ(out[sizeof out - 1], '#') << "bytes past the payload were touched";
    }
}

TEST(GuReport, OnlyAWholeSuccessfulReportWithItsCountCounts) {
    const std::string uid = "E004010000000001";
    struct Case {
        std::string text;
        bool whole;
        unsigned count;
    };
    const Case cases[] = {
        {Frame("RGU000"), true, 0},
        {Frame("RGU001" + uid), true, 1},
        {Frame("RGU002" + uid), false, 0},                        // one UID short
        {Frame("RGU001" + uid + "X"), false, 0},                  // one character too many
        {Frame("RGU0" + std::string("1") + "x" + uid), false, 0}, // count not decimal
        {Frame("RGU101" + uid), false, 0},                        // reader status 1
        {Frame("RTA001" + uid), false, 0},                        // another command's reply
        {Frame("RGU001" + uid).substr(0, 24), false, 0},          // no CR LF
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Show(c.text));
        unsigned count = 77;
        EXPECT_EQ(kq::GuReportCount(c.text.data(), c.text.size(), &count), c.whole);
        EXPECT_EQ(count, c.whole ? c.count : 77u);
    }
}

// ---- BZ ------------------------------------------------------------------------

using ShortCommands = SimRecordTest;

TEST_F(ShortCommands, BuzzerLengthZeroFrameAndReply) {
    Open();
    EXPECT_EQ(kq::BZCommand(&P(), 0), KQ_OK);
    ASSERT_EQ(Frames(), std::vector<std::string>{Frame("BZ00")});
    bool read7 = false;
    for (const auto& c : Calls()) {
        if (c.fn == KQSIM_FT_WRITE) {
            EXPECT_EQ(c.a0, 7u);
        }
        read7 |= c.fn == KQSIM_FT_READ && c.a0 == 7;
    }
    EXPECT_TRUE(read7) << "the reply is read as 7 bytes";
}

TEST_F(ShortCommands, BuzzerUsesLowEightBitsForFrameAndPause) {
    Open();
    auto start = Clock::now();
    // 258 = 0x102: the reader hears 2, and the beep lasts 200 ms.
    EXPECT_EQ(kq::BZCommand(&P(), 258), KQ_OK);
    long long ms = MsSince(start);
    EXPECT_EQ(Frames(), std::vector<std::string>{Frame("BZ02")});
    EXPECT_GE(ms, 200) << "the reply is read after the beep";
    EXPECT_LT(ms, 10000) << "the pause must come from the low 8 bits only";
}

TEST_F(ShortCommands, BuzzerNegativeLengthUsesLowEightBits) {
    Open();
    // -255 is 0x...01 in its low 8 bits.
    EXPECT_EQ(kq::BZCommand(&P(), -255), KQ_OK);
    EXPECT_EQ(Frames(), std::vector<std::string>{Frame("BZ01")});
}

TEST_F(ShortCommands, BuzzerReaderStatusAndGarbledStatus) {
    Open();
    kqsim_force_status("BZ", '5', 1);
    EXPECT_EQ(kq::BZCommand(&P(), 0), 5);
    const std::string garbled = "\x02RBZG\r\n";
    kqsim_force_reply("BZ", garbled.data(), garbled.size(), 1);
    EXPECT_EQ(kq::BZCommand(&P(), 0), KQ_ERR_NOREPLY);
}

TEST_F(ShortCommands, BuzzerShortReplyIsNoReply) {
    Open();
    const std::string cut = "\x02RBZ";
    kqsim_force_reply("BZ", cut.data(), cut.size(), 1);
    EXPECT_EQ(kq::BZCommand(&P(), 0), KQ_ERR_NOREPLY);
}

TEST_F(ShortCommands, BuzzerWriteFailureIsSendErrorAndReadsNothing) {
    Open();
    kqsim_fail_call(KQSIM_FT_WRITE, 4, 0, 1);
    EXPECT_EQ(kq::BZCommand(&P(), 5), KQ_ERR_SEND);
    EXPECT_EQ(CountCalls(KQSIM_FT_READ), 0);
}

TEST_F(ShortCommands, BuzzerReadFailureIsReceiveError) {
    Open();
    kqsim_fail_call(KQSIM_FT_READ, 4, 0, 1);
    EXPECT_EQ(kq::BZCommand(&P(), 0), KQ_ERR_RECEIVE);
}

TEST_F(ShortCommands, BuzzerOnASilentReaderReturnsWhateverTheTimeouts) {
    // 0 means no limit to the driver: only the wait for the queued reply
    // bounds the call.
    P().ReadTimeout = 0;
    P().WriteTimeout = 0;
    Open();
    kqsim_drop_reply("BZ", -1);
    int r = -1;
    ASSERT_TRUE(ReturnsWithin([&] { r = KQ_BuzzerCommand(&P(), 1); }, 60000));
    EXPECT_EQ(r, KQ_ERR_NOREPLY);
    EXPECT_EQ(CountCalls(KQSIM_FT_READ), 0) << "nothing queued, nothing read";
    EXPECT_GT(CountCalls(KQSIM_FT_GETQUEUESTATUS), 1) << "a late reply gets its time";
    // A reply that comes late within the bound is still taken.
    kqsim_clear_scripts();
    kqsim_reply_delay(150);
    ASSERT_TRUE(ReturnsWithin([&] { r = KQ_BuzzerCommand(&P(), 0); }, 60000));
    EXPECT_EQ(r, KQ_OK);
}

TEST_F(ShortCommands, BuzzerTailOnASilentReaderReturnsWithZeroTimeouts) {
    P().ReadTimeout = 0;
    P().WriteTimeout = 0;
    Open();
    P().BuzzerOn = 1;
    kqsim_drop_reply("BZ", -1);
    ASSERT_EQ(kqsim_tag_add(Uid(2).c_str(), 4, 8), 0);
    int r = -1;
    ASSERT_TRUE(ReturnsWithin([&] { r = KQ_GetUID(&P()); }, 60000));
    EXPECT_EQ(r, KQ_ERR_BUZZER);
    EXPECT_EQ(P().OUT_GU.Count, 1);
}

// ---- LT ------------------------------------------------------------------------

TEST_F(ShortCommands, LoopOnFlagSelectsOneOnlyWhenExactlyOne) {
    Open();
    EXPECT_EQ(kq::LTCommand(&P(), 1), KQ_OK);
    EXPECT_EQ(kq::LTCommand(&P(), 2), KQ_OK);
    EXPECT_EQ(kq::LTCommand(&P(), 0), KQ_OK);
    EXPECT_EQ(kq::LTCommand(&P(), 257), KQ_OK);
    EXPECT_EQ(kq::LTCommand(&P(), -1), KQ_OK);
    EXPECT_EQ(Frames(), (std::vector<std::string>{Frame("LT01"), Frame("LT00"), Frame("LT00"),
                                                  Frame("LT00"), Frame("LT00")}));
    EXPECT_EQ(kqsim_reader_loop_on(), 1);
}

TEST_F(ShortCommands, LoopOnReaderStatusPassesOn) {
    Open();
    kqsim_force_status("LT", '3', 1);
    EXPECT_EQ(kq::LTCommand(&P(), 1), 3);
    kqsim_force_status("LT", 'x', 1);
    EXPECT_EQ(kq::LTCommand(&P(), 1), KQ_ERR_NOREPLY);
}

TEST_F(ShortCommands, LoopOnWriteFailureIsSendError) {
    Open();
    kqsim_fail_call(KQSIM_FT_WRITE, 4, 0, 1);
    EXPECT_EQ(kq::LTCommand(&P(), 1), KQ_ERR_SEND);
    EXPECT_EQ(CountCalls(KQSIM_FT_GETQUEUESTATUS), 0);
}

TEST_F(ShortCommands, SilentReaderEndsTheShortReplyWaitAtItsBound) {
    Open();
    kqsim_drop_reply("LT", 1);
    auto start = Clock::now();
    EXPECT_EQ(kq::LTCommand(&P(), 1), KQ_ERR_RECEIVE);
    EXPECT_LT(MsSince(start), 10000);
    int polls = CountCalls(KQSIM_FT_GETQUEUESTATUS);
    EXPECT_GE(polls, 50) << "a slow reader must get its time";
    EXPECT_LE(polls, 100);
    EXPECT_EQ(CountCalls(KQSIM_FT_READ), 0) << "nothing to read after giving up";
}

TEST_F(ShortCommands, ShortReplyWaitToleratesALateReply) {
    Open();
    kqsim_reply_delay(150);
    EXPECT_EQ(kq::LTCommand(&P(), 0), KQ_OK);
    EXPECT_GT(CountCalls(KQSIM_FT_GETQUEUESTATUS), 1);
}

TEST_F(ShortCommands, FailedQueuePollEndsTheWaitAtOnce) {
    Open();
    kqsim_fail_call(KQSIM_FT_GETQUEUESTATUS, 4, 0, -1);
    EXPECT_EQ(kq::LTCommand(&P(), 1), KQ_ERR_RECEIVE);
    EXPECT_EQ(CountCalls(KQSIM_FT_GETQUEUESTATUS), 1);
    EXPECT_EQ(CountCalls(KQSIM_FT_READ), 0);
    char status = 'x';
    EXPECT_EQ(kq::LPCommand(&P(), &status), KQ_ERR_RECEIVE);
    EXPECT_EQ(CountCalls(KQSIM_FT_GETQUEUESTATUS), 2);
}

TEST_F(ShortCommands, ShortReplyReadFailureIsReceiveError) {
    Open();
    kqsim_fail_call(KQSIM_FT_READ, 4, 0, 1);
    EXPECT_EQ(kq::LTCommand(&P(), 1), KQ_ERR_RECEIVE);
}

// ---- LP ------------------------------------------------------------------------

TEST_F(ShortCommands, LoopOffIsFiveBytesAndReadsSeven) {
    Open();
    ASSERT_EQ(kq::LTCommand(&P(), 0), KQ_OK);
    kqsim_clear_logs();
    char status = 'x';
    EXPECT_EQ(kq::LPCommand(&P(), &status), KQ_OK);
    EXPECT_EQ(status, '0');
    EXPECT_EQ(Frames(), std::vector<std::string>{Frame("LP")});
    int reads = 0;
    for (const auto& c : Calls()) {
        if (c.fn == KQSIM_FT_WRITE) {
            EXPECT_EQ(c.a0, 5u);
        }
        if (c.fn == KQSIM_FT_READ) {
            EXPECT_EQ(c.a0, 7u);
            ++reads;
        }
    }
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(kqsim_reader_loop_on(), 0);
}

TEST_F(ShortCommands, LoopOffHandsTheStatusBackUnjudged) {
    Open();
    kqsim_force_status("LP", '7', 1);
    char status = 'x';
    EXPECT_EQ(kq::LPCommand(&P(), &status), KQ_OK);
    EXPECT_EQ(status, '7');
}

TEST_F(ShortCommands, LoopOffSilentReaderIsReceiveError) {
    Open();
    kqsim_drop_reply("LP", 1);
    char status = 'x';
    auto start = Clock::now();
    EXPECT_EQ(kq::LPCommand(&P(), &status), KQ_ERR_RECEIVE);
    EXPECT_LT(MsSince(start), 10000);
}

// ---- PrepareCommand --------------------------------------------------------------

using Prepare = SimRecordTest;

TEST_F(Prepare, SendsLoopOffEvenWhenTheReaderLoopIsOff) {
    Open();
    ASSERT_EQ(kqsim_reader_loop_on(), 0);
    EXPECT_EQ(kq::PrepareCommand(&P()), KQ_OK);
    EXPECT_EQ(Frames(), std::vector<std::string>{Frame("LP")});
    EXPECT_EQ(N().Drain(20).size(), 0u) << "nothing was running: no message";
}

TEST_F(Prepare, SwitchesTheReaderLoopOff) {
    Open();
    ASSERT_EQ(kq::LTCommand(&P(), 1), KQ_OK);
    ASSERT_EQ(kqsim_reader_loop_on(), 1);
    EXPECT_EQ(kq::PrepareCommand(&P()), KQ_OK);
    EXPECT_EQ(kqsim_reader_loop_on(), 0);
}

TEST_F(Prepare, LoopOffStatusNotZeroIsLoopStopError) {
    Open();
    kqsim_force_status("LP", '1', 1);
    EXPECT_EQ(kq::PrepareCommand(&P()), KQ_ERR_LOOPSTOP);
    const std::string garbled = "\x02RLP\x7f\r\n";
    kqsim_force_reply("LP", garbled.data(), garbled.size(), 1);
    EXPECT_EQ(kq::PrepareCommand(&P()), KQ_ERR_LOOPSTOP);
}

TEST_F(Prepare, LoopOffExchangeFailuresAreLoopStopError) {
    Open();
    kqsim_fail_call(KQSIM_FT_WRITE, 4, 0, 1);
    EXPECT_EQ(kq::PrepareCommand(&P()), KQ_ERR_LOOPSTOP);
    kqsim_fail_call(KQSIM_FT_READ, 4, 0, 1);
    EXPECT_EQ(kq::PrepareCommand(&P()), KQ_ERR_LOOPSTOP);
    kqsim_clear_faults();
    kqsim_drop_reply("LP", 1);
    auto start = Clock::now();
    EXPECT_EQ(kq::PrepareCommand(&P()), KQ_ERR_LOOPSTOP);
    EXPECT_LT(MsSince(start), 10000) << "a silent reader must not hang the preparation";
    kqsim_fail_call(KQSIM_FT_GETQUEUESTATUS, 4, 0, 1);
    EXPECT_EQ(kq::PrepareCommand(&P()), KQ_ERR_LOOPSTOP);
    // The reader answers again: the next preparation succeeds.
    EXPECT_EQ(kq::PrepareCommand(&P()), KQ_OK);
}

TEST_F(Prepare, NoSerialNumberAndNoDeviceIsUsbError) {
    P().SerialNo = nullptr;
    kqsim_clear_logs();
    EXPECT_EQ(kq::PrepareCommand(&P()), KQ_ERR_USB);
    EXPECT_EQ(kqsim_frame_count(), 0u);
    EXPECT_EQ(CountCalls(KQSIM_FT_OPENEX), 0);
}

TEST_F(Prepare, ReopensAReaderThatCameBack) {
    Open();
    kqsim_unplug();
    EXPECT_EQ(kq::PrepareCommand(&P()), KQ_ERR_USB);
    EXPECT_EQ(kqsim_frame_count(), 0u) << "nothing is sent to a reader that is gone";
    kqsim_replug();
    kqsim_clear_logs();
    EXPECT_EQ(kq::PrepareCommand(&P()), KQ_OK);
    EXPECT_EQ(CountCalls(KQSIM_FT_OPENEX), 1);
    EXPECT_EQ(Frames(), std::vector<std::string>{Frame("LP")});
    EXPECT_EQ(kqsim_open_handles(), 1);
}

TEST_F(Prepare, StopsARunningWorkerBeforeItsOwnLoopOff) {
    Open();
    ASSERT_EQ(kq::StartLoopWorker(&P(), KQ_LOOP_UID), KQ_OK);
    ASSERT_TRUE(WaitListening());
    kqsim_clear_logs();
    EXPECT_EQ(kq::PrepareCommand(&P()), KQ_OK);
    EXPECT_EQ(P().hThread, nullptr);
    EXPECT_EQ(StopFlagOf(P()), 1);
    // One LP ends the stop, one is the preparation's own.
    EXPECT_EQ(Frames(), (std::vector<std::string>{Frame("LP"), Frame("LP")}));
    auto seen = N().Drain(50);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Message, static_cast<uint32_t>(WM_KQ_LOOPEND));
}

// ---- StartLoopWorker -------------------------------------------------------------

using StartWorker = SimRecordTest;

TEST_F(StartWorker, UnknownKindsChangeNothing) {
    Open();
    P().StopFlag = 1;
    P().LoopKind = 9;
    for (int kind : {0, 5, 6, 255, 256, 0x105, -1}) {
        EXPECT_EQ(kq::StartLoopWorker(&P(), kind), KQ_OK) << kind;
        EXPECT_EQ(P().StopFlag, 1) << kind;
        EXPECT_EQ(P().LoopKind, 9) << kind;
        EXPECT_EQ(P().hThread, nullptr) << kind;
    }
    EXPECT_EQ(kqsim_frame_count(), 0u);
}

TEST_F(StartWorker, KindIsTakenFromItsLowEightBits) {
    Open();
    // 0x104 is kind 4: the tag-command loop.
    ASSERT_EQ(kq::StartLoopWorker(&P(), 0x104), KQ_OK);
    EXPECT_NE(P().hThread, nullptr);
    EXPECT_EQ(P().LoopKind, KQ_LOOP_TAGCOMMAND);
    ASSERT_TRUE(WaitListening());
    // The tag-command loop always asks for "01".
    EXPECT_EQ(FramesOf("LT"), std::vector<std::string>{Frame("LT01")});
    KQ_LoopStop(&P());
    EXPECT_EQ(P().hThread, nullptr);
}

TEST_F(StartWorker, ClearsStopFlagAndSetsKindBeforeTheWorkerRuns) {
    Open();
    ASSERT_EQ(P().StopFlag, 1);
    ASSERT_EQ(kq::StartLoopWorker(&P(), KQ_LOOP_UID), KQ_OK);
    // A worker that found StopFlag still 1 would end at once, without
    // listening.
    EXPECT_TRUE(WaitListening());
    EXPECT_EQ(StopFlagOf(P()), 0);
    EXPECT_EQ(P().LoopKind, KQ_LOOP_UID);
    KQ_LoopStop(&P());
}

// Device lost again and again, and each time the next worker started
// directly: StartLoopWorker itself must release the worker that ended by
// itself, whatever the stop path did or did not do.
TEST_F(StartWorker, ReleasesAWorkerThatEndedByItself) {
    constexpr int kLosses = 40;
    kqsim_set_loop_interval(0);
    kqsim_set_logging(0);
    Open();
    // Warm-up: the first worker's start and stop.
    ASSERT_EQ(kq::StartLoopWorker(&P(), KQ_LOOP_UID), KQ_OK);
    KQ_LoopStop(&P());
    const int tasks = TaskCount();
    const int maps = MappingCount();

    for (int i = 1; i <= kLosses; ++i) {
        ASSERT_EQ(kq::StartLoopWorker(&P(), i % 2 ? KQ_LOOP_UID : KQ_LOOP_TAGCOMMAND), KQ_OK);
        ASSERT_NE(P().hThread, nullptr);
        EXPECT_EQ(StopFlagOf(P()), 0) << "loss " << i;
        kqsim_unplug();
        ASSERT_TRUE(WaitCount(N(), WM_KQ_USBERROR, i)) << "loss " << i;
        ASSERT_TRUE(WaitUntil([&] { return StopFlagOf(P()) == 1; }, 2000));
        ASSERT_NE(P().hThread, nullptr) << "nobody has released it yet";
        kqsim_replug();
        ASSERT_EQ(kq::CheckConnection(&P()), KQ_OK);
    }
    ASSERT_EQ(kq::StartLoopWorker(&P(), KQ_LOOP_UID), KQ_OK);
    KQ_LoopStop(&P());
    EXPECT_EQ(P().hThread, nullptr);
    if (tasks >= 0) {
        EXPECT_TRUE(WaitUntil([&] { return TaskCount() == tasks; }, 2000))
            << "threads: " << TaskCount() << ", before: " << tasks;
#if !defined(KQ_TEST_TSAN) && !defined(KQ_TEST_ASAN)
        // A thread that ended but was never joined keeps its stack mapped;
        // joined ones go to the C library's small stack cache. (Under the
        // sanitizers their own leak checks catch this instead.)
        EXPECT_LT(MappingCount() - maps, kLosses / 2) << "finished workers were not released";
#else
        (void)maps;
#endif
    }
}

} // namespace
} // namespace kqtest

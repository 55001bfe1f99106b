// Multi-read and multi-write loop workers: polling and waiting, the last-UID
// rule, notifications, how they end, and their bounds against a record the
// client overwrites. Record fields are examined only after KQ_LoopStop has
// ended the worker.
#include "memory_support.h"

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace kqtest {
namespace {

template <typename Pred> bool WaitUntil(Pred pred, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

size_t CountOf(const std::vector<std::string>& codes, const std::string& code) {
    size_t n = 0;
    for (const auto& c : codes) {
        n += c == code;
    }
    return n;
}

class MultiLoop : public SimRecordTest {
  protected:
    void SetUp() override {
        SimRecordTest::SetUp();
        // The reader's own loop reports only when the field changes.
        kqsim_set_loop_interval(0);
        Open();
        P().LoopMode = 1;
    }

    void StartRead(unsigned start, unsigned count) {
        P().IN_MR.StartBlock = static_cast<unsigned char>(start);
        P().IN_MR.BlockCount = static_cast<unsigned char>(count);
        ASSERT_EQ(KQ_MultiRead(&P()), KQ_OK);
        EXPECT_EQ(P().LoopKind, KQ_LOOP_MULTIREAD);
        ASSERT_NE(P().hThread, nullptr);
    }

    void StartWrite(unsigned start, unsigned count) {
        P().IN_MW.StartBlock = static_cast<unsigned char>(start);
        P().IN_MW.BlockCount = static_cast<unsigned char>(count);
        ASSERT_EQ(KQ_MultiWrite(&P()), KQ_OK);
        EXPECT_EQ(P().LoopKind, KQ_LOOP_MULTIWRITE);
        ASSERT_NE(P().hThread, nullptr);
    }

    void SetWriteEntry(unsigned j, const std::string& uid, const std::string& text) {
        SetUid(P().IN_MW.TagInfo[j].UID, uid);
        SetText(P().IN_MW.TagInfo[j].Data, text);
    }

    int DataCount() {
        N().Drain(0);
        return N().Count(WM_KQ_DATA);
    }

    bool WaitForData(int n, int timeout_ms = 5000) {
        return WaitUntil([&] { return DataCount() >= n; }, timeout_ms);
    }

    static bool WaitForReaderLoop(int timeout_ms = 5000) {
        return WaitUntil([] { return kqsim_reader_loop_on() == 1; }, timeout_ms);
    }

    void Stop() {
        ASSERT_EQ(KQ_LoopStop(&P()), KQ_OK);
        N().Drain(0);
    }

    // Every WM_KQ_DATA carries the record's address.
    void ExpectDataMessagesCarryTheRecord() {
        for (const auto& n : N().Seen()) {
            if (n.Message == WM_KQ_DATA) {
                EXPECT_EQ(n.wParam, 0u);
                EXPECT_EQ(n.lParam, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&P())));
            }
        }
    }

    uint32_t ExitCodeOfWorker() {
        uint32_t code = 0;
        EXPECT_TRUE(kq::ThreadExitCode(P().hThread, &code));
        return code;
    }
};

// ---- Multi-read loop --------------------------------------------------------

TEST_F(MultiLoop, ReadLoopStartsClearedAndPolling) {
    std::memset(&P().OUT_MR, 0x5A, sizeof P().OUT_MR);
    StartRead(0, 1);
    // An empty field is an accepted inventory: the worker keeps polling.
    ASSERT_TRUE(WaitUntil([] { return FramesOf("GU").size() >= 3; }, 5000));
    Stop();
    auto codes = Codes();
    ASSERT_GE(codes.size(), 3u);
    EXPECT_EQ(codes[0], "LP"); // the preparation
    EXPECT_EQ(codes[1], "GU"); // the first pass polls
    EXPECT_EQ(CountOf(codes, "LT"), 0u) << ShowAll(Frames());
    EXPECT_TRUE(AllBytes(P().OUT_MR, 0));
    EXPECT_EQ(N().Count(WM_KQ_DATA), 0);
    EXPECT_EQ(N().Count(WM_KQ_LOOPEND), 1);
}

TEST_F(MultiLoop, ReadLoopReadsATagThatStaysOnceThenWaits) {
    ASSERT_EQ(kqsim_tag_add(kUidA, 4, 4), 0);
    ASSERT_EQ(kqsim_tag_set_data(kUidA, 0, "a1a2a3a4a5a6a7a8"), 0);
    StartRead(1, 2);
    ASSERT_TRUE(WaitForReaderLoop());
    size_t frames_when_waiting = Frames().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(Frames().size(), frames_when_waiting) << "a waiting worker sends nothing";
    Stop();
    EXPECT_EQ(Codes(), (std::vector<std::string>{"LP", "GU", "LP", "SR", "GU", "LP", "LT", "LP"}))
        << ShowAll(Frames());
    EXPECT_EQ(FramesOf("SR")[0], SrFrame(1, 2, kUidA));
    EXPECT_EQ(N().Count(WM_KQ_DATA), 1);
    ExpectDataMessagesCarryTheRecord();
    // The second pass counted no read but left the entry as it was.
    const KQ_OUT_MR& out = P().OUT_MR;
    EXPECT_EQ(out.TagCount, 1);
    EXPECT_EQ(out.DoneCount, 0);
    EXPECT_STREQ(out.TagInfo[0].UID, kUidA);
    EXPECT_STREQ(out.TagInfo[0].Data, "a3a4a5a6");
}

TEST_F(MultiLoop, ReadLoopAlternatesBetweenTwoTagsWithoutWaiting) {
    ASSERT_EQ(kqsim_tag_add(kUidA, 4, 4), 0);
    ASSERT_EQ(kqsim_tag_add(kUidB, 4, 4), 0);
    ASSERT_EQ(kqsim_tag_set_data(kUidB, 0, "b1b2b3b4b5b6b7b8"), 0);
    StartRead(0, 1);
    ASSERT_TRUE(WaitForData(2));
    Stop();
    EXPECT_EQ(CountOf(Codes(), "LT"), 0u) << ShowAll(Frames());
    auto sr = FramesOf("SR");
    ASSERT_GE(sr.size(), 4u);
    for (size_t i = 0; i < sr.size(); ++i) {
        EXPECT_EQ(sr[i], SrFrame(0, 1, i % 2 == 0 ? kUidA : kUidB)) << i;
    }
    EXPECT_GE(CountOf(Codes(), "GU"), 2u);
    EXPECT_EQ(P().OUT_MR.TagCount, 2);
    EXPECT_STREQ(P().OUT_MR.TagInfo[1].Data, "b1b2");
}

TEST_F(MultiLoop, ReadLoopStillReadsTheOtherTagWhenItMeetsTheLastOne) {
    ASSERT_EQ(kqsim_tag_add(kUidA, 4, 4), 0);
    ASSERT_EQ(kqsim_tag_add(kUidB, 4, 4), 0);
    // Writes: LP of the preparation, GU, LP, SR of A, then SR of B fails.
    kqsim_fail_call(KQSIM_FT_WRITE, 4, 4, 1);
    StartRead(0, 1);
    ASSERT_TRUE(WaitForData(2));
    ASSERT_TRUE(WaitForReaderLoop());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Stop();
    // Second pass: A is the last UID, so LT; B is still read in that pass,
    // and from then on no GU is sent.
    auto frames = Frames();
    size_t lt = 0;
    while (lt < frames.size() && frames[lt].compare(1, 2, "LT") != 0) {
        ++lt;
    }
    ASSERT_LT(lt + 1, frames.size()) << ShowAll(frames);
    EXPECT_EQ(frames[lt], Frame("LT00"));
    EXPECT_EQ(frames[lt + 1], SrFrame(0, 1, kUidB)) << ShowAll(frames);
    for (size_t i = lt + 2; i + 1 < frames.size(); ++i) {
        EXPECT_NE(frames[i].substr(1, 2), "GU") << ShowAll(frames);
    }
    EXPECT_EQ(CountOf(Codes(), "GU"), 2u) << ShowAll(frames);
    EXPECT_EQ(P().OUT_MR.DoneCount, 1);
    EXPECT_STREQ(P().OUT_MR.TagInfo[1].UID, kUidB);
}

TEST_F(MultiLoop, ReadLoopReadsATagEnteringWhileItWaitsAfterLp) {
    // The first poll fails: the worker switches the reader's loop on.
    kqsim_force_status("GU", '2', 1);
    StartRead(0, 1);
    ASSERT_TRUE(WaitForReaderLoop());
    EXPECT_EQ(Codes(), (std::vector<std::string>{"LP", "GU", "LT"}));
    ASSERT_EQ(kqsim_tag_add(kUidA, 4, 4), 0);
    ASSERT_TRUE(WaitForData(1));
    Stop();
    auto frames = Frames();
    ASSERT_GE(frames.size(), 5u) << ShowAll(frames);
    // The reader's own report is taken without a GU of the worker's.
    EXPECT_EQ(frames[3], Frame("LP"));
    EXPECT_EQ(frames[4], SrFrame(0, 1, kUidA));
    EXPECT_EQ(N().Count(WM_KQ_DATA), 1);
}

TEST_F(MultiLoop, ReadLoopIgnoresAnInventoryOfFourTags) {
    for (const char* uid : {kUidA, kUidB, kUidC, kUidD}) {
        ASSERT_EQ(kqsim_tag_add(uid, 4, 4), 0);
    }
    StartRead(0, 1);
    ASSERT_TRUE(WaitUntil([] { return FramesOf("GU").size() >= 3; }, 5000));
    Stop();
    // No LP after GU, no LT, no read: the next pass polls again.
    auto codes = Codes();
    for (size_t i = 1; i + 1 < codes.size(); ++i) {
        EXPECT_EQ(codes[i], "GU") << ShowAll(Frames());
    }
    EXPECT_EQ(N().Count(WM_KQ_DATA), 0);
}

// ---- Multi-write loop -------------------------------------------------------

TEST_F(MultiLoop, WriteLoopStartsClearedAndPolling) {
    std::memset(&P().OUT_MW, 0x5A, sizeof P().OUT_MW);
    StartWrite(0, 1);
    ASSERT_TRUE(WaitUntil([] { return FramesOf("GU").size() >= 3; }, 5000));
    Stop();
    auto codes = Codes();
    EXPECT_EQ(codes[0], "LP");
    EXPECT_EQ(codes[1], "GU");
    EXPECT_EQ(CountOf(codes, "LT"), 0u) << ShowAll(Frames());
    EXPECT_TRUE(AllBytes(P().OUT_MW, 0));
}

TEST_F(MultiLoop, WriteLoopWritesATagThatStaysOnceThenWaits) {
    ASSERT_EQ(kqsim_tag_add(kUidA, 4, 4), 0);
    SetWriteEntry(1, kUidA, "wxyz");
    StartWrite(3, 1);
    ASSERT_TRUE(WaitForReaderLoop());
    size_t frames_when_waiting = Frames().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(Frames().size(), frames_when_waiting) << "a waiting worker sends nothing";
    Stop();
    EXPECT_EQ(Codes(),
              (std::vector<std::string>{"LP", "GU", "LP", "SW", "SR", "GU", "LP", "LT", "LP"}))
        << ShowAll(Frames());
    EXPECT_EQ(FramesOf("SW")[0], SwFrame(3, 1, "wxyz", kUidA));
    EXPECT_EQ(TagData(kUidA, 3, 1), "wxyz");
    EXPECT_EQ(N().Count(WM_KQ_DATA), 1);
    ExpectDataMessagesCarryTheRecord();
    // The second pass cleared the entries and wrote nothing.
    EXPECT_EQ(P().OUT_MW.TagCount, 1);
    EXPECT_EQ(P().OUT_MW.DoneCount, 0);
    EXPECT_TRUE(AllBytes(P().OUT_MW.TagInfo, 0));
}

TEST_F(MultiLoop, WriteLoopAlternatesBetweenTwoTagsWithoutWaiting) {
    ASSERT_EQ(kqsim_tag_add(kUidA, 4, 4), 0);
    ASSERT_EQ(kqsim_tag_add(kUidB, 4, 4), 0);
    SetWriteEntry(0, kUidB, "bbbb");
    SetWriteEntry(1, kUidA, "aaaa");
    StartWrite(0, 1);
    ASSERT_TRUE(WaitForData(2));
    Stop();
    EXPECT_EQ(CountOf(Codes(), "LT"), 0u) << ShowAll(Frames());
    auto sw = FramesOf("SW");
    ASSERT_GE(sw.size(), 4u);
    for (size_t i = 0; i < sw.size(); ++i) {
        EXPECT_EQ(sw[i], i % 2 == 0 ? SwFrame(0, 1, "aaaa", kUidA) : SwFrame(0, 1, "bbbb", kUidB))
            << i;
    }
    // Entries in the order of the writes of the last pass.
    EXPECT_EQ(P().OUT_MW.DoneCount, 2);
    EXPECT_STREQ(P().OUT_MW.TagInfo[0].UID, kUidA);
    EXPECT_STREQ(P().OUT_MW.TagInfo[1].Data, "bbbb");
}

TEST_F(MultiLoop, WriteLoopLeavesAnUnlistedTagAloneAndKeepsPolling) {
    ASSERT_EQ(kqsim_tag_add(kUidX, 4, 4), 0);
    SetWriteEntry(0, kUidA, "aaaa");
    StartWrite(0, 1);
    ASSERT_TRUE(WaitUntil([] { return FramesOf("GU").size() >= 3; }, 5000));
    Stop();
    auto codes = Codes();
    EXPECT_EQ(CountOf(codes, "SW"), 0u);
    EXPECT_EQ(CountOf(codes, "LT"), 0u);
    EXPECT_EQ(N().Count(WM_KQ_DATA), 0);
    EXPECT_EQ(P().OUT_MW.TagCount, 1);
}

TEST_F(MultiLoop, WriteLoopStopsThePassWhenAnEntryMeetsTheLastUid) {
    ASSERT_EQ(kqsim_tag_add(kUidA, 4, 4), 0);
    SetWriteEntry(0, kUidA, "1111");
    SetWriteEntry(2, kUidA, "2222");
    StartWrite(0, 1);
    ASSERT_TRUE(WaitForReaderLoop());
    ASSERT_TRUE(WaitForData(1));
    Stop();
    EXPECT_EQ(Codes(), (std::vector<std::string>{"LP", "GU", "LP", "SW", "SR", "LT", "LP"}))
        << ShowAll(Frames());
    EXPECT_EQ(TagData(kUidA, 0, 1), "1111");
    EXPECT_EQ(P().OUT_MW.DoneCount, 1);
    EXPECT_STREQ(P().OUT_MW.TagInfo[0].Data, "1111");
    EXPECT_EQ(N().Count(WM_KQ_DATA), 1);
}

TEST_F(MultiLoop, WriteLoopWritesATagEnteringWhileItWaitsAfterLp) {
    SetWriteEntry(0, kUidA, "aaaa");
    kqsim_force_status("GU", '2', 1);
    StartWrite(0, 1);
    ASSERT_TRUE(WaitForReaderLoop());
    EXPECT_EQ(Codes(), (std::vector<std::string>{"LP", "GU", "LT"}));
    ASSERT_EQ(kqsim_tag_add(kUidA, 4, 4), 0);
    ASSERT_TRUE(WaitForData(1));
    Stop();
    auto frames = Frames();
    ASSERT_GE(frames.size(), 5u) << ShowAll(frames);
    EXPECT_EQ(frames[3], Frame("LP"));
    EXPECT_EQ(frames[4], SwFrame(0, 1, "aaaa", kUidA));
    EXPECT_EQ(TagData(kUidA, 0, 1), "aaaa");
}

// ---- Both workers -------------------------------------------------------------

TEST_F(MultiLoop, AGuThatCannotBeSentEndsEitherWorkerWithASendErrorUnannounced) {
    for (int kind : {KQ_LOOP_MULTIREAD, KQ_LOOP_MULTIWRITE}) {
        SCOPED_TRACE(kind);
        kqsim_clear_logs();
        // The preparation's LP goes out; the worker's GU does not.
        kqsim_fail_call(KQSIM_FT_WRITE, 4, 1, 1);
        if (kind == KQ_LOOP_MULTIREAD) {
            StartRead(0, 1);
        } else {
            StartWrite(0, 1);
        }
        ASSERT_TRUE(WaitUntil([&] { return ExitCodeOfWorker() != kq::kStillActive; }, 5000));
        EXPECT_EQ(ExitCodeOfWorker(), static_cast<uint32_t>(KQ_ERR_SEND));
        EXPECT_EQ(P().StopFlag, 0);
        EXPECT_TRUE(N().Drain(50).empty());
        Stop();
        EXPECT_EQ(P().hThread, nullptr);
        EXPECT_EQ(N().Count(WM_KQ_LOOPEND), kind == KQ_LOOP_MULTIREAD ? 1 : 2);
        EXPECT_EQ(Codes().back(), "LP");
    }
}

TEST_F(MultiLoop, ALostDeviceEndsTheWorkerWithUsbError) {
    StartWrite(0, 1);
    ASSERT_TRUE(WaitUntil([] { return !FramesOf("GU").empty(); }, 5000));
    kqsim_unplug();
    KQ_NOTIFICATION n{};
    ASSERT_TRUE(N().WaitFor(WM_KQ_USBERROR, 5000, &n));
    EXPECT_EQ(n.lParam, 0u);
    ASSERT_TRUE(WaitUntil([&] { return ExitCodeOfWorker() != kq::kStillActive; }, 5000));
    EXPECT_EQ(ExitCodeOfWorker(), 0u);
    EXPECT_EQ(P().StopFlag, 1);
    // The stop finds the worker ended by itself and does nothing.
    ASSERT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_EQ(N().Count(WM_KQ_LOOPEND), 0);
    kq::ThreadClose(P().hThread);
    P().hThread = nullptr;
}

// The client may overwrite the tag count while a worker runs; the workers
// still never go past the four entries. (Deliberately racy: not run under
// ThreadSanitizer.)
#if defined(__SANITIZE_THREAD__)
#define KQ_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KQ_UNDER_TSAN 1
#endif
#endif

TEST_F(MultiLoop, AnOverwrittenTagCountNeverTakesAWorkerPastFourEntries) {
#ifdef KQ_UNDER_TSAN
    GTEST_SKIP() << "writes the record while the worker runs";
#endif
    ASSERT_EQ(kqsim_tag_add(kUidA, 4, 4), 0);
    SetWriteEntry(0, kUidA, "aaaa");
    std::memset(&P().OUT_TA, 0x5A, sizeof P().OUT_TA);
    for (int kind : {KQ_LOOP_MULTIREAD, KQ_LOOP_MULTIWRITE}) {
        SCOPED_TRACE(kind);
        kqsim_clear_logs();
        unsigned char* count =
            kind == KQ_LOOP_MULTIREAD ? &P().OUT_MR.TagCount : &P().OUT_MW.TagCount;
        std::atomic<bool> done{false};
        std::thread client([&] {
            while (!done.load()) {
                __atomic_store_n(count, static_cast<unsigned char>(255), __ATOMIC_RELAXED);
                std::this_thread::yield();
            }
        });
        if (kind == KQ_LOOP_MULTIREAD) {
            StartRead(0, 1);
        } else {
            StartWrite(0, 1);
        }
        bool handled = WaitForData(kind == KQ_LOOP_MULTIREAD ? 1 : 2);
        done = true;
        client.join();
        Stop();
        EXPECT_TRUE(handled);
        // Every exchange addressed the one tag; nothing after the result
        // block was touched.
        for (const auto& f : Frames()) {
            if (f.compare(1, 2, "SR") == 0 || f.compare(1, 2, "SW") == 0) {
                EXPECT_NE(f.find(kUidA), std::string::npos) << Show(f);
            }
        }
        if (kind == KQ_LOOP_MULTIREAD) {
            EXPECT_TRUE(AllBytes(P().OUT_MW, 0));
        }
        EXPECT_TRUE(AllBytes(P().OUT_TA, 0x5A));
    }
}

} // namespace
} // namespace kqtest

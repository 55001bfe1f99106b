// The library end to end through the built-in serial provider (KQ_D2XX=serial,
// set by CTest) against the kqsim program on a real pseudo-terminal: every
// exported operation as a client calls it, loop mode with its notifications,
// a reader that stops answering and one that vanishes under a loop worker.
#include "kq.h"
#include "serial_support.h"
#include "support/sim_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include <unistd.h>

using namespace kqserial;

namespace {

constexpr char kTag1[] = "E004010000000001";
constexpr char kTag2[] = "E004010000000002";
constexpr char kSensor[] = "E004015000000001";

std::string Repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

class SerialEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* d2xx = std::getenv("KQ_D2XX");
        if (d2xx == nullptr || std::strcmp(d2xx, "serial") != 0) {
            GTEST_SKIP() << "runs under CTest with KQ_D2XX=serial";
        }
        prop_ = std::make_unique<KQ_PROPERTY>();
        std::memset(prop_.get(), 0, sizeof(KQ_PROPERTY));
        prop_->ReadTimeout = 500;
        prop_->WriteTimeout = 500;
        prop_->StopFlag = 1;
        prop_->hWnd = notifier_.Target();
        KQ_Init_PROPERTY(prop_.get());
    }

    void TearDown() override {
        if (prop_ != nullptr) {
            KQ_LoopStop(prop_.get());
            if (prop_->Handle != nullptr) {
                KQ_CloseUSB(prop_.get());
            }
        }
    }

    // Starts kqsim with these options (quiet) and points the record at its
    // tty.
    void Start(std::vector<std::string> args) {
        args.insert(args.begin(), "--quiet");
        sim_ = std::make_unique<Kqsim>(args);
        ASSERT_TRUE(sim_->Ok()) << sim_->Error();
        tty_ = sim_->Tty();
        prop_->SerialNo = tty_.c_str();
    }

    void Open() { ASSERT_EQ(KQ_OpenUSB(prop_.get()), KQ_OK) << tty_; }

    KQ_PROPERTY& P() { return *prop_; }

    kqtest::Notifier notifier_;
    std::unique_ptr<KQ_PROPERTY> prop_;
    std::unique_ptr<Kqsim> sim_;
    std::string tty_;
};

} // namespace

// ---- Device management -----------------------------------------------------------

TEST_F(SerialEndToEnd, OpenProbeCloseAndReopen) {
    ASSERT_NO_FATAL_FAILURE(Start({"--tag", kTag1}));
    Open();
    EXPECT_NE(P().Handle, nullptr);
    EXPECT_EQ(KQ_CheckStatusUSB(&P()), 0);
    EXPECT_EQ(KQ_CloseUSB(&P()), KQ_OK);
    EXPECT_EQ(P().Handle, nullptr);
    EXPECT_EQ(KQ_CloseUSB(&P()), KQ_ERR_USB);
    EXPECT_EQ(KQ_CheckStatusUSB(&P()), 1) << "a null handle is the driver's invalid handle";

    // The reader keeps working for a client that comes back.
    Open();
    EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
    EXPECT_EQ(P().OUT_GU.Count, 1);

    // Another record may not open the reader while this one holds it.
    KQ_PROPERTY other;
    std::memset(&other, 0, sizeof other);
    other.SerialNo = tty_.c_str();
    other.StopFlag = 1;
    EXPECT_EQ(KQ_OpenUSB(&other), KQ_ERR_USB);
    EXPECT_EQ(other.Handle, nullptr);

    KQ_PROPERTY missing;
    std::memset(&missing, 0, sizeof missing);
    missing.SerialNo = "/dev/kq-no-such-reader";
    EXPECT_EQ(KQ_OpenUSB(&missing), KQ_ERR_USB);
}

TEST_F(SerialEndToEnd, SerialNumberFromSysfsOpensTheReader) {
    // A machine without FTDI devices cannot list one; a fake sysfs tree
    // shows kqsim's tty as ttyUSB0 of an FTDI device.
    ASSERT_NO_FATAL_FAILURE(Start({"--tag", kTag1, "--tag", kTag2}));
    TempDir dir;
    FakeSysfs sysfs(dir / "sys");
    sysfs.AddUsbPort("ttyUSB0", "0403", "KQ4711A");
    MakeDirs(dir / "dev");
    Symlink(tty_, dir / "dev/ttyUSB0");
    ScopedEnv root("KQ_SERIAL_SYSFS_ROOT", sysfs.Root());
    ScopedEnv dev("KQ_SERIAL_DEV_DIR", dir / "dev");

    char serial[KQ_SERIALNO_BUFFER_SIZE];
    std::memset(serial, 'x', sizeof serial);
    ASSERT_EQ(KQ_GetSerialNo(serial), KQ_OK);
    EXPECT_STREQ(serial, "KQ4711A");
    P().SerialNo = serial;
    ASSERT_EQ(KQ_OpenUSB(&P()), KQ_OK);
    EXPECT_EQ(sysfs.LatencyTimer("ttyUSB0"), "1") << "latency timer not lowered on open";
    EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
    EXPECT_EQ(P().OUT_GU.Count, 2);
    EXPECT_EQ(KQ_CloseUSB(&P()), KQ_OK);

    ScopedEnv none("KQ_SERIAL_SYSFS_ROOT", dir / "empty");
    EXPECT_EQ(KQ_GetSerialNo(serial), KQ_ERR_SERIALNO);
}

TEST_F(SerialEndToEnd, ClearingFunctions) {
    // Pure record work, the same whatever the driver: each clears its block.
    KQ_TAGINFO tag;
    KQ_IN_TA ta;
    KQ_OUT_TA ota;
    KQ_IN_SR sr;
    KQ_IN_SNSR snsr;
    KQ_OUT_SNSR osnsr;
    KQ_IN_SW sw;
    auto gu = std::make_unique<KQ_OUT_GU>();
    auto mw = std::make_unique<KQ_IN_MW>();
    auto mr = std::make_unique<KQ_OUT_MR>();
    auto omw = std::make_unique<KQ_OUT_MW>();
    struct Block {
        void* p;
        size_t n;
        int (*clear)(void*);
    };
    const Block blocks[] = {
        {&tag, sizeof tag, [](void* b) { return KQ_Init_TAGINFO(static_cast<KQ_TAGINFO*>(b)); }},
        {&ta, sizeof ta, [](void* b) { return KQ_Init_IN_TA(static_cast<KQ_IN_TA*>(b)); }},
        {&ota, sizeof ota, [](void* b) { return KQ_Init_OUT_TA(static_cast<KQ_OUT_TA*>(b)); }},
        {&sr, sizeof sr, [](void* b) { return KQ_Init_IN_SR(static_cast<KQ_IN_SR*>(b)); }},
        {&snsr, sizeof snsr, [](void* b) { return KQ_Init_IN_SNSR(static_cast<KQ_IN_SNSR*>(b)); }},
        {&osnsr, sizeof osnsr,
         [](void* b) { return KQ_Init_OUT_SNSR(static_cast<KQ_OUT_SNSR*>(b)); }},
        {&sw, sizeof sw, [](void* b) { return KQ_Init_IN_SW(static_cast<KQ_IN_SW*>(b)); }},
        {gu.get(), sizeof *gu, [](void* b) { return KQ_Init_OUT_GU(static_cast<KQ_OUT_GU*>(b)); }},
        {mw.get(), sizeof *mw, [](void* b) { return KQ_Init_IN_MW(static_cast<KQ_IN_MW*>(b)); }},
        {mr.get(), sizeof *mr, [](void* b) { return KQ_Init_OUT_MR(static_cast<KQ_OUT_MR*>(b)); }},
        {omw.get(), sizeof *omw,
         [](void* b) { return KQ_Init_OUT_MW(static_cast<KQ_OUT_MW*>(b)); }},
    };
    for (const Block& b : blocks) {
        std::memset(b.p, 0xA5, b.n);
        EXPECT_EQ(b.clear(b.p), KQ_OK);
        const auto* bytes = static_cast<const unsigned char*>(b.p);
        size_t nonzero = 0;
        for (size_t i = 0; i < b.n; ++i) {
            nonzero += bytes[i] != 0;
        }
        EXPECT_EQ(nonzero, 0u) << "block of " << b.n << " bytes";
    }
    std::memset(&P().IN_TA, 'x', sizeof P().IN_TA);
    P().OUT_GU.Count = 3;
    EXPECT_EQ(KQ_Init_PROPERTY(&P()), KQ_OK);
    EXPECT_EQ(P().IN_TA[0], 0);
    EXPECT_EQ(P().OUT_GU.Count, 0);
    EXPECT_EQ(P().hWnd, notifier_.Target()) << "settings before IN_MW were touched";
}

// ---- One-shot operations -------------------------------------------------------------

TEST_F(SerialEndToEnd, InventoryBuzzerAndTagCommand) {
    ASSERT_NO_FATAL_FAILURE(Start({"--tag", kTag1, "--tag", kTag2}));
    Open();
    ASSERT_EQ(KQ_GetUID(&P()), KQ_OK);
    ASSERT_EQ(P().OUT_GU.Count, 2);
    EXPECT_STREQ(P().OUT_GU.TagInfo[0].UID, kTag1);
    EXPECT_STREQ(P().OUT_GU.TagInfo[1].UID, kTag2);

    EXPECT_EQ(KQ_BuzzerCommand(&P(), 1), KQ_OK);

    // kqsim's tags answer a tag command with its text reversed.
    std::strcpy(P().IN_TA, "0123ABC");
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_OK);
    EXPECT_STREQ(P().OUT_TA, "CBA3210");

    // With the buzzer after every success.
    P().BuzzerOn = 1;
    P().BuzzerTime = 1;
    EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
    EXPECT_EQ(P().OUT_GU.Count, 2);
}

TEST_F(SerialEndToEnd, SelectReadAndSelectWrite) {
    std::string text = Repeat("0123456789ABCDEF", 5); // 20 blocks of 4
    ASSERT_NO_FATAL_FAILURE(Start(
        {"--tag", std::string(kTag1) + ":4:64", "--data", std::string(kTag1) + ":0:" + text}));
    Open();

    KQ_IN_SR sr;
    KQ_Init_IN_SR(&sr);
    sr.StartBlock = 0;
    sr.BlockCount = 20; // two exchanges: 16 blocks, then 4
    std::strcpy(sr.UID, kTag1);
    KQ_TAGINFO out;
    KQ_Init_TAGINFO(&out);
    ASSERT_EQ(KQ_SelectRead(&P(), &sr, &out), KQ_OK);
    EXPECT_STREQ(out.UID, kTag1);
    EXPECT_EQ(std::string(out.Data), text);

    KQ_IN_SW sw;
    KQ_Init_IN_SW(&sw);
    sw.StartBlock = 30;
    sw.BlockCount = 3;
    std::strcpy(sw.TagInfo.UID, kTag1);
    std::strcpy(sw.TagInfo.Data, "WXYZwxyz4321");
    ASSERT_EQ(KQ_SelectWrite(&P(), &sw), KQ_OK);
    sr.StartBlock = 30;
    sr.BlockCount = 3;
    KQ_Init_TAGINFO(&out);
    ASSERT_EQ(KQ_SelectRead(&P(), &sr, &out), KQ_OK);
    EXPECT_STREQ(out.Data, "WXYZwxyz4321");

    // A tag that is not in the field: the reader's status comes back.
    std::strcpy(sr.UID, kTag2);
    EXPECT_EQ(KQ_SelectRead(&P(), &sr, &out), 2);
}

TEST_F(SerialEndToEnd, MultiReadAndMultiWrite) {
    ASSERT_NO_FATAL_FAILURE(
        Start({"--tag", kTag1, "--tag", kTag2, "--data", std::string(kTag2) + ":2:abcdefgh"}));
    Open();
    P().IN_MW.StartBlock = 0;
    P().IN_MW.BlockCount = 2;
    std::strcpy(P().IN_MW.TagInfo[0].UID, kTag1);
    std::strcpy(P().IN_MW.TagInfo[0].Data, "11112222");
    std::strcpy(P().IN_MW.TagInfo[1].UID, kTag2);
    std::strcpy(P().IN_MW.TagInfo[1].Data, "33334444");
    ASSERT_EQ(KQ_MultiWrite(&P()), KQ_OK);
    EXPECT_EQ(P().OUT_MW.TagCount, 2);
    EXPECT_EQ(P().OUT_MW.DoneCount, 2);

    P().IN_MR.StartBlock = 0;
    P().IN_MR.BlockCount = 4;
    ASSERT_EQ(KQ_MultiRead(&P()), KQ_OK);
    EXPECT_EQ(P().OUT_MR.TagCount, 2);
    EXPECT_EQ(P().OUT_MR.DoneCount, 2);
    EXPECT_STREQ(P().OUT_MR.TagInfo[0].UID, kTag1);
    EXPECT_STREQ(P().OUT_MR.TagInfo[0].Data, "1111222200000000");
    EXPECT_STREQ(P().OUT_MR.TagInfo[1].UID, kTag2);
    EXPECT_STREQ(P().OUT_MR.TagInfo[1].Data, "33334444abcdefgh");
}

TEST_F(SerialEndToEnd, SensorMeasurement) {
    ASSERT_NO_FATAL_FAILURE(
        Start({"--tag", kSensor, "--sensor", std::string(kSensor) + ":90:00A1B2C3"}));
    Open();
    KQ_IN_SNSR in;
    KQ_Init_IN_SNSR(&in);
    std::strcpy(in.UID, kSensor);
    in.Channel = 1;
    KQ_OUT_SNSR out;
    std::memset(&out, 0xFF, sizeof out);
    ASSERT_EQ(KQ_SensorCommand(&P(), &in, &out), KQ_OK);
    EXPECT_EQ(out.Value, 90);
    EXPECT_EQ(out.Reserved[0], 0);
    in.Setting = 0x40;
    ASSERT_EQ(KQ_SensorCommand(&P(), &in, &out), KQ_OK);
    EXPECT_EQ(out.Value, 90);
}

// ---- Loop mode --------------------------------------------------------------------------

TEST_F(SerialEndToEnd, UidLoopReportsTagsUntilStopped) {
    // The second tag enters the field a while after the loop started.
    ASSERT_NO_FATAL_FAILURE(
        Start({"--tag", kTag1, "--enter", std::string("1500:") + kTag2, "--interval", "100"}));
    Open();
    P().LoopMode = 1;
    ASSERT_EQ(KQ_GetUID(&P()), KQ_OK);
    EXPECT_NE(P().hThread, nullptr);
    EXPECT_EQ(P().LoopKind, KQ_LOOP_UID);
    KQ_NOTIFICATION n;
    ASSERT_TRUE(notifier_.WaitFor(WM_KQ_DATA, 5000, &n)) << "no report from the UID loop";
    EXPECT_EQ(n.lParam, reinterpret_cast<uintptr_t>(&P()));
    EXPECT_EQ(n.wParam, 0u);

    // The worker owns OUT_GU until the loop stops: let it report for a
    // while after the second tag entered, then look.
    auto start = Clock::now();
    while (ElapsedMs(start) < 2500) {
        notifier_.Drain(100);
    }
    EXPECT_GE(notifier_.Count(WM_KQ_DATA), 2);

    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_EQ(P().hThread, nullptr);
    EXPECT_EQ(P().StopFlag, 1);
    EXPECT_TRUE(notifier_.WaitFor(WM_KQ_LOOPEND, 2000));
    EXPECT_EQ(notifier_.Count(WM_KQ_USBERROR), 0);
    EXPECT_EQ(P().OUT_GU.Count, 2) << "the tag that entered was never reported";
    EXPECT_STREQ(P().OUT_GU.TagInfo[1].UID, kTag2);

    // One-shot operations work again after the loop.
    P().LoopMode = 0;
    EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
    EXPECT_EQ(P().OUT_GU.Count, 2);
}

TEST_F(SerialEndToEnd, MultiReadLoop) {
    ASSERT_NO_FATAL_FAILURE(
        Start({"--tag", kTag1, "--data", std::string(kTag1) + ":0:loop", "--interval", "100"}));
    Open();
    P().LoopMode = 1;
    P().IN_MR.StartBlock = 0;
    P().IN_MR.BlockCount = 1;
    ASSERT_EQ(KQ_MultiRead(&P()), KQ_OK);
    EXPECT_EQ(P().LoopKind, KQ_LOOP_MULTIREAD);
    KQ_NOTIFICATION n;
    ASSERT_TRUE(notifier_.WaitFor(WM_KQ_DATA, 5000, &n)) << "no report from the multi-read loop";
    EXPECT_EQ(n.lParam, reinterpret_cast<uintptr_t>(&P()));
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_TRUE(notifier_.WaitFor(WM_KQ_LOOPEND, 2000));
    // A later pass that meets the same tag again counts nothing new, but the
    // entries stay as read.
    EXPECT_STREQ(P().OUT_MR.TagInfo[0].UID, kTag1);
    EXPECT_STREQ(P().OUT_MR.TagInfo[0].Data, "loop");
}

TEST_F(SerialEndToEnd, TagCommandLoopAnswersOnceATagComes) {
    // No tag in the field at first: the first exchange fails and the
    // tag-command loop takes over until a tag answers.
    ASSERT_NO_FATAL_FAILURE(Start({"--enter", std::string("1000:") + kTag1, "--interval", "100"}));
    Open();
    std::strcpy(P().IN_TA, "XY");
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_ERR_TAG);
    P().LoopMode = 1;
    ASSERT_EQ(KQ_TagCommand(&P()), KQ_OK);
    EXPECT_EQ(P().LoopKind, KQ_LOOP_TAGCOMMAND);
    EXPECT_NE(P().hThread, nullptr);
    ASSERT_TRUE(notifier_.WaitFor(WM_KQ_DATA, 8000)) << "no report from the tag-command loop";
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_TRUE(notifier_.WaitFor(WM_KQ_LOOPEND, 2000));
    EXPECT_STREQ(P().OUT_TA, "YX");

    // Now that a tag answers, the first exchange succeeds and no loop starts.
    ASSERT_EQ(KQ_TagCommand(&P()), KQ_OK);
    EXPECT_STREQ(P().OUT_TA, "YX");
    EXPECT_EQ(P().hThread, nullptr);
}

TEST_F(SerialEndToEnd, MultiWriteLoopWritesTagsAsTheyCome) {
    ASSERT_NO_FATAL_FAILURE(Start({"--enter", std::string("300:") + kTag1, "--interval", "100"}));
    Open();
    P().LoopMode = 1;
    P().IN_MW.StartBlock = 1;
    P().IN_MW.BlockCount = 1;
    std::strcpy(P().IN_MW.TagInfo[0].UID, kTag1);
    std::strcpy(P().IN_MW.TagInfo[0].Data, "MWLP");
    ASSERT_EQ(KQ_MultiWrite(&P()), KQ_OK);
    EXPECT_EQ(P().LoopKind, KQ_LOOP_MULTIWRITE);
    ASSERT_TRUE(notifier_.WaitFor(WM_KQ_DATA, 8000)) << "no report from the multi-write loop";
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_TRUE(notifier_.WaitFor(WM_KQ_LOOPEND, 2000));
    // OUT_MW holds only the latest pass (which may have met the tag again
    // and written nothing): the tag's memory shows the write.

    P().LoopMode = 0;
    KQ_IN_SR sr;
    KQ_Init_IN_SR(&sr);
    sr.StartBlock = 1;
    sr.BlockCount = 1;
    std::strcpy(sr.UID, kTag1);
    KQ_TAGINFO out;
    KQ_Init_TAGINFO(&out);
    ASSERT_EQ(KQ_SelectRead(&P(), &sr, &out), KQ_OK);
    EXPECT_STREQ(out.Data, "MWLP");
}

// ---- A reader that stops answering, a reader that vanishes ---------------------------------

TEST_F(SerialEndToEnd, ReaderThatStopsAnswering) {
    ASSERT_NO_FATAL_FAILURE(Start({"--tag", kTag1}));
    Open();
    ASSERT_EQ(KQ_GetUID(&P()), KQ_OK);
    sim_->Pause();

    KQ_IN_SR sr;
    KQ_Init_IN_SR(&sr);
    sr.BlockCount = 1;
    std::strcpy(sr.UID, kTag1);
    KQ_TAGINFO out;
    KQ_Init_TAGINFO(&out);
    auto start = Clock::now();
    EXPECT_EQ(KQ_SelectRead(&P(), &sr, &out), KQ_ERR_NOREPLY);
    EXPECT_EQ(KQ_BuzzerCommand(&P(), 0), KQ_ERR_NOREPLY);
    EXPECT_EQ(KQ_GetUID(&P()), KQ_ERR_LOOPSTOP) << "LP went unanswered";
    EXPECT_LT(ElapsedMs(start), 20000) << "waits on a silent reader must be bounded";
    // The line itself is still there.
    EXPECT_EQ(KQ_CheckStatusUSB(&P()), 0);

    sim_->Resume();
    usleep(500000); // let the late replies to the unanswered commands pass
    EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
    EXPECT_EQ(P().OUT_GU.Count, 1);
}

TEST_F(SerialEndToEnd, ReaderVanishesWhileTheLoopRuns) {
    ASSERT_NO_FATAL_FAILURE(Start({"--tag", kTag1, "--interval", "100"}));
    Open();
    P().LoopMode = 1;
    ASSERT_EQ(KQ_GetUID(&P()), KQ_OK);
    ASSERT_TRUE(notifier_.WaitFor(WM_KQ_DATA, 5000));

    sim_->Vanish();
    ASSERT_TRUE(sim_->Exited(5000)) << "kqsim did not vanish";
    EXPECT_TRUE(notifier_.WaitFor(WM_KQ_USBERROR, 5000)) << "the worker did not notice";
    // Give a second message every chance to show up.
    notifier_.Drain(500);
    EXPECT_EQ(notifier_.Count(WM_KQ_USBERROR), 1);
    EXPECT_EQ(__atomic_load_n(&P().StopFlag, __ATOMIC_ACQUIRE), 1);
    EXPECT_NE(KQ_CheckStatusUSB(&P()), 0);

    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    notifier_.Drain(200);
    EXPECT_EQ(notifier_.Count(WM_KQ_LOOPEND), 0) << "a worker that ended by itself is not stopped";
    EXPECT_EQ(KQ_CloseUSB(&P()), KQ_OK) << "a vanished reader is still released";
    EXPECT_EQ(P().Handle, nullptr);
    EXPECT_EQ(KQ_OpenUSB(&P()), KQ_ERR_USB);

    // The reader comes back (on another tty here): loop mode starts again
    // on the same record, which also lets go of the ended worker.
    ASSERT_NO_FATAL_FAILURE(Start({"--tag", kTag1, "--interval", "100"}));
    int data_before = notifier_.Count(WM_KQ_DATA);
    ASSERT_EQ(KQ_GetUID(&P()), KQ_OK) << "no reopen by the connection check";
    EXPECT_EQ(__atomic_load_n(&P().StopFlag, __ATOMIC_ACQUIRE), 0);
    auto start = Clock::now();
    while (notifier_.Count(WM_KQ_DATA) == data_before && ElapsedMs(start) < 5000) {
        notifier_.Drain(100);
    }
    EXPECT_GT(notifier_.Count(WM_KQ_DATA), data_before);
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_TRUE(notifier_.WaitFor(WM_KQ_LOOPEND, 2000));
    EXPECT_EQ(P().hThread, nullptr);
}

TEST_F(SerialEndToEnd, OperationsOnAVanishedReader) {
    ASSERT_NO_FATAL_FAILURE(Start({"--tag", kTag1}));
    Open();
    sim_->Vanish();
    ASSERT_TRUE(sim_->Exited(5000));
    EXPECT_NE(KQ_CheckStatusUSB(&P()), 0);

    KQ_IN_SR sr;
    KQ_Init_IN_SR(&sr);
    sr.BlockCount = 1;
    std::strcpy(sr.UID, kTag1);
    KQ_TAGINFO out;
    KQ_Init_TAGINFO(&out);
    EXPECT_EQ(KQ_SelectRead(&P(), &sr, &out), KQ_ERR_SEND);
    // The loop-capable operations try a reopen first, which fails.
    EXPECT_EQ(KQ_GetUID(&P()), KQ_ERR_USB);
    EXPECT_EQ(P().Handle, nullptr);
    EXPECT_EQ(KQ_BuzzerCommand(&P(), 1), KQ_ERR_USB);
}

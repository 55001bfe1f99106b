// Loop hand-over of KQ_GetUID and KQ_TagCommand for each LoopMode and
// one-shot outcome, the buzzer after a success, and KQ_BuzzerCommand.
#include "loop/loop_helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kqtest {
namespace {

class Handover : public SimRecordTest {
  protected:
    void SetUp() override {
        SimRecordTest::SetUp();
        // The reader reports only when the field changes: a started worker
        // stays quiet unless a test moves tags.
        kqsim_set_loop_interval(0);
    }
    void SetText(const std::string& text) {
        std::memset(P().IN_TA, 0, sizeof P().IN_TA);
        std::memcpy(P().IN_TA, text.data(), text.size());
    }
    // A worker of this kind was started: its handle is set and it switched
    // the reader's own loop on.
    void ExpectWorker(unsigned char kind) {
        EXPECT_NE(P().hThread, nullptr);
        EXPECT_EQ(P().LoopKind, kind);
        EXPECT_TRUE(WaitListening()) << "the worker must send LT and listen";
        EXPECT_EQ(kqsim_reader_loop_on(), 1);
    }
    void ExpectNoWorker() {
        EXPECT_EQ(P().hThread, nullptr);
        EXPECT_TRUE(FramesOf("LT").empty());
        EXPECT_EQ(kqsim_reader_loop_on(), 0);
    }
};

// ---- KQ_GetUID -------------------------------------------------------------------

TEST_F(Handover, InventoryOneShotSuccessWithoutLoopMode) {
    ASSERT_EQ(kqsim_tag_add(Uid(1).c_str(), 4, 8), 0);
    Open();
    P().LoopMode = 0;
    EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
    ExpectNoWorker();
    EXPECT_EQ(P().OUT_GU.Count, 1);
}

TEST_F(Handover, InventoryOneShotFailureWithoutLoopMode) {
    Open();
    P().LoopMode = 0;
    kqsim_force_status("GU", '6', 1);
    EXPECT_EQ(KQ_GetUID(&P()), 6);
    ExpectNoWorker();
}

TEST_F(Handover, InventoryLoopModeOtherThanOneIsOneShot) {
    Open();
    P().LoopMode = 2;
    kqsim_force_status("GU", '6', 1);
    EXPECT_EQ(KQ_GetUID(&P()), 6);
    ExpectNoWorker();
    P().LoopMode = 0xFF;
    EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
    ExpectNoWorker();
}

TEST_F(Handover, InventoryLoopModeSuccessStartsTheUidLoop) {
    ASSERT_EQ(kqsim_tag_add(Uid(1).c_str(), 4, 8), 0);
    Open();
    P().LoopMode = 1;
    EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
    ExpectWorker(KQ_LOOP_UID);
    EXPECT_EQ(Frames(), (std::vector<std::string>{Frame("LP"), Frame("GU"), Frame("LT00")}));
}

TEST_F(Handover, InventoryLoopModeFailureStillStartsTheUidLoop) {
    Open();
    P().LoopMode = 1;
    kqsim_force_status("GU", '6', 1);
    EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
    ExpectWorker(KQ_LOOP_UID);
}

TEST_F(Handover, InventoryPreparationFailureStartsNothing) {
    Open();
    P().LoopMode = 1;
    kqsim_force_status("LP", '1', 1);
    EXPECT_EQ(KQ_GetUID(&P()), KQ_ERR_LOOPSTOP);
    ExpectNoWorker();
    kqsim_unplug();
    EXPECT_EQ(KQ_GetUID(&P()), KQ_ERR_USB);
    ExpectNoWorker();
}

TEST_F(Handover, InventoryInLoopModeStopsTheRunningWorkerFirst) {
    Open();
    P().LoopMode = 1;
    ASSERT_EQ(KQ_GetUID(&P()), KQ_OK);
    ASSERT_TRUE(WaitListening());
    kqsim_clear_logs();
    ASSERT_EQ(KQ_GetUID(&P()), KQ_OK);
    EXPECT_NE(P().hThread, nullptr);
    EXPECT_TRUE(WaitListening());
    // Stop (LP), preparation (LP), one-shot (GU), the new worker (LT).
    EXPECT_EQ(Frames(),
              (std::vector<std::string>{Frame("LP"), Frame("LP"), Frame("GU"), Frame("LT00")}));
    EXPECT_TRUE(WaitCount(N(), WM_KQ_LOOPEND, 1));
    EXPECT_EQ(N().Count(WM_KQ_LOOPEND), 1);
}

// ---- KQ_TagCommand -----------------------------------------------------------------

TEST_F(Handover, TagCommandSuccessWithoutLoopMode) {
    Open();
    kqsim_ta_script("X", '0', "00OK");
    SetText("X");
    P().LoopMode = 0;
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_OK);
    ExpectNoWorker();
    EXPECT_STREQ(P().OUT_TA, "OK");
}

TEST_F(Handover, TagCommandFailureWithoutLoopMode) {
    Open();
    SetText("X");
    P().LoopMode = 0;
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_ERR_TAG);
    ExpectNoWorker();
    P().LoopMode = 2;
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_ERR_TAG);
    ExpectNoWorker();
}

TEST_F(Handover, TagCommandLoopModeSuccessStartsNoWorker) {
    Open();
    kqsim_ta_script("X", '0', "00OK");
    SetText("X");
    P().LoopMode = 1;
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_OK);
    ExpectNoWorker();
    EXPECT_STREQ(P().OUT_TA, "OK");
}

TEST_F(Handover, TagCommandLoopModeFailureStartsTheTagCommandLoop) {
    Open();
    SetText("X");
    P().LoopMode = 1;
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_OK);
    ExpectWorker(KQ_LOOP_TAGCOMMAND);
    EXPECT_EQ(Frames(), (std::vector<std::string>{Frame("LP"), Frame("TAX"), Frame("LT01")}));
    KQ_LoopStop(&P());
    // The worker cleared the one-shot's sub-status when it started.
    EXPECT_EQ(std::string(P().OUT_TA, 36), std::string(36, '\0'));
}

TEST_F(Handover, TagCommandEveryFailureStartsTheLoopInLoopMode) {
    Open();
    SetText("X");
    P().LoopMode = 1;
    struct Case {
        const char* what;
        void (*inject)();
    };
    const Case cases[] = {
        {"reader status", [] { kqsim_ta_script("X", '4', ""); }},
        {"garbled status", [] { kqsim_ta_script("X", 'G', "00AB"); }},
        {"no reply", [] { kqsim_drop_reply("TA", 1); }},
        {"send failure", [] { kqsim_fail_call(KQSIM_FT_WRITE, 4, 1, 1); }},
        {"receive failure", [] { kqsim_fail_call(KQSIM_FT_GETSTATUS, 4, 1, 1); }},
        {"cut reply",
         [] {
             const std::string cut = "\x02RTA000\x02";
             kqsim_force_reply("TA", cut.data(), cut.size(), 1);
         }},
    };
    for (const auto& c : cases) {
        kqsim_clear_scripts();
        kqsim_clear_faults();
        c.inject();
        kqsim_clear_logs();
        EXPECT_EQ(KQ_TagCommand(&P()), KQ_OK) << c.what;
        EXPECT_NE(P().hThread, nullptr) << c.what;
        EXPECT_EQ(P().LoopKind, KQ_LOOP_TAGCOMMAND) << c.what;
        EXPECT_TRUE(WaitListening()) << c.what;
        KQ_LoopStop(&P());
        EXPECT_EQ(P().hThread, nullptr) << c.what;
    }
}

TEST_F(Handover, TagCommandPreparationFailureStartsNothing) {
    Open();
    SetText("X");
    P().LoopMode = 1;
    kqsim_drop_reply("LP", 1);
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_ERR_LOOPSTOP);
    ExpectNoWorker();
    EXPECT_TRUE(FramesOf("TA").empty());
}

// ---- Buzzer after success ----------------------------------------------------------

TEST_F(Handover, InventorySuccessBeepsWithBuzzerTime) {
    Open();
    P().BuzzerOn = 1;
    P().BuzzerTime = 1;
    EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
    EXPECT_EQ(Frames(), (std::vector<std::string>{Frame("LP"), Frame("GU"), Frame("BZ01")}));
}

TEST_F(Handover, BuzzerOnOtherThanOneNeverBeeps) {
    Open();
    kqsim_ta_script("X", '0', "00OK");
    SetText("X");
    for (unsigned char on : {0, 2, 0xFF}) {
        P().BuzzerOn = on;
        kqsim_clear_logs();
        EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
        EXPECT_EQ(KQ_TagCommand(&P()), KQ_OK);
        EXPECT_TRUE(FramesOf("BZ").empty()) << int(on);
    }
}

TEST_F(Handover, FailedOperationNeverBeeps) {
    Open();
    P().BuzzerOn = 1;
    kqsim_force_status("GU", '3', 1);
    EXPECT_EQ(KQ_GetUID(&P()), 3);
    SetText("X");
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_ERR_TAG);
    P().LoopMode = 1;
    kqsim_force_status("GU", '3', 1);
    EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
    EXPECT_TRUE(WaitListening());
    EXPECT_TRUE(FramesOf("BZ").empty());
}

TEST_F(Handover, BuzzerFailureTurnsSuccessIntoBuzzerError) {
    Open();
    P().BuzzerOn = 1;
    ASSERT_EQ(kqsim_tag_add(Uid(4).c_str(), 4, 8), 0);
    kqsim_force_status("BZ", '5', 1);
    EXPECT_EQ(KQ_GetUID(&P()), KQ_ERR_BUZZER);
    EXPECT_EQ(P().OUT_GU.Count, 1) << "the inventory's result stays";
    kqsim_ta_script("X", '0', "00OK");
    SetText("X");
    kqsim_drop_reply("BZ", 1);
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_ERR_BUZZER);
    EXPECT_STREQ(P().OUT_TA, "OK");
}

TEST_F(Handover, BuzzerFailureInLoopModeInventoryStillGivesZero) {
    Open();
    P().BuzzerOn = 1;
    P().LoopMode = 1;
    kqsim_force_status("BZ", '5', 1);
    EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
    ExpectWorker(KQ_LOOP_UID);
    // Beep after the one-shot, before the worker's LT ("01": BuzzerOn 1).
    long bz = FrameIndex(Frame("BZ00"));
    long lt = FrameIndex(Frame("LT01"));
    EXPECT_GE(bz, 0);
    EXPECT_GT(lt, bz);
}

TEST_F(Handover, BuzzerFailureInLoopModeTagCommandIsBuzzerErrorWithoutWorker) {
    Open();
    P().BuzzerOn = 1;
    P().LoopMode = 1;
    kqsim_ta_script("X", '0', "00OK");
    SetText("X");
    kqsim_force_status("BZ", '5', 1);
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_ERR_BUZZER);
    ExpectNoWorker();
}

// ---- KQ_BuzzerCommand ---------------------------------------------------------------

TEST_F(Handover, BuzzerCommandNeitherStopsTheLoopNorSendsLoopOff) {
    Open();
    P().LoopMode = 1;
    ASSERT_EQ(KQ_GetUID(&P()), KQ_OK);
    ASSERT_TRUE(WaitListening());
    kqsim_clear_logs();
    // The listening worker may take the buzzer's reply for its own (a client
    // stops the loop first): only what is sent counts here.
    KQ_BuzzerCommand(&P(), 0);
    EXPECT_EQ(Frames(), std::vector<std::string>{Frame("BZ00")});
    EXPECT_NE(P().hThread, nullptr);
    EXPECT_EQ(StopFlagOf(P()), 0);
}

TEST_F(Handover, BuzzerCommandReaderGoneIsUsbError) {
    Open();
    kqsim_unplug();
    EXPECT_EQ(KQ_BuzzerCommand(&P(), 0), KQ_ERR_USB);
    EXPECT_EQ(kqsim_frame_count(), 0u);
}

TEST_F(Handover, BuzzerCommandThreeHundredIsFortyFour) {
    Open();
    auto start = Clock::now();
    EXPECT_EQ(KQ_BuzzerCommand(&P(), 300), KQ_OK);
    long long ms = MsSince(start);
    EXPECT_EQ(Frames(), std::vector<std::string>{Frame("BZ2C")});
    EXPECT_GE(ms, 4400) << "the reply is read once the 4.4 s beep is over";
    EXPECT_LT(ms, 25000) << "300 must count as 44, not as 300";
}

} // namespace
} // namespace kqtest

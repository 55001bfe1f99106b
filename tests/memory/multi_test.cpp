// Multi read and multi write in one call: the envelope around them, the
// result blocks after failed and successful inventories, the order of the
// writes, and the cap of four stored writes.
#include "memory_support.h"

#include <gtest/gtest.h>

#include <string>

namespace kqtest {
namespace {

class Multi : public SimRecordTest {
  protected:
    void SetUp() override {
        SimRecordTest::SetUp();
        Open();
    }

    void SetWriteEntry(unsigned j, const std::string& uid, const std::string& text) {
        SetUid(P().IN_MW.TagInfo[j].UID, uid);
        SetText(P().IN_MW.TagInfo[j].Data, text);
    }
};

TEST_F(Multi, ZeroBlocksAreANoBlocksErrorWithoutTouchingTheDeviceOrTheLoop) {
    P().LoopMode = 1;
    P().IN_MR.BlockCount = 0;
    P().IN_MW.BlockCount = 0;
    std::memset(&P().OUT_MR, 0x5A, sizeof P().OUT_MR);
    std::memset(&P().OUT_MW, 0x5A, sizeof P().OUT_MW);
    P().StopFlag = 0; // as if a worker were meant to run
    EXPECT_EQ(KQ_MultiRead(&P()), KQ_ERR_NOBLOCKS);
    EXPECT_EQ(KQ_MultiWrite(&P()), KQ_ERR_NOBLOCKS);
    EXPECT_TRUE(Calls().empty()) << "no driver call expected";
    EXPECT_EQ(P().StopFlag, 0);
    EXPECT_EQ(P().hThread, nullptr);
    EXPECT_TRUE(AllBytes(P().OUT_MR, 0x5A));
    EXPECT_TRUE(AllBytes(P().OUT_MW, 0x5A));
    P().StopFlag = 1;
}

TEST_F(Multi, WriteTargetsWithFramingCharactersAreRefusedBeforeAnythingIsSent) {
    ASSERT_EQ(kqsim_tag_add(kUidA, 4, 8), 0);
    P().IN_MW.BlockCount = 1;
    // Any entry counts, also one whose UID no tag in the field has.
    for (const char* text : {"AB\r\n",
                             "\x02"
                             "BCD",
                             "ABC\n"}) {
        for (unsigned loop : {0u, 1u}) {
            SCOPED_TRACE(Show(text) + (loop == 1 ? " loop" : ""));
            KQ_Init_IN_MW(&P().IN_MW);
            P().IN_MW.BlockCount = 1;
            SetWriteEntry(0, kUidA, "WXYZ");
            SetWriteEntry(3, "E004FFFFFFFFFFFF", text);
            P().LoopMode = static_cast<unsigned char>(loop);
            kqsim_clear_logs();
            EXPECT_EQ(KQ_MultiWrite(&P()), KQ_ERR_PARAM);
            EXPECT_TRUE(Calls().empty()) << "no driver call expected";
            EXPECT_EQ(P().hThread, nullptr);
        }
    }
    // The block count is judged first.
    P().IN_MW.BlockCount = 0;
    EXPECT_EQ(KQ_MultiWrite(&P()), KQ_ERR_NOBLOCKS);
    EXPECT_EQ(TagData(kUidA, 0, 1), "0000");
}

TEST_F(Multi, AnEmptyFieldIsASuccessAndBeeps) {
    P().IN_MR.BlockCount = 1;
    P().BuzzerOn = 1;
    std::memset(&P().OUT_MR, 0x5A, sizeof P().OUT_MR);
    EXPECT_EQ(KQ_MultiRead(&P()), KQ_OK);
    EXPECT_TRUE(AllBytes(P().OUT_MR, 0));
    EXPECT_EQ(Codes(), (std::vector<std::string>{"LP", "GU", "BZ"}));
}

TEST_F(Multi, AFailedInventoryClearsOutMrButKeepsOutMw) {
    ASSERT_EQ(kqsim_tag_add(kUidA, 4, 4), 0);
    P().IN_MR.BlockCount = 1;
    P().IN_MW.BlockCount = 1;
    P().BuzzerOn = 1;
    std::memset(&P().OUT_MR, 0x5A, sizeof P().OUT_MR);
    std::memset(&P().OUT_MW, 0x5A, sizeof P().OUT_MW);
    kqsim_force_status("GU", '3', 2);
    EXPECT_EQ(KQ_MultiRead(&P()), KQ_ERR_TAG);
    EXPECT_EQ(KQ_MultiWrite(&P()), KQ_ERR_TAG);
    EXPECT_TRUE(AllBytes(P().OUT_MR, 0));
    EXPECT_TRUE(AllBytes(P().OUT_MW, 0x5A));
    // A failed operation never beeps, and no tag was read or written.
    EXPECT_EQ(Codes(), (std::vector<std::string>{"LP", "GU", "LP", "GU"}));
}

TEST_F(Multi, AnInventoryOfFiveTagsIsAFailedInventory) {
    for (const char* uid : {kUidA, kUidB, kUidC, kUidD, kUidX}) {
        ASSERT_EQ(kqsim_tag_add(uid, 4, 4), 0);
    }
    P().IN_MR.BlockCount = 1;
    EXPECT_EQ(KQ_MultiRead(&P()), KQ_ERR_TAG);
    EXPECT_EQ(P().OUT_MR.TagCount, 0);
    EXPECT_TRUE(FramesOf("SR").empty());
}

TEST_F(Multi, ReadEntriesStandAtTheTagsPositionsAlsoWhenAReadFails) {
    // A has one block only: reading two fails, so B's text is entry 1.
    ASSERT_EQ(kqsim_tag_add(kUidA, 4, 1), 0);
    ASSERT_EQ(kqsim_tag_add(kUidB, 4, 4), 0);
    ASSERT_EQ(kqsim_tag_set_data(kUidB, 0, "b1b2b3b4b5b6b7b8"), 0);
    P().IN_MR.StartBlock = 1;
    P().IN_MR.BlockCount = 2;
    ASSERT_EQ(KQ_MultiRead(&P()), KQ_OK);
    const KQ_OUT_MR& out = P().OUT_MR;
    EXPECT_EQ(out.TagCount, 2);
    EXPECT_EQ(out.DoneCount, 1);
    EXPECT_STREQ(out.TagInfo[0].UID, kUidA);
    EXPECT_STREQ(out.TagInfo[0].Data, "");
    EXPECT_STREQ(out.TagInfo[1].UID, kUidB);
    EXPECT_STREQ(out.TagInfo[1].Data, "b3b4b5b6");
    EXPECT_EQ(FramesOf("SR"),
              (std::vector<std::string>{SrFrame(1, 2, kUidA), SrFrame(1, 2, kUidB)}));
}

TEST_F(Multi, ASecondTagWhoseReadFailsKeepsItsUidAndAnEmptyText) {
    ASSERT_EQ(kqsim_tag_add(kUidA, 4, 4), 0);
    ASSERT_EQ(kqsim_tag_add(kUidB, 4, 1), 0);
    ASSERT_EQ(kqsim_tag_set_data(kUidA, 0, "a1a2a3a4a5a6a7a8"), 0);
    P().IN_MR.BlockCount = 2;
    ASSERT_EQ(KQ_MultiRead(&P()), KQ_OK);
    const KQ_OUT_MR& out = P().OUT_MR;
    EXPECT_EQ(out.TagCount, 2);
    EXPECT_EQ(out.DoneCount, 1);
    EXPECT_STREQ(out.TagInfo[0].Data, "a1a2a3a4");
    EXPECT_STREQ(out.TagInfo[1].UID, kUidB);
    EXPECT_STREQ(out.TagInfo[1].Data, "");
    EXPECT_STREQ(out.TagInfo[2].UID, "");
}

TEST_F(Multi, WritesFollowTheInventoryOrderAndArePackedInOutMw) {
    for (const char* uid : {kUidA, kUidB, kUidC}) {
        ASSERT_EQ(kqsim_tag_add(uid, 4, 4), 0);
    }
    P().IN_MW.StartBlock = 2;
    P().IN_MW.BlockCount = 1;
    SetWriteEntry(0, kUidC, "cccc");
    SetWriteEntry(1, kUidX, "xxxx");
    SetWriteEntry(2, kUidA, "aaaa");
    // Entry 3 stays cleared: it matches no tag.
    std::memset(&P().OUT_MW, 0x5A, sizeof P().OUT_MW);
    ASSERT_EQ(KQ_MultiWrite(&P()), KQ_OK);
    const KQ_OUT_MW& out = P().OUT_MW;
    EXPECT_EQ(out.TagCount, 3);
    EXPECT_EQ(out.DoneCount, 2);
    EXPECT_STREQ(out.TagInfo[0].UID, kUidA);
    EXPECT_STREQ(out.TagInfo[0].Data, "aaaa");
    EXPECT_STREQ(out.TagInfo[1].UID, kUidC);
    EXPECT_STREQ(out.TagInfo[1].Data, "cccc");
    EXPECT_TRUE(AllBytes(out.TagInfo[2], 0));
    EXPECT_TRUE(AllBytes(out.TagInfo[3], 0));
    EXPECT_EQ(FramesOf("SW"), (std::vector<std::string>{SwFrame(2, 1, "aaaa", kUidA),
                                                        SwFrame(2, 1, "cccc", kUidC)}));
    EXPECT_EQ(TagData(kUidA, 2, 1), "aaaa");
    EXPECT_EQ(TagData(kUidB, 2, 1), "0000");
    EXPECT_EQ(TagData(kUidC, 2, 1), "cccc");
}

TEST_F(Multi, NoWriteIsMadeOnceFourResultsAreStored) {
    ASSERT_EQ(kqsim_tag_add(kUidA, 4, 4), 0);
    // An inventory that reports A twice, and three entries for A: six
    // matches, of which only four can be recorded.
    std::string inventory = Frame(std::string("RGU002") + kUidA + kUidA);
    kqsim_force_reply("GU", inventory.data(), inventory.size(), 1);
    P().IN_MW.BlockCount = 1;
    SetWriteEntry(0, kUidA, "1111");
    SetWriteEntry(1, kUidA, "2222");
    SetWriteEntry(2, kUidA, "3333");
    SetWriteEntry(3, kUidB, "bbbb");
    std::memset(&P().OUT_TA, 0x5A, sizeof P().OUT_TA);
    ASSERT_EQ(KQ_MultiWrite(&P()), KQ_OK);
    const KQ_OUT_MW& out = P().OUT_MW;
    EXPECT_EQ(out.TagCount, 2);
    EXPECT_EQ(out.DoneCount, 4);
    const char* texts[] = {"1111", "2222", "3333", "1111"};
    for (unsigned i = 0; i < 4; ++i) {
        EXPECT_STREQ(out.TagInfo[i].UID, kUidA) << i;
        EXPECT_STREQ(out.TagInfo[i].Data, texts[i]) << i;
    }
    // The fifth match was not written, and nothing past OUT_MW changed.
    EXPECT_EQ(FramesOf("SW").size(), 4u);
    EXPECT_EQ(TagData(kUidA, 0, 1), "1111");
    EXPECT_TRUE(AllBytes(P().OUT_TA, 0x5A));
}

} // namespace
} // namespace kqtest

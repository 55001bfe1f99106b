// KQ_GetUID one-shot: the GU frame, the parsing of the reply into OUT_GU and
// every result code, through the exported function and the simulated reader.
#include "loop/loop_helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kqtest {
namespace {

class Inventory : public SimRecordTest {
  protected:
    // Marks OUT_GU so that "untouched" and "cleared" can be told apart.
    void Scribble() {
        std::memset(&P().OUT_GU, 'q', sizeof P().OUT_GU);
        P().OUT_GU.Count = 7;
    }
    bool OutGuCleared() {
        const auto* b = reinterpret_cast<const unsigned char*>(&P().OUT_GU);
        for (size_t i = 0; i < sizeof P().OUT_GU; ++i) {
            if (b[i] != 0) {
                return false;
            }
        }
        return true;
    }
    bool OutGuScribbled() {
        return P().OUT_GU.Count == 7 && P().OUT_GU.TagInfo[3].Data[2048] == 'q';
    }
    void ForceGu(const std::string& bytes) {
        kqsim_force_reply("GU", bytes.data(), bytes.size(), 1);
    }
};

TEST_F(Inventory, FramesAreLoopOffThenFiveByteGu) {
    Open();
    EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
    EXPECT_EQ(Frames(), (std::vector<std::string>{Frame("LP"), Frame("GU")}));
    std::vector<uint32_t> counts;
    for (const auto& c : Calls()) {
        if (c.fn == KQSIM_FT_WRITE) {
            counts.push_back(c.a0);
        }
    }
    EXPECT_EQ(counts, (std::vector<uint32_t>{5, 5}));
}

TEST_F(Inventory, EmptyFieldGivesCountZero) {
    Open();
    Scribble();
    EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
    EXPECT_TRUE(OutGuCleared());
}

TEST_F(Inventory, FourTagsFillAllEntries) {
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(kqsim_tag_add(Uid(i).c_str(), 4, 8), 0);
    }
    Open();
    Scribble();
    EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
    EXPECT_EQ(P().OUT_GU.Count, 4);
    for (int i = 0; i < 4; ++i) {
        const KQ_TAGINFO& t = P().OUT_GU.TagInfo[i];
        EXPECT_EQ(std::string(t.UID, 17), Uid(i) + '\0') << i;
        EXPECT_EQ(t.Data[0], '\0') << "Data is cleared, never filled";
        EXPECT_EQ(t.Data[2048], '\0');
    }
}

TEST_F(Inventory, FiveTagsAreCountErrorWithTheCountKept) {
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(kqsim_tag_add(Uid(i).c_str(), 4, 8), 0);
    }
    Open();
    Scribble();
    EXPECT_EQ(KQ_GetUID(&P()), KQ_ERR_UIDCOUNT);
    EXPECT_EQ(P().OUT_GU.Count, 5);
    P().OUT_GU.Count = 0;
    EXPECT_TRUE(OutGuCleared()) << "entries stay empty";
}

TEST_F(Inventory, CountOfNinetyNineIsCountError) {
    Open();
    ForceGu(GuReply("99", {Uid(1)}));
    EXPECT_EQ(KQ_GetUID(&P()), KQ_ERR_UIDCOUNT);
    EXPECT_EQ(P().OUT_GU.Count, 99);
    EXPECT_EQ(P().OUT_GU.TagInfo[0].UID[0], '\0');
}

TEST_F(Inventory, NonDigitCountIsCountErrorWithCountZero) {
    Open();
    for (const char* count : {"0A", "A0", " 1", "1 ", "0:", "/1"}) {
        Scribble();
        ForceGu(GuReply(count, {Uid(1)}));
        EXPECT_EQ(KQ_GetUID(&P()), KQ_ERR_UIDCOUNT) << count;
        EXPECT_TRUE(OutGuCleared()) << count;
    }
}

TEST_F(Inventory, ReplyCutBeforeTheCountIsCountError) {
    Open();
    ForceGu(Frame("RGU0"));
    EXPECT_EQ(KQ_GetUID(&P()), KQ_ERR_UIDCOUNT);
}

TEST_F(Inventory, FewerUidsThanCountedTakeWhatStands) {
    Open();
    ForceGu(GuReply("02", {Uid(5)}));
    EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
    EXPECT_EQ(P().OUT_GU.Count, 2);
    EXPECT_EQ(std::string(P().OUT_GU.TagInfo[0].UID), Uid(5));
    EXPECT_EQ(std::string(P().OUT_GU.TagInfo[1].UID, 17),
              std::string("\r\n") + std::string(15, '\0'));
}

TEST_F(Inventory, EchoLettersAreNotExamined) {
    Open();
    ForceGu(Frame("XYZ001" + Uid(3)));
    EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
    EXPECT_EQ(P().OUT_GU.Count, 1);
    EXPECT_EQ(std::string(P().OUT_GU.TagInfo[0].UID), Uid(3));
}

TEST_F(Inventory, NoReplyIsNoReplyWithOutputCleared) {
    Open();
    Scribble();
    kqsim_drop_reply("GU", 1);
    EXPECT_EQ(KQ_GetUID(&P()), KQ_ERR_NOREPLY);
    EXPECT_TRUE(OutGuCleared());
}

TEST_F(Inventory, ReaderStatusPassesOnWithOutputCleared) {
    Open();
    const std::pair<char, int> cases[] = {{'3', 3}, {'9', 9}, {'c', 12}, {'F', 15}, {'A', 10}};
    for (auto [status, code] : cases) {
        Scribble();
        kqsim_force_status("GU", status, 1);
        EXPECT_EQ(KQ_GetUID(&P()), code) << status;
        EXPECT_TRUE(OutGuCleared()) << status;
    }
}

TEST_F(Inventory, GarbledStatusIsNoReplyNotSuccess) {
    Open();
    Scribble();
    ForceGu(Frame("RGUG01" + Uid(1)));
    EXPECT_EQ(KQ_GetUID(&P()), KQ_ERR_NOREPLY);
    EXPECT_TRUE(OutGuCleared());
}

TEST_F(Inventory, WriteFailureIsSendError) {
    Open();
    Scribble();
    // The first write is the preparation's LP; the second is GU.
    kqsim_fail_call(KQSIM_FT_WRITE, 4, 1, 1);
    EXPECT_EQ(KQ_GetUID(&P()), KQ_ERR_SEND);
    EXPECT_TRUE(OutGuCleared());
}

TEST_F(Inventory, QueuePollFailureIsReceiveError) {
    Open();
    Scribble();
    // The first status query is the connection probe; the second is the
    // first queue poll of the GU reply.
    kqsim_fail_call(KQSIM_FT_GETSTATUS, 4, 1, 1);
    EXPECT_EQ(KQ_GetUID(&P()), KQ_ERR_RECEIVE);
    EXPECT_TRUE(OutGuCleared());
}

TEST_F(Inventory, ReaderGoneIsUsbErrorWithOutputUntouched) {
    Open();
    Scribble();
    kqsim_unplug();
    EXPECT_EQ(KQ_GetUID(&P()), KQ_ERR_USB);
    EXPECT_TRUE(OutGuScribbled());
    EXPECT_EQ(kqsim_frame_count(), 0u);
}

TEST_F(Inventory, LoopOffFailureIsLoopStopErrorWithOutputUntouched) {
    Open();
    Scribble();
    kqsim_force_status("LP", '2', 1);
    EXPECT_EQ(KQ_GetUID(&P()), KQ_ERR_LOOPSTOP);
    EXPECT_TRUE(OutGuScribbled());
    EXPECT_EQ(Frames(), std::vector<std::string>{Frame("LP")});

    kqsim_drop_reply("LP", 1);
    EXPECT_EQ(KQ_GetUID(&P()), KQ_ERR_LOOPSTOP);
    EXPECT_TRUE(OutGuScribbled());
}

} // namespace
} // namespace kqtest

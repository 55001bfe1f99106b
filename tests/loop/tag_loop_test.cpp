// The tag-command loop worker: which answers it stores in OUT_TA and how,
// what it posts, and how it follows the tags in the field.
#include "loop/loop_helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kqtest {
namespace {

class TagLoop : public SimRecordTest {
  protected:
    void SetUp() override {
        SimRecordTest::SetUp();
        kqsim_set_loop_interval(0);
    }
    // Starts the loop through a failing one-shot (no tag in the field).
    void StartLoop(const std::string& text = "ABC", unsigned char buzzer_on = 0) {
        Open();
        P().LoopMode = 1;
        P().BuzzerOn = buzzer_on;
        std::memset(P().IN_TA, 0, sizeof P().IN_TA);
        std::memcpy(P().IN_TA, text.data(), text.size());
        ASSERT_EQ(KQ_TagCommand(&P()), KQ_OK);
        ASSERT_EQ(P().LoopKind, KQ_LOOP_TAGCOMMAND);
        ASSERT_TRUE(WaitListening());
    }
    bool Feed(const std::string& reply) {
        int before = N().Count(WM_KQ_DATA);
        EXPECT_TRUE(InjectAndWaitHandled(reply)) << Show(reply);
        if (!WaitCount(N(), WM_KQ_DATA, before + 1, 50)) {
            return false;
        }
        return N().Count(WM_KQ_DATA) == before + 1;
    }
    std::string OutTa() const { return std::string(prop_->OUT_TA, sizeof prop_->OUT_TA); }
    static std::string Padded(const std::string& text) {
        return text + std::string(36 - text.size(), '\0');
    }
};

TEST_F(TagLoop, PayloadIsStoredAndPostedWithTheRecordAddress) {
    StartLoop();
    ASSERT_TRUE(Feed(TaReply('0', "00ABCD")));
    EXPECT_EQ(OutTa(), Padded("ABCD"));
    const KQ_NOTIFICATION& n = N().Seen().back();
    EXPECT_EQ(n.Message, static_cast<uint32_t>(WM_KQ_DATA));
    EXPECT_EQ(n.wParam, 0u);
    EXPECT_EQ(n.lParam, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&P())));
}

TEST_F(TagLoop, ShorterPayloadLeavesTheEarlierTail) {
    StartLoop();
    ASSERT_TRUE(Feed(TaReply('0', "00ABCDEF")));
    ASSERT_TRUE(Feed(TaReply('0', "00WXYZ")));
    EXPECT_EQ(OutTa(), Padded("WXYZEF"));
    ASSERT_TRUE(Feed(TaReply('0', "00")));
    EXPECT_EQ(OutTa(), Padded("WXYZEF")) << "an empty payload writes nothing";
}

TEST_F(TagLoop, ThirtyFiveCharacterPayloadFits) {
    StartLoop();
    const std::string payload(35, 'P');
    ASSERT_TRUE(Feed(TaReply('0', "00" + payload)));
    EXPECT_EQ(OutTa(), payload + '\0');
}

TEST_F(TagLoop, SubStatusGoesToTheFirstTwoBytesOnly) {
    StartLoop();
    ASSERT_TRUE(Feed(TaReply('0', "00ABCDEF")));
    ASSERT_TRUE(Feed(TaReply('0', "12XY")));
    EXPECT_EQ(OutTa(), Padded("12CDEF"));
    EXPECT_FALSE(Feed(TaReply('0', ""))) << "an answer without sub-status is malformed";
    EXPECT_EQ(OutTa(), Padded("12CDEF"));
}

TEST_F(TagLoop, AnythingButAWholeTagCommandAnswerIsDropped) {
    StartLoop();
    ASSERT_TRUE(Feed(TaReply('0', "00ABCD")));
    const std::string bad[] = {
        Frame("RGU000WXYZ"),              // another command's reply
        Frame("XTA000WXYZ"),              // no 'R'
        TaReply('0', "00WXYZ").substr(1), // no STX
        TaReply('0', "0"),                // half a sub-status
        std::string("\x02RTA000WX") + '\0' + "YZ\r\n",
    };
    for (const auto& reply : bad) {
        EXPECT_FALSE(Feed(reply)) << Show(reply);
        EXPECT_EQ(OutTa(), Padded("ABCD")) << Show(reply);
    }
    // Still listening.
    EXPECT_TRUE(Feed(TaReply('0', "00EF")));
    EXPECT_EQ(OutTa(), Padded("EFCD"));
}

TEST_F(TagLoop, StatusOtherThanZeroIsDropped) {
    StartLoop();
    ASSERT_TRUE(Feed(TaReply('0', "00ABCD")));
    for (char status : {'3', 'A', 'G', '\r'}) {
        EXPECT_FALSE(Feed(TaReply(status, "00WXYZ"))) << status;
        EXPECT_EQ(OutTa(), Padded("ABCD")) << status;
    }
    EXPECT_EQ(N().Count(WM_KQ_DATA), 1);
}

TEST_F(TagLoop, ReplyCutShortIsDroppedWithoutMessage) {
    StartLoop();
    ASSERT_TRUE(Feed(TaReply('0', "00ABCD")));
    // Cut at a second STX: status and sub-status "0" "00", 7 characters.
    EXPECT_FALSE(Feed("\x02RTA000\x02RTA0"));
    EXPECT_EQ(OutTa(), Padded("ABCD"));
}

TEST_F(TagLoop, ReplyTooLongForTheBufferIsDropped) {
    StartLoop();
    ASSERT_TRUE(Feed(TaReply('0', "00ABCD")));
    // 45 characters: one more than the reply buffer holds.
    const std::string reply = TaReply('0', "00" + std::string(36, 'L'));
    ASSERT_EQ(reply.size(), 45u);
    EXPECT_FALSE(Feed(reply));
    EXPECT_EQ(OutTa(), Padded("ABCD"));
}

TEST_F(TagLoop, LoopOnAlwaysAsksForBeeps) {
    for (unsigned char on : {0, 1, 2}) {
        if (P().Handle == nullptr) {
            Open();
        }
        kqsim_clear_logs();
        P().LoopMode = 1;
        P().BuzzerOn = on;
        std::strcpy(P().IN_TA, "ABC");
        ASSERT_EQ(KQ_TagCommand(&P()), KQ_OK);
        ASSERT_TRUE(WaitListening());
        EXPECT_EQ(FramesOf("LT"), std::vector<std::string>{Frame("LT01")}) << int(on);
        KQ_LoopStop(&P());
    }
}

TEST_F(TagLoop, AnswersTagsComingIntoTheField) {
    StartLoop("ABC");
    EXPECT_EQ(OutTa(), Padded("")) << "cleared at the start";
    ASSERT_EQ(kqsim_tag_add(Uid(1).c_str(), 4, 8), 0);
    ASSERT_TRUE(WaitCount(N(), WM_KQ_DATA, 1));
    EXPECT_EQ(OutTa(), Padded("CBA"));
    // No answer while the field is empty; the next tag is answered again.
    ASSERT_EQ(kqsim_tag_remove(Uid(1).c_str()), 0);
    kqsim_ta_script("ABC", '0', "1F");
    ASSERT_EQ(kqsim_tag_add(Uid(2).c_str(), 4, 8), 0);
    ASSERT_TRUE(WaitCount(N(), WM_KQ_DATA, 2));
    EXPECT_EQ(OutTa(), Padded("1FA"));
    N().Drain(30);
    EXPECT_EQ(N().Count(WM_KQ_DATA), 2);
}

} // namespace
} // namespace kqtest

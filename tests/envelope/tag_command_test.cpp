// KQ_TagCommand one-shot: the TA frame built from IN_TA, the reply's status,
// sub-status and payload in OUT_TA, and every result code.
#include "loop/loop_helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kqtest {
namespace {

class TagCommand : public SimRecordTest {
  protected:
    void SetText(const std::string& text) {
        std::memset(P().IN_TA, 0, sizeof P().IN_TA);
        std::memcpy(P().IN_TA, text.data(), text.size());
    }
    void Scribble() { std::memset(P().OUT_TA, 'q', sizeof P().OUT_TA); }
    std::string OutTa() const { return std::string(prop_->OUT_TA, sizeof prop_->OUT_TA); }
    static std::string Padded(const std::string& text) {
        return text + std::string(36 - text.size(), '\0');
    }
};

TEST_F(TagCommand, EmptyTextIsFiveByteFrame) {
    Open();
    SetText("");
    KQ_TagCommand(&P());
    EXPECT_EQ(Frames(), (std::vector<std::string>{Frame("LP"), Frame("TA")}));
    EXPECT_EQ(Frames().back().size(), 5u);
}

TEST_F(TagCommand, ThirtyFiveCharactersAreAFortyByteFrame) {
    Open();
    const std::string text = "0123456789abcdefghijklmnopqrstuvwxy";
    ASSERT_EQ(text.size(), 35u);
    SetText(text);
    KQ_TagCommand(&P());
    auto frames = FramesOf("TA");
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], Frame("TA" + text));
    EXPECT_EQ(frames[0].size(), 40u);
}

TEST_F(TagCommand, TextWithoutNulSendsOnlyItsFirstThirtyFiveCharacters) {
    Open();
    std::memset(P().IN_TA, 'K', sizeof P().IN_TA);
    // The byte after IN_TA: must never travel in the frame.
    P().OUT_GU.Count = 'Z';
    KQ_TagCommand(&P());
    auto frames = FramesOf("TA");
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], Frame("TA" + std::string(35, 'K'))) << Show(frames[0]);
    EXPECT_EQ(P().IN_TA[35], 'K') << "the caller's block is not changed";
}

TEST_F(TagCommand, FramingCharactersAreRefusedBeforeAnythingIsSent) {
    Open();
    P().LoopMode = 1; // not even the loop starts
    kqsim_ta_script("HI", '0', "00OK");
    for (const std::string& text : {std::string("HI\r\nGU"), std::string("\rX"), std::string("X\n"),
                                    std::string("A\x02") + "B", std::string(34, 'a') + "\n"}) {
        SetText(text);
        Scribble();
        kqsim_clear_logs();
        EXPECT_EQ(KQ_TagCommand(&P()), KQ_ERR_PARAM) << Show(text);
        EXPECT_TRUE(Calls().empty()) << Show(text);
        EXPECT_EQ(P().hThread, nullptr);
        EXPECT_EQ(OutTa(), std::string(36, 'q')) << "output untouched";
    }
    // A framing character past the 35 characters that travel is not seen.
    std::memset(P().IN_TA, 'K', sizeof P().IN_TA);
    P().IN_TA[35] = '\r';
    P().LoopMode = 0;
    EXPECT_NE(KQ_TagCommand(&P()), KQ_ERR_PARAM);
    EXPECT_EQ(FramesOf("TA"), std::vector<std::string>{Frame("TA" + std::string(35, 'K'))});
}

TEST_F(TagCommand, PayloadLandsInOutTa) {
    Open();
    kqsim_ta_script("R0", '0', "00ABCD");
    SetText("R0");
    Scribble();
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_OK);
    EXPECT_EQ(OutTa(), Padded("ABCD"));
}

TEST_F(TagCommand, NineCharacterReplyGivesEmptyOutput) {
    Open();
    kqsim_ta_script("R0", '0', "00");
    SetText("R0");
    Scribble();
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_OK);
    EXPECT_EQ(OutTa(), Padded(""));
}

TEST_F(TagCommand, FortyFourCharacterReplyFillsThirtyFiveCharacters) {
    Open();
    const std::string payload(35, 'P');
    kqsim_ta_script("R0", '0', ("00" + payload).c_str());
    SetText("R0");
    Scribble();
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_OK);
    EXPECT_EQ(OutTa(), payload + '\0');
}

TEST_F(TagCommand, SubStatusIsTagErrorWithTheTwoCharacters) {
    Open();
    kqsim_ta_script("R0", '0', "1F");
    SetText("R0");
    Scribble();
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_ERR_TAG);
    EXPECT_EQ(OutTa(), Padded("1F"));
    kqsim_ta_script("R0", '0', "0X99");
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_ERR_TAG);
    EXPECT_EQ(OutTa(), Padded("0X"));
}

TEST_F(TagCommand, ReplyWithoutSubStatusKeepsCrLf) {
    Open();
    kqsim_ta_script("R0", '0', "");
    SetText("R0");
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_ERR_TAG);
    EXPECT_EQ(OutTa(), Padded("\r\n"));
}

TEST_F(TagCommand, ReplyCutBeforeItsEndIsNoReply) {
    Open();
    // A second STX right after "0" "00" cuts the reply to 7 characters: no
    // payload length can be derived from it.
    const std::string cut = "\x02RTA000\x02RTA0";
    kqsim_force_reply("TA", cut.data(), cut.size(), 1);
    SetText("R0");
    Scribble();
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_ERR_NOREPLY);
    EXPECT_EQ(OutTa(), Padded(""));
}

TEST_F(TagCommand, ReaderStatusPassesOnWithOutputEmpty) {
    Open();
    kqsim_ta_script("R0", '4', "");
    SetText("R0");
    Scribble();
    EXPECT_EQ(KQ_TagCommand(&P()), 4);
    EXPECT_EQ(OutTa(), Padded(""));
    kqsim_ta_script("R0", 'b', "00XYZ");
    EXPECT_EQ(KQ_TagCommand(&P()), 11);
}

TEST_F(TagCommand, GarbledStatusIsNoReply) {
    Open();
    kqsim_ta_script("R0", 'G', "00XYZ");
    SetText("R0");
    Scribble();
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_ERR_NOREPLY);
    EXPECT_EQ(OutTa(), Padded(""));
}

TEST_F(TagCommand, NoReplyIsNoReply) {
    Open();
    kqsim_drop_reply("TA", 1);
    SetText("R0");
    Scribble();
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_ERR_NOREPLY);
    EXPECT_EQ(OutTa(), Padded(""));
}

TEST_F(TagCommand, ExchangeFailures) {
    Open();
    SetText("R0");
    Scribble();
    kqsim_fail_call(KQSIM_FT_WRITE, 4, 1, 1);
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_ERR_SEND);
    EXPECT_EQ(OutTa(), Padded(""));
    Scribble();
    kqsim_fail_call(KQSIM_FT_GETSTATUS, 4, 1, 1);
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_ERR_RECEIVE);
    EXPECT_EQ(OutTa(), Padded(""));
}

TEST_F(TagCommand, PreparationFailuresLeaveOutputUntouched) {
    Open();
    SetText("R0");
    Scribble();
    kqsim_force_status("LP", '1', 1);
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_ERR_LOOPSTOP);
    EXPECT_EQ(OutTa(), std::string(36, 'q'));
    EXPECT_TRUE(FramesOf("TA").empty());
    kqsim_unplug();
    EXPECT_EQ(KQ_TagCommand(&P()), KQ_ERR_USB);
    EXPECT_EQ(OutTa(), std::string(36, 'q'));
}

} // namespace
} // namespace kqtest

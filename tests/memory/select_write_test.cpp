// Select write: the block-size rule, chunked SW frames with the text before
// the UID, read-back verification, and the requests refused before anything
// is sent.
#include "memory_support.h"

#include "commands/commands.h"

#include <gtest/gtest.h>

#include <string>

namespace kqtest {
namespace {

TEST(BlockSize, FourOrEightCharactersPerBlockFromTheTextLength) {
    struct Case {
        unsigned blocks, length;
        int result;
        unsigned size;
    };
    const Case cases[] = {
        {1, 0, KQ_ERR_BLOCKSIZE, 0},
        {1, 3, KQ_ERR_BLOCKSIZE, 0},
        {1, 4, KQ_OK, 4},
        {1, 7, KQ_OK, 4},
        {1, 8, KQ_OK, 8},
        {1, 15, KQ_OK, 8},
        {1, 16, KQ_ERR_BLOCKSIZE, 0},
        {2, 12, KQ_ERR_BLOCKSIZE, 0},
        {2, 10, KQ_OK, 4},
        {2, 16, KQ_OK, 8},
        {2, 23, KQ_OK, 8},
        {2, 24, KQ_ERR_BLOCKSIZE, 0},
        {255, 1020, KQ_OK, 4},
        {255, 2047, KQ_OK, 8},
        {255, 2048, KQ_ERR_BLOCKSIZE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.blocks << " blocks, " << c.length << " characters");
        unsigned size = 77;
        EXPECT_EQ(kq::GetBlockSize(c.blocks, c.length, &size), c.result);
        // A refusal leaves the word as it was.
        EXPECT_EQ(size, c.result == KQ_OK ? c.size : 77u);
    }
}

class SelectWrite : public SimRecordTest {
  protected:
    void SetUp() override {
        SimRecordTest::SetUp();
        Open();
    }

    static KQ_IN_SW Request(unsigned start, unsigned count, const std::string& uid,
                            const std::string& text) {
        KQ_IN_SW in;
        std::memset(&in, 0, sizeof in);
        in.StartBlock = static_cast<unsigned char>(start);
        in.BlockCount = static_cast<unsigned char>(count);
        SetUid(in.TagInfo.UID, uid);
        SetText(in.TagInfo.Data, text);
        return in;
    }

    int Write(KQ_IN_SW in) {
        kqsim_clear_logs();
        return KQ_SelectWrite(&P(), &in);
    }
};

TEST_F(SelectWrite, RequestsThatCannotBeWrittenAsGivenAreRefusedBeforeSending) {
    ASSERT_EQ(kqsim_tag_add(kUidA, 4, 256), 0);
    const std::string uid(kUidA);
    struct Case {
        const char* what;
        KQ_IN_SW in;
        int result;
    };
    KQ_IN_SW no_nul = Request(0, 1, uid, "abcd");
    no_nul.TagInfo.UID[16] = 'F';
    const Case cases[] = {
        {"zero blocks", Request(0, 0, uid, "abcd"), KQ_ERR_PARAM},
        {"empty text", Request(0, 1, uid, ""), KQ_ERR_BLOCKSIZE},
        {"three characters", Request(0, 1, uid, "abc"), KQ_ERR_BLOCKSIZE},
        {"12 characters, 2 blocks", Request(0, 2, uid, Pattern(12, 4)), KQ_ERR_BLOCKSIZE},
        {"16 characters, 1 block", Request(0, 1, uid, Pattern(16, 8)), KQ_ERR_BLOCKSIZE},
        // Longer than the blocks hold: refused rather than written in part.
        {"10 characters, 2 blocks", Request(0, 2, uid, Pattern(10, 4)), KQ_ERR_BLOCKSIZE},
        {"7 characters, 1 block", Request(0, 1, uid, Pattern(7, 4)), KQ_ERR_BLOCKSIZE},
        {"15 characters, 1 block", Request(0, 1, uid, Pattern(15, 8)), KQ_ERR_BLOCKSIZE},
        {"UID of 15 characters", Request(0, 1, uid.substr(0, 15), "abcd"), KQ_ERR_PARAM},
        {"empty UID", Request(0, 1, "", "abcd"), KQ_ERR_PARAM},
        {"UID without NUL", no_nul, KQ_ERR_PARAM},
        {"CR in the UID", Request(0, 1, uid.substr(0, 15) + "\r", "abcd"), KQ_ERR_PARAM},
        {"STX in the UID", Request(0, 1, "\x02" + uid.substr(1), "abcd"), KQ_ERR_PARAM},
        {"last chunk at 0x101", Request(0xF1, 17, uid, Pattern(68, 4)), KQ_ERR_PARAM},
        {"last chunk at 0x100", Request(0xF0, 32, uid, Pattern(128, 4)), KQ_ERR_PARAM},
        // Characters that frame a command, anywhere in the text.
        {"CR in the text", Request(0, 1, uid, "ab\rd"), KQ_ERR_PARAM},
        {"LF first", Request(0, 1, uid, "\nbcd"), KQ_ERR_PARAM},
        {"CR LF last", Request(0, 2, uid, "abcdef\r\n"), KQ_ERR_PARAM},
        {"STX last", Request(0, 1, uid, "abc\x02"), KQ_ERR_PARAM},
        {"LF in the second chunk", Request(0, 17, uid, Pattern(67, 4) + "\n"), KQ_ERR_PARAM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Write(c.in), c.result);
        EXPECT_TRUE(Frames().empty()) << ShowAll(Frames());
    }
    EXPECT_EQ(TagData(kUidA, 0, 4), std::string(16, '0'));
}

TEST_F(SelectWrite, TwentyBlocksOfEightAreTwoChunksThenReadBack) {
    ASSERT_EQ(kqsim_tag_add(kUidA, 8, 64), 0);
    std::string text = Pattern(160, 8);
    ASSERT_EQ(Write(Request(3, 20, kUidA, text)), KQ_OK);
    auto frames = Frames();
    ASSERT_EQ(frames.size(), 4u) << ShowAll(frames);
    // The text comes before the UID.
    EXPECT_EQ(frames[0], SwFrame(3, 0x10, text.substr(0, 128), kUidA)) << Show(frames[0]);
    EXPECT_EQ(frames[0].size(), 153u);
    EXPECT_EQ(frames[1], SwFrame(19, 0x04, text.substr(128), kUidA)) << Show(frames[1]);
    EXPECT_EQ(frames[1].size(), 57u);
    EXPECT_EQ(frames[2], SrFrame(3, 0x10, kUidA));
    EXPECT_EQ(frames[3], SrFrame(19, 0x04, kUidA));
    EXPECT_EQ(TagData(kUidA, 3, 20), text);
    EXPECT_EQ(TagData(kUidA, 0, 3), std::string(24, '0'));
}

TEST_F(SelectWrite, ThirtyTwoBlocksOfFourAreTwoFullChunks) {
    ASSERT_EQ(kqsim_tag_add(kUidA, 4, 32), 0);
    std::string text = Pattern(128, 4);
    ASSERT_EQ(Write(Request(0, 32, kUidA, text)), KQ_OK);
    auto sw = FramesOf("SW");
    ASSERT_EQ(sw.size(), 2u) << ShowAll(Frames());
    EXPECT_EQ(sw[0], SwFrame(0, 0x10, text.substr(0, 64), kUidA));
    EXPECT_EQ(sw[1], SwFrame(16, 0x10, text.substr(64), kUidA));
    EXPECT_EQ(sw[0].size(), 89u);
    EXPECT_EQ(sw[1].size(), 89u);
    EXPECT_EQ(TagData(kUidA, 0, 32), text);
}

TEST_F(SelectWrite, AFailedEarlierChunkShowsInTheReadBack) {
    ASSERT_EQ(kqsim_tag_add(kUidA, 4, 17), 0);
    std::string text = Pattern(68, 4);
    kqsim_fail_chunk("SW", 0, '5', 1);
    EXPECT_EQ(Write(Request(0, 17, kUidA, text)), KQ_ERR_WRITE);
    // Both chunks went out and the read-back ran in full.
    EXPECT_EQ(Codes(), (std::vector<std::string>{"SW", "SW", "SR", "SR"}));
    EXPECT_EQ(TagData(kUidA, 0, 16), std::string(64, '0'));
    EXPECT_EQ(TagData(kUidA, 16, 1), text.substr(64));
}

TEST_F(SelectWrite, AFailedEarlierChunkWhoseBlocksHeldTheTextAlreadyIsASuccess) {
    ASSERT_EQ(kqsim_tag_add(kUidA, 4, 17), 0);
    std::string text = Pattern(68, 4);
    ASSERT_EQ(kqsim_tag_set_data(kUidA, 0, text.substr(0, 64).c_str()), 0);
    kqsim_fail_chunk("SW", 0, '5', 1);
    EXPECT_EQ(Write(Request(0, 17, kUidA, text)), KQ_OK);
    EXPECT_EQ(Codes(), (std::vector<std::string>{"SW", "SW", "SR", "SR"}));
}

TEST_F(SelectWrite, AFailedLastChunkIsAWriteErrorWithoutReadBack) {
    ASSERT_EQ(kqsim_tag_add(kUidA, 4, 4), 0);
    kqsim_fail_chunk("SW", 0, '5', 1);
    EXPECT_EQ(Write(Request(0, 1, kUidA, "abcd")), KQ_ERR_WRITE);
    EXPECT_EQ(Codes(), (std::vector<std::string>{"SW"}));
}

TEST_F(SelectWrite, AWriteThatDoesNotStickFailsTheReadBack) {
    ASSERT_EQ(kqsim_tag_add(kUidA, 4, 4), 0);
    kqsim_write_not_stick(kUidA, 1);
    EXPECT_EQ(Write(Request(0, 1, kUidA, "abcd")), KQ_ERR_WRITE);
    EXPECT_EQ(Codes(), (std::vector<std::string>{"SW", "SR"}));
    EXPECT_EQ(TagData(kUidA, 0, 1), "0000");
}

TEST_F(SelectWrite, AReadBackWithoutReplyIsAWriteError) {
    ASSERT_EQ(kqsim_tag_add(kUidA, 4, 4), 0);
    kqsim_drop_reply("SR", 1);
    EXPECT_EQ(Write(Request(0, 1, kUidA, "abcd")), KQ_ERR_WRITE);
    // The write itself went through.
    EXPECT_EQ(TagData(kUidA, 0, 1), "abcd");
}

TEST_F(SelectWrite, WithoutAnOpenDeviceEveryChunkFailsAndTheWriteIsAWriteError) {
    ASSERT_EQ(KQ_CloseUSB(&P()), KQ_OK);
    EXPECT_EQ(Write(Request(0, 20, kUidA, Pattern(80, 4))), KQ_ERR_WRITE);
}

// The same wait for SW: its reply comes after the reader's processing time.
using SelectWriteAtReaderPace = ReaderPaceTest;

TEST_F(SelectWriteAtReaderPace, AReplyLaterThanOneReceiveWindowIsStillJudged) {
    ASSERT_EQ(kqsim_tag_add(kUidA, 4, 4), 0);
    EXPECT_EQ(kq::SWCommand(&P(), kUidA, 1, 2, 8, "abcdefgh"), KQ_OK);
    EXPECT_EQ(TagData(kUidA, 1, 2), "abcdefgh");
}

} // namespace
} // namespace kqtest

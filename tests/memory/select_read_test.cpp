// Select read through the exported call: chunking, exact SR frames, joining
// of the chunk texts, and the requests that are refused before anything is
// sent.
#include "memory_support.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace kqtest {
namespace {

class SelectRead : public SimRecordTest {
  protected:
    void SetUp() override {
        SimRecordTest::SetUp();
        Open();
    }

    static KQ_IN_SR Request(unsigned start, unsigned count, const std::string& uid) {
        KQ_IN_SR in;
        std::memset(&in, 0, sizeof in);
        in.StartBlock = static_cast<unsigned char>(start);
        in.BlockCount = static_cast<unsigned char>(count);
        SetUid(in.UID, uid);
        return in;
    }

    int Read(KQ_IN_SR in) {
        std::memset(&out_, 'x', sizeof out_);
        kqsim_clear_logs();
        return KQ_SelectRead(&P(), &in, &out_);
    }

    // A tag whose memory holds a distinct pattern, returned.
    static std::string TagWithPattern(const char* uid, unsigned bs, unsigned blocks) {
        EXPECT_EQ(kqsim_tag_add(uid, bs, blocks), 0);
        std::string text = Pattern(static_cast<size_t>(bs) * blocks, bs);
        EXPECT_EQ(kqsim_tag_set_data(uid, 0, text.c_str()), 0);
        return text;
    }

    KQ_TAGINFO out_;
};

TEST_F(SelectRead, RunsOfBlocksAreReadInChunksOfSixteen) {
    struct Case {
        const char* what;
        const char* uid;
        unsigned block_size, tag_blocks, start, count;
        std::vector<std::pair<unsigned, unsigned>> chunks; // start, count of each SR
    };
    std::vector<std::pair<unsigned, unsigned>> sixteen_chunks;
    for (unsigned k = 0; k < 15; ++k) {
        sixteen_chunks.push_back({16 * k, 0x10});
    }
    sixteen_chunks.push_back({240, 0x0F});
    const Case cases[] = {
        {"16 blocks: one exchange with count 10", kUidA, 8, 32, 2, 16, {{2, 0x10}}},
        {"17 blocks: a full chunk and a one-block chunk",
         kUidB,
         4,
         0x40,
         0x20,
         17,
         {{0x20, 0x10}, {0x30, 0x01}}},
        // 2040 characters, every chunk's text right after the one before.
        {"255 blocks: sixteen chunks", kUidC, 8, 256, 0, 255, sixteen_chunks},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string memory = TagWithPattern(c.uid, c.block_size, c.tag_blocks);
        ASSERT_EQ(Read(Request(c.start, c.count, c.uid)), KQ_OK);
        std::vector<std::string> expected;
        for (const auto& [start, count] : c.chunks) {
            expected.push_back(SrFrame(start, count, c.uid));
        }
        auto frames = Frames();
        EXPECT_EQ(frames, expected) << ShowAll(frames);
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames[0].size(), 25u);
        EXPECT_STREQ(out_.UID, c.uid);
        EXPECT_EQ(std::string(out_.Data),
                  memory.substr(c.start * c.block_size, c.count * c.block_size));
    }
}

TEST_F(SelectRead, ZeroBlocksSendNothingAndCopyTheUid) {
    TagWithPattern(kUidA, 4, 4);
    ASSERT_EQ(Read(Request(0, 0, kUidA)), KQ_OK);
    EXPECT_TRUE(Frames().empty()) << ShowAll(Frames());
    EXPECT_STREQ(out_.UID, kUidA);
    EXPECT_EQ(out_.Data[0], '\0');
    EXPECT_EQ(out_.Data[2048], '\0');
}

TEST_F(SelectRead, AChunkStartPastBlock255IsRefusedBeforeSending) {
    TagWithPattern(kUidA, 4, 256);
    struct Case {
        unsigned start, count;
    };
    // The last chunk would start at 0x101, 0x100 and 0x10F.
    for (Case c : {Case{0xF1, 17}, Case{0xF0, 32}, Case{0xFF, 17}}) {
        SCOPED_TRACE(testing::Message() << "start " << c.start << " count " << c.count);
        EXPECT_EQ(Read(Request(c.start, c.count, kUidA)), KQ_ERR_PARAM);
        EXPECT_TRUE(Frames().empty()) << ShowAll(Frames());
    }
}

TEST_F(SelectRead, AChunkStartingAtBlock255IsStillRead) {
    std::string memory = TagWithPattern(kUidA, 4, 256);
    ASSERT_EQ(Read(Request(0xEF, 17, kUidA)), KQ_OK);
    auto frames = Frames();
    ASSERT_EQ(frames.size(), 2u) << ShowAll(frames);
    EXPECT_EQ(frames[0], SrFrame(0xEF, 0x10, kUidA));
    EXPECT_EQ(frames[1], SrFrame(0xFF, 0x01, kUidA));
    EXPECT_EQ(std::string(out_.Data), memory.substr(0xEF * 4, 17 * 4));
}

TEST_F(SelectRead, AUidThatIsNotSixteenCharactersIsRefusedBeforeSending) {
    TagWithPattern(kUidA, 4, 4);
    const std::string uid(kUidA);
    EXPECT_EQ(Read(Request(0, 1, uid.substr(0, 15))), KQ_ERR_PARAM);
    EXPECT_EQ(Read(Request(0, 1, "")), KQ_ERR_PARAM);
    // 17 characters and no NUL in the field.
    KQ_IN_SR in = Request(0, 1, kUidA);
    in.UID[16] = 'F';
    EXPECT_EQ(Read(in), KQ_ERR_PARAM);
    // Sixteen characters, but one of them would end or restart the frame.
    for (char framing : {'\r', '\n', '\x02'}) {
        std::string bad = uid;
        bad[7] = framing;
        EXPECT_EQ(Read(Request(0, 1, bad)), KQ_ERR_PARAM);
    }
    EXPECT_TRUE(Frames().empty()) << ShowAll(Frames());
}

TEST_F(SelectRead, AFailedChunkEndsTheReadWithItsStatus) {
    std::string memory = TagWithPattern(kUidA, 4, 48);
    kqsim_fail_chunk("SR", 16, '3', 1);
    EXPECT_EQ(Read(Request(0, 40, kUidA)), 3);
    // The third chunk is never asked for; the first chunk's text stays.
    auto frames = Frames();
    ASSERT_EQ(frames.size(), 2u) << ShowAll(frames);
    EXPECT_EQ(frames[1], SrFrame(16, 16, kUidA));
    EXPECT_EQ(std::string(out_.Data), memory.substr(0, 64));
    EXPECT_STREQ(out_.UID, kUidA);
}

TEST_F(SelectRead, AChunkTextIsCutAt128CharactersAndTheNextFollowsDirectly) {
    std::string memory = TagWithPattern(kUidA, 8, 32);
    std::string long_text(130, 'L');
    long_text[127] = 'E';
    long_text[128] = 'Z';
    std::string reply = Frame(std::string("RSR0") + kUidA + "0010" + long_text);
    kqsim_force_reply("SR", reply.data(), reply.size(), 1);
    ASSERT_EQ(Read(Request(0, 17, kUidA)), KQ_OK);
    EXPECT_EQ(std::string(out_.Data), long_text.substr(0, 128) + memory.substr(16 * 8, 8));
}

TEST_F(SelectRead, AnEmptyChunkTextAddsNothingAndTheReadGoesOn) {
    std::string memory = TagWithPattern(kUidA, 4, 32);
    std::string reply = Frame(std::string("RSR0") + kUidA + "0010");
    kqsim_force_reply("SR", reply.data(), reply.size(), 1);
    ASSERT_EQ(Read(Request(0, 17, kUidA)), KQ_OK);
    EXPECT_EQ(Frames().size(), 2u);
    EXPECT_EQ(std::string(out_.Data), memory.substr(16 * 4, 4));
}

TEST_F(SelectRead, AReplyLongerThanItsBufferIsNoReply) {
    TagWithPattern(kUidA, 4, 4);
    // 25 + 300 + 2 characters: more than the 255 the reply buffer takes.
    std::string reply = Frame(std::string("RSR0") + kUidA + "0001" + std::string(300, 'Q'));
    kqsim_force_reply("SR", reply.data(), reply.size(), 1);
    EXPECT_EQ(Read(Request(0, 1, kUidA)), KQ_ERR_NOREPLY);
    EXPECT_EQ(out_.Data[0], '\0');
}

TEST_F(SelectRead, WithoutAnOpenDeviceTheSendFailsAndTheUidIsStillCopied) {
    ASSERT_EQ(KQ_CloseUSB(&P()), KQ_OK);
    EXPECT_EQ(Read(Request(0, 20, kUidA)), KQ_ERR_SEND);
    EXPECT_STREQ(out_.UID, kUidA);
    EXPECT_EQ(out_.Data[0], '\0');
}

// The reader answers SR only after its processing time: the library waits it
// out before the receive window opens, so the reply is not missed.
using SelectReadAtReaderPace = ReaderPaceTest;

TEST_F(SelectReadAtReaderPace, AReplyLaterThanOneReceiveWindowIsStillRead) {
    ASSERT_EQ(kqsim_tag_add(kUidA, 8, 16), 0);
    const std::string memory = Pattern(16 * 8, 8);
    ASSERT_EQ(kqsim_tag_set_data(kUidA, 0, memory.c_str()), 0);
    KQ_IN_SR in;
    std::memset(&in, 0, sizeof in);
    in.BlockCount = 16;
    SetUid(in.UID, kUidA);
    KQ_TAGINFO out;
    ASSERT_EQ(KQ_SelectRead(&P(), &in, &out), KQ_OK);
    EXPECT_EQ(std::string(out.Data), memory);
}

} // namespace
} // namespace kqtest

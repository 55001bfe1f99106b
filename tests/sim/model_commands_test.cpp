// The reader's command set and its scripted faults, on the model alone
// (timing off: a reply is readable the moment its frame is written).
#include "model/reader.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using kqsim::Millis;
using kqsim::Reader;
using kqsim::Time;

const Time T0 = Time(std::chrono::hours(1));
const std::string kA = "E004010000000001";
const std::string kB = "E004010000000002";
const std::string kC = "E004010000000003";
const std::string kSensor = "E0040100000000FF";

std::string Frame(const std::string& body) {
    return "\x02" + body + "\r\n";
}

class ReaderCommands : public ::testing::Test {
  protected:
    void SetUp() override { r.SetRealistic(false); }
    void Send(const std::string& bytes) {
        r.Write(T0, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    std::string Take() {
        std::string out;
        r.TakeDue(T0, out);
        return out;
    }
    std::string Exchange(const std::string& body) {
        Send(Frame(body));
        return Take();
    }
    std::string Memory(const std::string& uid, unsigned start, unsigned count) {
        return r.Tags().GetData(uid, start, count).value_or("<none>");
    }
    Reader r;
};

TEST_F(ReaderCommands, InventoryListsEveryTagInFieldOrder) {
    EXPECT_EQ(Exchange("GU"), Frame("RGU000"));
    const std::string uids[] = {kA, kB, kC, "E004010000000004", "E004010000000005"};
    std::string all;
    for (const auto& uid : uids) {
        ASSERT_TRUE(r.TagAdd(T0, uid, 4, 8));
        all += uid;
    }
    EXPECT_EQ(Exchange("GU"), Frame("RGU005" + all));
    // Leaving and re-entering moves a tag to the end.
    r.TagRemove(T0, kA);
    r.TagAdd(T0, kA, 4, 8);
    EXPECT_EQ(Exchange("GU"), Frame("RGU005" + all.substr(16) + kA));
    EXPECT_EQ(Exchange("GUX"), Frame("RGU3"));
}

TEST_F(ReaderCommands, ShortCommandsAnswerSevenBytes) {
    EXPECT_EQ(Exchange("BZ05"), Frame("RBZ0"));
    EXPECT_EQ(r.BeepCount(), 1u);
    EXPECT_EQ(Exchange("BZ5"), Frame("RBZ3"));
    EXPECT_EQ(r.BeepCount(), 1u);
    EXPECT_EQ(Exchange("LT01"), Frame("RLT0"));
    EXPECT_TRUE(r.LoopOn());
    EXPECT_TRUE(r.LoopBeep());
    EXPECT_EQ(Exchange("LP"), Frame("RLP0"));
    EXPECT_FALSE(r.LoopOn());
    EXPECT_EQ(Exchange("LP00"), Frame("RLP3"));
    EXPECT_EQ(Exchange("XY12"), Frame("RXY1"));
    EXPECT_EQ(Exchange("Q"), Frame("RQ?1"));
}

TEST_F(ReaderCommands, TagCommandDefaultScriptedAndWithoutTag) {
    EXPECT_EQ(Exchange("TAABC"), Frame("RTA001"));
    r.TagAdd(T0, kA, 4, 8);
    EXPECT_EQ(Exchange("TAABC"), Frame("RTA000CBA"));
    EXPECT_EQ(Exchange("TA"), Frame("RTA000"));
    r.TaScript("ABC", '4', "");
    r.TaScript("PING", '0', "00PONG");
    EXPECT_EQ(Exchange("TAABC"), Frame("RTA4"));
    r.FieldClear(T0);
    EXPECT_EQ(Exchange("TAPING"), Frame("RTA000PONG"));
    r.ClearScripts();
    EXPECT_EQ(Exchange("TAPING"), Frame("RTA001"));
}

TEST_F(ReaderCommands, SelectReadStatusesAndHead) {
    r.TagAdd(T0, kA, 4, 32);
    ASSERT_TRUE(r.Tags().SetData(kA, 2, "ABCDEFGH"));
    EXPECT_EQ(Exchange("SR0203" + kA), Frame("RSR0" + kA + "0203" + "ABCDEFGH0000"));
    EXPECT_EQ(Exchange("SR1E02" + kA), Frame("RSR0" + kA + "1E02" + "00000000"));
    EXPECT_EQ(Exchange("SR1F02" + kA), Frame("RSR4")); // block 0x20 does not exist
    EXPECT_EQ(Exchange("SR0000" + kA), Frame("RSR3"));
    EXPECT_EQ(Exchange("SR0011" + kA), Frame("RSR3")); // more than 16 blocks
    EXPECT_EQ(Exchange("SR0001" + kB), Frame("RSR2"));
    EXPECT_EQ(Exchange("SR0001" + kA + "0"), Frame("RSR3"));
    EXPECT_EQ(Exchange("SRG001" + kA), Frame("RSR3"));
    r.TagRemove(T0, kA);
    EXPECT_EQ(Exchange("SR0001" + kA), Frame("RSR2"));
}

TEST_F(ReaderCommands, SelectWriteThenReadRoundTripBothBlockSizes) {
    r.TagAdd(T0, kA, 4, 64);
    r.TagAdd(T0, kB, 8, 20);
    std::string four(64, ' ');
    std::string eight(128, ' ');
    for (size_t i = 0; i < four.size(); ++i) {
        four[i] = static_cast<char>('A' + i % 26);
    }
    for (size_t i = 0; i < eight.size(); ++i) {
        eight[i] = static_cast<char>('a' + i % 26);
    }
    EXPECT_EQ(Exchange("SW2010" + four + kA), Frame("RSW0"));
    EXPECT_EQ(Exchange("SW0410" + eight + kB), Frame("RSW0"));
    EXPECT_EQ(Exchange("SR2010" + kA), Frame("RSR0" + kA + "2010" + four));
    EXPECT_EQ(Exchange("SR0410" + kB), Frame("RSR0" + kB + "0410" + eight));
    EXPECT_EQ(Memory(kA, 0x1F, 1), "0000");
    EXPECT_EQ(Memory(kA, 0x30, 1), "0000");
}

TEST_F(ReaderCommands, SelectWriteStatuses) {
    r.TagAdd(T0, kA, 4, 16);
    EXPECT_EQ(Exchange("SW0001ABC" + kA), Frame("RSW5"));   // 3 characters for a 4-block
    EXPECT_EQ(Exchange("SW0001ABCDE" + kA), Frame("RSW5")); // 5
    EXPECT_EQ(Exchange("SW0F02ABCDEFGH" + kA), Frame("RSW4"));
    EXPECT_EQ(Exchange("SW0001ABCD" + kB), Frame("RSW2"));
    EXPECT_EQ(Exchange("SW0000" + kA), Frame("RSW3"));
    EXPECT_EQ(Memory(kA, 0, 16), std::string(64, '0'));
}

TEST_F(ReaderCommands, TagMemoryPersistsAcrossLeaveAndEnter) {
    r.TagAdd(T0, kA, 8, 4);
    EXPECT_EQ(Exchange("SW0101ABCDEFGH" + kA), Frame("RSW0"));
    r.TagRemove(T0, kA);
    r.FieldClear(T0);
    // Re-entering with another layout keeps the tag's own memory.
    ASSERT_TRUE(r.TagAdd(T0, kA, 4, 99));
    EXPECT_EQ(Exchange("SR0101" + kA), Frame("RSR0" + kA + "0101" + "ABCDEFGH"));
    EXPECT_EQ(Exchange("SR0004" + kA),
              Frame("RSR0" + kA + "0004" + "00000000ABCDEFGH" + std::string(16, '0')));
}

TEST_F(ReaderCommands, SensorConfigurationAndComparator) {
    ASSERT_TRUE(r.Tags().SetSensor(kSensor, 0x5A, "00A1B2C3"));
    EXPECT_EQ(Exchange("RCDC" + kSensor), Frame("RRC2")); // not in the field yet
    r.TagAdd(T0, kSensor, 4, 8);
    r.TagAdd(T0, kA, 4, 8);
    EXPECT_EQ(Exchange("RCDC" + kSensor), Frame("RRC000A1B2C3"));
    EXPECT_EQ(Exchange("SCDC" + kSensor + "5AB2"), Frame("RSC0"));
    EXPECT_EQ(Exchange("GCDC" + kSensor), Frame("RGC000"));
    EXPECT_EQ(r.Tags().Find(kSensor)->sensor->reference, "B2");
    EXPECT_EQ(Exchange("SCDC" + kSensor + "5BB2"), Frame("RSC0"));
    EXPECT_EQ(Exchange("GCDC" + kSensor), Frame("RGC001"));
    EXPECT_EQ(Exchange("SCDC" + kSensor + "ff00"), Frame("RSC0"));
    EXPECT_EQ(Exchange("GCDC" + kSensor), Frame("RGC001"));
    EXPECT_EQ(Exchange("SCDC" + kSensor + "0000"), Frame("RSC0"));
    EXPECT_EQ(Exchange("GCDC" + kSensor), Frame("RGC000"));
    // A tag that is no sensor, malformed frames.
    EXPECT_EQ(Exchange("RCDC" + kA), Frame("RRC2"));
    EXPECT_EQ(Exchange("GCDC" + kA), Frame("RGC2"));
    EXPECT_EQ(Exchange("SCDC" + kA + "1000"), Frame("RSC2"));
    EXPECT_EQ(Exchange("RCXX" + kSensor), Frame("RRC3"));
    EXPECT_EQ(Exchange("SCDC" + kSensor + "ZZ00"), Frame("RSC3"));
    EXPECT_EQ(Exchange("GCDC" + kSensor + "0"), Frame("RGC3"));
}

TEST_F(ReaderCommands, ForcedStatusFailsWithoutEffectAndCounts) {
    r.TagAdd(T0, kA, 4, 4);
    r.ForceStatus("SW", '7', 2);
    EXPECT_EQ(Exchange("SW0001WXYZ" + kA), Frame("RSW7"));
    EXPECT_EQ(Exchange("SW0001WXYZ" + kA), Frame("RSW7"));
    EXPECT_EQ(Memory(kA, 0, 1), "0000");
    EXPECT_EQ(Exchange("SW0001WXYZ" + kA), Frame("RSW0"));
    EXPECT_EQ(Memory(kA, 0, 1), "WXYZ");

    // Forced '0' carries the effect out but sends no payload.
    r.ForceStatus("SR", '0', 1);
    EXPECT_EQ(Exchange("SR0001" + kA), Frame("RSR0"));
    r.ForceStatus("LP", 'A', -1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Exchange("LP"), Frame("RLPA"));
    }
    r.ClearScripts();
    EXPECT_EQ(Exchange("LP"), Frame("RLP0"));
}

TEST_F(ReaderCommands, DroppedAndForcedRepliesStillCarryTheCommandOut) {
    r.TagAdd(T0, kA, 4, 4);
    r.DropReply("SW", 1);
    EXPECT_EQ(Exchange("SW0001WXYZ" + kA), "");
    EXPECT_EQ(Memory(kA, 0, 1), "WXYZ");
    EXPECT_EQ(Exchange("SW0001QQQQ" + kA), Frame("RSW0"));

    const std::string odd("\x02RGU0\x00"
                          "99\r\n",
                          10);
    r.ForceReply("GU", odd, 1);
    EXPECT_EQ(Exchange("GU"), odd);
    EXPECT_EQ(Exchange("GU"), Frame("RGU001" + kA));

    r.DropReply("LT", 1);
    EXPECT_EQ(Exchange("LT00"), "");
    EXPECT_TRUE(r.LoopOn());
}

TEST_F(ReaderCommands, ChunkFailuresAndWritesThatDoNotStick) {
    r.TagAdd(T0, kA, 4, 64);
    r.TagAdd(T0, kB, 4, 64);
    r.FailChunk("SR", 0x10, '3', 2);
    EXPECT_EQ(Exchange("SR0010" + kA).substr(0, 5), "\x02RSR0");
    EXPECT_EQ(Exchange("SR1010" + kA), Frame("RSR3"));
    EXPECT_EQ(Exchange("SR1010" + kB), Frame("RSR3")); // every tag
    EXPECT_EQ(Exchange("SR1010" + kB).substr(0, 5), "\x02RSR0");

    r.FailChunk("SW", 0x00, '6', 1);
    EXPECT_EQ(Exchange("SW0001ABCD" + kA), Frame("RSW6"));
    EXPECT_EQ(Memory(kA, 0, 1), "0000");

    r.WriteNotStick(kA, 1);
    EXPECT_EQ(Exchange("SW0001ABCD" + kA), Frame("RSW0"));
    EXPECT_EQ(Memory(kA, 0, 1), "0000");
    EXPECT_EQ(Exchange("SW0001ABCD" + kB), Frame("RSW0")); // other tags unaffected
    EXPECT_EQ(Memory(kB, 0, 1), "ABCD");
    EXPECT_EQ(Exchange("SW0001ABCD" + kA), Frame("RSW0"));
    EXPECT_EQ(Memory(kA, 0, 1), "ABCD");
}

TEST_F(ReaderCommands, PrefixAndSuffixGoWithTheNextReplyOnly) {
    r.PrefixNextReply("xy");
    r.SuffixNextReply(Frame("RGU000"));
    EXPECT_EQ(Exchange("LP"), "xy" + Frame("RLP0") + Frame("RGU000"));
    EXPECT_EQ(Exchange("LP"), Frame("RLP0"));
    // A dropped reply leaves them for the next one.
    r.PrefixNextReply("!");
    r.DropReply("LP", 1);
    EXPECT_EQ(Exchange("LP"), "");
    EXPECT_EQ(Exchange("LP"), "!" + Frame("RLP0"));
}

TEST_F(ReaderCommands, FramingRules) {
    // Text outside a frame is ignored, a new STX drops the partial frame, a
    // frame may come in several writes, a lone CR does not end a frame.
    EXPECT_EQ(Exchange("LP").size(), 7u);
    Send("junk\r\n\x02GU\x02");
    Send("L");
    EXPECT_EQ(Take(), "");
    Send("P\r\n");
    EXPECT_EQ(Take(), Frame("RLP0"));
    Send("\x02LP\r");
    Send("x\r\n");
    EXPECT_EQ(Take(), Frame("RLP3"));
    // A break drops the partial frame.
    Send("\x02G");
    r.Break(T0);
    Send("U\r\n");
    EXPECT_EQ(Take(), "");
    // A frame that never ends is thrown away once it is too long.
    Send("\x02" + std::string(kqsim::kMaxFrameBody + 10, 'A') + "\r\n");
    EXPECT_EQ(Take(), "");
}

TEST(TagStore, AddArgumentsAndData) {
    kqsim::TagStore store;
    bool changed = false;
    EXPECT_FALSE(store.Enter("SHORT", 4, 4, &changed));
    EXPECT_FALSE(store.Enter(kA, 6, 4, &changed));
    EXPECT_FALSE(store.Enter(kA, 4, 257, &changed));
    EXPECT_FALSE(store.Enter("E00401000000 001", 4, 4, &changed));
    EXPECT_TRUE(store.Enter(kA, 8, 2, &changed));
    EXPECT_TRUE(changed);
    EXPECT_TRUE(store.Enter(kA, 8, 2, &changed));
    EXPECT_FALSE(changed);
    EXPECT_FALSE(store.SetData(kA, 0, "ABCD"));             // not whole blocks
    EXPECT_FALSE(store.SetData(kA, 1, "ABCDEFGHIJKLMNOP")); // past the end
    EXPECT_TRUE(store.SetData(kA, 1, "ABCDEFGH"));
    EXPECT_EQ(store.GetData(kA, 0, 2).value_or(""), "00000000ABCDEFGH");
    EXPECT_FALSE(store.GetData(kA, 2, 1).has_value());
    EXPECT_FALSE(store.Leave(kB));
    EXPECT_TRUE(store.Leave(kA));
    EXPECT_FALSE(store.Leave(kA));
    EXPECT_EQ(store.GetData(kA, 1, 1).value_or(""), "ABCDEFGH");
}

} // namespace

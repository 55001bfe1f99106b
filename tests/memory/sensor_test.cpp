// Sensor measurement: RC/SC/GC frames, successive approximation, the
// reference setting, and the early stops.
#include "memory_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kqtest {
namespace {

const char* const kSensor = "E0070000SENS0001";

class Sensor : public SimRecordTest {
  protected:
    void SetUp() override {
        SimRecordTest::SetUp();
        Open();
    }

    void AddSensor(unsigned threshold, const char* config = "00A1B2C3") {
        ASSERT_EQ(kqsim_tag_add(kSensor, 4, 4), 0);
        ASSERT_EQ(kqsim_tag_set_sensor(kSensor, threshold, config), 0);
    }

    int Measure(unsigned channel, unsigned setting, const std::string& uid = kSensor) {
        KQ_IN_SNSR in;
        std::memset(&in, 0, sizeof in);
        in.Channel = static_cast<unsigned char>(channel);
        in.Setting = static_cast<unsigned char>(setting);
        SetUid(in.UID, uid);
        return MeasureWith(in);
    }

    int MeasureWith(KQ_IN_SNSR in) {
        std::memset(&out_, 0xA5, sizeof out_);
        kqsim_clear_logs();
        return KQ_SensorCommand(&P(), &in, &out_);
    }

    static std::string ScFrame(unsigned trial, const std::string& reference) {
        return Frame(std::string("SCDC") + kSensor + Hex(trial) + reference);
    }

    // The trial values of the SC frames sent after an optional RC frame,
    // checking that SC and GC strictly alternate and every frame is exact.
    static std::vector<unsigned> Trials(const std::string& reference) {
        std::vector<unsigned> trials;
        const std::string gc = Frame(std::string("GCDC") + kSensor);
        auto frames = Frames();
        size_t i = !frames.empty() && frames[0].compare(1, 2, "RC") == 0 ? 1 : 0;
        for (; i < frames.size(); i += 2) {
            const std::string& sc = frames[i];
            if (sc.size() != 27 || sc.compare(1, 2, "SC") != 0) {
                ADD_FAILURE() << "expected an SC frame: " << Show(sc) << ShowAll(frames);
                break;
            }
            unsigned trial = static_cast<unsigned>(std::stoul(sc.substr(21, 2), nullptr, 16));
            EXPECT_EQ(sc, ScFrame(trial, reference)) << Show(sc);
            trials.push_back(trial);
            if (i + 1 < frames.size()) {
                EXPECT_EQ(frames[i + 1], gc) << "after " << Show(sc);
            }
        }
        return trials;
    }

    bool ReservedZero() const {
        for (unsigned char b : out_.Reserved) {
            if (b != 0) {
                return false;
            }
        }
        return true;
    }

    KQ_OUT_SNSR out_;
};

TEST_F(Sensor, TheWorkedExampleFindsTheThreshold) {
    AddSensor(0x5A);
    ASSERT_EQ(Measure(0, 0x05), KQ_OK);
    EXPECT_EQ(out_.Value, 0x5A);
    EXPECT_TRUE(ReservedZero());
    // An explicit setting: no RC, and "05" in every SC frame.
    EXPECT_EQ(Trials("05"),
              (std::vector<unsigned>{0x80, 0x40, 0x60, 0x50, 0x58, 0x5C, 0x5A, 0x5B}));
    EXPECT_EQ(Frames().size(), 16u);
}

TEST_F(Sensor, AComparatorThatAlwaysOrNeverReadsOneGivesTheEndsOfTheRange) {
    struct Case {
        unsigned threshold;
        unsigned channel;
        unsigned value;
        std::vector<unsigned> trials;
    };
    const Case cases[] = {
        {0, 0, 0, {0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01}},
        // Channel 7 is not looked at when Setting is given.
        {0xFF, 7, 0xFF, {0x80, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC, 0xFE, 0xFF}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "threshold " << c.threshold);
        AddSensor(c.threshold);
        ASSERT_EQ(Measure(c.channel, 0x5A), KQ_OK);
        EXPECT_EQ(out_.Value, c.value);
        EXPECT_EQ(Trials("5A"), c.trials);
    }
}

TEST_F(Sensor, WithoutSettingTheChannelsFieldOfTheConfigurationIsTheReference) {
    AddSensor(0x20, "00A1B2C3");
    const char* fields[] = {"A1", "B2", "C3"};
    for (unsigned channel = 0; channel < 3; ++channel) {
        SCOPED_TRACE(channel);
        ASSERT_EQ(Measure(channel, 0), KQ_OK);
        auto frames = Frames();
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames[0], Frame(std::string("RCDC") + kSensor)) << Show(frames[0]);
        EXPECT_EQ(frames[0].size(), 23u);
        EXPECT_EQ(Trials(fields[channel]).size(), 8u);
        EXPECT_EQ(out_.Value, 0x20);
    }
}

TEST_F(Sensor, AChannelOutsideZeroToTwoIsAParameterErrorAfterTheConfigurationRead) {
    AddSensor(0x20);
    EXPECT_EQ(Measure(3, 0), KQ_ERR_PARAM);
    EXPECT_EQ(Codes(), (std::vector<std::string>{"RC"}));
    EXPECT_EQ(out_.Value, 0);
    EXPECT_TRUE(ReservedZero());
}

TEST_F(Sensor, AFailedConfigurationReadPassesItsStatusOn) {
    AddSensor(0x20);
    kqsim_force_status("RC", '2', 1);
    EXPECT_EQ(Measure(0, 0), 2);
    EXPECT_EQ(Codes(), (std::vector<std::string>{"RC"}));
}

TEST_F(Sensor, AConfigurationTooShortForTheChannelIsNoReplyWithoutSc) {
    AddSensor(0x20);
    // Only channel 0's field; channel 1's position holds the CR LF, channel
    // 2's lies past the reply.
    std::string reply = Frame("RRC000A1");
    kqsim_force_reply("RC", reply.data(), reply.size(), 2);
    EXPECT_EQ(Measure(1, 0), KQ_ERR_NOREPLY);
    EXPECT_EQ(Measure(2, 0), KQ_ERR_NOREPLY);
    EXPECT_EQ(Codes(), (std::vector<std::string>{"RC"}));
    EXPECT_EQ(out_.Value, 0);
    // The same short reply serves channel 0.
    kqsim_force_reply("RC", reply.data(), reply.size(), 1);
    ASSERT_EQ(Measure(0, 0), KQ_OK);
    EXPECT_EQ(Trials("A1").size(), 8u);
}

TEST_F(Sensor, AUidThatIsNotSixteenCharactersIsRefusedBeforeSending) {
    AddSensor(0x20);
    EXPECT_EQ(Measure(0, 0, std::string(kSensor).substr(0, 15)), KQ_ERR_PARAM);
    EXPECT_EQ(out_.Value, 0);
    EXPECT_TRUE(ReservedZero());
    EXPECT_EQ(Measure(0, 5, ""), KQ_ERR_PARAM);
    KQ_IN_SNSR in;
    std::memset(&in, 0, sizeof in);
    in.Setting = 5;
    std::memset(in.UID, 'F', sizeof in.UID); // 17 characters, no NUL
    EXPECT_EQ(MeasureWith(in), KQ_ERR_PARAM);
    EXPECT_TRUE(Frames().empty()) << ShowAll(Frames());
}

TEST_F(Sensor, NoComparatorReplyInTheFifthStepStopsWithNoReply) {
    AddSensor(0x5A);
    // With an explicit setting every exchange reads its reply once; reads
    // from the tenth on (the fifth GC) come back empty.
    kqsim_fail_call(KQSIM_FT_READ, 4, 9, -1);
    EXPECT_EQ(Measure(0, 5), KQ_ERR_NOREPLY);
    kqsim_clear_faults();
    EXPECT_EQ(out_.Value, 0);
    EXPECT_TRUE(ReservedZero());
    EXPECT_EQ(FramesOf("SC").size(), 5u);
    EXPECT_EQ(FramesOf("GC").size(), 5u);
    EXPECT_EQ(Codes().back(), "GC");
}

TEST_F(Sensor, AFailedSetStopsAtOnce) {
    AddSensor(0x5A);
    kqsim_force_status("SC", '7', 1);
    EXPECT_EQ(Measure(0, 5), 7);
    EXPECT_EQ(Codes(), (std::vector<std::string>{"SC"}));
    EXPECT_EQ(out_.Value, 0);
}

TEST_F(Sensor, AComparatorReplyLongerThanItsBufferIsNoReply) {
    AddSensor(0x5A);
    std::string reply = Frame("RGC001xxx"); // 12 characters, the buffer takes 9
    kqsim_force_reply("GC", reply.data(), reply.size(), 1);
    EXPECT_EQ(Measure(0, 5), KQ_ERR_NOREPLY);
    EXPECT_EQ(Codes(), (std::vector<std::string>{"SC", "GC"}));
}

} // namespace
} // namespace kqtest

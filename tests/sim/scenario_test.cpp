// kqsim's options and scenario files, and how a scenario sets up a reader.
#include "model/scenario.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using kqsim::Scenario;

const std::string kA = "E004010000000001";
const std::string kB = "E004010000000002";
const std::string kS = "E0040100000000FF";
const kqsim::Time T0 = kqsim::Time(std::chrono::hours(1));

bool Parse(const std::vector<std::string>& args, Scenario& sc, std::string& error) {
    return kqsim::ParseOptions(args, sc, error);
}

TEST(ScenarioOptions, EveryOption) {
    Scenario sc;
    std::string error;
    ASSERT_TRUE(Parse({"--tag",          kA,
                       "--tag",          kB + ":8:10",
                       "--sensor",       kS + ":0x5A:00A1B2C3",
                       "--data",         kA + ":2:ABCDEFGH",
                       "--enter",        "500:" + kB,
                       "--leave",        "900:" + kA,
                       "--churn",        "250",
                       "--latency",      "16",
                       "--interval",     "0",
                       "--no-timing",    "--quiet",
                       "--vanish-after", "3000"},
                      sc, error))
        << error;
    ASSERT_EQ(sc.tags.size(), 2u);
    EXPECT_EQ(sc.tags[0].uid, kA);
    EXPECT_EQ(sc.tags[0].block_size, 4u);
    EXPECT_EQ(sc.tags[0].block_count, 64u);
    EXPECT_EQ(sc.tags[1].block_size, 8u);
    EXPECT_EQ(sc.tags[1].block_count, 10u);
    ASSERT_EQ(sc.sensors.size(), 1u);
    EXPECT_EQ(sc.sensors[0].threshold, 0x5Au);
    EXPECT_EQ(sc.sensors[0].config, "00A1B2C3");
    ASSERT_EQ(sc.data.size(), 1u);
    EXPECT_EQ(sc.data[0].start_block, 2u);
    EXPECT_EQ(sc.data[0].text, "ABCDEFGH");
    ASSERT_EQ(sc.events.size(), 2u);
    EXPECT_TRUE(sc.events[0].enter);
    EXPECT_EQ(sc.events[0].at_ms, 500u);
    EXPECT_FALSE(sc.events[1].enter);
    EXPECT_EQ(sc.churn_ms, 250u);
    EXPECT_EQ(sc.latency_ms, 16u);
    EXPECT_EQ(sc.loop_interval_ms.value_or(99), 0u);
    EXPECT_FALSE(sc.realistic);
    EXPECT_TRUE(sc.quiet);
    EXPECT_EQ(sc.vanish_after_ms, 3000u);
}

TEST(ScenarioOptions, BadOptionsAreRefusedWithAReason) {
    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"},
        {"--tag"},
        {"--tag", "SHORT"},
        {"--tag", kA + ":6:10"},
        {"--tag", kA + ":4"},
        {"--tag", kA + ":4:300"},
        {"--sensor", kS + ":90"},
        {"--sensor", kS + ":300:00A1B2C3"},
        {"--sensor", kS + ":90:00A1"},
        {"--data", kA + ":x:ABCD"},
        {"--churn", "soon"},
        {"--enter", kA},
        {"--scenario", "/nonexistent/kqsim.scenario"},
    };
    for (const auto& args : bad) {
        Scenario sc;
        std::string error;
        EXPECT_FALSE(Parse(args, sc, error)) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
    }
}

TEST(ScenarioFile, DirectivesCommentsAndErrors) {
    Scenario sc;
    std::string error;
    const std::string text = "# a reader with two tags\n"
                             "tag " +
                             kA +
                             "\n"
                             "tag " +
                             kB +
                             " 8 4 out   # waits outside\n"
                             "\n"
                             "sensor " +
                             kS +
                             " 90 00A1B2C3\n"
                             "data " +
                             kB +
                             " 1 ABCDEFGH\n"
                             "enter 100 " +
                             kB +
                             "\n"
                             "churn 50\ninterval 20\nlatency 2\ntiming off\nvanish 900\n";
    ASSERT_TRUE(kqsim::ParseScenarioText(text, sc, error)) << error;
    ASSERT_EQ(sc.tags.size(), 2u);
    EXPECT_TRUE(sc.tags[0].in_field);
    EXPECT_FALSE(sc.tags[1].in_field);
    EXPECT_EQ(sc.tags[1].block_size, 8u);
    EXPECT_EQ(sc.events.size(), 1u);
    EXPECT_EQ(sc.churn_ms, 50u);
    EXPECT_EQ(sc.loop_interval_ms.value_or(0), 20u);
    EXPECT_EQ(sc.latency_ms, 2u);
    EXPECT_FALSE(sc.realistic);
    EXPECT_EQ(sc.vanish_after_ms, 900u);

    Scenario bad;
    EXPECT_FALSE(kqsim::ParseScenarioText("tag " + kA + "\nfly away\n", bad, error));
    EXPECT_NE(error.find("line 2"), std::string::npos) << error;
    EXPECT_FALSE(kqsim::ParseScenarioText("timing maybe\n", bad, error));
    EXPECT_FALSE(kqsim::ParseScenarioText("processing SR\n", bad, error));
    EXPECT_FALSE(kqsim::ParseScenarioText("status GU 12\n", bad, error));
    EXPECT_FALSE(kqsim::ParseScenarioText("drop GUX 1\n", bad, error));
    EXPECT_FALSE(kqsim::ParseScenarioText("drop GU -2\n", bad, error));
}

TEST(ScenarioFile, ProcessingTimesAndReplyFaults) {
    Scenario sc;
    std::string error;
    ASSERT_TRUE(kqsim::ParseScenarioText("tag " + kA +
                                             "\nprocessing SR 40\nstatus GU 4 2\n"
                                             "drop BZ\ntiming off\n",
                                         sc, error))
        << error;
    ASSERT_EQ(sc.processing_ms.size(), 1u);
    EXPECT_EQ(sc.processing_ms[0], (std::pair<std::string, unsigned>{"SR", 40}));
    ASSERT_EQ(sc.faults.size(), 2u);
    EXPECT_EQ(sc.faults[0].status, '4');
    EXPECT_EQ(sc.faults[0].times, 2);
    EXPECT_EQ(sc.faults[1].status, 0);
    EXPECT_EQ(sc.faults[1].times, -1);

    // Applied: the next two inventories answer '4', the third succeeds.
    kqsim::Reader reader;
    ASSERT_TRUE(kqsim::ApplyScenario(sc, reader, T0, error)) << error;
    std::string got;
    for (int i = 0; i < 3; ++i) {
        const std::string frame = "\x02GU\r\n";
        const kqsim::Time t = T0 + std::chrono::seconds(i);
        reader.Write(t, reinterpret_cast<const uint8_t*>(frame.data()), frame.size());
        reader.TakeDue(t + std::chrono::milliseconds(500), got);
    }
    EXPECT_EQ(got.substr(0, 5), "\x02RGU4") << got;
    EXPECT_EQ(got.find("\x02RGU0"), got.rfind("\x02RGU")) << got;
    EXPECT_NE(got.find(kA), std::string::npos) << got;
}

TEST(ScenarioFile, ReadThroughTheOption) {
    const std::string path = ::testing::TempDir() + "kqsim_test.scenario";
    {
        std::ofstream out(path);
        out << "tag " << kA << " 4 8\n";
    }
    Scenario sc;
    std::string error;
    ASSERT_TRUE(Parse({"--quiet", "--scenario", path}, sc, error)) << error;
    ASSERT_EQ(sc.tags.size(), 1u);
    EXPECT_EQ(sc.tags[0].block_count, 8u);
    std::remove(path.c_str());
}

TEST(ScenarioApply, SetsUpTheReader) {
    Scenario sc;
    std::string error;
    ASSERT_TRUE(kqsim::ParseScenarioText("tag " + kA +
                                             " 4 8\n"
                                             "tag " +
                                             kB +
                                             " 8 4 out\n"
                                             "sensor " +
                                             kS +
                                             " 90 00A1B2C3\n"
                                             "data " +
                                             kB +
                                             " 1 ABCDEFGH\n"
                                             "timing off\n",
                                         sc, error));
    kqsim::Reader reader;
    ASSERT_TRUE(kqsim::ApplyScenario(sc, reader, T0, error)) << error;
    EXPECT_FALSE(reader.Realistic());
    EXPECT_EQ(reader.Tags().Field(), (std::vector<std::string>{kA, kS}));
    EXPECT_EQ(reader.Tags().GetData(kB, 0, 2).value_or(""), "00000000ABCDEFGH");
    ASSERT_NE(reader.Tags().Find(kS), nullptr);
    EXPECT_TRUE(reader.Tags().Find(kS)->sensor.has_value());
    EXPECT_EQ(kqsim::ScenarioTags(sc), (std::vector<std::string>{kA, kB, kS}));

    Scenario overflow;
    ASSERT_TRUE(kqsim::ParseScenarioText("tag " + kA + " 4 2\ndata " + kA + " 1 ABCDEFGH\n",
                                         overflow, error));
    kqsim::Reader other;
    EXPECT_FALSE(kqsim::ApplyScenario(overflow, other, T0, error));
    EXPECT_FALSE(error.empty());
}

} // namespace

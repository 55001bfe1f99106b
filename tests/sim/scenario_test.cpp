// kqsim's options and scenario files, and how a scenario sets up a reader.
#include "model/scenario.h"
#include "model/scenario_schedule.h"

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

// Several readers in one file: the lines before the first `reader` line are
// the default reader's, every `reader SERIAL` starts (or continues) that
// reader's part, and each part starts from the defaults.
TEST(ScenarioReaders, EachReaderGetsItsOwnPart) {
    Scenario sc;
    std::string error;
    ASSERT_TRUE(kqsim::ParseScenarioText("tag " + kA +
                                             "\ntiming off\n"
                                             "reader KQSIM0002\n"
                                             "tag " +
                                             kB +
                                             " 8 4\n"
                                             "unplug 500\nreplug 900\n"
                                             "reader DESK-2_B\n"
                                             "plug 300\n"
                                             "sensor " +
                                             kS +
                                             " 90 00A1B2C3\n"
                                             "reader KQSIM0001\n"
                                             "churn 70\n"
                                             "reader KQSIM0002\n"
                                             "leave 100 " +
                                             kB + "\n",
                                         sc, error))
        << error;
    EXPECT_TRUE(sc.default_reader);
    EXPECT_EQ(sc.serial, "KQSIM0001");
    EXPECT_EQ(sc.tags.size(), 1u);
    EXPECT_FALSE(sc.realistic);
    EXPECT_EQ(sc.churn_ms, 70u); // back in the default part
    EXPECT_TRUE(sc.attached_at_start);
    ASSERT_EQ(sc.readers.size(), 2u);

    const kqsim::ReaderSetup& second = sc.readers[0];
    EXPECT_EQ(second.serial, "KQSIM0002");
    ASSERT_EQ(second.tags.size(), 1u);
    EXPECT_EQ(second.tags[0].uid, kB);
    EXPECT_TRUE(second.realistic); // not the default reader's `timing off`
    EXPECT_EQ(second.churn_ms, 0u);
    ASSERT_EQ(second.events.size(), 1u); // named again: its part goes on
    EXPECT_TRUE(second.attached_at_start);
    ASSERT_EQ(second.plugs.size(), 2u);
    EXPECT_FALSE(second.plugs[0].plugged);
    EXPECT_EQ(second.plugs[0].at_ms, 500u);
    EXPECT_TRUE(second.plugs[1].plugged);
    EXPECT_EQ(second.plugs[1].at_ms, 900u);

    const kqsim::ReaderSetup& third = sc.readers[1];
    EXPECT_EQ(third.serial, "DESK-2_B");
    EXPECT_TRUE(third.tags.empty());
    EXPECT_EQ(third.sensors.size(), 1u);
    EXPECT_FALSE(third.attached_at_start);
    ASSERT_EQ(third.plugs.size(), 1u);
    EXPECT_TRUE(third.plugs[0].plugged);

    auto parts = kqsim::ReaderParts(sc);
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0], &sc);
    EXPECT_EQ(parts[2]->serial, "DESK-2_B");
    // Each part sets up its own reader.
    kqsim::Reader reader;
    ASSERT_TRUE(kqsim::ApplyScenario(*parts[1], reader, T0, error)) << error;
    EXPECT_EQ(reader.Tags().Field(), (std::vector<std::string>{kB}));
    EXPECT_TRUE(reader.Realistic());
}

TEST(ScenarioReaders, AFileThatNamesItsReadersHasExactlyThose) {
    std::string text;
    for (int i = 1; i <= 16; ++i) {
        char serial[24], uid[24];
        std::snprintf(serial, sizeof serial, "BENCH%02d", i);
        std::snprintf(uid, sizeof uid, "E0040100000000%02X", i);
        text += std::string("# reader ") + serial + "\nreader " + serial + "\ntag " + uid + "\n";
    }
    Scenario sc;
    std::string error;
    ASSERT_TRUE(kqsim::ParseScenarioText(text, sc, error)) << error;
    EXPECT_FALSE(sc.default_reader);
    auto parts = kqsim::ReaderParts(sc);
    ASSERT_EQ(parts.size(), 16u);
    for (size_t i = 0; i < parts.size(); ++i) {
        char uid[24];
        std::snprintf(uid, sizeof uid, "E0040100000000%02X", static_cast<unsigned>(i + 1));
        ASSERT_EQ(parts[i]->tags.size(), 1u) << i;
        EXPECT_EQ(parts[i]->tags[0].uid, uid) << i;
    }
    EXPECT_EQ(parts[15]->serial, "BENCH16");

    // Naming the default reader later brings it back, first in the order.
    Scenario with_default;
    ASSERT_TRUE(kqsim::ParseScenarioText("reader A1\nreader KQSIM0001\ntag " + kA + "\n",
                                         with_default, error));
    EXPECT_TRUE(with_default.default_reader);
    parts = kqsim::ReaderParts(with_default);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0]->serial, "KQSIM0001");
    EXPECT_EQ(parts[0]->tags.size(), 1u);
}

TEST(ScenarioReaders, BadReaderAndPlugLinesAreRefused) {
    const std::vector<std::string> bad = {
        "reader\n",
        "reader A B\n",
        "reader KQSIM00010000000001\n", // 20 characters
        "reader KQ.SIM\n",
        "plug 10\nplug 20\n",
        "reader B\nplug soon\n",
        "unplug\n",
        "replug 1 2\n",
    };
    for (const auto& text : bad) {
        Scenario sc;
        std::string error;
        EXPECT_FALSE(kqsim::ParseScenarioText(text, sc, error)) << text;
        EXPECT_NE(error.find("line "), std::string::npos) << text << error;
    }

    // kqsim serves one reader: a file for several is refused, with the reason.
    const std::string path = ::testing::TempDir() + "kqsim_readers.scenario";
    const std::vector<std::string> single_only = {"reader B\ntag " + kA + "\n", "unplug 100\n"};
    for (const std::string& text : single_only) {
        {
            std::ofstream out(path);
            out << text;
        }
        Scenario sc;
        std::string error;
        EXPECT_FALSE(Parse({"--scenario", path}, sc, error)) << text;
        EXPECT_NE(error.find("KQSIM_SCENARIO"), std::string::npos) << error;
    }
    std::remove(path.c_str());
}

TEST(ScenarioReaders, PlugChangesRunInTimeOrder) {
    Scenario sc;
    std::string error;
    ASSERT_TRUE(
        kqsim::ParseScenarioText("reader B\nreplug 400\nunplug 100\nunplug 700\n", sc, error))
        << error;
    ASSERT_EQ(sc.readers.size(), 1u);
    EXPECT_TRUE(kqsim::HasSchedule(sc.readers[0]));
    EXPECT_FALSE(kqsim::HasSchedule(sc)); // the default reader's part has nothing timed
    auto sch = kqsim::StartSchedule(sc.readers[0], T0);
    EXPECT_EQ(kqsim::NextScheduled(sch), T0 + std::chrono::milliseconds(100));
    EXPECT_TRUE(kqsim::TakeDuePlugs(sch, T0 + std::chrono::milliseconds(99)).empty());
    auto due = kqsim::TakeDuePlugs(sch, T0 + std::chrono::milliseconds(450));
    ASSERT_EQ(due.size(), 2u);
    EXPECT_FALSE(due[0].plugged);
    EXPECT_TRUE(due[1].plugged);
    EXPECT_EQ(kqsim::NextScheduled(sch), T0 + std::chrono::milliseconds(700));
    EXPECT_EQ(kqsim::TakeDuePlugs(sch, T0 + std::chrono::seconds(1)).size(), 1u);
    EXPECT_FALSE(kqsim::NextScheduled(sch).has_value());
}

} // namespace

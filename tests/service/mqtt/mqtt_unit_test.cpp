// The broker link's parts that need no broker: the URL and settings, the
// outbox (bound, order, in-flight requeue, drop ranges), the sequence state
// file, the topics.
#include "mqtt_config.h"
#include "mqtt_config_toml.h"
#include "outbox.h"
#include "seq_store.h"
#include "topics.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace kqd::mqtt;

namespace {

OutMessage Event(const std::string& reader, uint64_t seq) {
    return {"t/" + reader, std::to_string(seq), reader, seq, false};
}

std::filesystem::path TempDir() {
    char tmpl[] = "/tmp/kqd-mqtt-test-XXXXXX";
    return mkdtemp(tmpl);
}

} // namespace

TEST(MqttConfig, UrlForms) {
    MqttConfig c;
    EXPECT_EQ(ParseMqttUrl(c, "mqtt://broker.example"), "");
    EXPECT_EQ(c.host, "broker.example");
    EXPECT_EQ(c.port, 1883);
    EXPECT_FALSE(c.tls);
    EXPECT_EQ(ParseMqttUrl(c, "mqtts://u%40x:p%3Aw@[::1]:9883/"), "");
    EXPECT_TRUE(c.tls);
    EXPECT_EQ(c.host, "::1");
    EXPECT_EQ(c.port, 9883);
    EXPECT_EQ(c.username, "u@x");
    EXPECT_EQ(c.password, "p:w");
    MqttConfig d;
    EXPECT_EQ(ParseMqttUrl(d, "mqtts://h"), "");
    EXPECT_EQ(d.port, 8883);
    for (const char* bad : {"http://h", "mqtt://", "mqtt://h:0", "mqtt://h:70000", "mqtt://h/x",
                            "mqtt://@h", "mqtt://u%zz@h", "mqtt://[::1"}) {
        MqttConfig e;
        EXPECT_NE(ParseMqttUrl(e, bad), "") << bad;
    }
}

TEST(MqttConfig, KeysAndOptionsAreOneTable) {
    EXPECT_EQ(MqttKeyForOption("--mqtt"), "url");
    EXPECT_EQ(MqttKeyForOption("--mqtt-reconnect-min-ms"), "reconnect_min_ms");
    EXPECT_EQ(MqttKeyForOption("--mqtt-nonsense"), "");
    EXPECT_EQ(MqttKeyForOption("--listen"), "");
    MqttConfig c;
    EXPECT_NE(SetMqttKey(c, "keepalive", "4"), ""); // libmosquitto's minimum is 5
    EXPECT_EQ(SetMqttKey(c, "keepalive", "5"), "");
    EXPECT_NE(SetMqttKey(c, "site", "a/b"), "");
    EXPECT_NE(SetMqttKey(c, "site", "a+"), "");
    EXPECT_NE(SetMqttKey(c, "prefix", "a//b"), "");
    EXPECT_EQ(SetMqttKey(c, "prefix", "org/kq"), "");
    EXPECT_NE(SetMqttKey(c, "operations", "maybe"), "");
    EXPECT_EQ(SetMqttKey(c, "operations", "off"), "");
    EXPECT_FALSE(c.operations);
    EXPECT_EQ(SetMqttKey(c, "protocol", "3.1.1"), "");
    EXPECT_EQ(c.protocol, 4);
    EXPECT_NE(SetMqttKey(c, "queue", "0"), "");
    EXPECT_NE(SetMqttKey(c, "colour", "x"), "");
}

TEST(MqttConfig, FinishChecksCombinations) {
    MqttConfig c;
    ASSERT_EQ(SetMqttKey(c, "url", "mqtt://h"), "");
    ASSERT_EQ(SetMqttKey(c, "site", "desk1"), "");
    EXPECT_EQ(FinishMqttConfig(c), "");
    EXPECT_EQ(c.client_id, "kqd-desk1");

    MqttConfig tls_files_plain = c;
    tls_files_plain.ca_file = "/etc/hostname";
    EXPECT_NE(FinishMqttConfig(tls_files_plain), ""); // CA file on mqtt://

    MqttConfig cert_no_key;
    ASSERT_EQ(SetMqttKey(cert_no_key, "url", "mqtts://h"), "");
    cert_no_key.site = "s";
    cert_no_key.cert_file = "/etc/hostname";
    EXPECT_NE(FinishMqttConfig(cert_no_key), "");

    MqttConfig password_no_user = c;
    password_no_user.password = "x";
    EXPECT_NE(FinishMqttConfig(password_no_user), "");

    auto dir = TempDir();
    std::ofstream(dir / "pw") << "secret\n";
    MqttConfig from_file = c;
    from_file.username = "u";
    from_file.password_file = (dir / "pw").string();
    EXPECT_EQ(FinishMqttConfig(from_file), "");
    EXPECT_EQ(from_file.password, "secret");
    std::filesystem::remove_all(dir);
}

TEST(MqttConfig, TomlTableAndCommandLine) {
    auto dir = TempDir();
    std::ofstream(dir / "kqd.toml") << "listen = \"127.0.0.1:1\"\n[mqtt]\nurl = "
                                       "\"mqtt://b:1884\"\nsite = \"filesite\"\nkeepalive = "
                                       "10\noperations = false\n";
    std::vector<std::string> args = {
        "--config",       (dir / "kqd.toml").string(), "--mqtt-site", "cli", "--debounce", "2",
        "--mqtt-queue=50"};
    MqttConfig c;
    std::string error;
    ASSERT_TRUE(TakeMqttOptions(&args, &c, &error)) << error;
    EXPECT_EQ(c.port, 1884);
    EXPECT_EQ(c.site, "cli"); // the command line wins
    EXPECT_EQ(c.keepalive_s, 10);
    EXPECT_FALSE(c.operations);
    EXPECT_EQ(c.queue, 50u);
    // What is not the broker link's stays for kqd's own parser.
    EXPECT_EQ(args, (std::vector<std::string>{"--config", (dir / "kqd.toml").string(), "--debounce",
                                              "2"}));

    std::ofstream(dir / "bad.toml") << "[mqtt]\nkeepalive = \"soon\"\n";
    std::vector<std::string> bad = {"--config", (dir / "bad.toml").string()};
    MqttConfig d;
    EXPECT_FALSE(TakeMqttOptions(&bad, &d, &error));
    EXPECT_NE(error.find("keepalive"), std::string::npos);
    std::vector<std::string> no_value = {"--mqtt-site"};
    EXPECT_FALSE(TakeMqttOptions(&no_value, &d, &error));
    std::filesystem::remove_all(dir);
}

TEST(Outbox, AckedInAnyOrderRequeuedInOrder) {
    Outbox box(100);
    for (uint64_t s = 1; s <= 5; ++s) {
        box.Push(Event("R", s));
    }
    for (int mid = 1; mid <= 3; ++mid) {
        box.MarkSent(mid); // 1, 2, 3 in flight
    }
    EXPECT_EQ(box.InFlight(), 3u);
    EXPECT_TRUE(box.Ack(2).has_value());
    EXPECT_FALSE(box.Ack(2).has_value()); // once
    EXPECT_FALSE(box.Ack(99).has_value());
    box.RequeueInFlight(); // the link dropped: 1 and 3 go back, before 4 and 5
    std::vector<uint64_t> order;
    while (const OutMessage* m = box.Front()) {
        order.push_back(m->seq);
        box.MarkSent(static_cast<int>(m->seq) + 10);
    }
    EXPECT_EQ(order, (std::vector<uint64_t>{1, 3, 4, 5}));
}

TEST(Outbox, FullQueueDropsOldestAndRecordsRanges) {
    Outbox box(3);
    box.Push(Event("A", 1));
    box.MarkSent(1); // in flight: not dropped, not counted against the bound
    box.Push(Event("A", 2));
    box.Push(Event("B", 1));
    box.Push(Event("A", 3));
    EXPECT_TRUE(box.Push(Event("A", 4))); // drops A2
    EXPECT_TRUE(box.Push(Event("A", 5))); // drops B1
    EXPECT_TRUE(box.Push(Event("A", 6))); // drops A3
    box.PushFront({"t/A", "announce", "A", 0, true});
    EXPECT_TRUE(box.Push(Event("A", 7))); // drops A4, never the announcement
    EXPECT_EQ(box.DroppedTotal(), 4u);
    EXPECT_EQ(box.Queued(), 4u); // the announcement and A5..A7
    auto ranges = box.TakeDropped();
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0].reader, "A");
    EXPECT_EQ(ranges[0].first_seq, 2u);
    EXPECT_EQ(ranges[0].last_seq, 4u);
    EXPECT_EQ(ranges[0].count, 3u);
    EXPECT_EQ(ranges[1].reader, "B");
    EXPECT_EQ(ranges[1].count, 1u);
    EXPECT_TRUE(box.TakeDropped().empty());
    EXPECT_TRUE(box.Front()->announcement);
    EXPECT_TRUE(box.Ack(1).has_value()); // A1 still acknowledged after all that
}

TEST(SeqStore, NumbersSurviveAReopenAndABadFileStartsAnEpoch) {
    auto dir = TempDir();
    SeqStore a;
    EXPECT_EQ(a.Open(dir.string(), 1000), "");
    EXPECT_TRUE(a.NewEpoch());
    EXPECT_EQ(a.Next("R1"), 1u);
    EXPECT_EQ(a.Next("R1"), 2u);
    EXPECT_EQ(a.Next("R2"), 1u);
    EXPECT_EQ(a.Save(), "");
    EXPECT_FALSE(std::filesystem::exists(dir / "mqtt-seq.json.tmp"));

    SeqStore b; // the next run
    EXPECT_EQ(b.Open(dir.string(), 2000), "");
    EXPECT_FALSE(b.NewEpoch());
    EXPECT_EQ(b.Epoch(), 1000u);
    EXPECT_EQ(b.Next("R1"), 3u);
    EXPECT_EQ(b.Next("R3"), 1u);

    std::ofstream(dir / "mqtt-seq.json", std::ios::trunc) << "{\"epoch\":"; // torn or edited
    SeqStore c;
    EXPECT_NE(c.Open(dir.string(), 3000), "");
    EXPECT_TRUE(c.NewEpoch());
    EXPECT_EQ(c.Epoch(), 3000u);
    EXPECT_EQ(c.Next("R1"), 1u);
    EXPECT_TRUE(std::filesystem::exists(dir / "mqtt-seq.json.bad"));

    SeqStore none; // no state directory: nothing written, a new epoch per run
    EXPECT_EQ(none.Open("", 4000), "");
    EXPECT_FALSE(none.Persistent());
    EXPECT_EQ(none.Next("R1"), 1u);
    EXPECT_EQ(none.Save(), "");
    std::filesystem::remove_all(dir);
}

TEST(Topics, CommandsAndResponseTopics) {
    Topics t{"org/kq", "desk1"};
    std::string serial, op;
    EXPECT_TRUE(t.ParseCommand("org/kq/desk1/KQSIM0001/cmd/read", serial, op));
    EXPECT_EQ(serial, "KQSIM0001");
    EXPECT_EQ(op, "read");
    EXPECT_FALSE(t.ParseCommand("org/kq/desk2/KQSIM0001/cmd/read", serial, op));
    EXPECT_FALSE(t.ParseCommand("org/kq/desk1/KQSIM0001/cmd/read/x", serial, op));
    EXPECT_FALSE(t.ParseCommand("org/kq/desk1/KQSIM0001/reply/read", serial, op));
    EXPECT_FALSE(t.ParseCommand("org/kq/desk1//cmd/read", serial, op));
    EXPECT_EQ(t.Station(), "org/kq/desk1/kqd/status");
    EXPECT_EQ(t.CommandFilter(), "org/kq/desk1/+/cmd/+");
    EXPECT_TRUE(t.ResponseTopicAllowed("app/replies/42"));
    EXPECT_TRUE(t.ResponseTopicAllowed("org/kq/desk1/KQSIM0001/reply/read"));
    EXPECT_FALSE(t.ResponseTopicAllowed("org/kq/desk2/KQSIM0001/events"));
    EXPECT_FALSE(t.ResponseTopicAllowed("org/kq/desk1/kqd/status"));
    EXPECT_FALSE(t.ResponseTopicAllowed("app/+/x"));
    EXPECT_FALSE(t.ResponseTopicAllowed(""));
}

// kqd's pure rooms: the field step, the request validation shared by every
// front end, the event log and the config.
#include "config/config.h"
#include "events/event_log.h"
#include "field/field.h"
#include "ops/operation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>

namespace {

using namespace kqd;

const std::string A = "E004000000000001", B = "E004000000000002", C = "E004000000000003",
                  D = "E004000000000004";

std::vector<std::string> Kinds(const FieldStep& s) {
    std::vector<std::string> out;
    for (const auto& c : s.changes) {
        out.push_back((c.arrived ? "+" : "-") + c.uid.substr(15));
    }
    return out;
}

// ---- Field ---------------------------------------------------------------

TEST(Field, ArrivalIsReportedAtOnceWithItsTime) {
    FieldStep s = next_field({}, {A, B}, 1000, {});
    EXPECT_EQ(Kinds(s), (std::vector<std::string>{"+1", "+2"}));
    ASSERT_EQ(s.state.tags.size(), 2u);
    EXPECT_EQ(s.state.tags[0].since_ms, 1000);
}

TEST(Field, TagLeavesOnlyAfterDebounceMissedInventories) {
    FieldSettings fs;
    fs.debounce = 3;
    FieldState st = next_field({}, {A, B}, 0, fs).state;
    for (int miss = 1; miss < 3; ++miss) {
        FieldStep s = next_field(st, {A}, miss, fs);
        EXPECT_TRUE(s.changes.empty()) << "left after " << miss << " misses";
        st = s.state;
    }
    FieldStep s = next_field(st, {A}, 3, fs);
    EXPECT_EQ(Kinds(s), (std::vector<std::string>{"-2"}));
    EXPECT_EQ(s.state.tags.size(), 1u);
}

TEST(Field, ASingleMissIsForgottenWhenTheTagIsSeenAgain) {
    FieldSettings fs;
    fs.debounce = 2;
    FieldState st = next_field({}, {A}, 0, fs).state;
    // Missing, back, missing, back, ...: never two misses in a row, never an event.
    for (int i = 1; i < 20; ++i) {
        FieldStep s = next_field(st, i % 2 ? std::vector<std::string>{} : std::vector{A}, i, fs);
        EXPECT_TRUE(s.changes.empty()) << "inventory " << i;
        st = s.state;
    }
    ASSERT_EQ(st.tags.size(), 1u);
    EXPECT_EQ(st.tags[0].since_ms, 0) << "the arrival time survives a miss";
}

TEST(Field, DebounceOneMeansTheFirstMissLeaves) {
    FieldSettings fs;
    fs.debounce = 1;
    FieldState st = next_field({}, {A}, 0, fs).state;
    EXPECT_EQ(Kinds(next_field(st, {}, 1, fs)), (std::vector<std::string>{"-1"}));
    fs.debounce = 0; // treated as 1, never as "never leaves"
    EXPECT_EQ(Kinds(next_field(st, {}, 1, fs)), (std::vector<std::string>{"-1"}));
}

TEST(Field, FourTagsAreAllKeptAndSwappingOneIsOneLeaveOneArrival) {
    FieldSettings fs;
    fs.debounce = 1;
    FieldStep s = next_field({}, {A, B, C, D}, 0, fs);
    EXPECT_EQ(s.state.tags.size(), 4u);
    EXPECT_EQ(s.changes.size(), 4u);
    const std::string E = "E004000000000005";
    FieldStep t = next_field(s.state, {B, C, D, E}, 1, fs);
    EXPECT_EQ(Kinds(t), (std::vector<std::string>{"-1", "+5"}));
    EXPECT_EQ(t.state.tags.size(), 4u);
}

TEST(Field, DuplicatesAndCaseCountOnce) {
    FieldStep s = next_field({}, {"e004000000000001", A, A}, 0, {});
    EXPECT_EQ(Kinds(s), (std::vector<std::string>{"+1"}));
    EXPECT_EQ(s.state.tags[0].uid, A);
}

TEST(Field, ClockJumpsChangeNoEvent) {
    FieldSettings fs;
    fs.debounce = 3;
    FieldState st = next_field({}, {A}, 1000000, fs).state;
    // Backwards by an hour, then forwards by a day: A is seen, so it stays.
    FieldStep s = next_field(st, {A}, 1000000 - 3600000, fs);
    EXPECT_TRUE(s.changes.empty());
    s = next_field(s.state, {A}, 1000000 + 86400000, fs);
    EXPECT_TRUE(s.changes.empty());
    EXPECT_EQ(s.state.tags[0].since_ms, 1000000);
}

TEST(Field, OrderOfArrivalIsKept) {
    FieldState st = next_field({}, {B}, 0, {}).state;
    st = next_field(st, {A, B}, 1, {}).state;
    ASSERT_EQ(st.tags.size(), 2u);
    EXPECT_EQ(st.tags[0].uid, B);
    EXPECT_EQ(st.tags[1].uid, A);
}

TEST(Field, ClearFieldLeavesEveryTag) {
    FieldState st = next_field({}, {A, B}, 0, {}).state;
    FieldStep s = clear_field(st);
    EXPECT_EQ(Kinds(s), (std::vector<std::string>{"-1", "-2"}));
    EXPECT_TRUE(s.state.tags.empty());
}

// ---- Request validation --------------------------------------------------

FieldError Refused(OpKind kind, const std::string& uid, const std::string& body) {
    auto r = ParseOp(kind, uid, body);
    EXPECT_TRUE(std::holds_alternative<FieldError>(r)) << body;
    return std::holds_alternative<FieldError>(r) ? std::get<FieldError>(r) : FieldError{};
}

OpRequest Taken(OpKind kind, const std::string& uid, const std::string& body) {
    auto r = ParseOp(kind, uid, body);
    if (auto* e = std::get_if<FieldError>(&r)) {
        ADD_FAILURE() << body << ": " << e->field << ": " << e->message;
        return {};
    }
    return std::get<OpRequest>(r);
}

TEST(ParseOp, UidIsNormalisedToUpperCase) {
    OpRequest r = Taken(OpKind::Read, "e004abcdef012345", R"({"first":2,"count":3})");
    EXPECT_EQ(r.uid, "E004ABCDEF012345");
    EXPECT_EQ(r.first, 2);
    EXPECT_EQ(r.count, 3);
}

TEST(ParseOp, BadUidsNameTheUid) {
    for (std::string uid :
         std::vector<std::string>{"", "E00400000000001", "E0040000000000011", "E00400000000000G",
                                  "E00400000000000\n", std::string("E00400000000000\0", 16)}) {
        EXPECT_EQ(Refused(OpKind::Read, uid, R"({"count":1})").field, "uid") << uid;
    }
    EXPECT_EQ(Refused(OpKind::Beep, A, "{}").field, "uid");
}

TEST(ParseOp, BlockRunsOutOfRangeAreRefused) {
    EXPECT_EQ(Refused(OpKind::Read, A, R"({"first":0,"count":0})").field, "count");
    EXPECT_EQ(Refused(OpKind::Read, A, R"({"first":0,"count":256})").field, "count");
    EXPECT_EQ(Refused(OpKind::Read, A, R"({"first":256,"count":1})").field, "first");
    EXPECT_EQ(Refused(OpKind::Read, A, R"({"first":-1,"count":1})").field, "first");
    EXPECT_EQ(Refused(OpKind::Read, A, R"({"first":250,"count":7})").field, "count");
    EXPECT_EQ(Refused(OpKind::Read, A, R"({"first":0,"count":18446744073709551615})").field,
              "count");
    EXPECT_EQ(Taken(OpKind::Read, A, R"({"first":250,"count":6})").count, 6);
    EXPECT_EQ(Refused(OpKind::MultiRead, "", R"({"first":255,"count":2})").field, "count");
    EXPECT_EQ(Refused(OpKind::Write, A, R"({"first":255,"text":"AAAABBBB"})").field, "text");
}

TEST(ParseOp, TypesAreStrict) {
    EXPECT_EQ(Refused(OpKind::Read, A, R"({"count":"1"})").field, "count");
    EXPECT_EQ(Refused(OpKind::Read, A, R"({"count":1.5})").field, "count");
    EXPECT_EQ(Refused(OpKind::Read, A, R"({"count":true})").field, "count");
    EXPECT_EQ(Refused(OpKind::Read, A, R"({"count":null})").field, "count");
    EXPECT_EQ(Refused(OpKind::Read, A, R"({})").field, "count");
    EXPECT_EQ(Refused(OpKind::Command, "", R"({"text":5})").field, "text");
}

TEST(ParseOp, BadBodiesNameTheBody) {
    for (std::string body :
         std::vector<std::string>{"{", "[]", "1", "\"x\"", "{\"count\":1}}", "{\"count\":[1]}",
                                  "{\"a\":{\"b\":1}}", std::string(9000, ' ') + "{}"}) {
        EXPECT_EQ(Refused(OpKind::Read, A, body).field, "body") << body.substr(0, 20);
    }
    EXPECT_EQ(Refused(OpKind::Read, A, R"({"count":1,"colour":"red"})").field, "colour");
    // A key that cannot name a field (found by the kqd_json fuzz target).
    EXPECT_EQ(Refused(OpKind::Command, "", R"({"":"A.."})").field, "body");
    EXPECT_EQ(Refused(OpKind::Command, "", R"({"":1})").field, "body");
}

TEST(ParseOp, DeepNestingIsRefusedWithoutBuildingIt) {
    std::string deep(4000, '[');
    EXPECT_EQ(Refused(OpKind::Beep, "", deep).field, "body");
    EXPECT_EQ(Refused(OpKind::Beep, "", "{\"length\":" + std::string(3000, '[')).field, "body");
}

TEST(ParseOp, TextMustBePrintableAscii) {
    for (std::string text : std::vector<std::string>{"AB\x02"
                                                     "C",
                                                     "ABC\r", "ABC\n", "AB\tC", "ABC\x7f",
                                                     "\xc3\xa9\xc3\xa9", "AB\\u0000C"}) {
        nlohmann::json body = {{"text", text}};
        std::string dumped = text == "AB\\u0000C" ? R"({"text":"AB\u0000C"})" : body.dump();
        EXPECT_EQ(Refused(OpKind::Command, "", dumped).field, "text") << dumped;
        EXPECT_EQ(Refused(OpKind::Write, A, dumped).field, "text") << dumped;
    }
    EXPECT_EQ(Refused(OpKind::Command, "", R"({"text":""})").field, "text");
    EXPECT_EQ(
        Refused(OpKind::Command, "", nlohmann::json{{"text", std::string(36, 'A')}}.dump()).field,
        "text");
    EXPECT_EQ(Taken(OpKind::Command, "", R"({"text":"R0 ok"})").text, "R0 ok");
}

TEST(ParseOp, WriteCountFollowsFromTheTextAndBlockSize) {
    OpRequest r = Taken(OpKind::Write, A, R"({"first":1,"text":"AAAABBBBCCCC"})");
    EXPECT_EQ(r.count, 3);
    EXPECT_EQ(r.block_size, 4);
    r = Taken(OpKind::Write, A, R"({"text":"AAAABBBB","block_size":8})");
    EXPECT_EQ(r.count, 1);
    EXPECT_EQ(Refused(OpKind::Write, A, R"({"text":"AAAAB"})").field, "text");
    EXPECT_EQ(Refused(OpKind::Write, A, R"({"text":"AAAABBBB","block_size":6})").field,
              "block_size");
    EXPECT_EQ(Refused(OpKind::Write, A, R"({"first":0})").field, "text");
}

TEST(ParseOp, SensorAndBeepRanges) {
    EXPECT_EQ(Taken(OpKind::Sensor, A, "").channel, 0);
    EXPECT_EQ(Taken(OpKind::Sensor, A, R"({"channel":2,"setting":255})").setting, 255);
    EXPECT_EQ(Refused(OpKind::Sensor, A, R"({"channel":3})").field, "channel");
    EXPECT_EQ(Refused(OpKind::Sensor, A, R"({"setting":256})").field, "setting");
    EXPECT_EQ(Taken(OpKind::Beep, "", "  ").length, 1);
    EXPECT_EQ(Refused(OpKind::Beep, "", R"({"length":0})").field, "length");
    EXPECT_EQ(Refused(OpKind::Beep, "", R"({"length":31})").field, "length");
}

TEST(ParseOp, StatusMapping) {
    auto status = [](int code) {
        OpResult r;
        r.result = code;
        return HttpStatusFor(r);
    };
    EXPECT_EQ(status(0), 200);
    EXPECT_EQ(status(2), 404);
    EXPECT_EQ(status(29), 400);
    EXPECT_EQ(status(31), 400);
    EXPECT_EQ(status(16), 409);
    EXPECT_EQ(status(kResultOffline), 409);
    EXPECT_EQ(status(kResultQueueFull), 503);
    EXPECT_EQ(status(21), 502);
    EXPECT_EQ(status(10), 502);
}

// ---- Event log -------------------------------------------------------------

Event Ev(const std::string& kind) {
    Event e;
    e.kind = kind;
    e.reader = "KQSIM0001";
    e.time_ms = 1765281600123;
    return e;
}

TEST(EventLog, SequenceNumbersAndBoundedHistory) {
    EventLog log(3);
    EXPECT_EQ(log.LastSeq(), 0u);
    EXPECT_EQ(log.FirstSeq(), 0u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(log.Append(Ev("arrived")), static_cast<uint64_t>(i + 1));
    }
    EXPECT_EQ(log.LastSeq(), 5u);
    EXPECT_EQ(log.FirstSeq(), 3u);
    auto all = log.Since(0);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all.front().seq, 3u);
    EXPECT_EQ(log.Since(3).size(), 2u);
    EXPECT_EQ(log.Since(4).front().seq, 5u);
    EXPECT_TRUE(log.Since(5).empty());
    EXPECT_TRUE(log.Since(99).empty());
}

TEST(EventLog, JsonShape) {
    Event e = Ev("arrived");
    e.seq = 7;
    e.uid = A;
    nlohmann::json j = ToJson(e);
    EXPECT_EQ(j.dump(), R"({"kind":"arrived","reader":"KQSIM0001","seq":7,)"
                        R"("time":"2025-12-09T12:00:00.123Z","time_ms":1765281600123,)"
                        R"("uid":"E004000000000001"})");
    EXPECT_FALSE(ToJson(Ev("online")).contains("uid"));
    EXPECT_EQ(FormatTime(-1), "1969-12-31T23:59:59.999Z");
}

TEST(EventLog, SubscribeSinceLosesNothingAndRepeatsNothingWhileAppending) {
    EventLog log(100000);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop) {
            log.Append(Ev("arrived"));
        }
    });
    while (log.LastSeq() < 100) {
        std::this_thread::yield();
    }
    std::vector<uint64_t> seen;
    std::mutex mu;
    std::vector<Event> backlog;
    int id = log.SubscribeSince(
        50,
        [&](const Event& e) {
            std::lock_guard lock(mu);
            seen.push_back(e.seq);
        },
        &backlog);
    while (log.LastSeq() < 5000) {
        std::this_thread::yield();
    }
    log.Unsubscribe(id);
    size_t after_unsubscribe;
    {
        std::lock_guard lock(mu);
        after_unsubscribe = seen.size();
    }
    stop = true;
    writer.join();
    std::vector<uint64_t> all;
    for (const auto& e : backlog) {
        all.push_back(e.seq);
    }
    all.insert(all.end(), seen.begin(), seen.end());
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front(), 51u);
    for (size_t i = 1; i < all.size(); ++i) {
        ASSERT_EQ(all[i], all[i - 1] + 1) << "gap or repeat at " << i;
    }
    EXPECT_EQ(seen.size(), after_unsubscribe) << "a callback ran after Unsubscribe returned";
}

// ---- Config ----------------------------------------------------------------

TEST(Config, ListenAddresses) {
    std::string host;
    uint16_t port = 0;
    ASSERT_TRUE(ParseListen("127.0.0.1:8760", &host, &port));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 8760);
    ASSERT_TRUE(ParseListen("[::1]:0", &host, &port));
    EXPECT_EQ(host, "::1");
    ASSERT_TRUE(ParseListen(":9000", &host, &port));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_FALSE(ParseListen("::1:80", &host, &port));
    EXPECT_FALSE(ParseListen("127.0.0.1:65536", &host, &port));
    EXPECT_FALSE(ParseListen("127.0.0.1:", &host, &port));
    EXPECT_FALSE(ParseListen("127.0.0.1:8x", &host, &port));
}

TEST(Config, AnotherAddressNeedsAToken) {
    Config c;
    std::string error;
    ASSERT_TRUE(ParseCommandLine({"--listen", "0.0.0.0:8760"}, &c, &error)) << error;
    EXPECT_FALSE(CheckConfig(c, &error));
    EXPECT_NE(error.find("token"), std::string::npos);
    ASSERT_TRUE(ParseCommandLine({"--token", "0123456789abcdef0123"}, &c, &error)) << error;
    EXPECT_TRUE(CheckConfig(c, &error)) << error;
    Config shortToken;
    ASSERT_TRUE(ParseCommandLine({"--token", "short"}, &shortToken, &error));
    EXPECT_FALSE(CheckConfig(shortToken, &error));
}

TEST(Config, FileThenOptionsWin) {
    std::string path = ::testing::TempDir() + "kqd_config_test.toml";
    {
        std::ofstream f(path);
        f << "listen = \"127.0.0.1:9999\"\nreaders = [\"KQSIM0001\", \"/dev/ttyUSB0\"]\n"
             "debounce = 5\nhistory = 50\nallow_origins = [\"http://example.org\"]\n"
             "log_level = \"debug\"\n[mqtt]\nbroker = \"x\"\n";
    }
    Config c;
    std::string error;
    ASSERT_TRUE(ParseCommandLine({"--debounce", "2", "--config", path}, &c, &error)) << error;
    EXPECT_EQ(c.http.port, 9999);
    EXPECT_EQ(c.hub.debounce, 2) << "the option wins over the file";
    EXPECT_EQ(c.history, 50u);
    EXPECT_EQ(c.hub.readers, (std::vector<std::string>{"KQSIM0001", "/dev/ttyUSB0"}));
    EXPECT_EQ(c.http.allow_origins, (std::vector<std::string>{"http://example.org"}));
    EXPECT_EQ(c.log_level, LogLevel::Debug);
    Config d;
    ASSERT_TRUE(ParseCommandLine({"--config", path, "--reader", "KQSIM0002"}, &d, &error));
    EXPECT_EQ(d.hub.readers, (std::vector<std::string>{"KQSIM0002"})) << "a list option replaces";
    std::remove(path.c_str());
}

TEST(Config, BadFilesAndOptionsAreRefusedWithTheirName) {
    std::string path = ::testing::TempDir() + "kqd_config_bad.toml";
    auto refuse = [&](const std::string& text, const std::string& word) {
        {
            std::ofstream f(path);
            f << text;
        }
        Config c;
        std::string error;
        EXPECT_FALSE(LoadConfigFile(path, &c, &error)) << text;
        EXPECT_NE(error.find(word), std::string::npos) << error;
    };
    refuse("listen = 5\n", "listen");
    refuse("lisen = \"127.0.0.1:1\"\n", "lisen");
    refuse("debounce = 0\n", "debounce");
    refuse("history = \"10\"\n", "history");
    refuse("readers = [1]\n", "readers");
    refuse("listen = \"127.0.0.1:1\n", ":1");
    refuse("log_level = \"loud\"\n", "log_level");
    std::remove(path.c_str());
    Config c;
    std::string error;
    EXPECT_FALSE(ParseCommandLine({"--debounce", "x"}, &c, &error));
    EXPECT_FALSE(ParseCommandLine({"--nope"}, &c, &error));
    EXPECT_FALSE(ParseCommandLine({"--history"}, &c, &error));
    EXPECT_FALSE(ParseCommandLine({"--config", "/nonexistent/kqd.toml"}, &c, &error));
}

} // namespace

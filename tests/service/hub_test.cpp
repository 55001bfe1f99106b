// The reader hub on the simulated reader in this process: owners, field
// events, operations between inventories, unplug and return, discovery.
#include "reader/reader_hub.h"

#include "kq.h"
#include "kqsim.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <thread>

namespace {

using namespace kqd;
using namespace std::chrono_literals;

const std::string A = "E004000000000001", B = "E004000000000002", C = "E004000000000003",
                  D = "E004000000000004";

// Collects the log's events for waiting on them.
class Events {
  public:
    explicit Events(EventLog& log) : log_(log) {
        id_ = log.Subscribe([this](const Event& e) {
            std::lock_guard lock(mu_);
            seen_.push_back(e);
            cv_.notify_all();
        });
    }
    ~Events() { log_.Unsubscribe(id_); }

    // Waits (generously: "does not hang") for an event of this kind (and UID).
    bool WaitFor(const std::string& kind, const std::string& reader, const std::string& uid = "",
                 std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, timeout, [&] {
            for (size_t i = from_; i < seen_.size(); ++i) {
                const Event& e = seen_[i];
                if (e.kind == kind && e.reader == reader && (uid.empty() || e.uid == uid)) {
                    from_ = i + 1;
                    return true;
                }
            }
            return false;
        });
    }

    std::vector<Event> All() {
        std::lock_guard lock(mu_);
        return seen_;
    }

  private:
    EventLog& log_;
    int id_ = 0;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Event> seen_;
    size_t from_ = 0;
};

class HubTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kqsim_reset();
        kqsim_set_timing(0);
        kqsim_set_logging(0);
        settings_.inventory_interval_ms = 5;
        settings_.reopen_interval_ms = 50;
        settings_.rescan_interval_ms = 100;
    }
    void TearDown() override {
        hub_.reset();
        EXPECT_EQ(kqsim_open_handles(), 0) << "a handle was left open";
    }

    ReaderHub& Hub() {
        if (!hub_) {
            hub_ = std::make_unique<ReaderHub>(log_, settings_);
        }
        return *hub_;
    }

    OpResult Run(const std::string& serial, OpKind kind, const std::string& uid,
                 const std::string& body) {
        auto parsed = ParseOp(kind, uid, body);
        EXPECT_TRUE(std::holds_alternative<OpRequest>(parsed)) << body;
        std::promise<OpResult> done;
        auto future = done.get_future();
        bool known = Hub().Submit(serial, std::get<OpRequest>(parsed),
                                  [&done](OpResult r) { done.set_value(std::move(r)); });
        EXPECT_TRUE(known);
        EXPECT_EQ(future.wait_for(20s), std::future_status::ready);
        return future.get();
    }

    HubSettings settings_;
    EventLog log_;
    std::unique_ptr<ReaderHub> hub_;
};

TEST_F(HubTest, FieldOfFourTagsIsReportedWhole) {
    for (const auto& uid : {A, B, C, D}) {
        kqsim_tag_add(uid.c_str(), 4, 64);
    }
    Events ev(log_);
    Hub().Start();
    ASSERT_TRUE(ev.WaitFor("online", "KQSIM0001"));
    for (const auto& uid : {A, B, C, D}) {
        EXPECT_TRUE(ev.WaitFor("arrived", "KQSIM0001", uid)) << uid;
    }
    auto field = Hub().FieldOf("KQSIM0001");
    ASSERT_TRUE(field.has_value());
    EXPECT_EQ(field->size(), 4u);
}

TEST_F(HubTest, TagLeavesAfterDebounceInventoriesAndArrivesAgain) {
    settings_.debounce = 4;
    kqsim_tag_add(A.c_str(), 4, 64);
    Events ev(log_);
    Hub().Start();
    ASSERT_TRUE(ev.WaitFor("arrived", "KQSIM0001", A));
    uint64_t before = Hub().Reader("KQSIM0001")->inventories;
    kqsim_tag_remove(A.c_str());
    ASSERT_TRUE(ev.WaitFor("left", "KQSIM0001", A));
    uint64_t after = Hub().Reader("KQSIM0001")->inventories;
    EXPECT_GE(after - before, 4u) << "left before 4 inventories missed it";
    EXPECT_TRUE(Hub().FieldOf("KQSIM0001")->empty());
    kqsim_tag_add(A.c_str(), 4, 64);
    EXPECT_TRUE(ev.WaitFor("arrived", "KQSIM0001", A));
}

TEST_F(HubTest, UnplugGoesOfflineReleasesTheHandleAndReturnReopens) {
    kqsim_tag_add(A.c_str(), 4, 64);
    Events ev(log_);
    Hub().Start();
    ASSERT_TRUE(ev.WaitFor("arrived", "KQSIM0001", A));
    EXPECT_EQ(kqsim_open_handles(), 1);
    kqsim_select_device(0);
    kqsim_unplug();
    ASSERT_TRUE(ev.WaitFor("left", "KQSIM0001", A));
    ASSERT_TRUE(ev.WaitFor("offline", "KQSIM0001"));
    EXPECT_EQ(Hub().Reader("KQSIM0001")->state, "offline");
    EXPECT_TRUE(Hub().FieldOf("KQSIM0001")->empty());
    EXPECT_EQ(kqsim_open_handles(), 0) << "the stale handle is released at once";
    // Offline: an operation is refused at once, on the calling thread.
    auto parsed = ParseOp(OpKind::Beep, "", "{}");
    std::thread::id caller = std::this_thread::get_id(), ran;
    int result = 0;
    ASSERT_TRUE(Hub().Submit("KQSIM0001", std::get<OpRequest>(parsed), [&](OpResult r) {
        ran = std::this_thread::get_id();
        result = r.result;
    }));
    EXPECT_EQ(result, kResultOffline);
    EXPECT_EQ(ran, caller);
    // Some reopen attempts later, still exactly no handle.
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(kqsim_open_handles(), 0);
    kqsim_replug();
    ASSERT_TRUE(ev.WaitFor("online", "KQSIM0001"));
    EXPECT_TRUE(ev.WaitFor("arrived", "KQSIM0001", A));
    EXPECT_EQ(kqsim_open_handles(), 1);
    EXPECT_EQ(Run("KQSIM0001", OpKind::Beep, "", "{}").result, KQ_OK);
}

TEST_F(HubTest, OperationsRunAndAnswer) {
    kqsim_tag_add(A.c_str(), 4, 64);
    Events ev(log_);
    Hub().Start();
    ASSERT_TRUE(ev.WaitFor("arrived", "KQSIM0001", A));
    OpResult w =
        Run("KQSIM0001", OpKind::Write, "e004000000000001", R"({"first":2,"text":"ABCDEFGH"})");
    ASSERT_EQ(w.result, KQ_OK) << w.name;
    char data[64] = {};
    ASSERT_GE(kqsim_tag_get_data(A.c_str(), 2, 2, data, sizeof data), 0);
    EXPECT_STREQ(data, "ABCDEFGH");
    OpResult r = Run("KQSIM0001", OpKind::Read, A, R"({"first":2,"count":2})");
    EXPECT_EQ(r.data["text"], "ABCDEFGH");
    OpResult m = Run("KQSIM0001", OpKind::MultiRead, "", R"({"first":2,"count":1})");
    ASSERT_EQ(m.result, KQ_OK);
    EXPECT_EQ(m.data["tags"][0]["text"], "ABCD");
    OpResult missing = Run("KQSIM0001", OpKind::Read, B, R"({"count":1})");
    EXPECT_EQ(HttpStatusFor(missing), 404) << missing.name;
    EXPECT_EQ(Run("KQSIM0001", OpKind::Beep, "", R"({"length":1})").result, KQ_OK);
}

TEST_F(HubTest, FullQueueRefusesAtOnceAndEveryCallbackRunsOnce) {
    settings_.queue_limit = 2;
    kqsim_tag_add(A.c_str(), 4, 64);
    kqsim_set_timing(1);
    kqsim_set_processing_ms("SR", 100);
    Events ev(log_);
    Hub().Start();
    ASSERT_TRUE(ev.WaitFor("arrived", "KQSIM0001", A));
    std::atomic<int> ok{0}, busy{0}, other{0};
    std::mutex mu;
    std::condition_variable cv;
    auto parsed = std::get<OpRequest>(ParseOp(OpKind::Read, A, R"({"count":1})"));
    const int n = 8;
    for (int i = 0; i < n; ++i) {
        Hub().Submit("KQSIM0001", parsed, [&](OpResult r) {
            (r.result == KQ_OK ? ok : r.result == kResultQueueFull ? busy : other)++;
            cv.notify_all();
        });
    }
    std::unique_lock lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, 30s, [&] { return ok + busy + other == n; }));
    EXPECT_GE(busy.load(), n - 3) << "at most the limit waits, one more may be running";
    EXPECT_GE(ok.load(), 2);
    EXPECT_EQ(other.load(), 0);
    EXPECT_GE(Hub().Stats().operations_refused, static_cast<uint64_t>(busy.load()));
}

TEST_F(HubTest, StopAnswersQueuedOperations) {
    kqsim_tag_add(A.c_str(), 4, 64);
    kqsim_set_timing(1);
    kqsim_set_processing_ms("SR", 200);
    Events ev(log_);
    Hub().Start();
    ASSERT_TRUE(ev.WaitFor("online", "KQSIM0001"));
    std::atomic<int> answered{0};
    auto parsed = std::get<OpRequest>(ParseOp(OpKind::Read, A, R"({"count":1})"));
    for (int i = 0; i < 4; ++i) {
        Hub().Submit("KQSIM0001", parsed, [&](OpResult) { ++answered; });
    }
    hub_->Stop();
    EXPECT_EQ(answered.load(), 4);
}

TEST_F(HubTest, ReadersPluggedInLaterAreFound) {
    Events ev(log_);
    Hub().Start();
    ASSERT_TRUE(ev.WaitFor("online", "KQSIM0001"));
    int second = kqsim_device_add("KQSIM0002");
    kqsim_select_device(second);
    kqsim_tag_add(B.c_str(), 4, 64);
    ASSERT_TRUE(ev.WaitFor("online", "KQSIM0002"));
    EXPECT_TRUE(ev.WaitFor("arrived", "KQSIM0002", B));
    EXPECT_EQ(Hub().Readers().size(), 2u);
}

TEST_F(HubTest, ReaderListRestrictsAndWaitsForAbsentOnes) {
    settings_.readers = {"KQSIM0002"};
    Events ev(log_);
    Hub().Start();
    std::this_thread::sleep_for(300ms);
    auto readers = Hub().Readers();
    ASSERT_EQ(readers.size(), 1u);
    EXPECT_EQ(readers[0].state, "offline");
    EXPECT_EQ(kqsim_open_handles(), 0) << "KQSIM0001 is not ours";
    kqsim_device_add("KQSIM0002");
    EXPECT_TRUE(ev.WaitFor("online", "KQSIM0002"));
    EXPECT_FALSE(Hub().Reader("KQSIM0001").has_value());
}

} // namespace

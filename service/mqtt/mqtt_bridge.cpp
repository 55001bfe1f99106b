#include "mqtt_bridge.h"

#include "events/event_log.h"

#include "outbox.h"
#include "seq_store.h"
#include "topics.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>
#include <poll.h>
#include <random>
#include <set>
#include <sstream>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace kqd::mqtt {

namespace {

constexpr std::size_t kMaxRequestBytes = 16 * 1024;
constexpr std::size_t kMaxPendingOps = 64;
constexpr std::size_t kMaxReplies = 256;
constexpr std::size_t kMaxInbox = 1000000;
constexpr int64_t kStableConnectionMs = 5000;
constexpr int64_t kShutdownGraceMs = 2000;

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void DefaultLog(int level, const std::string& message) {
    static const char* names[] = {"debug", "info", "warning", "error"};
    std::fprintf(stderr, "kqd: mqtt %s: %s\n", names[std::clamp(level, 0, 3)], message.c_str());
}

const std::set<std::string>& KnownOps() {
    static const std::set<std::string> ops = {"read",    "write", "sensor",
                                              "command", "beep",  "multi-read"};
    return ops;
}

// The HTTP API's refusals at the edge: the same names and result numbers.
constexpr int kResultParam = 29; // KQ_ERR_PARAM
constexpr int kResultBusy = -1;  // KQD_ERR_BUSY
constexpr int kResultNotFound = -4;
constexpr int kResultForbidden = -5;
constexpr int kResultTooLarge = -6;
constexpr int kResultBadRequest = -7;

nlohmann::json ErrorBody(const std::string& message, const std::string& name, int result,
                         const std::string& field = {}) {
    nlohmann::json error = {{"message", message}, {"name", name}, {"result", result}};
    if (!field.empty()) {
        error["field"] = field;
    }
    return {{"error", error}};
}

} // namespace

struct MqttBridge::Impl {
    MqttConfig cfg;
    BridgeHooks hooks;
    Topics topics;

    // Shared with other threads (under mu).
    mutable std::mutex mu;
    std::vector<BridgeEvent> inbox;
    struct Reply {
        std::string topic;
        std::string payload;
        std::string correlation; // MQTT 5 correlation data, echoed
        bool has_correlation = false;
    };
    std::deque<Reply> replies;
    std::size_t pending_ops = 0;
    uint64_t inbox_dropped = 0; // the link's thread fell this far behind
    BridgeStats stats;
    bool stop = false;

    int wake_fd = -1;
    int subscription = -1;
    bool subscribed = false;
    std::thread thread;

    // Owned by the link's thread.
    Outbox outbox{10000};
    SeqStore seq;
    mosquitto* mosq = nullptr;
    bool connected = false;
    bool just_connected = false;
    bool lost = false;
    int64_t connected_since = 0;
    int64_t connect_deadline = 0;
    int64_t next_attempt = 0;
    int attempts = 0;
    bool failure_logged = false;
    uint64_t last_log_seq = 0;
    std::set<std::string> first_event_sent;
    std::set<std::string> dirty_field;
    std::map<std::string, std::string> status_of; // reader -> "online"/"offline"
    std::set<std::string> dirty_status;
    std::set<int> other_mids; // status, field, replies awaiting PUBACK
    std::mt19937 rng{std::random_device{}()};

    void Log(int level, const std::string& m) { hooks.log(level, m); }

    void Wake() {
        uint64_t one = 1;
        if (write(wake_fd, &one, sizeof one) < 0) {
            // The counter is full only when the thread is far behind; it
            // wakes anyway.
        }
    }

    // Any thread: the event log's callback. Copies and returns at once.
    void OnEvent(const BridgeEvent& e) {
        {
            std::lock_guard lock(mu);
            if (inbox.size() >= kMaxInbox) {
                ++inbox_dropped;
                return;
            }
            inbox.push_back(e);
        }
        Wake();
    }

    void Run();
    void ProcessInbox();
    void Connect();
    void Teardown(const std::string& why);
    void AfterConnect();
    void Pump();
    bool PublishOther(const std::string& topic, const std::string& payload, bool retain,
                      const mosquitto_property* props = nullptr);
    void PublishReaderState();
    void HandleMessage(const mosquitto_message* msg, const mosquitto_property* props);
    void QueueReply(Reply r);
    void Shutdown();
    int PollTimeout() const;
    void UpdateGauges();

    std::string EventPayload(const BridgeEvent& e, uint64_t s) {
        nlohmann::json j = {{"seq", s},
                            {"epoch", seq.Epoch()},
                            {"kind", e.kind},
                            {"reader", e.reader},
                            {"site", cfg.site},
                            {"time", FormatTime(e.time_ms)},
                            {"time_ms", e.time_ms},
                            {"log_seq", e.log_seq}};
        if (!e.uid.empty()) {
            j["uid"] = e.uid;
        }
        if (seq.NewEpoch() && first_event_sent.insert(e.reader).second) {
            j["restarted"] = true;
        }
        return j.dump();
    }

    static void OnConnectCb(mosquitto*, void* self, int rc, int flags, const mosquitto_property*) {
        auto* me = static_cast<Impl*>(self);
        (void)flags;
        if (rc == 0) {
            me->connected = true;
            me->just_connected = true;
            me->connected_since = SteadyMs();
            return;
        }
        std::string why =
            me->cfg.protocol == 5 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc);
        me->Log(3, "the broker refused the connection: " + why);
        me->lost = true;
    }
    static void OnDisconnectCb(mosquitto*, void* self, int rc, const mosquitto_property*) {
        auto* me = static_cast<Impl*>(self);
        if (rc != 0 && me->connected) {
            me->Log(2, std::string("lost the broker: ") + mosquitto_strerror(rc));
        }
        me->lost = true;
    }
    static void OnPublishCb(mosquitto*, void* self, int mid, int reason,
                            const mosquitto_property*) {
        auto* me = static_cast<Impl*>(self);
        if (me->other_mids.erase(mid) > 0) {
            return;
        }
        auto m = me->outbox.Ack(mid);
        if (!m) {
            return;
        }
        std::lock_guard lock(me->mu);
        if (reason >= 0x80) {
            ++me->stats.rejected;
            me->Log(2, "the broker refused an event on " + m->topic + ": " +
                           mosquitto_reason_string(reason));
        } else if (!m->announcement) {
            ++me->stats.published;
        }
    }
    static void OnMessageCb(mosquitto*, void* self, const mosquitto_message* msg,
                            const mosquitto_property* props) {
        static_cast<Impl*>(self)->HandleMessage(msg, props);
    }
};

MqttBridge::MqttBridge(MqttConfig config, BridgeHooks hooks) : impl_(std::make_unique<Impl>()) {
    impl_->cfg = std::move(config);
    impl_->hooks = std::move(hooks);
    if (!impl_->hooks.log) {
        impl_->hooks.log = DefaultLog;
    }
    impl_->topics = {impl_->cfg.prefix, impl_->cfg.site};
    impl_->outbox = Outbox(impl_->cfg.queue);
}

MqttBridge::~MqttBridge() {
    Stop();
    if (impl_->wake_fd >= 0) {
        close(impl_->wake_fd);
    }
}

std::string MqttBridge::Start() {
    Impl& d = *impl_;
    if (d.thread.joinable()) {
        return {};
    }
    static std::once_flag init;
    std::call_once(init, [] { mosquitto_lib_init(); });
    if (d.wake_fd < 0) {
        d.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    if (d.wake_fd < 0) {
        return "cannot create an eventfd for the broker link";
    }
    std::string warning = d.seq.Open(d.cfg.state_dir, NowMs(), d.cfg.state_sync);
    if (!warning.empty()) {
        d.Log(2, warning);
    }
    if (d.hooks.subscribe) {
        std::vector<BridgeEvent> early;
        d.subscription = d.hooks.subscribe([&d](const BridgeEvent& e) { d.OnEvent(e); }, &early);
        d.subscribed = true;
        std::lock_guard lock(d.mu);
        d.inbox.insert(d.inbox.begin(), early.begin(), early.end());
    }
    d.Log(1, "publishing to " + d.cfg.host + ":" + std::to_string(d.cfg.port) + " as " +
                 d.cfg.client_id + " under " + d.cfg.prefix + "/" + d.cfg.site +
                 (d.seq.Persistent() ? ", sequence numbers kept in " + d.seq.Path()
                                     : ", sequence numbers restart with this run (epoch " +
                                           std::to_string(d.seq.Epoch()) + ")"));
    d.thread = std::thread([&d] { d.Run(); });
    return {};
}

void MqttBridge::Stop() {
    Impl& d = *impl_;
    if (!d.thread.joinable()) {
        return;
    }
    if (d.subscribed && d.hooks.unsubscribe) {
        d.hooks.unsubscribe(d.subscription);
        d.subscribed = false;
    }
    {
        std::lock_guard lock(d.mu);
        d.stop = true;
    }
    d.Wake();
    d.thread.join();
    {
        std::lock_guard lock(d.mu);
        d.stop = false; // Start may run again
    }
    // wake_fd stays open until the destructor: an operation's answer may
    // still arrive from a reader's thread (and is then not sent).
}

BridgeStats MqttBridge::Stats() const {
    std::lock_guard lock(impl_->mu);
    return impl_->stats;
}

std::string MqttBridge::MetricsText() const {
    BridgeStats s = Stats();
    std::ostringstream o;
    auto metric = [&o](const char* name, const char* type, const char* help, uint64_t value) {
        o << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n'
          << name << ' ' << value << '\n';
    };
    metric("kqd_mqtt_connected", "gauge", "1 while the broker link is up", s.connected ? 1 : 0);
    metric("kqd_mqtt_connects_total", "counter", "Connections the broker accepted", s.connects);
    metric("kqd_mqtt_connect_failures_total", "counter",
           "Connection attempts that failed or were refused", s.connect_failures);
    metric("kqd_mqtt_queue_depth", "gauge", "Events waiting to be sent to the broker", s.queued);
    metric("kqd_mqtt_in_flight", "gauge", "Events sent, acknowledgement pending", s.in_flight);
    metric("kqd_mqtt_events_published_total", "counter", "Events the broker acknowledged",
           s.published);
    metric("kqd_mqtt_events_dropped_total", "counter",
           "Events dropped because the queue was full while the broker was away", s.dropped);
    metric("kqd_mqtt_events_rejected_total", "counter", "Events the broker refused", s.rejected);
    metric("kqd_mqtt_state_errors_total", "counter", "Failed writes of the sequence state file",
           s.state_errors);
    o << "# HELP kqd_mqtt_operations_total Operations over MQTT answered, by status\n"
      << "# TYPE kqd_mqtt_operations_total counter\n";
    for (const auto& [status, count] : s.operations) {
        o << "kqd_mqtt_operations_total{status=\"" << status << "\"} " << count << '\n';
    }
    return o.str();
}

void MqttBridge::Impl::UpdateGauges() {
    std::lock_guard lock(mu);
    stats.connected = connected;
    stats.queued = outbox.Queued();
    stats.in_flight = outbox.InFlight();
    stats.dropped = inbox_dropped + outbox.DroppedTotal();
}

void MqttBridge::Impl::ProcessInbox() {
    std::vector<BridgeEvent> batch;
    {
        std::lock_guard lock(mu);
        batch.swap(inbox);
    }
    if (batch.empty()) {
        return;
    }
    std::stable_sort(batch.begin(), batch.end(), [](const BridgeEvent& a, const BridgeEvent& b) {
        return a.log_seq < b.log_seq;
    });
    uint64_t dropped_before = outbox.DroppedTotal();
    for (const BridgeEvent& e : batch) {
        if (e.log_seq != 0 && e.log_seq <= last_log_seq) {
            continue; // the backlog and the subscription both had it
        }
        last_log_seq = std::max(last_log_seq, e.log_seq);
        if (e.kind == "online" || e.kind == "offline") {
            status_of[e.reader] = e.kind;
            dirty_status.insert(e.reader);
        }
        dirty_field.insert(e.reader);
        uint64_t s = seq.Next(e.reader);
        outbox.Push({topics.Events(e.reader), EventPayload(e, s), e.reader, s, false});
    }
    // The numbers are on disk before any of these events can reach the broker.
    std::string error = seq.Save();
    if (!error.empty()) {
        Log(3, error + " (sequence numbers may repeat after a restart)");
        std::lock_guard lock(mu);
        ++stats.state_errors;
    }
    if (outbox.DroppedTotal() != dropped_before) {
        Log(connected ? 2 : 1, "event queue full (" + std::to_string(outbox.Limit()) +
                                   "): dropped the oldest; " +
                                   std::to_string(outbox.DroppedTotal()) + " dropped so far");
    }
}

int MqttBridge::Impl::PollTimeout() const {
    int64_t now = SteadyMs();
    int64_t t = 1000;
    if (!mosq) {
        t = std::min(t, std::max<int64_t>(0, next_attempt - now));
    } else if (!connected) {
        t = std::min(t, std::max<int64_t>(0, connect_deadline - now));
    }
    return static_cast<int>(t);
}

void MqttBridge::Impl::Connect() {
    ++attempts;
    mosq = mosquitto_new(cfg.client_id.c_str(), true, this);
    if (!mosq) {
        Teardown("cannot create the MQTT client");
        return;
    }
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION,
                         cfg.protocol == 5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_int_option(mosq, MOSQ_OPT_SEND_MAXIMUM, cfg.inflight);
    std::string will = topics.Station();
    mosquitto_will_set_v5(mosq, will.c_str(), 7, "offline", 1, true, nullptr);
    if (!cfg.username.empty()) {
        mosquitto_username_pw_set(mosq, cfg.username.c_str(),
                                  cfg.password.empty() ? nullptr : cfg.password.c_str());
    }
    if (cfg.tls) {
        int rc = mosquitto_tls_set(mosq, cfg.ca_file.empty() ? nullptr : cfg.ca_file.c_str(),
                                   cfg.ca_path.empty() ? nullptr : cfg.ca_path.c_str(),
                                   cfg.cert_file.empty() ? nullptr : cfg.cert_file.c_str(),
                                   cfg.key_file.empty() ? nullptr : cfg.key_file.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            Teardown(std::string("TLS settings refused: ") + mosquitto_strerror(rc));
            return;
        }
        mosquitto_tls_insecure_set(mosq, cfg.tls_insecure);
    }
    mosquitto_connect_v5_callback_set(mosq, OnConnectCb);
    mosquitto_disconnect_v5_callback_set(mosq, OnDisconnectCb);
    mosquitto_publish_v5_callback_set(mosq, OnPublishCb);
    mosquitto_message_v5_callback_set(mosq, OnMessageCb);
    lost = false;
    int rc =
        mosquitto_connect_bind_async(mosq, cfg.host.c_str(), cfg.port, cfg.keepalive_s, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        Teardown(rc == MOSQ_ERR_ERRNO ? std::string("cannot connect: ") + std::strerror(errno)
                                      : std::string("cannot connect: ") + mosquitto_strerror(rc));
        return;
    }
    connect_deadline = SteadyMs() + cfg.connect_timeout_ms;
}

void MqttBridge::Impl::Teardown(const std::string& why) {
    bool was_connected = connected;
    if (was_connected && SteadyMs() - connected_since >= kStableConnectionMs) {
        attempts = 1; // a connection that held: start over from the shortest delay
    }
    if (mosq) {
        mosquitto_destroy(mosq);
        mosq = nullptr;
    }
    connected = false;
    just_connected = false;
    lost = false;
    other_mids.clear();
    outbox.RequeueInFlight();
    // Bounded exponential backoff with jitter: half the delay fixed, half random,
    // so a fleet that lost its broker at once does not come back at once.
    int64_t delay = cfg.reconnect_min_ms;
    for (int i = 1; i < attempts && delay < cfg.reconnect_max_ms; ++i) {
        delay *= 2;
    }
    delay = std::min<int64_t>(delay, cfg.reconnect_max_ms);
    int64_t jittered =
        delay / 2 + std::uniform_int_distribution<int64_t>(0, std::max<int64_t>(0, delay / 2))(rng);
    next_attempt = SteadyMs() + jittered;
    {
        std::lock_guard lock(mu);
        if (!was_connected) {
            ++stats.connect_failures;
        }
    }
    std::string message = why + "; next attempt in " + std::to_string(jittered) + " ms";
    if (was_connected || !failure_logged) {
        Log(2, message);
        failure_logged = true;
    } else {
        Log(0, message);
    }
}

bool MqttBridge::Impl::PublishOther(const std::string& topic, const std::string& payload,
                                    bool retain, const mosquitto_property* props) {
    int mid = 0;
    int rc = mosquitto_publish_v5(mosq, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                  payload.data(), 1, retain, props);
    if (rc != MOSQ_ERR_SUCCESS) {
        if (rc != MOSQ_ERR_NO_CONN) {
            Log(2, "cannot publish on " + topic + ": " + mosquitto_strerror(rc));
        }
        return false;
    }
    other_mids.insert(mid);
    return true;
}

void MqttBridge::Impl::AfterConnect() {
    just_connected = false;
    attempts = std::max(attempts, 1);
    failure_logged = false;
    {
        std::lock_guard lock(mu);
        ++stats.connects;
    }
    Log(1, "connected to " + cfg.host + ":" + std::to_string(cfg.port) +
               (outbox.Queued() ? ", sending " + std::to_string(outbox.Queued()) + " queued events"
                                : ""));
    PublishOther(topics.Station(), "online", true);
    // MQTT 5: keep the retain flag of live messages too (a retained request
    // is refused, not run), and never replay retained requests on subscribing.
    int options =
        cfg.protocol == 5 ? MQTT_SUB_OPT_RETAIN_AS_PUBLISHED | MQTT_SUB_OPT_SEND_RETAIN_NEVER : 0;
    int rc =
        mosquitto_subscribe_v5(mosq, nullptr, topics.CommandFilter().c_str(), 1, options, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        Log(2, std::string("cannot subscribe to operations: ") + mosquitto_strerror(rc));
    }
    // Every reader's retained state, as it is now.
    if (hooks.readers) {
        for (const auto& r : hooks.readers()) {
            status_of[r.serial] = r.online ? "online" : "offline";
            dirty_status.insert(r.serial);
            dirty_field.insert(r.serial);
        }
    }
    // Announce what was dropped while away, before the events that follow it.
    auto dropped = outbox.TakeDropped();
    for (auto it = dropped.rbegin(); it != dropped.rend(); ++it) {
        int64_t now = NowMs();
        nlohmann::json j = {
            {"kind", "dropped"},    {"reader", it->reader},       {"site", cfg.site},
            {"epoch", seq.Epoch()}, {"first_seq", it->first_seq}, {"last_seq", it->last_seq},
            {"count", it->count},   {"time", FormatTime(now)},    {"time_ms", now}};
        outbox.PushFront({topics.Events(it->reader), j.dump(), it->reader, 0, true});
    }
}

void MqttBridge::Impl::PublishReaderState() {
    if (dirty_status.empty() && dirty_field.empty()) {
        return;
    }
    std::map<std::string, BridgeReader> now;
    if (hooks.readers) {
        for (auto& r : hooks.readers()) {
            now[r.serial] = std::move(r);
        }
    }
    for (const auto& serial : dirty_status) {
        auto it = status_of.find(serial);
        if (it != status_of.end()) {
            PublishOther(topics.Status(serial), it->second, true);
        }
    }
    dirty_status.clear();
    int64_t t = NowMs();
    for (const auto& serial : dirty_field) {
        nlohmann::json uids = nlohmann::json::array();
        nlohmann::json tags = nlohmann::json::array();
        auto it = now.find(serial);
        bool online = false;
        if (it != now.end()) {
            auto status = status_of.find(serial);
            online = it->second.online && (status == status_of.end() || status->second == "online");
            for (const auto& tag : it->second.field) {
                uids.push_back(tag.uid);
                tags.push_back({{"uid", tag.uid},
                                {"since", FormatTime(tag.since_ms)},
                                {"since_ms", tag.since_ms}});
            }
        }
        nlohmann::json j = {{"reader", serial},      {"site", cfg.site}, {"online", online},
                            {"count", uids.size()},  {"uids", uids},     {"tags", tags},
                            {"time", FormatTime(t)}, {"time_ms", t}};
        PublishOther(topics.Field(serial), j.dump(), true);
    }
    dirty_field.clear();
}

void MqttBridge::Impl::Pump() {
    if (!connected) {
        return;
    }
    PublishReaderState();
    std::deque<Reply> ready;
    {
        std::lock_guard lock(mu);
        ready.swap(replies);
    }
    while (!ready.empty()) {
        Reply& r = ready.front();
        mosquitto_property* props = nullptr;
        if (r.has_correlation) {
            mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, r.correlation.data(),
                                          static_cast<uint16_t>(r.correlation.size()));
        }
        bool sent = PublishOther(r.topic, r.payload, false, props);
        mosquitto_property_free_all(&props);
        if (!sent) {
            break;
        }
        ready.pop_front();
    }
    if (!ready.empty()) {
        std::lock_guard lock(mu);
        replies.insert(replies.begin(), ready.begin(), ready.end());
    }
    while (const OutMessage* m = outbox.Front()) {
        if (outbox.InFlight() >= static_cast<std::size_t>(cfg.inflight)) {
            break;
        }
        int mid = 0;
        int rc =
            mosquitto_publish_v5(mosq, &mid, m->topic.c_str(), static_cast<int>(m->payload.size()),
                                 m->payload.data(), 1, false, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            if (rc != MOSQ_ERR_NO_CONN) {
                Log(2, std::string("cannot publish an event: ") + mosquitto_strerror(rc));
            }
            lost = true;
            break;
        }
        outbox.MarkSent(mid);
    }
}

void MqttBridge::Impl::QueueReply(Reply r) {
    {
        std::lock_guard lock(mu);
        if (replies.size() >= kMaxReplies) {
            replies.pop_front();
        }
        replies.push_back(std::move(r));
    }
    Wake();
}

void MqttBridge::Impl::HandleMessage(const mosquitto_message* msg,
                                     const mosquitto_property* props) {
    std::string serial, op;
    if (!topics.ParseCommand(msg->topic, serial, op)) {
        return;
    }
    if (msg->retain && msg->payloadlen == 0) {
        return; // someone clearing a retained request: nothing to answer
    }
    Reply base;
    base.topic = topics.Reply(serial, op);
    char* response_topic = nullptr;
    if (props &&
        mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &response_topic, false)) {
        std::string rt(response_topic);
        free(response_topic);
        if (topics.ResponseTopicAllowed(rt)) {
            base.topic = rt;
        } else {
            base.topic.clear(); // answered on the reply topic, as a refusal
        }
    }
    void* correlation = nullptr;
    uint16_t correlation_len = 0;
    if (props && mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &correlation,
                                                &correlation_len, false)) {
        base.correlation.assign(static_cast<const char*>(correlation), correlation_len);
        base.has_correlation = true;
        free(correlation);
    }

    nlohmann::json request_id = nullptr;
    nlohmann::json body;
    // Builds the reply (the HTTP body plus request_id, reader, site, op and
    // the HTTP status) and hands it to the link's thread.
    auto answer = [this, serial, op](Reply r, const nlohmann::json& id, OpAnswer a) {
        nlohmann::json j = a.body.is_object() ? a.body : nlohmann::json::object();
        j["request_id"] = id;
        j["reader"] = serial;
        j["site"] = cfg.site;
        j["op"] = op;
        j["status"] = a.status;
        r.payload = j.dump();
        {
            std::lock_guard lock(mu);
            ++stats.operations[a.status];
        }
        QueueReply(std::move(r));
    };
    auto refuse = [&](int status, const std::string& message, const std::string& name, int result,
                      const std::string& field) {
        Reply r = base;
        if (r.topic.empty()) {
            r.topic = topics.Reply(serial, op);
        }
        answer(std::move(r), request_id, {status, ErrorBody(message, name, result, field)});
    };

    if (msg->payloadlen < 0 || static_cast<std::size_t>(msg->payloadlen) > kMaxRequestBytes) {
        refuse(413, "the request is larger than " + std::to_string(kMaxRequestBytes) + " bytes",
               "KQD_ERR_TOO_LARGE", kResultTooLarge, "body");
        return;
    }
    std::string text(static_cast<const char*>(msg->payload),
                     static_cast<std::size_t>(msg->payloadlen));
    if (text.empty()) {
        text = "{}";
    }
    body = nlohmann::json::parse(text, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        refuse(400, "the body must be a JSON object", "KQ_ERR_PARAM", kResultParam, "body");
        return;
    }
    if (body.contains("request_id")) {
        request_id = body["request_id"];
        body.erase("request_id");
        bool ok = (request_id.is_string() && request_id.get<std::string>().size() <= 128) ||
                  request_id.is_number_integer();
        if (!ok) {
            request_id = nullptr;
            refuse(400, "request_id must be a string of up to 128 characters or an integer",
                   "KQ_ERR_PARAM", kResultParam, "request_id");
            return;
        }
    }
    if (base.topic.empty()) {
        refuse(400, "the response topic may not hold wildcards or name a station's state topic",
               "KQ_ERR_PARAM", kResultParam, "response_topic");
        return;
    }
    if (msg->retain) {
        refuse(400, "retained operations are not run (they would run again on every connect)",
               "KQD_ERR_BAD_REQUEST", kResultBadRequest, "retain");
        return;
    }
    if (!cfg.operations) {
        refuse(403, "this station refuses operations over MQTT", "KQD_ERR_FORBIDDEN",
               kResultForbidden, "");
        return;
    }
    if (!KnownOps().count(op)) {
        refuse(404, "unknown operation '" + op + "'", "KQD_ERR_NOT_FOUND", kResultNotFound, "op");
        return;
    }
    bool busy = false;
    {
        std::lock_guard lock(mu);
        busy = pending_ops >= kMaxPendingOps;
        if (!busy && hooks.operate) {
            ++pending_ops;
        }
    }
    if (busy) {
        refuse(503, "too many operations pending", "KQD_ERR_BUSY", kResultBusy, "");
        return;
    }
    if (!hooks.operate) {
        refuse(503, "operations are not available", "KQD_ERR_BUSY", kResultBusy, "");
        return;
    }
    hooks.operate(serial, op, body, [this, base, request_id, answer](OpAnswer a) {
        {
            std::lock_guard lock(mu);
            --pending_ops;
        }
        answer(base, request_id, std::move(a));
    });
}

void MqttBridge::Impl::Run() {
    next_attempt = SteadyMs();
    while (true) {
        ProcessInbox();
        {
            std::lock_guard lock(mu);
            if (stop) {
                break;
            }
        }
        if (!mosq && SteadyMs() >= next_attempt) {
            Connect();
        }
        if (mosq && just_connected) {
            AfterConnect();
        }
        if (mosq && !lost) {
            Pump();
        }
        UpdateGauges();

        pollfd fds[2] = {{wake_fd, POLLIN, 0}, {-1, 0, 0}};
        int n = 1;
        if (mosq && !lost) {
            int sock = mosquitto_socket(mosq);
            if (sock >= 0) {
                fds[1] = {sock,
                          static_cast<short>(POLLIN | (mosquitto_want_write(mosq) ? POLLOUT : 0)),
                          0};
                n = 2;
            }
        }
        int timeout = lost ? 0 : PollTimeout();
        poll(fds, static_cast<nfds_t>(n), timeout);
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            if (read(wake_fd, &count, sizeof count) < 0) {
                // Nothing to do: the counter was already read.
            }
        }
        if (mosq && !lost) {
            int rc = mosquitto_loop(mosq, 0, 1);
            if (rc != MOSQ_ERR_SUCCESS) {
                lost = true;
                if (connected) {
                    Log(0, std::string("link ended: ") + mosquitto_strerror(rc));
                }
            }
        }
        if (mosq && !connected && !lost && SteadyMs() >= connect_deadline) {
            Teardown("no answer from " + cfg.host + ":" + std::to_string(cfg.port) + " within " +
                     std::to_string(cfg.connect_timeout_ms) + " ms");
            continue;
        }
        if (mosq && lost) {
            Teardown(connected ? "disconnected from " + cfg.host + ":" + std::to_string(cfg.port)
                               : "cannot reach " + cfg.host + ":" + std::to_string(cfg.port));
        }
    }
    Shutdown();
    UpdateGauges();
}

void MqttBridge::Impl::Shutdown() {
    if (mosq && connected && !lost) {
        for (auto& [serial, state] : status_of) {
            state = "offline";
            dirty_status.insert(serial);
            dirty_field.insert(serial); // republished with "online": false
        }
        Pump();
        PublishOther(topics.Station(), "offline", true);
        int64_t until = SteadyMs() + kShutdownGraceMs;
        while (!lost && SteadyMs() < until &&
               (!other_mids.empty() || outbox.InFlight() > 0 || outbox.Queued() > 0)) {
            pollfd fd = {mosquitto_socket(mosq),
                         static_cast<short>(POLLIN | (mosquitto_want_write(mosq) ? POLLOUT : 0)),
                         0};
            poll(&fd, 1, 50);
            if (mosquitto_loop(mosq, 0, 1) != MOSQ_ERR_SUCCESS) {
                break;
            }
            Pump();
        }
        mosquitto_disconnect(mosq);
        mosquitto_loop(mosq, 0, 1);
    }
    if (mosq) {
        mosquitto_destroy(mosq);
        mosq = nullptr;
    }
    connected = false;
    if (outbox.Queued() + outbox.InFlight() > 0) {
        Log(2, std::to_string(outbox.Queued() + outbox.InFlight()) +
                   " events were not delivered to the broker before kqd stopped");
    }
    std::string error = seq.Save();
    if (!error.empty()) {
        Log(3, error);
    }
}

} // namespace kqd::mqtt

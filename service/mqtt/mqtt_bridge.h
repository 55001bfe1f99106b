// kqd's link to an MQTT broker: publishes each reader's status, field and
// events, answers operations, and keeps events while the broker is away.
//
// The bridge runs on its own thread, which alone touches the libmosquitto
// client. Other threads only hand it events (through the hook that subscribes
// it to kqd's event log) and operation answers, each copied into a queue.
// Topic layout and payloads: docs/mqtt.md.
#pragma once

#include "mqtt_config.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kqd::mqtt {

// One event of kqd's log, as the bridge sees it.
struct BridgeEvent {
    uint64_t log_seq = 0; // kqd's own sequence number (the HTTP/SSE one)
    std::string kind;     // arrived, left, online, offline
    std::string reader;
    std::string uid;     // empty for online / offline
    int64_t time_ms = 0; // milliseconds since 1970 (UTC)
};

struct BridgeTag {
    std::string uid;
    int64_t since_ms = 0;
};

struct BridgeReader {
    std::string serial;
    bool online = false;
    std::vector<BridgeTag> field;
};

// An operation's answer, as the HTTP API gives it: its status code and body.
struct OpAnswer {
    int status = 200;
    nlohmann::json body; // an object: the result, or {"error":{...}}
};

// What the bridge needs from the rest of kqd (kqd_hooks.h builds these from
// the event log and the reader hub).
struct BridgeHooks {
    // Subscribes to the event log and, in the same step, copies into
    // *backlog the events already in its history (so that none is missed or
    // seen twice). The callback runs on the appending thread. Returns an id
    // for unsubscribe.
    std::function<int(std::function<void(const BridgeEvent&)>, std::vector<BridgeEvent>* backlog)>
        subscribe;
    std::function<void(int)> unsubscribe;
    // Every reader with its state and field.
    std::function<std::vector<BridgeReader>()> readers;
    // Checks and runs operation op ("read", "write", "sensor", "beep",
    // "command", "multi-read") on a reader with the request's JSON body (an
    // object; a tag's "uid" is one of its fields). Calls done exactly once,
    // maybe before returning, maybe later on another thread; done does not block.
    std::function<void(const std::string& serial, const std::string& op, const nlohmann::json& body,
                       std::function<void(OpAnswer)> done)>
        operate;
    // level: 0 debug, 1 info, 2 warning, 3 error. Default: standard error.
    std::function<void(int level, const std::string& message)> log;
};

struct BridgeStats {
    bool connected = false;
    uint64_t connects = 0;              // connections the broker accepted
    uint64_t connect_failures = 0;      // attempts that failed or were refused
    uint64_t queued = 0;                // events waiting (not yet sent)
    uint64_t in_flight = 0;             // events sent, acknowledgement pending
    uint64_t published = 0;             // events the broker acknowledged
    uint64_t dropped = 0;               // events dropped because the queue was full
    uint64_t rejected = 0;              // events the broker refused (MQTT 5 reason code)
    uint64_t state_errors = 0;          // failed writes of the sequence state file
    std::map<int, uint64_t> operations; // operations answered, by status code
};

class MqttBridge {
  public:
    MqttBridge(MqttConfig config, BridgeHooks hooks);
    ~MqttBridge();
    MqttBridge(const MqttBridge&) = delete;
    MqttBridge& operator=(const MqttBridge&) = delete;

    // Subscribes to the event log and starts the link's thread; the broker
    // need not be reachable (the link keeps trying). Returns an error message
    // ("" when started).
    std::string Start();
    // Publishes the readers and kqd as offline, sends what it can within a
    // short grace period, disconnects and saves the sequence state.
    void Stop();

    BridgeStats Stats() const;
    // The bridge's lines of kqd's /metrics (Prometheus text format).
    std::string MetricsText() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kqd::mqtt

// A stand-in for kqd in the broker link's tests: the real event log and the
// real request checks (ParseOp), with readers that make their events on a
// schedule instead of from a reader. Options: every --mqtt-* option of kqd,
// plus
//   --readers N        readers KQTEST0001..N (default 1)
//   --every MS         one arrived or left event per reader every MS (default 50)
//   --events N         stop making events after N per reader (default: never)
// SIGTERM/SIGINT stop it cleanly; the bridge's counters go to standard output.
#include "events/event_log.h"
#include "mqtt_bridge.h"
#include "mqtt_config.h"
#include "ops/operation.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace kqd;
using namespace kqd::mqtt;

namespace {
std::atomic<bool> g_stop{false};
void OnSignal(int) { g_stop = true; }
} // namespace

int main(int argc, char** argv) {
    MqttConfig cfg;
    int readers = 1;
    int every_ms = 50;
    long events = -1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(stderr, "%s needs a value\n", a.c_str());
            return 2;
        }
        std::string v = argv[++i];
        if (a == "--readers") {
            readers = std::stoi(v);
        } else if (a == "--every") {
            every_ms = std::stoi(v);
        } else if (a == "--events") {
            events = std::stol(v);
        } else if (std::string key = MqttKeyForOption(a); !key.empty()) {
            std::string e = SetMqttKey(cfg, key, v);
            if (!e.empty()) {
                std::fprintf(stderr, "%s\n", e.c_str());
                return 2;
            }
        } else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (std::string e = FinishMqttConfig(cfg); !e.empty()) {
        std::fprintf(stderr, "%s\n", e.c_str());
        return 2;
    }
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);

    EventLog log(4096);
    std::vector<std::string> serials;
    for (int r = 1; r <= readers; ++r) {
        char s[32];
        std::snprintf(s, sizeof s, "KQTEST%04d", r);
        serials.push_back(s);
    }
    std::mutex field_mu;
    std::vector<std::vector<BridgeTag>> fields(serials.size());

    BridgeHooks hooks;
    hooks.subscribe = [&log](std::function<void(const BridgeEvent&)> cb,
                             std::vector<BridgeEvent>* backlog) {
        std::vector<Event> early;
        int id = log.SubscribeSince(
            0,
            [cb](const Event& e) { cb({e.seq, e.kind, e.reader, e.uid, e.time_ms}); }, &early);
        for (const auto& e : early) {
            backlog->push_back({e.seq, e.kind, e.reader, e.uid, e.time_ms});
        }
        return id;
    };
    hooks.unsubscribe = [&log](int id) { log.Unsubscribe(id); };
    hooks.readers = [&] {
        std::lock_guard lock(field_mu);
        std::vector<BridgeReader> out;
        for (std::size_t i = 0; i < serials.size(); ++i) {
            out.push_back({serials[i], true, fields[i]});
        }
        return out;
    };
    hooks.operate = [&](const std::string& serial, const std::string& op,
                        const nlohmann::json& request, std::function<void(OpAnswer)> done) {
        bool known = false;
        for (const auto& s : serials) {
            known = known || s == serial;
        }
        if (!known) {
            done({404, {{"error", {{"message", "no reader " + serial}, {"name", "KQD_ERR_NOT_FOUND"},
                                   {"result", -4}, {"field", "serial"}}}}});
            return;
        }
        nlohmann::json body = request;
        std::string uid = body.value("uid", "");
        body.erase("uid");
        OpKind kind = op == "read"      ? OpKind::Read
                      : op == "write"   ? OpKind::Write
                      : op == "sensor"  ? OpKind::Sensor
                      : op == "command" ? OpKind::Command
                      : op == "beep"    ? OpKind::Beep
                                        : OpKind::MultiRead;
        auto parsed = ParseOp(kind, uid, body.dump());
        if (auto* fe = std::get_if<FieldError>(&parsed)) {
            done({400, {{"error", {{"message", fe->message}, {"field", fe->field},
                                   {"name", "KQ_ERR_PARAM"}, {"result", 29}}}}});
            return;
        }
        auto req = std::get<OpRequest>(parsed);
        // Answered from another thread, as a reader's owner would.
        std::thread([done, req] {
            done({200, {{"result", 0}, {"name", "KQ_OK"}, {"operation", "test"},
                        {"uid", req.uid}, {"first", req.first}, {"count", req.count}}});
        }).detach();
    };

    MqttBridge bridge(cfg, hooks);
    for (const auto& s : serials) {
        log.Append({0, "online", s, "", NowMs()});
    }
    if (std::string e = bridge.Start(); !e.empty()) {
        std::fprintf(stderr, "%s\n", e.c_str());
        return 1;
    }
    long made = 0;
    while (!g_stop && (events < 0 || made < events)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(every_ms));
        for (std::size_t i = 0; i < serials.size(); ++i) {
            char uid[32];
            std::snprintf(uid, sizeof uid, "E0040150%08lX", static_cast<unsigned long>(i));
            bool arrive;
            {
                std::lock_guard lock(field_mu);
                arrive = fields[i].empty();
                if (arrive) {
                    fields[i].push_back({uid, NowMs()});
                } else {
                    fields[i].clear();
                }
            }
            log.Append({0, arrive ? "arrived" : "left", serials[i], uid, NowMs()});
        }
        ++made;
    }
    while (!g_stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    bridge.Stop();
    BridgeStats s = bridge.Stats();
    std::printf("published %llu dropped %llu queued %llu in_flight %llu connects %llu\n",
                static_cast<unsigned long long>(s.published),
                static_cast<unsigned long long>(s.dropped),
                static_cast<unsigned long long>(s.queued),
                static_cast<unsigned long long>(s.in_flight),
                static_cast<unsigned long long>(s.connects));
    std::fflush(stdout);
    return 0;
}

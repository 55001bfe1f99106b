#include "kqd_hooks.h"

#include "events/event_log.h"
#include "ops/operation.h"
#include "reader/reader_hub.h"

namespace kqd::mqtt {

namespace {

BridgeEvent ToBridge(const Event& e) {
    return {e.seq, e.kind, e.reader, e.uid, e.time_ms};
}

std::optional<OpKind> KindOf(const std::string& op) {
    for (OpKind k : {OpKind::Read, OpKind::Write, OpKind::Sensor, OpKind::Command, OpKind::Beep,
                     OpKind::MultiRead}) {
        if (op == OpKindName(k)) {
            return k;
        }
    }
    return std::nullopt;
}

// The HTTP API's result numbers for its refusals (service/http/api.cpp).
constexpr int kNotFound = -4;
constexpr int kParam = 29; // KQ_ERR_PARAM

// The HTTP API's error body: {"error":{"message","result","name"[,"field"]}}.
nlohmann::json Error(const std::string& message, const std::string& name, int result,
                     const std::string& field) {
    nlohmann::json e = {{"message", message}, {"name", name}, {"result", result}};
    if (!field.empty()) {
        e["field"] = field;
    }
    return {{"error", e}};
}

} // namespace

BridgeHooks MakeBridgeHooks(EventLog& log, ReaderHub& hub,
                            std::function<void(int, const std::string&)> logger) {
    BridgeHooks h;
    h.subscribe = [&log](std::function<void(const BridgeEvent&)> callback,
                         std::vector<BridgeEvent>* backlog) {
        std::vector<Event> early;
        int id = log.SubscribeSince(
            0, [callback](const Event& e) { callback(ToBridge(e)); }, &early);
        for (const Event& e : early) {
            backlog->push_back(ToBridge(e));
        }
        return id;
    };
    h.unsubscribe = [&log](int id) { log.Unsubscribe(id); };
    h.readers = [&hub] {
        std::vector<BridgeReader> out;
        for (const ReaderInfo& r : hub.Readers()) {
            BridgeReader b{r.serial, r.state == "online", {}};
            for (const FieldTag& t : r.field) {
                b.field.push_back({t.uid, t.since_ms});
            }
            out.push_back(std::move(b));
        }
        return out;
    };
    h.operate = [&hub](const std::string& serial, const std::string& op,
                       const nlohmann::json& request, std::function<void(OpAnswer)> done) {
        auto kind = KindOf(op);
        if (!kind) {
            done({404,
                  Error("unknown operation '" + op + "'", "KQD_ERR_NOT_FOUND", kNotFound, "op")});
            return;
        }
        // Over HTTP the tag's UID is part of the path; here it is a member.
        nlohmann::json body = request;
        std::string uid;
        if (auto it = body.find("uid"); it != body.end()) {
            if (!it->is_string()) {
                done({400, Error("'uid' must be a string", "KQ_ERR_PARAM", kParam, "uid")});
                return;
            }
            uid = it->get<std::string>();
            body.erase(it);
        }
        auto parsed = ParseOp(*kind, uid, body.dump());
        if (auto* bad = std::get_if<FieldError>(&parsed)) {
            done({400, Error(bad->message, "KQ_ERR_PARAM", kParam, bad->field)});
            return;
        }
        std::string name = OpKindName(*kind);
        bool known = hub.Submit(
            serial, std::get<OpRequest>(std::move(parsed)), [done, serial, name](OpResult r) {
                int status = HttpStatusFor(r);
                if (status != 200) {
                    done({status, Error(r.message, r.name, r.result, "")});
                    return;
                }
                // The HTTP API's body: the data, the reader, the result.
                nlohmann::json answer = r.data.is_object() ? r.data : nlohmann::json::object();
                answer["reader"] = serial;
                answer["operation"] = name;
                answer["result"] = r.result;
                answer["name"] = r.name;
                done({200, answer});
            });
        if (!known) {
            done({404, Error("no reader " + serial, "KQD_ERR_NOT_FOUND", kNotFound, "serial")});
        }
    };
    if (logger) {
        h.log = std::move(logger);
    }
    return h;
}

} // namespace kqd::mqtt

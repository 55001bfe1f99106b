#include "reader/reader_owner.h"

#include "kq.h"

#include <chrono>
#include <cstring>
#include <optional>

namespace kqd {

namespace {

OpResult Result(int code, nlohmann::json data = nlohmann::json::object()) {
    OpResult r;
    r.result = code;
    switch (code) {
    case kResultQueueFull:
        r.name = "KQD_ERR_BUSY";
        r.message = "the reader's queue of operations is full; try again";
        break;
    case kResultOffline:
        r.name = "KQD_ERR_OFFLINE";
        r.message = "the reader is not connected";
        break;
    case kResultStopping:
        r.name = "KQD_ERR_STOPPING";
        r.message = "the service is shutting down";
        break;
    default:
        r.name = KQ_ResultName(code);
        r.message = KQ_ResultText(code);
        break;
    }
    if (code == 0) {
        r.data = std::move(data);
    }
    return r;
}

void Copy(char* dst, size_t cap, const std::string& src) {
    size_t n = std::min(cap - 1, src.size());
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

std::string Text(const char* s, size_t cap) {
    return std::string(s, strnlen(s, cap));
}

} // namespace

ReaderOwner::ReaderOwner(std::string serial, const HubSettings& settings, EventLog& log,
                         std::function<void(const std::string&)> observer)
    : serial_(std::move(serial)), settings_(settings), log_(log), observer_(std::move(observer)),
      prop_(std::make_unique<KQ_PROPERTY>()) {
    std::memset(prop_.get(), 0, sizeof(KQ_PROPERTY));
    state_since_ms_ = NowMs();
}

ReaderOwner::~ReaderOwner() {
    Stop();
}

void ReaderOwner::Start() {
    thread_ = std::thread([this] { Run(); });
}

void ReaderOwner::RequestStop() {
    {
        std::lock_guard lock(mu_);
        stopping_ = true;
    }
    cv_.notify_all();
}

void ReaderOwner::Stop() {
    RequestStop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void ReaderOwner::Submit(OpRequest request, std::function<void(OpResult)> done) {
    int refuse = 0;
    {
        std::lock_guard lock(mu_);
        if (stopping_) {
            refuse = kResultStopping;
        } else if (!online_) {
            refuse = kResultOffline;
        } else if (queue_.size() >= settings_.queue_limit) {
            refuse = kResultQueueFull;
        } else {
            queue_.push_back({std::move(request), std::move(done)});
        }
        if (refuse != 0) {
            ++refused_;
        }
    }
    if (refuse != 0) {
        done(Result(refuse));
        return;
    }
    cv_.notify_all();
}

ReaderInfo ReaderOwner::Info() const {
    std::lock_guard lock(mu_);
    ReaderInfo info;
    info.serial = serial_;
    info.state = online_ ? "online" : "offline";
    info.state_since_ms = state_since_ms_;
    for (const auto& e : field_.tags) {
        info.field.push_back({e.uid, e.since_ms});
    }
    info.inventories = inventories_;
    info.inventory_failures = inventory_failures_;
    info.queue_depth = queue_.size();
    return info;
}

uint64_t ReaderOwner::Refused() const {
    std::lock_guard lock(mu_);
    return refused_;
}

std::map<std::string, uint64_t> ReaderOwner::ResultCounts() const {
    std::lock_guard lock(mu_);
    return results_;
}

bool ReaderOwner::Pause(int ms, bool wake_on_work) {
    std::unique_lock lock(mu_);
    cv_.wait_for(lock, std::chrono::milliseconds(ms),
                 [&] { return stopping_ || (wake_on_work && !queue_.empty()); });
    return !stopping_;
}

void ReaderOwner::Emit(const char* kind, const std::string& uid) {
    Event e;
    e.kind = kind;
    e.reader = serial_;
    e.uid = uid;
    e.time_ms = NowMs();
    log_.Append(std::move(e));
}

void ReaderOwner::ApplyStep(const FieldStep& step) {
    {
        std::lock_guard lock(mu_);
        field_ = step.state;
    }
    for (const auto& c : step.changes) {
        Emit(c.arrived ? "arrived" : "left", c.uid);
    }
}

bool ReaderOwner::Open() {
    KQ_PROPERTY& p = *prop_;
    std::memset(&p, 0, sizeof p);
    p.WriteTimeout = 1000;
    p.ReadTimeout = 1000;
    p.SerialNo = serial_.c_str();
    p.StopFlag = 1; // no loop worker: kqd polls (docs/kqd.md)
    p.LoopMode = 0;
    p.BuzzerOn = 0;
    KQ_Init_PROPERTY(&p);
    if (KQ_OpenUSB(&p) != KQ_OK) {
        return false;
    }
    {
        std::lock_guard lock(mu_);
        online_ = true;
        state_since_ms_ = NowMs();
        field_ = {};
    }
    Emit("online", "");
    return true;
}

void ReaderOwner::GoOffline() {
    FieldState before;
    std::deque<Pending> dropped;
    {
        std::lock_guard lock(mu_);
        before = field_;
        field_ = {};
        online_ = false;
        state_since_ms_ = NowMs();
        dropped.swap(queue_);
    }
    // Release the stale handle at once: the driver frees a vanished device's
    // handle on close, and a reopen must not leak it.
    KQ_CloseUSB(prop_.get());
    for (const auto& c : clear_field(before).changes) {
        Emit("left", c.uid);
    }
    Emit("offline", "");
    for (auto& d : dropped) {
        d.done(Result(kResultOffline));
    }
}

void ReaderOwner::Inventory() {
    int rc = KQ_GetUID(prop_.get());
    if (rc == KQ_OK) {
        if (observer_) {
            observer_(serial_);
        }
        std::vector<std::string> uids;
        const KQ_OUT_GU& gu = prop_->OUT_GU;
        for (int i = 0; i < gu.Count && i < 4; ++i) {
            uids.push_back(Text(gu.TagInfo[i].UID, sizeof gu.TagInfo[i].UID));
        }
        FieldState previous;
        {
            std::lock_guard lock(mu_);
            ++inventories_;
            previous = field_;
        }
        FieldSettings fs;
        fs.debounce = settings_.debounce;
        ApplyStep(next_field(previous, uids, NowMs(), fs));
        return;
    }
    {
        std::lock_guard lock(mu_);
        ++inventory_failures_;
    }
    if (rc == KQ_ERR_USB) {
        GoOffline();
    }
}

OpResult ReaderOwner::Execute(const OpRequest& r) {
    KQ_PROPERTY* p = prop_.get();
    switch (r.kind) {
    case OpKind::Read: {
        KQ_IN_SR in;
        KQ_Init_IN_SR(&in);
        in.StartBlock = static_cast<unsigned char>(r.first);
        in.BlockCount = static_cast<unsigned char>(r.count);
        Copy(in.UID, sizeof in.UID, r.uid);
        auto out = std::make_unique<KQ_TAGINFO>();
        KQ_Init_TAGINFO(out.get());
        int rc = KQ_SelectRead(p, &in, out.get());
        return Result(rc, {{"uid", r.uid},
                           {"first", r.first},
                           {"count", r.count},
                           {"text", Text(out->Data, sizeof out->Data)}});
    }
    case OpKind::Write: {
        auto in = std::make_unique<KQ_IN_SW>();
        KQ_Init_IN_SW(in.get());
        in->StartBlock = static_cast<unsigned char>(r.first);
        in->BlockCount = static_cast<unsigned char>(r.count);
        Copy(in->TagInfo.UID, sizeof in->TagInfo.UID, r.uid);
        Copy(in->TagInfo.Data, sizeof in->TagInfo.Data, r.text);
        int rc = KQ_SelectWrite(p, in.get());
        return Result(rc,
                      {{"uid", r.uid}, {"first", r.first}, {"count", r.count}, {"verified", true}});
    }
    case OpKind::Sensor: {
        KQ_IN_SNSR in;
        KQ_OUT_SNSR out;
        KQ_Init_IN_SNSR(&in);
        KQ_Init_OUT_SNSR(&out);
        in.Channel = static_cast<unsigned char>(r.channel);
        in.Setting = static_cast<unsigned char>(r.setting);
        Copy(in.UID, sizeof in.UID, r.uid);
        int rc = KQ_SensorCommand(p, &in, &out);
        return Result(rc, {{"uid", r.uid}, {"channel", r.channel}, {"value", out.Value}});
    }
    case OpKind::Command: {
        KQ_Init_IN_TA(&p->IN_TA);
        Copy(p->IN_TA, sizeof p->IN_TA, r.text);
        int rc = KQ_TagCommand(p);
        OpResult res = Result(rc, {{"reply", Text(p->OUT_TA, sizeof p->OUT_TA)}});
        if (rc == KQ_ERR_TAG) {
            res.message += " (sub-status " + Text(p->OUT_TA, sizeof p->OUT_TA) + ")";
        }
        return res;
    }
    case OpKind::Beep: {
        int rc = KQ_BuzzerCommand(p, r.length);
        return Result(rc, {{"length", r.length}});
    }
    case OpKind::MultiRead: {
        p->IN_MR.StartBlock = static_cast<unsigned char>(r.first);
        p->IN_MR.BlockCount = static_cast<unsigned char>(r.count);
        int rc = KQ_MultiRead(p);
        const KQ_OUT_MR& mr = p->OUT_MR;
        nlohmann::json tags = nlohmann::json::array();
        for (int i = 0; i < mr.TagCount && i < 4; ++i) {
            std::string text = Text(mr.TagInfo[i].Data, sizeof mr.TagInfo[i].Data);
            tags.push_back({{"uid", Text(mr.TagInfo[i].UID, sizeof mr.TagInfo[i].UID)},
                            {"text", text},
                            {"ok", !text.empty()}});
        }
        return Result(rc, {{"first", r.first},
                           {"count", r.count},
                           {"tag_count", mr.TagCount},
                           {"done_count", mr.DoneCount},
                           {"tags", tags}});
    }
    }
    return Result(KQ_ERR_PARAM);
}

void ReaderOwner::Run() {
    for (;;) {
        if (!Open()) {
            if (!Pause(settings_.reopen_interval_ms, false)) {
                break;
            }
            continue;
        }
        // Online: an inventory, then at most one queued operation, then a
        // pause that a newly queued operation cuts short.
        bool online = true;
        while (online) {
            Inventory();
            std::optional<Pending> next;
            {
                std::lock_guard lock(mu_);
                online = online_;
                if (stopping_) {
                    break;
                }
                if (online && !queue_.empty()) {
                    next = std::move(queue_.front());
                    queue_.pop_front();
                }
            }
            if (next) {
                OpResult res = Execute(next->request);
                {
                    std::lock_guard lock(mu_);
                    ++results_[res.name];
                }
                // The operations without the library's connection check
                // (select read/write, sensor) fail otherwise on a lost
                // device; the next inventory finds that out.
                bool lost = res.result == KQ_ERR_USB;
                next->done(std::move(res));
                if (lost) {
                    GoOffline();
                    online = false;
                }
                continue; // the next inventory at once: the field is due
            }
            if (!Pause(settings_.inventory_interval_ms, true)) {
                break;
            }
        }
        {
            std::lock_guard lock(mu_);
            if (stopping_) {
                break;
            }
        }
        if (!online && !Pause(settings_.reopen_interval_ms, false)) {
            break;
        }
    }
    // Stopping: refuse what is still queued, close the reader.
    std::deque<Pending> dropped;
    bool was_online = false;
    {
        std::lock_guard lock(mu_);
        dropped.swap(queue_);
        was_online = online_;
        online_ = false;
    }
    for (auto& d : dropped) {
        d.done(Result(kResultStopping));
    }
    if (was_online) {
        KQ_CloseUSB(prop_.get());
    }
}

} // namespace kqd

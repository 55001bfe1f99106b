#include "reader/reader_hub.h"

#include "kq.h"
#include "reader/reader_owner.h"

#include <chrono>
#include <cstring>

namespace kqd {

ReaderHub::ReaderHub(EventLog& log, HubSettings settings)
    : log_(log), settings_(std::move(settings)) {}

ReaderHub::~ReaderHub() {
    Stop();
}

void ReaderHub::SetInventoryObserver(std::function<void(const std::string&)> observer) {
    std::lock_guard lock(observer_mu_);
    observer_ = std::move(observer);
}

void ReaderHub::AddOwner(const std::string& serial) {
    if (owners_.count(serial) != 0) {
        return;
    }
    // Owners ask the hub, so that an observer set after Start() is seen.
    auto owner =
        std::make_unique<ReaderOwner>(serial, settings_, log_, [this](const std::string& s) {
            std::lock_guard lock(observer_mu_);
            if (observer_) {
                observer_(s);
            }
        });
    owner->Start();
    owners_.emplace(serial, std::move(owner));
}

void ReaderHub::Start() {
    std::lock_guard lock(mu_);
    if (started_) {
        return;
    }
    started_ = true;
    if (!settings_.readers.empty()) {
        // A fixed list: each owner keeps trying its reader until it appears.
        for (const auto& serial : settings_.readers) {
            AddOwner(serial);
        }
        return;
    }
    rescan_ = std::thread([this] { RescanLoop(); });
}

void ReaderHub::Rescan() {
    int count = 0;
    if (KQ_GetReaderCount(&count) != KQ_OK) {
        return;
    }
    std::vector<std::string> found;
    for (int i = 0; i < count; ++i) {
        char buffer[KQ_SERIALNO_BUFFER_SIZE] = {};
        if (KQ_GetSerialNoAt(i, buffer) == KQ_OK && buffer[0] != '\0') {
            found.emplace_back(buffer, strnlen(buffer, sizeof buffer));
        }
    }
    std::lock_guard lock(mu_);
    if (stopping_) {
        return;
    }
    for (const auto& serial : found) {
        AddOwner(serial); // a known reader keeps its owner, online or not
    }
}

void ReaderHub::RescanLoop() {
    for (;;) {
        Rescan();
        std::unique_lock lock(rescan_mu_);
        if (rescan_cv_.wait_for(lock, std::chrono::milliseconds(settings_.rescan_interval_ms),
                                [this] { return stopping_rescan_; })) {
            return;
        }
    }
}

void ReaderHub::Stop() {
    {
        std::lock_guard lock(rescan_mu_);
        stopping_rescan_ = true;
    }
    rescan_cv_.notify_all();
    if (rescan_.joinable()) {
        rescan_.join();
    }
    std::map<std::string, std::unique_ptr<ReaderOwner>> owners;
    {
        std::lock_guard lock(mu_);
        stopping_ = true;
        owners.swap(owners_);
    }
    for (auto& [serial, owner] : owners) {
        owner->RequestStop(); // all at once: each may be in the middle of an exchange
    }
    for (auto& [serial, owner] : owners) {
        owner->Stop();
    }
}

std::vector<ReaderInfo> ReaderHub::Readers() const {
    std::lock_guard lock(mu_);
    std::vector<ReaderInfo> out;
    for (const auto& [serial, owner] : owners_) {
        out.push_back(owner->Info());
    }
    return out;
}

std::optional<ReaderInfo> ReaderHub::Reader(const std::string& serial) const {
    std::lock_guard lock(mu_);
    auto it = owners_.find(serial);
    if (it == owners_.end()) {
        return std::nullopt;
    }
    return it->second->Info();
}

std::optional<std::vector<FieldTag>> ReaderHub::FieldOf(const std::string& serial) const {
    auto info = Reader(serial);
    if (!info) {
        return std::nullopt;
    }
    return info->field;
}

bool ReaderHub::Submit(const std::string& serial, OpRequest request,
                       std::function<void(OpResult)> done) {
    ReaderOwner* owner = nullptr;
    {
        std::lock_guard lock(mu_);
        auto it = owners_.find(serial);
        if (it == owners_.end()) {
            return false;
        }
        owner = it->second.get();
        // Owners are removed only by Stop(), which takes mu_ first; Submit
        // under mu_ keeps the owner alive while it queues.
        owner->Submit(std::move(request), std::move(done));
    }
    return true;
}

HubStats ReaderHub::Stats() const {
    std::lock_guard lock(mu_);
    HubStats s;
    for (const auto& [serial, owner] : owners_) {
        ReaderInfo info = owner->Info();
        ++s.readers_total;
        s.readers_online += info.state == "online" ? 1 : 0;
        s.inventories += info.inventories;
        s.inventory_failures += info.inventory_failures;
        s.queue_depth += info.queue_depth;
        s.operations_refused += owner->Refused();
        for (const auto& [name, n] : owner->ResultCounts()) {
            s.operations_by_result[name] += n;
        }
    }
    return s;
}

} // namespace kqd

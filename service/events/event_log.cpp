#include "events/event_log.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace kqd {

nlohmann::json ToJson(const Event& e) {
    nlohmann::json j = {{"seq", e.seq}, {"kind", e.kind}, {"reader", e.reader}};
    if (!e.uid.empty()) {
        j["uid"] = e.uid;
    }
    j["time"] = FormatTime(e.time_ms);
    j["time_ms"] = e.time_ms;
    return j;
}

std::string FormatTime(int64_t time_ms) {
    int64_t secs = time_ms >= 0 ? time_ms / 1000 : (time_ms - 999) / 1000;
    int ms = static_cast<int>(time_ms - secs * 1000);
    std::time_t t = static_cast<std::time_t>(secs);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return buf;
}

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

EventLog::EventLog(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

uint64_t EventLog::Append(Event e) {
    std::lock_guard lock(mu_);
    e.seq = ++last_seq_;
    history_.push_back(e);
    while (history_.size() > capacity_) {
        history_.pop_front();
    }
    for (auto& [id, callback] : subscribers_) {
        callback(history_.back());
    }
    return e.seq;
}

std::vector<Event> EventLog::SinceLocked(uint64_t after_seq) const {
    std::vector<Event> out;
    if (history_.empty() || after_seq >= history_.back().seq) {
        return out;
    }
    // Sequence numbers are consecutive, so the first wanted one is found by
    // arithmetic rather than a search.
    uint64_t first = history_.front().seq;
    size_t skip = after_seq < first ? 0 : static_cast<size_t>(after_seq - first + 1);
    out.assign(history_.begin() + static_cast<std::ptrdiff_t>(skip), history_.end());
    return out;
}

std::vector<Event> EventLog::Since(uint64_t after_seq) const {
    std::lock_guard lock(mu_);
    return SinceLocked(after_seq);
}

uint64_t EventLog::LastSeq() const {
    std::lock_guard lock(mu_);
    return last_seq_;
}

uint64_t EventLog::FirstSeq() const {
    std::lock_guard lock(mu_);
    return history_.empty() ? 0 : history_.front().seq;
}

int EventLog::Subscribe(std::function<void(const Event&)> callback) {
    std::lock_guard lock(mu_);
    int id = next_id_++;
    subscribers_.emplace(id, std::move(callback));
    return id;
}

int EventLog::SubscribeSince(uint64_t after_seq, std::function<void(const Event&)> callback,
                             std::vector<Event>* backlog) {
    std::lock_guard lock(mu_);
    if (backlog != nullptr) {
        *backlog = SinceLocked(after_seq);
    }
    int id = next_id_++;
    subscribers_.emplace(id, std::move(callback));
    return id;
}

void EventLog::Unsubscribe(int id) {
    std::lock_guard lock(mu_);
    subscribers_.erase(id);
}

size_t EventLog::SubscriberCount() const {
    std::lock_guard lock(mu_);
    return subscribers_.size();
}

} // namespace kqd

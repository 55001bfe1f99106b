#include "outbox.h"

#include <algorithm>

namespace kqd::mqtt {

bool Outbox::Push(OutMessage message) {
    bool dropped = false;
    while (!message.announcement && bounded_ >= limit_) {
        auto oldest = std::find_if(queued_.begin(), queued_.end(),
                                   [](const OutMessage& m) { return !m.announcement; });
        if (oldest == queued_.end()) {
            break;
        }
        Record(*oldest);
        queued_.erase(oldest);
        --bounded_;
        dropped = true;
    }
    if (!message.announcement) {
        ++bounded_;
    }
    queued_.push_back(std::move(message));
    return dropped;
}

void Outbox::PushFront(OutMessage message) {
    message.announcement = true;
    queued_.push_front(std::move(message));
}

void Outbox::Record(const OutMessage& m) {
    ++dropped_total_;
    for (auto& r : dropped_) {
        if (r.reader == m.reader && r.last_seq + 1 == m.seq) {
            r.last_seq = m.seq;
            ++r.count;
            return;
        }
    }
    dropped_.push_back({m.reader, m.seq, m.seq, 1});
}

void Outbox::MarkSent(int mid) {
    if (queued_.empty()) {
        return;
    }
    if (!queued_.front().announcement) {
        --bounded_;
    }
    in_flight_.push_back({mid, std::move(queued_.front())});
    queued_.pop_front();
}

std::optional<OutMessage> Outbox::Ack(int mid) {
    auto it = std::find_if(in_flight_.begin(), in_flight_.end(),
                           [mid](const Sent& s) { return s.mid == mid; });
    if (it == in_flight_.end()) {
        return std::nullopt;
    }
    OutMessage m = std::move(it->message);
    in_flight_.erase(it);
    return m;
}

void Outbox::RequeueInFlight() {
    for (auto it = in_flight_.rbegin(); it != in_flight_.rend(); ++it) {
        if (!it->message.announcement) {
            ++bounded_;
        }
        queued_.push_front(std::move(it->message));
    }
    in_flight_.clear();
    // Requeued messages may push the queue past its limit for a moment;
    // later pushes drop the oldest until it is back within it.
}

std::vector<DroppedRange> Outbox::TakeDropped() {
    std::vector<DroppedRange> out;
    out.swap(dropped_);
    return out;
}

} // namespace kqd::mqtt

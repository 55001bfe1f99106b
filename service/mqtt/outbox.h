// The broker link's queue of events: bounded, in order, and an event leaves
// it only when the broker acknowledged it (QoS 1 PUBACK).
//
// Messages wait in `queued` until the link sends them; a sent message moves
// to `in flight` with its MQTT message id. An acknowledgement removes it. When
// the link drops, every message still in flight goes back to the front of the
// queue, in its order, to be sent again on the next connection (a message the
// broker got but whose acknowledgement was lost arrives twice: subscribers
// de-duplicate by (reader, epoch, seq)). When the queue is full the oldest
// queued event is dropped and its reader's sequence range is recorded, to be
// announced once the link can carry the announcement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace kqd::mqtt {

struct OutMessage {
    std::string topic;
    std::string payload;
    std::string reader;
    uint64_t seq = 0;          // the reader's sequence number; 0 for an announcement
    bool announcement = false; // never dropped
};

struct DroppedRange {
    std::string reader;
    uint64_t first_seq = 0;
    uint64_t last_seq = 0;
    uint64_t count = 0;
};

class Outbox {
  public:
    explicit Outbox(std::size_t limit) : limit_(limit == 0 ? 1 : limit) {}

    // Adds at the back. When the queue already holds `limit` messages the
    // oldest queued event is dropped (counted and recorded); returns true
    // when something was dropped.
    bool Push(OutMessage message);
    // Adds at the front (announcements); never dropped, not counted in the bound.
    void PushFront(OutMessage message);

    // The next message to send, or nullptr.
    const OutMessage* Front() const { return queued_.empty() ? nullptr : &queued_.front(); }
    // The front message was handed to the link under message id mid.
    void MarkSent(int mid);
    // The broker acknowledged mid. Returns the message, if it was one of ours.
    std::optional<OutMessage> Ack(int mid);
    // The link dropped: every message in flight goes back to the front, in order.
    void RequeueInFlight();

    // Ranges dropped since the last call (one per reader, or more when a
    // reader's dropped numbers are not contiguous).
    std::vector<DroppedRange> TakeDropped();

    std::size_t Queued() const { return queued_.size(); }
    std::size_t InFlight() const { return in_flight_.size(); }
    uint64_t DroppedTotal() const { return dropped_total_; }
    std::size_t Limit() const { return limit_; }

  private:
    struct Sent {
        int mid;
        OutMessage message;
    };
    void Record(const OutMessage& dropped);

    std::size_t limit_;
    std::size_t bounded_ = 0; // queued messages that count against the limit
    std::deque<OutMessage> queued_;
    std::deque<Sent> in_flight_;
    std::vector<DroppedRange> dropped_;
    uint64_t dropped_total_ = 0;
};

} // namespace kqd::mqtt

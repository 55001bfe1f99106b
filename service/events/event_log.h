// The event log: every field and reader event of the service, numbered in
// the order it happened, kept in a bounded history and handed to whoever
// subscribed. SSE's Last-Event-ID, the broker link's offline queue and the
// page all read this one log; none keeps its own copy.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace kqd {

/// One event. kind is "arrived", "left", "online" or "offline"; uid is empty
/// for online/offline. time_ms is the wall-clock time (ms since 1970, UTC).
struct Event {
    uint64_t seq = 0; ///< 1, 2, 3, ... assigned by EventLog::Append; never reused
    std::string kind;
    std::string reader; ///< serial number of the reader
    std::string uid;    ///< 16 upper-case hexadecimal digits, or empty
    int64_t time_ms = 0;
};

/// {"seq":N,"kind":"arrived","reader":"KQSIM0001","uid":"E004...",
///  "time":"2026-12-09T12:00:00.123Z","time_ms":1765281600123};
/// "uid" is absent when empty.
nlohmann::json ToJson(const Event& e);

/// time_ms as ISO 8601 UTC with milliseconds: "2026-12-09T12:00:00.123Z".
std::string FormatTime(int64_t time_ms);

/// Wall-clock time now, ms since 1970 (UTC).
int64_t NowMs();

/// Thread-safe. Sequence numbers start at 1 and grow by one per event; the
/// history keeps the newest `capacity` events.
class EventLog {
  public:
    explicit EventLog(size_t capacity = 1024);

    /// Assigns the next sequence number, stores the event in the history and
    /// hands it to every subscriber, in sequence order, on the calling
    /// thread. Returns the sequence number.
    uint64_t Append(Event e);

    /// Every event with seq > after_seq that is still in the history, oldest
    /// first. Since(0) is the whole history.
    std::vector<Event> Since(uint64_t after_seq) const;

    /// Sequence number of the newest event (0 before the first).
    uint64_t LastSeq() const;
    /// Sequence number of the oldest event still in the history (0 when the
    /// history is empty). A client whose last seen seq is below
    /// FirstSeq() - 1 has missed events that are gone.
    uint64_t FirstSeq() const;
    size_t Capacity() const { return capacity_; }

    /// The callback runs on the appending thread, under the log's lock, for
    /// every event appended after Subscribe returned; it must not block and
    /// must not call back into this log (copy the event into your own
    /// bounded queue). Returns an id for Unsubscribe.
    int Subscribe(std::function<void(const Event&)> callback);

    /// Subscribe and, in the same step, copy into *backlog every event with
    /// seq > after_seq still in the history: nothing is lost or delivered
    /// twice between the backlog and the callback (what SSE's Last-Event-ID
    /// resume needs).
    int SubscribeSince(uint64_t after_seq, std::function<void(const Event&)> callback,
                       std::vector<Event>* backlog);

    /// After it returns the callback is not running and is never called
    /// again. Unknown ids are ignored.
    void Unsubscribe(int id);

    size_t SubscriberCount() const;

  private:
    std::vector<Event> SinceLocked(uint64_t after_seq) const;

    const size_t capacity_;
    mutable std::mutex mu_;
    std::deque<Event> history_;
    uint64_t last_seq_ = 0;
    int next_id_ = 1;
    std::map<int, std::function<void(const Event&)>> subscribers_;
};

} // namespace kqd

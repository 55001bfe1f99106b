// The readers kqd owns: one owner thread per reader that runs inventory and
// the queued operations in turn (the only code that touches the library).
// Every other room talks to the hub: it asks for the readers and their
// fields, and submits operations whose answers come back through a callback.
#pragma once

#include "events/event_log.h"
#include "ops/operation.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kqd {

/// A tag in a reader's field.
struct FieldTag {
    std::string uid;      ///< 16 upper-case hexadecimal digits
    int64_t since_ms = 0; ///< when it arrived (wall clock, ms since 1970)
};

struct ReaderInfo {
    std::string serial;
    std::string state; ///< "online" or "offline"
    int64_t state_since_ms = 0;
    std::vector<FieldTag> field; ///< in order of arrival; empty while offline
    uint64_t inventories = 0;    ///< successful inventories since start
    uint64_t inventory_failures = 0;
    size_t queue_depth = 0; ///< operations waiting
};

struct HubSettings {
    std::vector<std::string>
        readers;                    ///< serial numbers or /dev/ paths; empty = every reader listed
    int debounce = 3;               ///< missed inventories before a tag leaves (>= 1)
    int inventory_interval_ms = 20; ///< pause between two inventories of one reader
    int rescan_interval_ms = 2000;  ///< how often the driver's list is read for new readers
    int reopen_interval_ms = 500;   ///< how often an offline reader is tried again
    size_t queue_limit = 16;        ///< operations waiting per reader
    int buzzer = 0;                 ///< 1 = the reader beeps after each inventory with tags (off)
};

/// Counters for /metrics.
struct HubStats {
    size_t readers_online = 0;
    size_t readers_total = 0;
    uint64_t inventories = 0;
    uint64_t inventory_failures = 0;
    size_t queue_depth = 0;                               ///< over all readers
    uint64_t operations_refused = 0;                      ///< queue full or offline
    std::map<std::string, uint64_t> operations_by_result; ///< name -> count
};

class ReaderOwner; // reader/reader_owner.h

class ReaderHub {
  public:
    ReaderHub(EventLog& log, HubSettings settings);
    ~ReaderHub(); ///< Stop()

    /// Starts the owners (and the rescan when no reader list was given).
    void Start();
    /// Ends every owner (queued operations get kResultStopping) and closes
    /// every reader. Idempotent.
    void Stop();

    std::vector<ReaderInfo> Readers() const;
    std::optional<ReaderInfo> Reader(const std::string& serial) const;
    std::optional<std::vector<FieldTag>> FieldOf(const std::string& serial) const;

    /// Queues an operation (a ParseOp result) on the reader. false: no such
    /// reader (done is not called). Otherwise done is called exactly once:
    /// on the reader's thread when the operation has run, or on the calling
    /// thread before Submit returns when the request is refused at once
    /// (kResultQueueFull, kResultOffline, kResultStopping). done must not
    /// block.
    bool Submit(const std::string& serial, OpRequest request, std::function<void(OpResult)> done);

    HubStats Stats() const;

    /// For the benchmark: called on a reader's thread after each successful
    /// inventory, before its events are appended (steady clock).
    void SetInventoryObserver(std::function<void(const std::string& serial)> observer);

  private:
    void Rescan();
    void RescanLoop();
    void AddOwner(const std::string& serial); // under mu_

    EventLog& log_;
    const HubSettings settings_;
    mutable std::mutex mu_;
    std::map<std::string, std::unique_ptr<ReaderOwner>> owners_;
    std::mutex observer_mu_;
    std::function<void(const std::string&)> observer_;
    std::thread rescan_;
    std::mutex rescan_mu_;
    std::condition_variable rescan_cv_;
    bool stopping_rescan_ = false;
    bool stopping_ = false;
    bool started_ = false;
};

} // namespace kqd

// One reader's owner: the only thread that touches its KQ_PROPERTY. It runs
// inventory after inventory and, between two of them, one queued operation;
// it turns inventories into field events, notices the reader going away and
// reopens it by serial number when it returns.
#pragma once

#include "events/event_log.h"
#include "field/field.h"
#include "ops/operation.h"
#include "reader/reader_hub.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

struct KQ_PROPERTY;

namespace kqd {

class ReaderOwner {
  public:
    ReaderOwner(std::string serial, const HubSettings& settings, EventLog& log,
                std::function<void(const std::string&)> observer);
    ~ReaderOwner(); ///< Stop()

    void Start();
    /// Ends the thread: queued operations get kResultStopping, the reader is
    /// closed. Idempotent.
    void Stop();
    /// Asks the thread to end without waiting for it.
    void RequestStop();

    /// See ReaderHub::Submit (the reader exists).
    void Submit(OpRequest request, std::function<void(OpResult)> done);

    ReaderInfo Info() const;
    const std::string& Serial() const { return serial_; }
    /// Operations refused at once (queue full, offline), and finished
    /// operations by result name.
    uint64_t Refused() const;
    std::map<std::string, uint64_t> ResultCounts() const;

  private:
    struct Pending {
        OpRequest request;
        std::function<void(OpResult)> done;
    };

    void Run();
    bool Open();
    void GoOffline();
    void Inventory();
    OpResult Execute(const OpRequest& r);
    void Emit(const char* kind, const std::string& uid);
    void ApplyStep(const FieldStep& step);
    // Waits until ms have passed, an operation is queued (when wake_on_work),
    // or Stop(). Returns false on Stop().
    bool Pause(int ms, bool wake_on_work);

    const std::string serial_;
    const HubSettings settings_;
    EventLog& log_;
    std::function<void(const std::string&)> observer_;
    std::unique_ptr<KQ_PROPERTY> prop_; // touched by the owner thread only

    mutable std::mutex mu_; // everything below
    std::condition_variable cv_;
    std::deque<Pending> queue_;
    bool online_ = false;
    bool stopping_ = false;
    int64_t state_since_ms_ = 0;
    FieldState field_;
    uint64_t inventories_ = 0;
    uint64_t inventory_failures_ = 0;
    uint64_t refused_ = 0;
    std::map<std::string, uint64_t> results_;
    std::thread thread_;
};

} // namespace kqd

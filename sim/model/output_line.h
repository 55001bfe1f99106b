// The reader's serial output and the FTDI chip behind it: reply bytes leave
// the reader one after the other at the wire speed, the chip packs them into
// USB packets, and each delivery unit becomes readable by the host at a
// point in time.
#pragma once

#include "sim_time.h"

#include <deque>
#include <optional>
#include <string>

namespace kqsim {

// Bytes of one USB packet the chip fills before it sends without waiting
// for its latency timer.
constexpr size_t kPacketPayload = 62;

struct LineShape {
    bool realistic = true;    // wire time per byte; otherwise bytes take no time
    unsigned piece_bytes = 0; // split every transmission into pieces (0 = whole)
    unsigned gap_ms = 0;      // pause between the starts of two pieces
    unsigned latency_ms = 0;  // chip latency timer (0 = off)
};

struct DeliveryUnit {
    Time at;
    std::string bytes;
};

class OutputLine {
  public:
    // Transmits bytes that are ready at `ready`; the line is serial, so they
    // start no earlier than the end of what is already on it.
    void Send(Time ready, const std::string& bytes, const LineShape& shape);
    // Appends every byte readable at `now` to out, in order.
    void TakeDue(Time now, std::string& out);
    // When the next bytes become readable, if any are pending.
    std::optional<Time> NextDue() const;
    bool Empty() const { return units_.empty(); }
    // Power loss: everything on the wire is lost.
    void Clear();

  private:
    void Push(Time at, std::string bytes);
    std::deque<DeliveryUnit> units_;
    Time line_free_{};
};

} // namespace kqsim

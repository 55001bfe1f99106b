// The reader's serial output through the FTDI chip: wire time, USB packets
// and the latency timer.
#include "output_line.h"

#include <algorithm>
#include <vector>

namespace kqsim {

void OutputLine::Push(Time at, std::string bytes) {
    if (bytes.empty()) {
        return;
    }
    // Bytes never overtake each other: a unit is readable no earlier than
    // the one before it.
    if (!units_.empty()) {
        at = std::max(at, units_.back().at);
        if (units_.back().at == at) {
            units_.back().bytes += bytes;
            return;
        }
    }
    units_.push_back({at, std::move(bytes)});
}

void OutputLine::Send(Time ready, const std::string& bytes, const LineShape& shape) {
    if (bytes.empty()) {
        return;
    }
    size_t piece = shape.piece_bytes > 0 ? shape.piece_bytes : bytes.size();
    Duration gap = Millis(shape.gap_ms);
    Duration latency = Millis(shape.latency_ms);
    size_t k = 0;
    for (size_t begin = 0; begin < bytes.size(); begin += piece, ++k) {
        size_t len = std::min(piece, bytes.size() - begin);
        Time start = std::max(ready + gap * static_cast<Duration::rep>(k), line_free_);
        auto arrival = [&](size_t j) { // arrival of byte j of this piece
            return shape.realistic ? start + WireTime(j + 1) : start;
        };
        line_free_ = shape.realistic ? start + WireTime(len) : start;
        if (latency.count() > 0) {
            // Full packets go out when their last byte is in; the rest waits
            // for the latency timer.
            for (size_t p = 0; p < len; p += kPacketPayload) {
                size_t plen = std::min(kPacketPayload, len - p);
                Time at = arrival(p + plen - 1);
                if (plen < kPacketPayload) {
                    at += latency;
                }
                Push(at, bytes.substr(begin + p, plen));
            }
        } else if (shape.piece_bytes > 0 || !shape.realistic) {
            Push(arrival(len - 1), bytes.substr(begin, len));
        } else {
            for (size_t j = 0; j < len; ++j) {
                Push(arrival(j), bytes.substr(begin + j, 1));
            }
        }
    }
}

void OutputLine::TakeDue(Time now, std::string& out) {
    while (!units_.empty() && units_.front().at <= now) {
        out += units_.front().bytes;
        units_.pop_front();
    }
}

std::optional<Time> OutputLine::NextDue() const {
    if (units_.empty()) {
        return std::nullopt;
    }
    return units_.front().at;
}

void OutputLine::Clear() {
    units_.clear();
    line_free_ = Time{};
}

} // namespace kqsim

// Time base of the simulated reader: the model works on points of the
// steady clock handed in by its front end, so that it can be driven by the
// real clock (D2XX library, kqsim program) or by made-up times (unit tests).
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

namespace kqsim {

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;
using Duration = Clock::duration;

// 38400 baud, 8N1: ten bit times per byte, 3840 bytes per second.
constexpr long long kBytesPerSecond = 3840;

// Wire time of n bytes, computed from the byte count so that long runs do
// not accumulate rounding errors.
inline Duration WireTime(size_t n) {
    return std::chrono::duration_cast<Duration>(
        std::chrono::nanoseconds(static_cast<long long>(n) * 1000000000LL / kBytesPerSecond));
}

inline Duration Millis(long long ms) {
    return std::chrono::duration_cast<Duration>(std::chrono::milliseconds(ms));
}

inline std::optional<Time> Earliest(std::optional<Time> a, std::optional<Time> b) {
    if (!a) {
        return b;
    }
    if (!b) {
        return a;
    }
    return *a < *b ? a : b;
}

} // namespace kqsim

// Comparing the simulated driver's call log with the calls a test expects.
#pragma once

#include "kqsim.h"
#include "support/sim_fixture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace kqtest {

inline uint64_t HandleValue(const void* handle) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
}

// One expected driver call: the function, the handle passed and the leading
// logged arguments that matter (see kqsim_call for what a0..a2 hold).
struct ExpectedCall {
    int fn;
    uint64_t handle;
    std::vector<uint32_t> args;
};

inline std::string Describe(const kqsim_call& c) {
    std::ostringstream out;
    out << kqsim_fn_name(c.fn) << "(h=" << c.handle << ", " << c.a0 << ", " << c.a1 << ", " << c.a2;
    if (c.text[0] != '\0') {
        out << ", \"" << c.text << "\"";
    }
    out << ") -> " << c.status;
    return out.str();
}

inline std::string Describe(const std::vector<kqsim_call>& calls) {
    std::string out;
    for (const auto& c : calls) {
        out += "\n  " + Describe(c);
    }
    return out.empty() ? "\n  (no calls)" : out;
}

// The calls logged so far are exactly `want`, in that order.
inline void ExpectCalls(const std::vector<kqsim_call>& got, const std::vector<ExpectedCall>& want) {
    ASSERT_EQ(got.size(), want.size()) << "calls made:" << Describe(got);
    size_t i = 0;
    for (const auto& w : want) {
        const kqsim_call& c = got[i];
        EXPECT_EQ(c.fn, w.fn) << "call " << i << ":" << Describe(got);
        EXPECT_EQ(c.handle, w.handle) << "handle of call " << i << ":" << Describe(got);
        const uint32_t logged[3] = {c.a0, c.a1, c.a2};
        for (size_t k = 0; k < w.args.size() && k < 3; ++k) {
            EXPECT_EQ(logged[k], w.args[k])
                << "argument " << k << " of call " << i << ":" << Describe(got);
        }
        ++i;
    }
}

// The calls of one full open of handle h: by serial number, reset, the
// reader's line (38400 baud, 8 data bits, 1 stop bit, no parity, no flow
// control), the timeouts given, both buffers purged.
inline std::vector<ExpectedCall> OpenCalls(uint64_t h, uint32_t read_ms, uint32_t write_ms) {
    return {{KQSIM_FT_OPENEX, 0, {1u}},
            {KQSIM_FT_RESETDEVICE, h, {}},
            {KQSIM_FT_SETBAUDRATE, h, {38400u}},
            {KQSIM_FT_SETDATACHARACTERISTICS, h, {8u, 0u, 0u}},
            {KQSIM_FT_SETFLOWCONTROL, h, {0u, 0u, 0u}},
            {KQSIM_FT_SETTIMEOUTS, h, {read_ms, write_ms}},
            {KQSIM_FT_PURGE, h, {3u}}};
}

inline std::vector<kqsim_call> CallsOf(int fn) {
    std::vector<kqsim_call> out;
    for (const auto& c : Calls()) {
        if (c.fn == fn) {
            out.push_back(c);
        }
    }
    return out;
}

// Exactly one FT_Close was logged, of handle h.
inline void ExpectOneCloseOf(uint64_t h) {
    auto closes = CallsOf(KQSIM_FT_CLOSE);
    ASSERT_EQ(closes.size(), 1u) << Describe(Calls());
    EXPECT_EQ(closes[0].handle, h);
}

} // namespace kqtest

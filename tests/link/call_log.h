// Comparing the simulated driver's call log with the calls a test expects.
#pragma once

#include "kqsim.h"
#include "support/sim_fixture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
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
inline void ExpectCalls(const std::vector<kqsim_call>& got,
                        std::initializer_list<ExpectedCall> want) {
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

inline std::vector<kqsim_call> CallsOf(int fn) {
    std::vector<kqsim_call> out;
    for (const auto& c : Calls()) {
        if (c.fn == fn) {
            out.push_back(c);
        }
    }
    return out;
}

} // namespace kqtest

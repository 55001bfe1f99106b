// Traffic tracing: KQ_TRACE names a file before the driver is bound, and
// every D2XX call of this process appears there as one well-formed line.
#include "kq.h"
#include "kqsim.h"
#include "support/sim_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace kqtest {
namespace {

// Set before main, so before anything binds the driver; one file per test
// process (CTest runs each case in its own process).
const std::string kTracePath = [] {
    std::string path = ::testing::TempDir() + "kq_trace_test_" + std::to_string(getpid()) + ".log";
    std::remove(path.c_str());
    setenv("KQ_TRACE", path.c_str(), 1);
    return path;
}();

// The trace file goes when the test process ends.
struct RemoveTraceFile {
    ~RemoveTraceFile() { std::remove(kTracePath.c_str()); }
} const remove_trace_file;

const std::string kUid = "E0040150A1B2C301";

std::vector<std::string> TraceLines() {
    std::ifstream in(kTracePath);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Lines of one call, in order.
std::vector<std::string> LinesOf(const std::vector<std::string>& lines, const std::string& call) {
    std::vector<std::string> out;
    for (const auto& l : lines) {
        if (l.find(" " + call + "(") != std::string::npos) {
            out.push_back(l);
        }
    }
    return out;
}

// Hex part of a Write/Read line back into bytes.
std::string HexBytes(const std::string& line) {
    std::string out;
    size_t quote_end = line.rfind('"');
    std::istringstream hex(line.substr(quote_end + 1, line.rfind(" [") - quote_end - 1));
    for (std::string byte; hex >> byte;) {
        out += static_cast<char>(std::stoi(byte, nullptr, 16));
    }
    return out;
}

const std::regex
    kLineShape(R"(^\d\d:\d\d:\d\d\.\d{6} tid \d+ FT_[A-Za-z]+\(.*\) = \d+ FT_[A-Z_]+)"
               R"((, .*)? \[\d+\.\d{3} ms\]( \(\d+ trace lines lost before this one\))?$)");

class Trace : public SimRecordTest {
  protected:
    void SetUp() override {
        SimRecordTest::SetUp();
        kqsim_tag_add(kUid.c_str(), 4, 16);
    }
};

TEST_F(Trace, OneInventoryShowsTheExactFramesBothWays) {
    Open();
    ASSERT_EQ(KQ_GetUID(&P()), KQ_OK);
    ASSERT_EQ(P().OUT_GU.Count, 1);
    const auto lines = TraceLines();
    for (const auto& l : lines) {
        EXPECT_TRUE(std::regex_match(l, kLineShape)) << l;
    }
    // The frames the simulated reader received are the ones the trace shows.
    std::vector<std::string> written;
    for (const auto& l : LinesOf(lines, "FT_Write")) {
        written.push_back(HexBytes(l));
    }
    const auto frames = Frames();
    ASSERT_GE(written.size(), frames.size());
    written.erase(written.begin(), written.end() - static_cast<long>(frames.size()));
    EXPECT_EQ(written, frames);
    const auto writes = LinesOf(lines, "FT_Write");
    EXPECT_NE(writes.back().find(R"(= 0 FT_OK, 5 written "\x02GU\r\n" 02 47 55 0d 0a [)"),
              std::string::npos)
        << writes.back();

    // What was read after the GU frame, joined, is the inventory reply.
    std::string reply;
    bool after_gu = false;
    for (const auto& l : lines) {
        if (l.find(" FT_Write(") != std::string::npos) {
            after_gu = HexBytes(l) == Frame("GU");
        } else if (after_gu && l.find(" FT_Read(") != std::string::npos) {
            reply += HexBytes(l);
        }
    }
    EXPECT_EQ(reply, Frame("RGU001" + kUid)) << Show(reply);
    // The open is traced with its arguments and the handle it gave.
    const auto opens = LinesOf(lines, "FT_OpenEx");
    ASSERT_FALSE(opens.empty());
    EXPECT_NE(opens.front().find(R"(FT_OpenEx("KQSIM0001", flags=0x1) = 0 FT_OK, h=0x)"),
              std::string::npos)
        << opens.front();
}

TEST_F(Trace, EveryLineNamesTheCallTheDriverReceived) {
    Open();
    const size_t before = TraceLines().size();
    // The connection probe, then GU: break on, break off, purge, write, the
    // queue polls and reads.
    ASSERT_EQ(KQ_GetUID(&P()), KQ_OK);
    std::vector<std::string> traced;
    const auto lines = TraceLines();
    for (size_t i = before; i < lines.size(); ++i) {
        const size_t name = lines[i].find(" FT_");
        ASSERT_NE(name, std::string::npos) << lines[i];
        traced.push_back(lines[i].substr(name + 1, lines[i].find('(', name) - name - 1));
    }
    std::vector<std::string> received;
    for (const auto& c : Calls()) {
        received.push_back(kqsim_fn_name(c.fn));
    }
    EXPECT_EQ(traced, received);
    auto on = std::find(received.begin(), received.end(), "FT_SetBreakOn");
    ASSERT_NE(on, received.end());
    ASSERT_NE(on + 1, received.end());
    EXPECT_EQ(*(on + 1), "FT_SetBreakOff");
}

TEST_F(Trace, FailingCallsShowTheirStatusName) {
    Open();
    kqsim_fail_call(KQSIM_FT_WRITE, 4, 0, 1);
    EXPECT_NE(KQ_BuzzerCommand(&P(), 1), KQ_OK);
    const auto writes = LinesOf(TraceLines(), "FT_Write");
    ASSERT_FALSE(writes.empty());
    EXPECT_NE(writes.back().find(") = 4 FT_IO_ERROR, 0 written \"\\x02BZ01\\r\\n\""),
              std::string::npos)
        << writes.back();
    // The names are those of kq.h, up to its last; a number it does not
    // list is shown as "?".
    kqsim_fail_call(KQSIM_FT_WRITE, 19, 0, 1);
    EXPECT_NE(KQ_BuzzerCommand(&P(), 1), KQ_OK);
    kqsim_fail_call(KQSIM_FT_WRITE, 99, 0, 1);
    EXPECT_NE(KQ_BuzzerCommand(&P(), 1), KQ_OK);
    const auto later = LinesOf(TraceLines(), "FT_Write");
    ASSERT_GE(later.size(), 2u);
    EXPECT_NE(later[later.size() - 2].find(") = 19 FT_DEVICE_LIST_NOT_READY, 0 written"),
              std::string::npos)
        << later[later.size() - 2];
    EXPECT_NE(later.back().find(") = 99 ?, 0 written"), std::string::npos) << later.back();
}

TEST_F(Trace, LinesOfConcurrentThreadsNeverInterleave) {
    Open();
    kqsim_set_logging(0);
    const size_t before = TraceLines().size();
    constexpr int kThreads = 4;
    constexpr int kCalls = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this] {
            for (int i = 0; i < kCalls; ++i) {
                KQ_CheckStatusUSB(&P());
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    const auto lines = TraceLines();
    ASSERT_EQ(lines.size() - before, size_t{kThreads * kCalls});
    for (size_t i = before; i < lines.size(); ++i) {
        ASSERT_TRUE(std::regex_match(lines[i], kLineShape)) << lines[i];
    }
}

} // namespace
} // namespace kqtest

// Helpers for the simulated reader's own tests.
#include "sim_test_util.h"

#include "model/printable.h"

#include <chrono>
#include <cstdio>

namespace simtest {

std::string Frame(const std::string& body) {
    return "\x02" + body + "\r\n";
}

std::string Show(const std::string& bytes) {
    return kqsim::Printable(bytes);
}

FT_HANDLE Open(uint32_t read_timeout_ms) {
    FT_HANDLE h = nullptr;
    EXPECT_EQ(FT_OpenEx(const_cast<char*>(kSerial), FT_OPEN_BY_SERIAL_NUMBER, &h), FT_OK);
    FT_SetBaudRate(h, 38400);
    FT_SetDataCharacteristics(h, 8, 0, 0);
    FT_SetFlowControl(h, 0, 0, 0);
    FT_SetTimeouts(h, read_timeout_ms, 500);
    return h;
}

FT_STATUS Write(FT_HANDLE h, const std::string& bytes) {
    DWORD written = 0;
    FT_STATUS st =
        FT_Write(h, const_cast<char*>(bytes.data()), static_cast<DWORD>(bytes.size()), &written);
    if (st == FT_OK) {
        EXPECT_EQ(written, bytes.size());
    }
    return st;
}

std::string Read(FT_HANDLE h, size_t n) {
    std::string buf(n, '\0');
    DWORD got = 0;
    EXPECT_EQ(FT_Read(h, buf.data(), static_cast<DWORD>(n), &got), FT_OK);
    buf.resize(got);
    return buf;
}

uint32_t Queued(FT_HANDLE h) {
    DWORD rx = 0;
    EXPECT_EQ(FT_GetQueueStatus(h, &rx), FT_OK);
    return rx;
}

std::string ReadReply(FT_HANDLE h) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (got.find("\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        got += Read(h, 1);
    }
    return got;
}

std::string Exchange(FT_HANDLE h, const std::string& body) {
    EXPECT_EQ(Write(h, Frame(body)), FT_OK);
    return ReadReply(h);
}

void SimDriverTest::SetUp() {
    kqsim_reset();
    kqsim_set_timing(0);
}

void SimDriverTest::TearDown() {
    if (h_ != nullptr) {
        EXPECT_EQ(FT_Close(h_), FT_OK);
        h_ = nullptr;
    }
    EXPECT_EQ(kqsim_open_handles(), 0);
}

} // namespace simtest

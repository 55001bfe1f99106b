// Helpers for the simulated reader's own tests: they talk to it through the
// D2XX functions it exports, the way the library does.
#pragma once

#include "d2xx/kqsim_ft.h"
#include "kqsim.h"

#include <gtest/gtest.h>

#include <string>

namespace simtest {

constexpr const char* kSerial = "KQSIM0001";
constexpr const char* kUidA = "E004010000000001";
constexpr const char* kUidB = "E004010000000002";
constexpr const char* kUidC = "E004010000000003";

std::string Frame(const std::string& body); // STX body CR LF
std::string Show(const std::string& bytes); // printable form for messages

// Opens the default device with the reader's line settings and the given
// read timeout; fails the test when it cannot.
FT_HANDLE Open(uint32_t read_timeout_ms = 500);
FT_STATUS Write(FT_HANDLE h, const std::string& bytes);
// Reads up to n bytes (FT_Read with the handle's timeout).
std::string Read(FT_HANDLE h, size_t n);
// Bytes readable now, by FT_GetQueueStatus.
uint32_t Queued(FT_HANDLE h);
// Reads until CR LF has arrived (or 2 s pass): one reply frame with
// whatever came before it.
std::string ReadReply(FT_HANDLE h);
// Writes one command frame and returns the reply.
std::string Exchange(FT_HANDLE h, const std::string& body);

// Every test starts from a reset simulator with timing switched off, and
// must leave no handle open.
class SimDriverTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    FT_HANDLE h_ = nullptr;
};

} // namespace simtest

// Test fixture: one KQ_PROPERTY wired to the simulated reader, with its
// notifications collected through the platform's channel.
#pragma once

#include "kq.h"
#include "kqsim.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kqtest {

// STX + body + CR LF.
std::string Frame(const std::string& body);
// Printable rendering of frame bytes for failure messages.
std::string Show(const std::string& bytes);

std::vector<std::string> Frames(); // every frame written since the last log clear
// Frames written since the last log clear whose command code is code.
std::vector<std::string> FramesOf(const std::string& code);
std::vector<kqsim_call> Calls();             // every D2XX call since the last log clear
std::vector<kqsim_call> CallsExcept(int fn); // the same without the calls of fn
int CountCalls(int fn);

// Receives the library's notifications for one record: on POSIX the read end
// of a pipe whose write end is the record's hWnd; on Windows a message-only
// window.
class Notifier {
  public:
    Notifier();
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;
    KQ_HWND Target() const;
    // Every notification that has arrived by now, after waiting up to
    // wait_ms for the first one.
    std::vector<KQ_NOTIFICATION> Drain(int wait_ms = 0);
    // Waits up to timeout_ms for a notification with this message number;
    // the notifications received meanwhile are kept in Seen().
    bool WaitFor(uint32_t message, int timeout_ms, KQ_NOTIFICATION* out = nullptr);
    const std::vector<KQ_NOTIFICATION>& Seen() const { return seen_; }
    int Count(uint32_t message) const;

  private:
    void Pump(int wait_ms);
    std::vector<KQ_NOTIFICATION> seen_;
    size_t drained_ = 0;
    intptr_t read_end_ = -1;
    intptr_t write_end_ = -1;
    void* window_ = nullptr;
};

// Simulator reset to instant timing, a zeroed record with SerialNo set to the
// simulated reader's serial number, hWnd wired to a Notifier. TearDown stops
// any loop, closes the device and checks that no handle is left open.
class SimRecordTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    KQ_PROPERTY& P() { return *prop_; }
    // KQ_OpenUSB, expected to succeed, then the logs are cleared.
    void Open();
    Notifier& N() { return *notifier_; }

    std::unique_ptr<KQ_PROPERTY> prop_;
    std::unique_ptr<Notifier> notifier_;
    std::string serial_ = "KQSIM0001";
};

} // namespace kqtest

// Shared state of the simulated reader library: the attached devices, the
// open handles, the injected faults and the logs. One process-wide instance
// guarded by one mutex; FT_Read waits on its condition variable until its
// bytes are due.
#pragma once

#include "d2xx/kqsim_ft.h"
#include "kqsim.h"
#include "model/reader.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kqsim::d2xx {

constexpr size_t kRxCapacity = 64 * 1024; // the driver's receive buffer
constexpr uint64_t kFirstHandle = 0x51D0;
constexpr uint64_t kHandleStep = 0x10;
constexpr const char* kDefaultSerial = "KQSIM0001";

// "FT_Purge" for KQSIM_FT_PURGE; "?" for a number that names no function.
const char* FnName(int fn);

struct Settings {
    bool realistic = true;
    std::map<std::string, unsigned> processing_ms;
    unsigned latency_ms = 0;
};

struct Device {
    std::string serial;
    bool attached = true; // false once removed for good
    bool plugged = true;
    uint64_t open_handle = 0;
    Reader reader;
    std::string rx; // bytes readable now
    // kqsim_split_next_frame: bytes of the armed frame still to pass before
    // the split (0 = not armed), whether its STX has been seen, and the
    // bytes held back with the queue polls still to wait for them.
    size_t split_head = 0;
    unsigned split_polls = 0;
    bool split_started = false;
    bool holding = false;
    std::string held;
    unsigned held_polls = 0;
};

struct HandleRec {
    Device* device = nullptr;
    bool stale = false; // its device was unplugged or removed
    uint32_t read_timeout_ms = 0;
    uint32_t write_timeout_ms = 0;
};

struct Fault {
    uint32_t status = 0;
    unsigned skip = 0;
    int times = 0;
};

struct Sim {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::unique_ptr<Device>> devices;
    size_t selected = 0;
    std::map<uint64_t, HandleRec> handles;
    uint64_t next_handle = kFirstHandle; // never reused, not even after a reset
    Settings settings;
    Fault faults[KQSIM_FN_COUNT];
    bool logging = true;
    std::vector<kqsim_call> calls;
    std::vector<std::string> frames;
};

// The instance; never destroyed (a loop worker may still call in while the
// process exits).
Sim& TheSim();
// Sets device 0 up from the scenario file KQSIM_SCENARIO names, if any
// (env_scenario.cpp). Called once, when the instance is made.
void ApplyEnvScenario(Sim& s);
// Back to one attached, closed device and every default. Caller holds mu.
void ResetLocked(Sim& s);
size_t AddDevice(Sim& s, const std::string& serial);
void ApplySettings(const Settings& settings, Reader& r);
Device* Selected(Sim& s);
// Moves what the reader has delivered by now into the driver's buffer; with
// no handle open nobody receives it.
void Pump(Device& d, Time now);
// Bytes reaching the driver's receive buffer, behind what is there (the
// armed split of kqsim_split_next_frame holds part of them back).
void Deliver(Device& d, const std::string& bytes);
// One poll of the receive queue: releases held-back bytes when their polls
// are over.
void CountQueuePoll(Device& d);
// Makes a device's handles stale and cuts its power.
void Disconnect(Sim& s, Device& d);
// Attached, plugged devices in listing order.
std::vector<Device*> Listed(Sim& s);

} // namespace kqsim::d2xx

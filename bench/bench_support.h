// What the benchmarks share: the kqsim program serving one simulated reader
// on a pseudo-terminal (reached through the library's serial provider), and
// a fresh record, the field of tags they read.
#pragma once

#include "kq.h"

#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

namespace kqbench {

// The field: two tags and a sensor tag (threshold 90, configuration
// 00A1B2C3), each of 64 blocks of 4 bytes.
inline constexpr char kTag1[] = "E004010000000001";
inline constexpr char kTag2[] = "E004010000000002";
inline constexpr char kSensor[] = "E004015000000001";
inline constexpr unsigned kSensorThreshold = 90;
inline constexpr char kSensorConfig[] = "00A1B2C3";

// Puts the field into the simulated reader of this process.
void AddField();

// A cleared selective read of blocks 0 to 15 of kTag1.
void InitReadSixteenOfTag1(KQ_IN_SR* sr);

struct KqsimProcess {
    pid_t pid = -1;
    std::string tty; // empty when it did not start
};

// Starts kqsim with these arguments (after the program name) and waits for
// the tty path it prints.
KqsimProcess StartKqsim(const std::vector<std::string>& args);
void StopKqsim(const KqsimProcess& sim);

// A cleared record for the reader with this serial number (kept alive by
// the caller): 500 ms timeouts, no worker, no notifications.
std::unique_ptr<KQ_PROPERTY> NewRecord(const std::string& serial);

} // namespace kqbench

// What the benchmarks share: the kqsim program serving one simulated reader
// on a pseudo-terminal (reached through the library's serial provider), and
// a fresh record.
#pragma once

#include "kq.h"

#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

namespace kqbench {

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

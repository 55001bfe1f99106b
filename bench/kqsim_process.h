// The kqsim program serving one simulated reader on a pseudo-terminal, for
// the benchmarks that reach it through the library's serial provider.
#pragma once

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

} // namespace kqbench

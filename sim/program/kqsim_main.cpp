// kqsim: one simulated KQ reader served on a pseudo-terminal, for clients
// that reach readers through a serial port (the library's serial provider).
#include "pty_server.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    kqsim::Scenario sc;
    std::string error;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!kqsim::ParseOptions(args, sc, error)) {
        std::fprintf(stderr, "kqsim: %s\n%s", error.c_str(), kqsim::kUsage);
        return 2;
    }
    if (sc.help) {
        std::fputs(kqsim::kUsage, stdout);
        return 0;
    }
    kqsim::Reader reader;
    if (!kqsim::ApplyScenario(sc, reader, kqsim::Clock::now(), error)) {
        std::fprintf(stderr, "kqsim: %s\n", error.c_str());
        return 2;
    }
    return kqsim::ServePty(reader, sc);
}

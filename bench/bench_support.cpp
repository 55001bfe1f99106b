// What the benchmarks share.
#include "bench_support.h"

#include "kqsim.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kqbench {

void AddField() {
    kqsim_tag_add(kTag1, 4, 64);
    kqsim_tag_add(kTag2, 4, 64);
    kqsim_tag_add(kSensor, 4, 64);
    kqsim_tag_set_sensor(kSensor, kSensorThreshold, kSensorConfig);
}

void InitReadSixteenOfTag1(KQ_IN_SR* sr) {
    KQ_Init_IN_SR(sr);
    sr->StartBlock = 0;
    sr->BlockCount = 16;
    std::strcpy(sr->UID, kTag1);
}

KqsimProcess StartKqsim(const std::vector<std::string>& args) {
    KqsimProcess sim;
    int out[2];
    if (pipe(out) != 0) {
        return sim;
    }
    std::vector<char*> argv;
    std::string name = "kqsim";
    argv.push_back(name.data());
    std::vector<std::string> copies = args;
    for (std::string& a : copies) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::fflush(nullptr);
    sim.pid = fork();
    if (sim.pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        signal(SIGPIPE, SIG_IGN);
        execv(KQSIM_PROGRAM_PATH, argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string line;
    while (line.find('\n') == std::string::npos) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) {
            break;
        }
        char buf[256];
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        line.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    if (line.find('\n') != std::string::npos) {
        sim.tty = line.substr(0, line.find('\n'));
    }
    return sim;
}

void StopKqsim(const KqsimProcess& sim) {
    if (sim.pid > 0) {
        kill(sim.pid, SIGTERM);
        waitpid(sim.pid, nullptr, 0);
    }
}

std::unique_ptr<KQ_PROPERTY> NewRecord(const std::string& serial) {
    auto prop = std::make_unique<KQ_PROPERTY>();
    std::memset(prop.get(), 0, sizeof(KQ_PROPERTY));
    prop->ReadTimeout = 500;
    prop->WriteTimeout = 500;
    prop->StopFlag = 1;
    prop->SerialNo = serial.c_str();
    KQ_Init_PROPERTY(prop.get());
    return prop;
}

} // namespace kqbench

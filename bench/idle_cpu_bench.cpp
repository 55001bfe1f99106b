// What an idle loop worker costs in CPU, beside a bare 1 ms sleeper.
//
//   kq_idle_cpu_bench [--in-process] [--seconds N]
//
// A UID loop worker with no tag in the field does nothing but poll for a
// report: one receive poll and a 1 ms sleep, over and over. Its CPU time is
// set against a thread of this program that only sleeps 1 ms at a time,
// measured over the same seconds, so that what the poll itself costs shows
// as the difference.
//
// Default: kqsim on a pseudo-terminal, reached through the library's serial
// provider (KQ_D2XX=serial), as a reader behind the kernel's FTDI driver.
// --in-process: the simulated D2XX library in this process instead.
#include "kq.h"
#include "kqsim.h"
#include "bench_support.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

#include <pthread.h>

namespace {

double CpuSeconds(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void SleepMs(long ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

} // namespace

int main(int argc, char** argv) {
    bool in_process = false;
    long seconds = 10;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--in-process") {
            in_process = true;
        } else if (a == "--seconds" && i + 1 < argc) {
            seconds = std::max(1L, std::atol(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: kq_idle_cpu_bench [--in-process] [--seconds N]\n");
            return 2;
        }
    }
    // Chosen before the library's first call: the driver is bound once.
    setenv("KQ_D2XX", in_process ? KQSIM_LIBRARY_PATH : "serial", 1);

    kqbench::KqsimProcess sim;
    std::string serial = "KQSIM0001";
    if (in_process) {
        kqsim_reset();
        kqsim_set_timing(1);
        kqsim_set_logging(0);
    } else {
        sim = kqbench::StartKqsim({"--quiet"});
        if (sim.tty.empty()) {
            std::fprintf(stderr, "kqsim did not start\n");
            kqbench::StopKqsim(sim);
            return 1;
        }
        serial = sim.tty;
    }

    auto prop = kqbench::NewRecord(serial);
    if (KQ_OpenUSB(prop.get()) != KQ_OK) {
        std::fprintf(stderr, "cannot open the simulated reader %s\n", serial.c_str());
        kqbench::StopKqsim(sim);
        return 1;
    }
    prop->LoopMode = 1;
    if (KQ_GetUID(prop.get()) != KQ_OK) {
        std::fprintf(stderr, "the UID loop did not start\n");
        KQ_CloseUSB(prop.get());
        kqbench::StopKqsim(sim);
        return 1;
    }

    std::atomic<bool> stop{false};
    std::atomic<bool> sleeper_ready{false};
    clockid_t sleeper_clock{};
    std::thread sleeper([&] {
        pthread_getcpuclockid(pthread_self(), &sleeper_clock);
        sleeper_ready = true;
        while (!stop) {
            SleepMs(1);
        }
    });
    while (!sleeper_ready) {
        SleepMs(1);
    }
    SleepMs(500); // let both settle

    timespec wall_start;
    clock_gettime(CLOCK_MONOTONIC, &wall_start);
    double process_start = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    double main_start = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    double sleeper_start = CpuSeconds(sleeper_clock);
    SleepMs(seconds * 1000);
    double sleeper_cpu = CpuSeconds(sleeper_clock) - sleeper_start;
    double main_cpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - main_start;
    double process_cpu = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process_start;
    timespec wall_end;
    clock_gettime(CLOCK_MONOTONIC, &wall_end);
    double wall = static_cast<double>(wall_end.tv_sec - wall_start.tv_sec) +
                  static_cast<double>(wall_end.tv_nsec - wall_start.tv_nsec) / 1e9;

    stop = true;
    sleeper.join();
    KQ_LoopStop(prop.get());
    KQ_CloseUSB(prop.get());
    kqbench::StopKqsim(sim);

    // The worker is every thread but this one and the sleeper.
    double worker_cpu = process_cpu - main_cpu - sleeper_cpu;
    std::printf("Reader: %s, %.1f s side by side (percent of one core)\n\n",
                in_process ? "simulated D2XX library in process"
                           : "kqsim on a pseudo-terminal via the serial provider",
                wall);
    std::printf("| thread | CPU |\n|---|---|\n");
    std::printf("| bare 1 ms sleeper | %.2f %% |\n", 100.0 * sleeper_cpu / wall);
    std::printf("| idle UID loop worker | %.2f %% |\n", 100.0 * worker_cpu / wall);
    std::printf("\nworker minus sleeper: %.2f points\n", 100.0 * (worker_cpu - sleeper_cpu) / wall);
    return 0;
}

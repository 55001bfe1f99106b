// What an idle loop worker costs in CPU, beside two bare 1 ms sleepers.
//
//   kq_idle_cpu_bench [--in-process] [--seconds N]
//
// A UID loop worker with no tag in the field does nothing but poll for a
// report: one receive poll and a wait to the next millisecond of its beat,
// over and over. Its CPU time is set against two threads of this program
// that only sleep, measured over the same seconds: one sleeps 1 ms at a time
// (each sleep a little late, so about 930 wake-ups a second), the other to
// absolute 1 ms deadlines as the worker does (1000 a second). For each thread
// the table gives its CPU, its wake-ups a second and the CPU of one wake-up,
// so that what the poll itself costs shows beside the beat sleeper, and what
// the number of wake-ups costs beside the other.
//
// Default: kqsim on a pseudo-terminal, reached through the library's serial
// provider (KQ_D2XX=serial), as a reader behind the kernel's FTDI driver.
// --in-process: the simulated D2XX library in this process instead.
#include "kq.h"
#include "kqsim.h"
#include "bench_support.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

void SleepMs(long ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

// Sleeps to the next absolute 1 ms deadline after *next and moves it on.
void SleepToNextMs(timespec* next) {
    next->tv_nsec += 1000000;
    if (next->tv_nsec >= 1000000000) {
        next->tv_nsec -= 1000000000;
        ++next->tv_sec;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, next, nullptr) != 0) {
    }
}

long ThreadId() {
    return static_cast<long>(syscall(SYS_gettid));
}

// CPU time (s) and the number of times the thread was run, from the
// scheduler's statistics of one thread of this process.
struct Sched {
    double cpu = 0;
    uint64_t runs = 0;
};

Sched SchedOf(long tid) {
    Sched s;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%ld/schedstat", tid);
    if (FILE* f = std::fopen(path, "r")) {
        uint64_t ns = 0;
        uint64_t waited = 0;
        if (std::fscanf(f, "%" SCNu64 " %" SCNu64 " %" SCNu64, &ns, &waited, &s.runs) == 3) {
            s.cpu = static_cast<double>(ns) / 1e9;
        }
        std::fclose(f);
    }
    return s;
}

// The threads of this process other than the calling one.
std::vector<long> OtherThreads() {
    std::vector<long> ids;
    long self = ThreadId();
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) {
            long id = std::atol(e->d_name);
            if (id > 0 && id != self) {
                ids.push_back(id);
            }
        }
        closedir(d);
    }
    return ids;
}

// A sleeper thread: sleeps until stop, relative 1 ms sleeps or on a beat.
class Sleeper {
  public:
    explicit Sleeper(bool beat)
        : thread_([this, beat] {
              tid_ = ThreadId();
              timespec next;
              clock_gettime(CLOCK_MONOTONIC, &next);
              while (!stop_) {
                  if (beat) {
                      SleepToNextMs(&next);
                  } else {
                      SleepMs(1);
                  }
              }
          }) {
        while (tid_ == 0) {
            SleepMs(1);
        }
    }
    ~Sleeper() {
        stop_ = true;
        thread_.join();
    }
    long Tid() const { return tid_; }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<long> tid_{0};
    std::thread thread_;
};

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

    // The worker is the thread the library started for the loop.
    std::vector<long> workers = OtherThreads();
    if (workers.size() != 1) {
        std::fprintf(stderr, "expected one worker thread, found %zu\n", workers.size());
        KQ_LoopStop(prop.get());
        KQ_CloseUSB(prop.get());
        kqbench::StopKqsim(sim);
        return 1;
    }
    struct Row {
        const char* name;
        long tid;
        Sched start;
        Sched end;
    };
    double wall = 0;
    std::vector<Row> rows;
    {
        Sleeper relative(false);
        Sleeper beat(true);
        rows = {{"bare 1 ms sleeper (relative sleeps)", relative.Tid(), {}, {}},
                {"bare 1 ms beat (absolute deadlines)", beat.Tid(), {}, {}},
                {"idle UID loop worker", workers[0], {}, {}}};
        SleepMs(500); // let them settle
        timespec wall_start;
        clock_gettime(CLOCK_MONOTONIC, &wall_start);
        for (Row& r : rows) {
            r.start = SchedOf(r.tid);
        }
        SleepMs(seconds * 1000);
        for (Row& r : rows) {
            r.end = SchedOf(r.tid);
        }
        timespec wall_end;
        clock_gettime(CLOCK_MONOTONIC, &wall_end);
        wall = static_cast<double>(wall_end.tv_sec - wall_start.tv_sec) +
               static_cast<double>(wall_end.tv_nsec - wall_start.tv_nsec) / 1e9;
    }
    KQ_LoopStop(prop.get());
    KQ_CloseUSB(prop.get());
    kqbench::StopKqsim(sim);

    std::printf("Reader: %s, %.1f s side by side\n\n",
                in_process ? "simulated D2XX library in process"
                           : "kqsim on a pseudo-terminal via the serial provider",
                wall);
    std::printf("| thread | CPU (%% of a core) | wake-ups a second | CPU a wake-up |\n"
                "|---|---|---|---|\n");
    auto cpu = [&](const Row& r) { return (r.end.cpu - r.start.cpu) / wall; };
    auto per_wake = [](const Row& r) {
        uint64_t runs = r.end.runs - r.start.runs;
        return runs > 0 ? (r.end.cpu - r.start.cpu) / static_cast<double>(runs) : 0.0;
    };
    for (const Row& r : rows) {
        std::printf("| %s | %.2f %% | %.0f | %.1f us |\n", r.name, 100.0 * cpu(r),
                    static_cast<double>(r.end.runs - r.start.runs) / wall, 1e6 * per_wake(r));
    }
    const Row& relative = rows[0];
    const Row& beat = rows[1];
    const Row& worker = rows[2];
    std::printf("\nworker minus beat: %.2f points, %.1f us a wake-up (what a poll costs)\n",
                100.0 * (cpu(worker) - cpu(beat)), 1e6 * (per_wake(worker) - per_wake(beat)));
    std::printf("worker minus relative sleeper: %.2f points\n",
                100.0 * (cpu(worker) - cpu(relative)));
    return 0;
}

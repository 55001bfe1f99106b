// Cost of the FTDI latency timer per reader operation, measured against the
// simulated reader with realistic wire and processing times.
//
//   kq_latency_bench [--pty] [--rounds N] [--latency MS[,MS...]]
//
// Default: the simulated D2XX library in this process (KQ_D2XX points at
// it). --pty: the kqsim program on a pseudo-terminal, reached through the
// library's serial provider (KQ_D2XX=serial), the way a real reader behind
// the kernel's FTDI driver is reached.
//
// The chip holds a reply shorter than its 62-byte USB packet until its
// latency timer expires, so every short reply costs up to that long. The
// simulator models it (kqsim_set_latency_timer, kqsim --latency); this
// program times each operation with the timer at 0 (off), 1 ms (what the
// serial provider asks the kernel driver for) and 16 ms (the default).
#include "kq.h"
#include "kqsim.h"
#include "bench_support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    bool pty = false;
    int rounds = 10;
    std::vector<unsigned> latencies{0, 1, 16};
};

using kqbench::KqsimProcess;
using kqbench::kSensor;
using kqbench::kSensorConfig;
using kqbench::kSensorThreshold;
using kqbench::kTag1;
using kqbench::kTag2;
using kqbench::StopKqsim;

KqsimProcess StartKqsim(unsigned latency_ms) {
    std::string sensor =
        std::string(kSensor) + ":" + std::to_string(kSensorThreshold) + ":" + kSensorConfig;
    return kqbench::StartKqsim({"--quiet", "--latency", std::to_string(latency_ms), "--tag", kTag1,
                                "--tag", kTag2, "--tag", kSensor, "--sensor", sensor});
}

struct Result {
    std::string name;
    double median_ms;
    double mean_ms;
    int failures;
    int last_failure; // result code of the last failed round
};

Result Measure(const std::string& name, int rounds, const std::function<int()>& op) {
    std::vector<double> ms;
    int failures = 0;
    int last_failure = KQ_OK;
    op(); // warm-up
    for (int i = 0; i < rounds; ++i) {
        auto start = Clock::now();
        int r = op();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (r != KQ_OK) {
            ++failures;
            last_failure = r;
        }
    }
    std::sort(ms.begin(), ms.end());
    double sum = 0;
    for (double v : ms) {
        sum += v;
    }
    return {name, ms[ms.size() / 2], sum / static_cast<double>(ms.size()), failures, last_failure};
}

std::vector<Result> RunOperations(KQ_PROPERTY* prop, int rounds) {
    std::vector<Result> results;
    results.push_back(Measure("KQ_GetUID (3 tags)", rounds, [prop] { return KQ_GetUID(prop); }));
    results.push_back(Measure("KQ_TagCommand", rounds, [prop] {
        std::strcpy(prop->IN_TA, "0123ABC");
        return KQ_TagCommand(prop);
    }));
    KQ_IN_SR sr;
    kqbench::InitReadSixteenOfTag1(&sr);
    auto out = std::make_unique<KQ_TAGINFO>();
    results.push_back(Measure("KQ_SelectRead (16 blocks of 4 characters)", rounds, [&] {
        KQ_Init_TAGINFO(out.get());
        return KQ_SelectRead(prop, &sr, out.get());
    }));
    KQ_IN_SNSR in;
    KQ_Init_IN_SNSR(&in);
    std::strcpy(in.UID, kSensor);
    in.Channel = 0;
    KQ_OUT_SNSR value;
    results.push_back(
        Measure("KQ_SensorCommand", rounds, [&] { return KQ_SensorCommand(prop, &in, &value); }));
    return results;
}

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--pty") {
            o->pty = true;
        } else if (a == "--rounds" && i + 1 < argc) {
            o->rounds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--latency" && i + 1 < argc) {
            o->latencies.clear();
            std::string list = argv[++i];
            size_t begin = 0;
            while (begin <= list.size()) {
                size_t comma = list.find(',', begin);
                if (comma == std::string::npos) {
                    comma = list.size();
                }
                o->latencies.push_back(
                    static_cast<unsigned>(std::atoi(list.substr(begin, comma - begin).c_str())));
                begin = comma + 1;
            }
        } else {
            std::fprintf(stderr,
                         "usage: kq_latency_bench [--pty] [--rounds N] [--latency MS[,MS...]]\n");
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        return 2;
    }
    // Chosen before the library's first call: the driver is bound once.
    setenv("KQ_D2XX", options.pty ? "serial" : KQSIM_LIBRARY_PATH, 1);

    std::printf("Reader: %s, realistic timing, %d rounds per operation (median / mean ms)\n\n",
                options.pty ? "kqsim on a pseudo-terminal via the serial provider"
                            : "simulated D2XX library in process",
                options.rounds);
    std::vector<std::vector<Result>> table;
    for (unsigned latency : options.latencies) {
        KqsimProcess sim;
        std::string serial = "KQSIM0001";
        if (options.pty) {
            sim = StartKqsim(latency);
            if (sim.tty.empty()) {
                std::fprintf(stderr, "kqsim did not start\n");
                StopKqsim(sim);
                return 1;
            }
            serial = sim.tty;
        } else {
            kqsim_reset();
            kqsim_set_timing(1);
            kqsim_set_logging(0);
            kqsim_set_latency_timer(latency);
            kqbench::AddField();
        }
        auto prop = kqbench::NewRecord(serial);
        if (KQ_OpenUSB(prop.get()) != KQ_OK) {
            std::fprintf(stderr, "cannot open the simulated reader %s\n", serial.c_str());
            StopKqsim(sim);
            return 1;
        }
        table.push_back(RunOperations(prop.get(), options.rounds));
        KQ_CloseUSB(prop.get());
        StopKqsim(sim);
    }

    std::printf("| operation |");
    for (unsigned latency : options.latencies) {
        std::printf(" latency %u ms |", latency);
    }
    std::printf("\n|---|");
    for (size_t i = 0; i < options.latencies.size(); ++i) {
        std::printf("---|");
    }
    std::printf("\n");
    int failures = 0;
    for (size_t op = 0; op < table.front().size(); ++op) {
        std::printf("| %s |", table.front()[op].name.c_str());
        for (const auto& column : table) {
            std::printf(" %.1f / %.1f |", column[op].median_ms, column[op].mean_ms);
            failures += column[op].failures;
        }
        std::printf("\n");
    }
    for (size_t col = 0; col < table.size(); ++col) {
        for (const Result& r : table[col]) {
            if (r.failures > 0) {
                std::printf("\n%s at latency %u ms failed %d times (last result %d)",
                            r.name.c_str(), options.latencies[col], r.failures, r.last_failure);
            }
        }
    }
    if (failures > 0) {
        std::printf("\n%d operations failed: the numbers above are not valid.\n", failures);
        return 1;
    }
    return 0;
}

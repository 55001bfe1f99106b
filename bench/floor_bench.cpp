// Every reader operation against its floor, in process and over a pty.
//
//   kq_floor_bench [--rounds N] [--in-process]
//
// The floor of an operation is what its exchanges must take: the wire time
// of every byte at 38400 baud (10 bits a byte), the reader's processing
// time, and the waits the library makes by rule: the beep before the BZ
// reply, the 300 ms pause before the SR and SW replies, the 10 ms polls of
// the LT and LP replies (a poll, 10 ms, the poll that sees the 7 bytes, 10
// ms: 20 ms for a reply that is in within 10 ms), and the 202 polls of a
// reply that never comes. Two floors are printed:
//
//   wire  every reply is taken the moment its last byte is in;
//   beat  every reply is taken at the first poll of its 1 ms beat at or after
//         that moment: the beat starts with the first poll (right after the
//         frame is written, after the beep, after the 300 ms pause). No
//         implementation of these polls can be faster; what an operation
//         takes above it is the operating system's lateness.
//
// The exchanges of each operation are read from the simulated reader's call
// log (one logged round, in process); the same operations then run against
// the simulator in process (KQ_D2XX = the simulated D2XX library) and
// against kqsim on a pseudo-terminal (KQ_D2XX=serial, the built-in serial
// provider), both with realistic timing and the latency timer off.
//
// Two simulated readers are used, one after the other: one with two tags
// and a sensor tag in its field, and one with an empty field that never
// answers RC, for the empty multi read and a reply poll that gives up.
#include "kq.h"
#include "kqsim.h"
#include "bench_support.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using kqbench::kSensor;
using kqbench::kSensorConfig;
using kqbench::kSensorThreshold;
using kqbench::kTag1;
using kqbench::kTag2;

// What the simulated readers are told, in both front ends.
constexpr unsigned kSelectProcessingMs = 250; // SR and SW
constexpr unsigned kOtherProcessingMs = 1;

constexpr double kBytesPerMs = 3.84; // 38400 baud, 10 bits a byte
constexpr double kSelectPauseMs = 300;
constexpr double kGiveUpMs = 202;

using Clock = std::chrono::steady_clock;

enum class Scene { Tags, Quiet };

struct Operation {
    std::string name;
    Scene scene;
    int expected; // result code of a normal round
    std::function<int(KQ_PROPERTY*)> run;
};

struct Floor {
    double wire = 0;
    double beat = 0;
    unsigned exchanges = 0;
};

struct Timing {
    double median = 0;
    double mean = 0;
    int failures = 0;
    int last_result = KQ_OK;
};

std::string Data64() {
    std::string text;
    for (int i = 0; i < 64; ++i) {
        text += "0123456789ABCDEF"[i % 16];
    }
    return text;
}

// Blocks 0 to 15 of every tag in the field.
int MultiReadSixteen(KQ_PROPERTY* p) {
    p->IN_MR.StartBlock = 0;
    p->IN_MR.BlockCount = 16;
    return KQ_MultiRead(p);
}

// Channel 0 of the sensor tag.
int ReadSensor(KQ_PROPERTY* p) {
    KQ_IN_SNSR in;
    KQ_Init_IN_SNSR(&in);
    std::strcpy(in.UID, kSensor);
    in.Channel = 0;
    KQ_OUT_SNSR value;
    return KQ_SensorCommand(p, &in, &value);
}

std::vector<Operation> Operations() {
    std::vector<Operation> ops;
    ops.push_back(
        {"KQ_GetUID (3 tags)", Scene::Tags, KQ_OK, [](KQ_PROPERTY* p) { return KQ_GetUID(p); }});
    ops.push_back({"KQ_TagCommand", Scene::Tags, KQ_OK, [](KQ_PROPERTY* p) {
                       std::strcpy(p->IN_TA, "0123ABC");
                       return KQ_TagCommand(p);
                   }});
    ops.push_back({"KQ_SelectRead (16 blocks of 4)", Scene::Tags, KQ_OK, [](KQ_PROPERTY* p) {
                       KQ_IN_SR sr;
                       kqbench::InitReadSixteenOfTag1(&sr);
                       auto out = std::make_unique<KQ_TAGINFO>();
                       KQ_Init_TAGINFO(out.get());
                       return KQ_SelectRead(p, &sr, out.get());
                   }});
    ops.push_back({"KQ_SelectWrite (16 blocks of 4)", Scene::Tags, KQ_OK, [](KQ_PROPERTY* p) {
                       auto sw = std::make_unique<KQ_IN_SW>();
                       KQ_Init_IN_SW(sw.get());
                       sw->StartBlock = 0;
                       sw->BlockCount = 16;
                       std::strcpy(sw->TagInfo.UID, kTag1);
                       std::strcpy(sw->TagInfo.Data, Data64().c_str());
                       return KQ_SelectWrite(p, sw.get());
                   }});
    ops.push_back({"KQ_MultiRead (3 tags, 16 blocks)", Scene::Tags, KQ_OK, MultiReadSixteen});
    ops.push_back(
        {"KQ_MultiWrite (1 of 3 tags, 16 blocks)", Scene::Tags, KQ_OK, [](KQ_PROPERTY* p) {
             KQ_Init_IN_MW(&p->IN_MW);
             p->IN_MW.StartBlock = 0;
             p->IN_MW.BlockCount = 16;
             std::strcpy(p->IN_MW.TagInfo[0].UID, kTag2);
             std::strcpy(p->IN_MW.TagInfo[0].Data, Data64().c_str());
             return KQ_MultiWrite(p);
         }});
    ops.push_back({"KQ_SensorCommand", Scene::Tags, KQ_OK, ReadSensor});
    ops.push_back({"KQ_BuzzerCommand (no beep)", Scene::Tags, KQ_OK,
                   [](KQ_PROPERTY* p) { return KQ_BuzzerCommand(p, 0); }});
    ops.push_back({"KQ_BuzzerCommand (100 ms beep)", Scene::Tags, KQ_OK,
                   [](KQ_PROPERTY* p) { return KQ_BuzzerCommand(p, 1); }});
    ops.push_back({"KQ_MultiRead (empty field)", Scene::Quiet, KQ_OK, MultiReadSixteen});
    ops.push_back(
        {"reply poll gives up (RC unanswered)", Scene::Quiet, KQ_ERR_NOREPLY, ReadSensor});
    return ops;
}

// ---- Floors from the simulator's call log ------------------------------------

struct LoggedExchange {
    std::string code;
    size_t out = 0;  // bytes written
    size_t back = 0; // bytes read until the next write
    unsigned beep = 0;
};

std::vector<LoggedExchange> LoggedExchanges() {
    std::vector<LoggedExchange> list;
    for (size_t i = 0; i < kqsim_call_count(); ++i) {
        kqsim_call call;
        if (kqsim_call_get(i, &call) != 0 || call.status != 0) {
            continue;
        }
        if (call.fn == KQSIM_FT_WRITE) {
            char frame[4096];
            long n = kqsim_frame_get(call.a1, frame, sizeof frame);
            LoggedExchange e;
            e.out = call.a0;
            if (n >= 3) {
                e.code.assign(frame + 1, 2);
            }
            if (e.code == "BZ" && n >= 5) {
                e.beep = static_cast<unsigned>(
                    std::strtoul(std::string(frame + 3, 2).c_str(), nullptr, 16));
            }
            list.push_back(e);
        } else if (call.fn == KQSIM_FT_READ && !list.empty()) {
            list.back().back += call.a1;
        }
    }
    return list;
}

double CeilMs(double ms) {
    // A hair of tolerance, so that an exact millisecond stays itself.
    return std::ceil(ms - 1e-9);
}

Floor FloorOf(const std::vector<LoggedExchange>& exchanges) {
    Floor f;
    for (const LoggedExchange& e : exchanges) {
        bool select = e.code == "SR" || e.code == "SW";
        double processing = select ? kSelectProcessingMs : kOtherProcessingMs;
        double pause = e.code == "BZ" ? 100.0 * e.beep : 0.0;
        // The moment the reply's last byte is in, from the start of the write.
        double in = static_cast<double>(e.out + e.back) / kBytesPerMs + processing + pause;
        double wire = 0;
        double beat = 0;
        if (e.code == "LT" || e.code == "LP") {
            // Polls 10 ms apart, a 10 ms sleep after each, the last one
            // after the poll that saw the 7 bytes.
            wire = beat = 10.0 * (CeilMs(in / 10.0) + 1.0);
        } else if (e.back == 0) {
            wire = beat = kGiveUpMs; // no reply: the whole receive window
        } else if (select) {
            wire = std::max(kSelectPauseMs, in);
            beat = kSelectPauseMs + CeilMs(std::max(0.0, in - kSelectPauseMs));
        } else {
            wire = in;
            beat = pause + CeilMs(in - pause);
        }
        f.wire += wire;
        f.beat += beat;
        ++f.exchanges;
    }
    return f;
}

// ---- Readers -------------------------------------------------------------------

void SetUpInProcess(Scene scene) {
    kqsim_reset();
    kqsim_set_timing(1);
    kqsim_set_latency_timer(0);
    for (const char* code : {"SR", "SW"}) {
        kqsim_set_processing_ms(code, kSelectProcessingMs);
    }
    if (scene == Scene::Tags) {
        kqbench::AddField();
    } else {
        kqsim_drop_reply("RC", -1);
    }
}

// kqsim on a pty with the same reader; the scenario file goes in path.
kqbench::KqsimProcess StartPtyReader(Scene scene, std::string* path) {
    char name[] = "/tmp/kq_floor_bench_XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) {
        return {};
    }
    *path = name;
    std::string text = "latency 0\nprocessing SR " + std::to_string(kSelectProcessingMs) +
                       "\nprocessing SW " + std::to_string(kSelectProcessingMs) + "\n";
    if (scene == Scene::Tags) {
        text += std::string("tag ") + kTag1 + " 4 64\ntag " + kTag2 + " 4 64\ntag " + kSensor +
                " 4 64\nsensor " + kSensor + " " + std::to_string(kSensorThreshold) + " " +
                kSensorConfig + "\n";
    } else {
        text += "drop RC\n";
    }
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!written) {
        return {};
    }
    return kqbench::StartKqsim({"--quiet", "--scenario", *path});
}

Timing Measure(KQ_PROPERTY* prop, const Operation& op, int rounds) {
    std::vector<double> ms;
    Timing t;
    for (int i = 0; i < rounds; ++i) {
        auto start = Clock::now();
        int r = op.run(prop);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (r != op.expected) {
            ++t.failures;
            t.last_result = r;
        }
    }
    std::sort(ms.begin(), ms.end());
    double sum = 0;
    for (double v : ms) {
        sum += v;
    }
    t.median = ms[ms.size() / 2];
    t.mean = sum / static_cast<double>(ms.size());
    return t;
}

// Runs every operation of the scene on an open record; with floors, the
// first round of each (in process only) is logged and gives its floor.
bool RunScene(Scene scene, const std::string& serial, const std::vector<Operation>& ops, int rounds,
              std::vector<Floor>* floors, std::vector<Timing>* timings) {
    auto prop = kqbench::NewRecord(serial);
    if (KQ_OpenUSB(prop.get()) != KQ_OK) {
        std::fprintf(stderr, "cannot open the simulated reader %s\n", serial.c_str());
        return false;
    }
    for (size_t i = 0; i < ops.size(); ++i) {
        if (ops[i].scene != scene) {
            continue;
        }
        if (floors != nullptr) {
            kqsim_set_logging(1);
            kqsim_clear_logs();
            ops[i].run(prop.get());
            (*floors)[i] = FloorOf(LoggedExchanges());
            kqsim_set_logging(0);
            kqsim_clear_logs();
        } else {
            ops[i].run(prop.get()); // warm-up, as the logged round in process
        }
        (*timings)[i] = Measure(prop.get(), ops[i], rounds);
    }
    KQ_CloseUSB(prop.get());
    return true;
}

std::string Ratio(double ms, double floor) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", floor > 0 ? ms / floor : 0.0);
    return buf;
}

// The pty run, in a child process of its own: the library binds its driver
// once per process, and the parent's is the simulated D2XX library. Writes
// one line per operation to fd: median, mean, failures, last result.
int PtyChild(int fd, int rounds) {
    setenv("KQ_D2XX", "serial", 1);
    const std::vector<Operation> ops = Operations();
    std::vector<Timing> timings(ops.size());
    for (Scene scene : {Scene::Tags, Scene::Quiet}) {
        std::string path;
        kqbench::KqsimProcess sim = StartPtyReader(scene, &path);
        bool ok = !sim.tty.empty() && RunScene(scene, sim.tty, ops, rounds, nullptr, &timings);
        kqbench::StopKqsim(sim);
        if (!path.empty()) {
            unlink(path.c_str());
        }
        if (!ok) {
            std::fprintf(stderr, "kqsim on a pty did not serve the reader\n");
            return 1;
        }
    }
    std::string text;
    for (const Timing& t : timings) {
        char line[128];
        std::snprintf(line, sizeof line, "%.4f %.4f %d %d\n", t.median, t.mean, t.failures,
                      t.last_result);
        text += line;
    }
    return write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1;
}

// Starts this program again as the pty child and collects its lines.
bool RunPty(const char* self, int rounds, std::vector<Timing>* timings) {
    int pipe_fd[2];
    if (pipe(pipe_fd) != 0) {
        return false;
    }
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        close(pipe_fd[0]);
        std::string fd_text = std::to_string(pipe_fd[1]);
        std::string rounds_text = std::to_string(rounds);
        execl("/proc/self/exe", self, "--pty-child", fd_text.c_str(), rounds_text.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipe_fd[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(pipe_fd[0], buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<size_t>(n));
    }
    close(pipe_fd[0]);
    int status = 0;
    waitpid(child, &status, 0);
    size_t at = 0;
    for (Timing& t : *timings) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            return false;
        }
        if (std::sscanf(text.substr(at, end - at).c_str(), "%lf %lf %d %d", &t.median, &t.mean,
                        &t.failures, &t.last_result) != 4) {
            return false;
        }
        at = end + 1;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--pty-child") {
        return PtyChild(std::atoi(argv[2]), std::max(1, std::atoi(argv[3])));
    }
    int rounds = 10;
    bool pty = true;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--in-process") {
            pty = false;
        } else {
            std::fprintf(stderr, "usage: kq_floor_bench [--rounds N] [--in-process]\n");
            return 2;
        }
    }
    const std::vector<Operation> ops = Operations();
    std::vector<Floor> floors(ops.size());
    std::vector<Timing> local(ops.size());
    std::vector<Timing> remote(ops.size());

    // Chosen before the library's first call: the driver is bound once.
    setenv("KQ_D2XX", KQSIM_LIBRARY_PATH, 1);
    for (Scene scene : {Scene::Tags, Scene::Quiet}) {
        SetUpInProcess(scene);
        if (!RunScene(scene, "KQSIM0001", ops, rounds, &floors, &local)) {
            return 1;
        }
    }
    if (pty && !RunPty(argv[0], rounds, &remote)) {
        std::fprintf(stderr, "the pty run failed\n");
        return 1;
    }

    std::printf("Every operation against its floor (38400 baud, 10 bits a byte, realistic reader "
                "timing, latency timer off); median of %d rounds in ms, and its ratio to the "
                "floor (wire / beat)\n\n",
                rounds);
    std::printf("| operation | exchanges | floor wire / beat | in process | ratio | pty | ratio "
                "|\n|---|---|---|---|---|---|---|\n");
    double worst_wire = 0;
    double worst_beat = 0;
    std::string worst_wire_name;
    std::string worst_beat_name;
    int failures = 0;
    for (size_t i = 0; i < ops.size(); ++i) {
        const Floor& f = floors[i];
        std::printf("| %s | %u | %.2f / %.0f | %.2f | %s / %s |", ops[i].name.c_str(), f.exchanges,
                    f.wire, f.beat, local[i].median, Ratio(local[i].median, f.wire).c_str(),
                    Ratio(local[i].median, f.beat).c_str());
        if (pty) {
            std::printf(" %.2f | %s / %s |\n", remote[i].median,
                        Ratio(remote[i].median, f.wire).c_str(),
                        Ratio(remote[i].median, f.beat).c_str());
        } else {
            std::printf(" - | - |\n");
        }
        std::vector<const Timing*> runs{&local[i]};
        if (pty) {
            runs.push_back(&remote[i]);
        }
        for (const Timing* t : runs) {
            if (t->median / f.wire > worst_wire) {
                worst_wire = t->median / f.wire;
                worst_wire_name = ops[i].name;
            }
            if (t->median / f.beat > worst_beat) {
                worst_beat = t->median / f.beat;
                worst_beat_name = ops[i].name;
            }
            failures += t->failures;
        }
    }
    std::printf("\nhighest ratio to the wire floor: %.3f (%s)\n", worst_wire,
                worst_wire_name.c_str());
    std::printf("highest ratio to the beat floor: %.3f (%s)\n", worst_beat,
                worst_beat_name.c_str());
    for (size_t i = 0; i < ops.size(); ++i) {
        if (local[i].failures > 0 || remote[i].failures > 0) {
            std::printf("%s: unexpected result %d in process (%d rounds), %d over the pty (%d "
                        "rounds)\n",
                        ops[i].name.c_str(), local[i].last_result, local[i].failures,
                        remote[i].last_result, remote[i].failures);
        }
    }
    if (failures > 0) {
        std::printf("Rounds ended with an unexpected result: the numbers are not valid.\n");
        return 1;
    }
    return 0;
}

// How long the library's millisecond waits really last on this machine.
//
//   kq_wait_bench [--windows N]
//
// Prints the wait path the platform layer took, the length of its 1 ms
// sleeps and of a 202-beat poll window (the give-up of a reply poll), and a
// reply poll that gives up through the whole library against the simulated
// reader (KQ_SensorCommand with the RC reply dropped: 202 ms expected). On
// Windows it sets beside them what a plain Sleep(1) lasts there, which is a
// scheduler tick (15.6 ms by default) unless some program has raised the
// timer resolution. Made for users to run on a real Windows machine, where
// Wine's figures mean nothing:
//
//   KQ_D2XX=kqsim_d2xx.dll kq_wait_bench.exe     (both DLLs beside it)
#include "platform/platform.h"

#include "kq.h"
#include "kqsim.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

struct Lengths {
    double mean = 0;
    double median = 0;
    double longest = 0;
};

template <typename Wait> Lengths Time(int n, Wait wait) {
    std::vector<double> ms;
    for (int i = 0; i < n; ++i) {
        auto start = Clock::now();
        wait();
        ms.push_back(MsSince(start));
    }
    double sum = 0;
    for (double v : ms) {
        sum += v;
    }
    std::sort(ms.begin(), ms.end());
    return {sum / n, ms[ms.size() / 2], ms.back()};
}

const char* PathName(kq::WaitPath path) {
    switch (path) {
    case kq::WaitPath::Monotonic:
        return "clock_nanosleep to absolute CLOCK_MONOTONIC deadlines";
    case kq::WaitPath::HighResolutionTimer:
        return "high-resolution waitable timer";
    case kq::WaitPath::RaisedResolution:
        return "timer resolution raised to 1 ms while a wait runs";
    }
    return "?";
}

void Row(const char* what, const Lengths& l, double expected) {
    std::printf("| %s | %.3f | %.3f | %.3f | %.3f |\n", what, expected, l.mean, l.median,
                l.longest);
}

} // namespace

int main(int argc, char** argv) {
    int windows = 20;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--windows") == 0 && i + 1 < argc) {
            windows = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: kq_wait_bench [--windows N]\n");
            return 2;
        }
    }
    if (std::getenv("KQ_D2XX") == nullptr) {
#ifdef _WIN32
        _putenv_s("KQ_D2XX", KQSIM_LIBRARY_NAME);
#else
        setenv("KQ_D2XX", KQSIM_LIBRARY_PATH, 1);
#endif
    }

    std::printf("wait path: %s\n\n", PathName(kq::PreciseWaitPath()));
    std::printf("| wait | expected ms | mean | median | longest |\n|---|---|---|---|---|\n");
    Row("SleepMs(1)", Time(200, [] { kq::SleepMs(1); }), 1);
    Row("SleepMs(10) (LT, LP polls)", Time(50, [] { kq::SleepMs(10); }), 10);
    {
        // Consecutive beats of one window: each ends 1 ms after the one before.
        kq::PollBeat beat;
        kq::PollBeatStart(&beat);
        Row("one beat of a poll window", Time(200, [&] { kq::PollBeatNext(&beat); }), 1);
        kq::PollBeatEnd(&beat);
    }
    Row("202-beat poll window",
        Time(windows,
             [] {
                 kq::PollBeat beat;
                 kq::PollBeatStart(&beat);
                 for (int i = 0; i < 202; ++i) {
                     kq::PollBeatNext(&beat);
                 }
                 kq::PollBeatEnd(&beat);
             }),
        202);
#ifdef _WIN32
    Row("plain Sleep(1), for comparison", Time(50, [] { Sleep(1); }), 1);
#endif

    // A reply poll that gives up, through the library and the simulator.
    kqsim_reset();
    kqsim_set_logging(0);
    kqsim_drop_reply("RC", -1);
    KQ_PROPERTY* prop = static_cast<KQ_PROPERTY*>(std::calloc(1, sizeof(KQ_PROPERTY)));
    const char serial[] = "KQSIM0001";
    prop->SerialNo = serial;
    prop->StopFlag = 1;
    prop->ReadTimeout = 500;
    prop->WriteTimeout = 500;
    KQ_Init_PROPERTY(prop);
    if (KQ_OpenUSB(prop) != KQ_OK) {
        std::printf("\nthe simulated reader did not open (KQ_D2XX=%s)\n", std::getenv("KQ_D2XX"));
        std::free(prop);
        return 1;
    }
    KQ_IN_SNSR in;
    KQ_Init_IN_SNSR(&in);
    std::strcpy(in.UID, "E004015000000001");
    int result = KQ_OK;
    Row("reply poll give-up (KQ_SensorCommand)",
        Time(windows,
             [&] {
                 KQ_OUT_SNSR value;
                 result = KQ_SensorCommand(prop, &in, &value);
             }),
        202);
    KQ_CloseUSB(prop);
    std::free(prop);
    if (result != KQ_ERR_NOREPLY) {
        std::printf("\nthe give-up returned %d, not %d: its row is not valid\n", result,
                    KQ_ERR_NOREPLY);
        return 1;
    }
    return 0;
}

// KQSIM_SCENARIO: a scenario file (the format kqsim --scenario reads) set up
// on device 0 when the library is loaded, so that any client that loads the
// simulated reader through KQ_D2XX finds tags in the field without calling
// kqsim_* functions. Field events, churn and vanish run on a background
// thread, on whatever device 0 is at the time. kqsim_reset returns to the
// defaults (an empty field); the file is not read again.
#include "d2xx/sim_state.h"
#include "model/scenario.h"
#include "model/scenario_schedule.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

namespace kqsim::d2xx {

namespace {

Device* DeviceZero(Sim& s) {
    return s.devices.empty() ? nullptr : s.devices.front().get();
}

// Field events, churn and vanish of the scenario, in real time from start.
void RunSchedule(Scenario sc, Time start) {
    Sim& s = TheSim();
    ScenarioSchedule schedule = StartSchedule(sc, start);
    for (;;) {
        std::optional<Time> wake = NextScheduled(schedule);
        if (!wake) {
            return;
        }
        std::this_thread::sleep_until(*wake);
        std::lock_guard lock(s.mu);
        Time now = Clock::now();
        Device* d = DeviceZero(s);
        if (d == nullptr) {
            return;
        }
        if (!RunDueSchedule(schedule, d->reader, now)) {
            d->plugged = false;
            Disconnect(s, *d);
            s.cv.notify_all();
            return;
        }
        s.cv.notify_all();
    }
}

bool LoadFile(const char* path, Scenario& sc, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read the file";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseScenarioText(text.str(), sc, error);
}

} // namespace

void ApplyEnvScenario(Sim& s) {
    const char* path = std::getenv("KQSIM_SCENARIO");
    if (path == nullptr || path[0] == '\0') {
        return;
    }
    Scenario sc;
    std::string error;
    Device* d = DeviceZero(s);
    Time now = Clock::now();
    bool ok = d != nullptr && LoadFile(path, sc, error);
    if (ok) {
        // The settings outlive later kqsim_set_* calls, as if made through them.
        s.settings.realistic = sc.realistic;
        s.settings.latency_ms = sc.latency_ms;
        for (const auto& [code, processing] : sc.processing_ms) {
            s.settings.processing_ms[code] = processing;
        }
        ApplySettings(s.settings, d->reader);
        ok = ApplyScenario(sc, d->reader, now, error);
    }
    if (!ok) {
        // The only way to tell a client that loaded us through a driver table.
        std::fprintf(stderr, "kqsim: KQSIM_SCENARIO=%s: %s\n", path, error.c_str());
        return;
    }
    if (HasSchedule(sc)) {
        std::thread(RunSchedule, sc, now).detach();
    }
}

namespace {
// Read when the library is loaded, not at the first driver call.
[[maybe_unused]] const bool g_loaded = (TheSim(), true);
} // namespace

} // namespace kqsim::d2xx

// KQSIM_SCENARIO: a scenario file (the format kqsim --scenario reads, plus
// `reader SERIAL` parts and plug changes) set up when the library is loaded,
// so that any client that loads the simulated reader through KQ_D2XX finds
// its readers with tags in their fields without calling kqsim_* functions.
// The default reader's part goes to device 0 (KQSIM0001); every other
// reader is a device of its own, in the order the file names them (when
// the file never names the default reader, its first reader takes device
// 0's place). Field events, churn, vanish and plug changes run on one
// background thread: the default part on whatever device 0 is at the time,
// the others on the device with their serial number. kqsim_reset returns to
// the defaults (one reader, an empty field); the file is not read again.
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

struct ReaderRun {
    std::string serial; // empty: the default part, on device 0
    ScenarioSchedule schedule;
    bool done = false;
};

Device* Find(Sim& s, const std::string& serial) {
    if (serial.empty()) {
        return s.devices.empty() ? nullptr : s.devices.front().get();
    }
    for (auto& d : s.devices) {
        if (d->attached && d->serial == serial) {
            return d.get();
        }
    }
    return nullptr;
}

void Unplug(Sim& s, Device& d) {
    d.plugged = false;
    Disconnect(s, d);
}

// One step of a reader's schedule, due by now. False once it has ended.
bool Step(Sim& s, ReaderRun& run, Time now) {
    Device* d = Find(s, run.serial);
    if (d == nullptr) {
        return false; // reset or removed meanwhile
    }
    for (const PlugEvent& e : TakeDuePlugs(run.schedule, now)) {
        if (e.plugged) {
            d->plugged = true;
        } else if (d->plugged) {
            Unplug(s, *d);
        }
    }
    if (!RunDueSchedule(run.schedule, d->reader, now)) {
        Unplug(s, *d); // vanish: unplugged, and nothing more happens to it
        return false;
    }
    return NextScheduled(run.schedule).has_value();
}

// The schedules of every reader, in real time from the load.
void RunSchedules(std::vector<ReaderRun> runs) {
    Sim& s = TheSim();
    for (;;) {
        std::optional<Time> wake;
        for (const ReaderRun& run : runs) {
            if (!run.done) {
                wake = Earliest(wake, NextScheduled(run.schedule));
            }
        }
        if (!wake) {
            return;
        }
        std::this_thread::sleep_until(*wake);
        std::lock_guard lock(s.mu);
        Time now = Clock::now();
        for (ReaderRun& run : runs) {
            if (!run.done) {
                run.done = !Step(s, run, now);
            }
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

// Sets device d up from its part: settings, field, whether it is attached.
bool SetUp(const ReaderSetup& part, Device& d, Time now, std::string& error) {
    if (!ApplyScenario(part, d.reader, now, error)) {
        error = "reader " + part.serial + ": " + error;
        return false;
    }
    d.plugged = part.attached_at_start;
    return true;
}

} // namespace

void ApplyEnvScenario(Sim& s) {
    const char* path = std::getenv("KQSIM_SCENARIO");
    if (path == nullptr || path[0] == '\0' || s.devices.empty()) {
        return;
    }
    Scenario sc;
    std::string error;
    Time now = Clock::now();
    bool ok = LoadFile(path, sc, error);
    std::vector<ReaderRun> runs;
    // The other readers first, so that they start from the defaults and not
    // from the default reader's settings.
    for (size_t i = 0; ok && i < sc.readers.size(); ++i) {
        const ReaderSetup& part = sc.readers[i];
        Device* d = nullptr;
        if (i == 0 && !sc.default_reader) {
            d = s.devices.front().get(); // the file's first reader is device 0
            d->serial = part.serial;
        } else {
            d = s.devices[AddDevice(s, part.serial)].get();
        }
        ok = SetUp(part, *d, now, error);
        runs.push_back({part.serial, StartSchedule(part, now)});
    }
    if (ok && sc.default_reader) {
        // The settings outlive later kqsim_set_* calls, as if made through them.
        s.settings.realistic = sc.realistic;
        s.settings.latency_ms = sc.latency_ms;
        for (const auto& [code, processing] : sc.processing_ms) {
            s.settings.processing_ms[code] = processing;
        }
        ApplySettings(s.settings, s.devices.front()->reader);
        ok = SetUp(sc, *s.devices.front(), now, error);
        runs.insert(runs.begin(), ReaderRun{"", StartSchedule(sc, now)});
    }
    if (!ok) {
        // The only way to tell a client that loaded us through a driver table.
        std::fprintf(stderr, "kqsim: KQSIM_SCENARIO=%s: %s\n", path, error.c_str());
        // Back to the defaults rather than half a scenario.
        ResetLocked(s);
        return;
    }
    std::erase_if(runs, [](const ReaderRun& run) { return !NextScheduled(run.schedule); });
    if (!runs.empty()) {
        std::thread(RunSchedules, std::move(runs)).detach();
    }
}

namespace {
// Read when the library is loaded, not at the first driver call.
[[maybe_unused]] const bool g_loaded = (TheSim(), true);
} // namespace

} // namespace kqsim::d2xx

// KQSIM_SCENARIO: a scenario file (the format kqsim --scenario reads) set up
// on device 0 when the library is loaded, so that any client that loads the
// simulated reader through KQ_D2XX finds tags in the field without calling
// kqsim_* functions. Field events, churn and vanish run on a background
// thread, on whatever device 0 is at the time. kqsim_reset returns to the
// defaults (an empty field); the file is not read again.
#include "d2xx/sim_state.h"
#include "model/scenario.h"

#include <algorithm>
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
    std::vector<FieldEvent> events = sc.events;
    std::stable_sort(events.begin(), events.end(),
                     [](const FieldEvent& a, const FieldEvent& b) { return a.at_ms < b.at_ms; });
    const std::vector<std::string> churn_tags = ScenarioTags(sc);
    size_t next_event = 0;
    bool churned_out = false;
    auto ms = [](unsigned v) { return std::chrono::milliseconds(v); };
    std::optional<Time> next_churn;
    if (sc.churn_ms > 0) {
        next_churn = start + ms(sc.churn_ms);
    }
    std::optional<Time> vanish_at;
    if (sc.vanish_after_ms > 0) {
        vanish_at = start + ms(sc.vanish_after_ms);
    }
    for (;;) {
        std::optional<Time> wake = next_churn;
        if (next_event < events.size()) {
            Time t = start + ms(events[next_event].at_ms);
            wake = wake ? std::min(*wake, t) : t;
        }
        if (vanish_at) {
            wake = wake ? std::min(*wake, *vanish_at) : *vanish_at;
        }
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
        if (vanish_at && now >= *vanish_at) {
            d->plugged = false;
            Disconnect(s, *d);
            s.cv.notify_all();
            return;
        }
        while (next_event < events.size() && start + ms(events[next_event].at_ms) <= now) {
            const FieldEvent& e = events[next_event++];
            if (e.enter) {
                d->reader.TagAdd(now, e.uid, 4, 64);
            } else {
                d->reader.TagRemove(now, e.uid);
            }
        }
        if (next_churn && now >= *next_churn) {
            churned_out = !churned_out;
            for (const auto& uid : churn_tags) {
                if (churned_out) {
                    d->reader.TagRemove(now, uid);
                } else {
                    d->reader.TagAdd(now, uid, 4, 64);
                }
            }
            *next_churn += ms(sc.churn_ms);
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
    if (!sc.events.empty() || sc.churn_ms > 0 || sc.vanish_after_ms > 0) {
        std::thread(RunSchedule, sc, now).detach();
    }
}

namespace {
// Read when the library is loaded, not at the first driver call.
[[maybe_unused]] const bool g_loaded = (TheSim(), true);
} // namespace

} // namespace kqsim::d2xx

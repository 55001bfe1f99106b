#include "d2xx/sim_state.h"

#include <algorithm>

namespace kqsim::d2xx {

const char* const kFnNames[KQSIM_FN_COUNT] = {
    "FT_ListDevices",
    "FT_OpenEx",
    "FT_ResetDevice",
    "FT_SetBaudRate",
    "FT_SetDataCharacteristics",
    "FT_SetFlowControl",
    "FT_SetTimeouts",
    "FT_Purge",
    "FT_GetStatus",
    "FT_GetQueueStatus",
    "FT_SetBreakOn",
    "FT_SetBreakOff",
    "FT_Write",
    "FT_Read",
    "FT_Close",
};

void ApplySettings(const Settings& s, Reader& r) {
    r.SetRealistic(s.realistic);
    r.SetLatencyTimer(s.latency_ms);
    for (const auto& [code, ms] : s.processing_ms) {
        r.SetProcessingMs(code, ms);
    }
}

size_t AddDevice(Sim& s, const std::string& serial) {
    auto d = std::make_unique<Device>();
    d->serial = serial;
    ApplySettings(s.settings, d->reader);
    s.devices.push_back(std::move(d));
    return s.devices.size() - 1;
}

void ResetLocked(Sim& s) {
    s.handles.clear();
    s.devices.clear();
    s.selected = 0;
    s.settings = Settings{};
    for (auto& f : s.faults) {
        f = Fault{};
    }
    s.logging = true;
    s.calls.clear();
    s.frames.clear();
    AddDevice(s, kDefaultSerial);
}

Sim& TheSim() {
    static Sim* sim = [] {
        auto* s = new Sim;
        ResetLocked(*s);
        ApplyEnvScenario(*s);
        return s;
    }();
    return *sim;
}

Device* Selected(Sim& s) {
    return s.selected < s.devices.size() ? s.devices[s.selected].get() : nullptr;
}

void Pump(Device& d, Time now) {
    std::string due;
    d.reader.TakeDue(now, due);
    if (d.open_handle == 0) {
        return;
    }
    size_t room = kRxCapacity - std::min(kRxCapacity, d.rx.size());
    d.rx.append(due, 0, std::min(room, due.size()));
}

void Disconnect(Sim& s, Device& d) {
    for (auto& [id, rec] : s.handles) {
        if (rec.device == &d) {
            rec.stale = true;
        }
    }
    d.open_handle = 0;
    d.rx.clear();
    d.reader.PowerCycle();
}

std::vector<Device*> Listed(Sim& s) {
    std::vector<Device*> out;
    for (auto& d : s.devices) {
        if (d->attached && d->plugged) {
            out.push_back(d.get());
        }
    }
    return out;
}

} // namespace kqsim::d2xx

// The simulated reader library's shared state: its devices, the function
// names of the call log, and the pump that moves due reply bytes into a
// device's receive buffer.
#include "d2xx/sim_state.h"

#include <algorithm>

namespace kqsim::d2xx {

namespace {

struct FnEntry {
    int fn;
    const char* name;
};

// Each name beside the number it belongs to; the check below refuses a
// table whose entries are out of order or missing.
constexpr FnEntry kFnNameTable[] = {
    {KQSIM_FT_LISTDEVICES, "FT_ListDevices"},
    {KQSIM_FT_OPENEX, "FT_OpenEx"},
    {KQSIM_FT_RESETDEVICE, "FT_ResetDevice"},
    {KQSIM_FT_SETBAUDRATE, "FT_SetBaudRate"},
    {KQSIM_FT_SETDATACHARACTERISTICS, "FT_SetDataCharacteristics"},
    {KQSIM_FT_SETFLOWCONTROL, "FT_SetFlowControl"},
    {KQSIM_FT_SETTIMEOUTS, "FT_SetTimeouts"},
    {KQSIM_FT_PURGE, "FT_Purge"},
    {KQSIM_FT_GETSTATUS, "FT_GetStatus"},
    {KQSIM_FT_GETQUEUESTATUS, "FT_GetQueueStatus"},
    {KQSIM_FT_SETBREAKON, "FT_SetBreakOn"},
    {KQSIM_FT_SETBREAKOFF, "FT_SetBreakOff"},
    {KQSIM_FT_WRITE, "FT_Write"},
    {KQSIM_FT_READ, "FT_Read"},
    {KQSIM_FT_CLOSE, "FT_Close"},
};

constexpr bool InFunctionOrder() {
    int i = 0;
    for (const FnEntry& entry : kFnNameTable) {
        if (entry.fn != i++) {
            return false;
        }
    }
    return i == KQSIM_FN_COUNT;
}
static_assert(InFunctionOrder(), "kFnNameTable must list every kqsim_fn in order");

} // namespace

const char* FnName(int fn) {
    return fn >= 0 && fn < KQSIM_FN_COUNT ? kFnNameTable[fn].name : "?";
}

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
    Deliver(d, due);
}

namespace {

void AppendRx(Device& d, const std::string& bytes) {
    size_t room = kRxCapacity - std::min(kRxCapacity, d.rx.size());
    d.rx.append(bytes, 0, std::min(room, bytes.size()));
}

} // namespace

void Deliver(Device& d, const std::string& bytes) {
    if (d.holding) {
        d.held += bytes; // nothing overtakes the held-back part
        return;
    }
    size_t pass = bytes.size();
    if (d.split_head > 0) {
        size_t from = 0;
        if (!d.split_started) {
            from = bytes.find('\x02');
            if (from == std::string::npos) {
                from = bytes.size();
            } else {
                d.split_started = true;
            }
        }
        if (d.split_started && bytes.size() - from >= d.split_head) {
            pass = from + d.split_head;
            d.split_head = 0;
            d.split_started = false;
            d.holding = true;
            d.held = bytes.substr(pass);
            d.held_polls = d.split_polls;
        } else if (d.split_started) {
            d.split_head -= bytes.size() - from;
        }
    }
    AppendRx(d, bytes.substr(0, pass));
}

void CountQueuePoll(Device& d) {
    if (!d.holding) {
        return;
    }
    if (d.held_polls > 0) {
        --d.held_polls;
    }
    if (d.held_polls == 0) {
        d.holding = false;
        std::string rest;
        rest.swap(d.held);
        AppendRx(d, rest);
    }
}

void Disconnect(Sim& s, Device& d) {
    for (auto& [id, rec] : s.handles) {
        if (rec.device == &d) {
            rec.stale = true;
        }
    }
    d.open_handle = 0;
    d.rx.clear();
    d.holding = false;
    d.held.clear();
    d.split_head = 0;
    d.split_started = false;
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

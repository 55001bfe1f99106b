// The kqsim_* control interface of the simulated reader library.
#include "d2xx/sim_state.h"

#include <cstring>
#include <utility>

namespace {

using namespace kqsim::d2xx;
using kqsim::Clock;
using kqsim::Time;

// Runs f on the selected device under the lock, with the time, and wakes
// any waiting reads afterwards.
template <typename F> auto OnSelected(F f, decltype(f(std::declval<Device&>(), Time{})) fallback) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    Device* d = Selected(s);
    if (d == nullptr) {
        return fallback;
    }
    Time now = Clock::now();
    auto result = f(*d, now);
    s.cv.notify_all();
    return result;
}

template <typename F> void OnSelectedVoid(F f) {
    OnSelected(
        [&](Device& d, Time now) {
            f(d, now);
            return 0;
        },
        0);
}

std::string Text(const char* s) {
    return s != nullptr ? std::string(s) : std::string();
}

std::string Bytes(const void* p, size_t n) {
    return p != nullptr ? std::string(static_cast<const char*>(p), n) : std::string();
}

template <typename F> void OnAllReaders(F f) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    f(s.settings);
    for (auto& d : s.devices) {
        d->reader.AdvanceTo(Clock::now());
        ApplySettings(s.settings, d->reader);
    }
    s.cv.notify_all();
}

} // namespace

extern "C" {

void kqsim_reset(void) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    ResetLocked(s);
    s.cv.notify_all();
}

void kqsim_set_timing(int realistic) {
    OnAllReaders([&](Settings& st) { st.realistic = realistic != 0; });
}

void kqsim_set_processing_ms(const char* code, unsigned ms) {
    if (code == nullptr) {
        return;
    }
    OnAllReaders([&](Settings& st) { st.processing_ms[code] = ms; });
}

void kqsim_set_latency_timer(unsigned ms) {
    OnAllReaders([&](Settings& st) { st.latency_ms = ms; });
}

void kqsim_set_logging(int on) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    s.logging = on != 0;
}

int kqsim_device_add(const char* serial) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    return static_cast<int>(AddDevice(s, Text(serial)));
}

void kqsim_device_remove_all(void) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    for (auto& d : s.devices) {
        d->attached = false;
        Disconnect(s, *d);
    }
    s.cv.notify_all();
}

void kqsim_select_device(int index) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    if (index >= 0) {
        s.selected = static_cast<size_t>(index);
    }
}

void kqsim_unplug(void) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    if (Device* d = Selected(s)) {
        d->plugged = false;
        Disconnect(s, *d);
    }
    s.cv.notify_all();
}

void kqsim_replug(void) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    if (Device* d = Selected(s)) {
        d->plugged = true;
    }
}

int kqsim_open_handles(void) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    return static_cast<int>(s.handles.size());
}

int kqsim_tag_add(const char* uid, unsigned block_size, unsigned block_count) {
    return OnSelected(
        [&](Device& d, Time now) {
            return d.reader.TagAdd(now, Text(uid), block_size, block_count) ? 0 : -1;
        },
        -1);
}

int kqsim_tag_remove(const char* uid) {
    return OnSelected(
        [&](Device& d, Time now) { return d.reader.TagRemove(now, Text(uid)) ? 0 : -1; }, -1);
}

void kqsim_field_clear(void) {
    OnSelectedVoid([](Device& d, Time now) { d.reader.FieldClear(now); });
}

int kqsim_tag_set_data(const char* uid, unsigned start_block, const char* text) {
    return OnSelected(
        [&](Device& d, Time) {
            return d.reader.Tags().SetData(Text(uid), start_block, Text(text)) ? 0 : -1;
        },
        -1);
}

int kqsim_tag_get_data(const char* uid, unsigned start_block, unsigned count, char* out,
                       size_t cap) {
    return OnSelected(
        [&](Device& d, Time) {
            auto data = d.reader.Tags().GetData(Text(uid), start_block, count);
            if (!data || out == nullptr || data->size() + 1 > cap) {
                return -1;
            }
            std::memcpy(out, data->c_str(), data->size() + 1);
            return static_cast<int>(data->size());
        },
        -1);
}

int kqsim_tag_set_sensor(const char* uid, unsigned threshold, const char* config) {
    return OnSelected(
        [&](Device& d, Time) {
            return d.reader.Tags().SetSensor(Text(uid), threshold, Text(config)) ? 0 : -1;
        },
        -1);
}

void kqsim_ta_script(const char* cmd, char status, const char* body) {
    OnSelectedVoid([&](Device& d, Time) { d.reader.TaScript(Text(cmd), status, Text(body)); });
}

void kqsim_force_status(const char* code, char status, int times) {
    OnSelectedVoid([&](Device& d, Time) { d.reader.ForceStatus(Text(code), status, times); });
}

void kqsim_force_reply(const char* code, const void* bytes, size_t n, int times) {
    OnSelectedVoid(
        [&](Device& d, Time) { d.reader.ForceReply(Text(code), Bytes(bytes, n), times); });
}

void kqsim_drop_reply(const char* code, int times) {
    OnSelectedVoid([&](Device& d, Time) { d.reader.DropReply(Text(code), times); });
}

void kqsim_fail_chunk(const char* code, unsigned start_block, char status, int times) {
    OnSelectedVoid(
        [&](Device& d, Time) { d.reader.FailChunk(Text(code), start_block, status, times); });
}

void kqsim_write_not_stick(const char* uid, int times) {
    OnSelectedVoid([&](Device& d, Time) { d.reader.WriteNotStick(Text(uid), times); });
}

void kqsim_clear_scripts(void) {
    OnSelectedVoid([](Device& d, Time) { d.reader.ClearScripts(); });
}

void kqsim_reply_pieces(unsigned piece_bytes, unsigned gap_ms) {
    OnSelectedVoid([&](Device& d, Time) { d.reader.SetReplyPieces(piece_bytes, gap_ms); });
}

void kqsim_reply_delay(unsigned delay_ms) {
    OnSelectedVoid([&](Device& d, Time) { d.reader.SetReplyDelay(delay_ms); });
}

void kqsim_inject_rx(const void* bytes, size_t n) {
    OnSelectedVoid([&](Device& d, Time now) {
        Pump(d, now); // what arrived before stays before
        Deliver(d, Bytes(bytes, n));
    });
}

void kqsim_split_next_frame(size_t head_bytes, unsigned polls) {
    OnSelectedVoid([&](Device& d, Time now) {
        Pump(d, now); // what is due now is not part of the next frame
        d.split_head = head_bytes;
        d.split_polls = polls;
        d.split_started = false;
    });
}

void kqsim_prefix_next_reply(const void* bytes, size_t n) {
    OnSelectedVoid([&](Device& d, Time) { d.reader.PrefixNextReply(Bytes(bytes, n)); });
}

void kqsim_suffix_next_reply(const void* bytes, size_t n) {
    OnSelectedVoid([&](Device& d, Time) { d.reader.SuffixNextReply(Bytes(bytes, n)); });
}

void kqsim_set_loop_interval(unsigned interval_ms) {
    OnSelectedVoid([&](Device& d, Time now) { d.reader.SetLoopInterval(now, interval_ms); });
}

int kqsim_reader_loop_on(void) {
    return OnSelected(
        [](Device& d, Time now) {
            d.reader.AdvanceTo(now);
            return d.reader.LoopOn() ? 1 : 0;
        },
        0);
}

int kqsim_reader_loop_beep(void) {
    return OnSelected(
        [](Device& d, Time now) {
            d.reader.AdvanceTo(now);
            return d.reader.LoopBeep() ? 1 : 0;
        },
        0);
}

unsigned kqsim_beep_count(void) {
    return OnSelected(
        [](Device& d, Time now) {
            d.reader.AdvanceTo(now);
            return d.reader.BeepCount();
        },
        0u);
}

void kqsim_fail_call(int fn, uint32_t status, unsigned skip, int times) {
    if (fn < 0 || fn >= KQSIM_FN_COUNT) {
        return;
    }
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    s.faults[fn] = Fault{status, skip, times};
}

void kqsim_clear_faults(void) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    for (auto& f : s.faults) {
        f = Fault{};
    }
}

size_t kqsim_call_count(void) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    return s.calls.size();
}

int kqsim_call_get(size_t index, kqsim_call* out) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    if (out == nullptr || index >= s.calls.size()) {
        return -1;
    }
    *out = s.calls[index];
    return 0;
}

size_t kqsim_frame_count(void) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    return s.frames.size();
}

long kqsim_frame_get(size_t index, void* buf, size_t cap) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    if (index >= s.frames.size()) {
        return -1;
    }
    const std::string& f = s.frames[index];
    if (buf != nullptr) {
        std::memcpy(buf, f.data(), std::min(cap, f.size()));
    }
    return static_cast<long>(f.size());
}

void kqsim_clear_logs(void) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    s.calls.clear();
    s.frames.clear();
}

const char* kqsim_fn_name(int fn) {
    return FnName(fn);
}

} // extern "C"

// The D2XX functions of the simulated reader library: FTDI device behaviour
// (listing, open by serial number, handles, receive buffer with the read
// timeout, purge, break, unplug) in front of the reader model. Every call is
// logged and may carry an injected failure.
#include "d2xx/sim_state.h"

#include <algorithm>
#include <cstring>

namespace {

using namespace kqsim::d2xx;
using kqsim::Clock;
using kqsim::Time;

uint64_t HandleId(FT_HANDLE h) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(h));
}

// One D2XX call: its log entry, fault injection and the handle check.
class Call {
  public:
    Call(Sim& s, int fn, FT_HANDLE h = nullptr) : s_(s) {
        entry_.fn = fn;
        entry_.handle = HandleId(h);
    }
    // The injected failure for this call, if any.
    bool Faulted(FT_STATUS* status) {
        Fault& f = s_.faults[entry_.fn];
        if (f.times == 0) {
            return false;
        }
        if (f.skip > 0) {
            --f.skip;
            return false;
        }
        if (f.times > 0) {
            --f.times;
        }
        *status = f.status;
        return true;
    }
    // Finds the handle's record: FT_INVALID_HANDLE for an unknown, null or
    // closed handle, FT_IO_ERROR when its device has gone.
    FT_STATUS Lookup(HandleRec** rec) {
        auto it = s_.handles.find(entry_.handle);
        if (it == s_.handles.end()) {
            return FT_INVALID_HANDLE;
        }
        *rec = &it->second;
        return it->second.stale ? FT_IO_ERROR : FT_OK;
    }
    kqsim_call& Entry() { return entry_; }
    FT_STATUS Done(FT_STATUS status) {
        entry_.status = status;
        if (s_.logging) {
            s_.calls.push_back(entry_);
        }
        return status;
    }

  private:
    Sim& s_;
    kqsim_call entry_{};
};

// The common start of every call on a handle: fault, then handle check.
// Returns true when the call ends here with *status.
bool Begin(Call& call, HandleRec** rec, FT_STATUS* status) {
    if (call.Faulted(status)) {
        return true;
    }
    *status = call.Lookup(rec);
    return *status != FT_OK;
}

void CopySerial(char* out, const std::string& text) {
    size_t n = std::min<size_t>(text.size(), 63);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

} // namespace

extern "C" {

FT_STATUS KQSIM_FT_CALL FT_ListDevices(void* arg1, void* arg2, DWORD flags) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    Call call(s, KQSIM_FT_LISTDEVICES);
    call.Entry().a0 = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg1));
    call.Entry().a1 = flags;
    FT_STATUS st = 0;
    if (call.Faulted(&st)) {
        return call.Done(st);
    }
    std::vector<Device*> listed = Listed(s);
    bool by_description = (flags & FT_OPEN_BY_DESCRIPTION) != 0;
    auto text = [&](const Device* d) {
        return by_description ? std::string(KQSIM_DESCRIPTION) : d->serial;
    };
    if (flags & FT_LIST_NUMBER_ONLY) {
        if (arg1 == nullptr) {
            return call.Done(FT_INVALID_PARAMETER);
        }
        *static_cast<DWORD*>(arg1) = static_cast<DWORD>(listed.size());
        return call.Done(FT_OK);
    }
    if (flags & FT_LIST_BY_INDEX) {
        size_t index = static_cast<size_t>(reinterpret_cast<uintptr_t>(arg1));
        if (arg2 == nullptr) {
            return call.Done(FT_INVALID_PARAMETER);
        }
        if (index >= listed.size()) {
            return call.Done(FT_DEVICE_NOT_FOUND);
        }
        CopySerial(static_cast<char*>(arg2), text(listed[index]));
        return call.Done(FT_OK);
    }
    if (flags & FT_LIST_ALL) {
        if (arg1 == nullptr || arg2 == nullptr) {
            return call.Done(FT_INVALID_PARAMETER);
        }
        char** buffers = static_cast<char**>(arg1);
        for (size_t i = 0; i < listed.size(); ++i) {
            CopySerial(buffers[i], text(listed[i]));
        }
        *static_cast<DWORD*>(arg2) = static_cast<DWORD>(listed.size());
        return call.Done(listed.empty() ? FT_DEVICE_NOT_FOUND : FT_OK);
    }
    return call.Done(FT_INVALID_PARAMETER);
}

FT_STATUS KQSIM_FT_CALL FT_OpenEx(void* arg1, DWORD flags, FT_HANDLE* handle) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    Call call(s, KQSIM_FT_OPENEX);
    call.Entry().a0 = flags;
    if (arg1 != nullptr) {
        std::strncpy(call.Entry().text, static_cast<const char*>(arg1),
                     sizeof call.Entry().text - 1);
    }
    FT_STATUS st = 0;
    if (call.Faulted(&st)) {
        return call.Done(st);
    }
    if (arg1 == nullptr || handle == nullptr) {
        return call.Done(FT_INVALID_PARAMETER);
    }
    std::string wanted = static_cast<const char*>(arg1);
    Device* found = nullptr;
    for (Device* d : Listed(s)) {
        bool match = (flags & FT_OPEN_BY_SERIAL_NUMBER) ? d->serial == wanted
                     : (flags & FT_OPEN_BY_DESCRIPTION) ? wanted == KQSIM_DESCRIPTION
                                                        : false;
        if (match && (found == nullptr || found->open_handle != 0)) {
            found = d;
        }
    }
    if (found == nullptr) {
        return call.Done(FT_DEVICE_NOT_FOUND);
    }
    if (found->open_handle != 0) {
        return call.Done(FT_DEVICE_NOT_OPENED); // already open elsewhere
    }
    uint64_t id = s.next_handle;
    s.next_handle += kHandleStep;
    HandleRec rec;
    rec.device = found;
    s.handles[id] = rec;
    // A fresh handle starts with an empty buffer: what the reader sent while
    // nobody had it open is gone.
    found->open_handle = id;
    found->reader.TakeDue(Clock::now(), found->rx);
    found->rx.clear();
    *handle = reinterpret_cast<FT_HANDLE>(static_cast<uintptr_t>(id));
    return call.Done(FT_OK);
}

FT_STATUS KQSIM_FT_CALL FT_ResetDevice(FT_HANDLE h) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    Call call(s, KQSIM_FT_RESETDEVICE, h);
    HandleRec* rec = nullptr;
    FT_STATUS st = 0;
    if (Begin(call, &rec, &st)) {
        return call.Done(st);
    }
    return call.Done(FT_OK);
}

FT_STATUS KQSIM_FT_CALL FT_SetBaudRate(FT_HANDLE h, ULONG baud) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    Call call(s, KQSIM_FT_SETBAUDRATE, h);
    call.Entry().a0 = baud;
    HandleRec* rec = nullptr;
    FT_STATUS st = 0;
    if (Begin(call, &rec, &st)) {
        return call.Done(st);
    }
    return call.Done(FT_OK);
}

FT_STATUS KQSIM_FT_CALL FT_SetDataCharacteristics(FT_HANDLE h, UCHAR bits, UCHAR stop,
                                                  UCHAR parity) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    Call call(s, KQSIM_FT_SETDATACHARACTERISTICS, h);
    call.Entry().a0 = bits;
    call.Entry().a1 = stop;
    call.Entry().a2 = parity;
    HandleRec* rec = nullptr;
    FT_STATUS st = 0;
    if (Begin(call, &rec, &st)) {
        return call.Done(st);
    }
    return call.Done(FT_OK);
}

FT_STATUS KQSIM_FT_CALL FT_SetFlowControl(FT_HANDLE h, USHORT flow, UCHAR xon, UCHAR xoff) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    Call call(s, KQSIM_FT_SETFLOWCONTROL, h);
    call.Entry().a0 = flow;
    call.Entry().a1 = xon;
    call.Entry().a2 = xoff;
    HandleRec* rec = nullptr;
    FT_STATUS st = 0;
    if (Begin(call, &rec, &st)) {
        return call.Done(st);
    }
    return call.Done(FT_OK);
}

FT_STATUS KQSIM_FT_CALL FT_SetTimeouts(FT_HANDLE h, ULONG read_ms, ULONG write_ms) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    Call call(s, KQSIM_FT_SETTIMEOUTS, h);
    call.Entry().a0 = read_ms;
    call.Entry().a1 = write_ms;
    HandleRec* rec = nullptr;
    FT_STATUS st = 0;
    if (Begin(call, &rec, &st)) {
        return call.Done(st);
    }
    rec->read_timeout_ms = read_ms;
    rec->write_timeout_ms = write_ms;
    return call.Done(FT_OK);
}

FT_STATUS KQSIM_FT_CALL FT_Purge(FT_HANDLE h, ULONG mask) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    Call call(s, KQSIM_FT_PURGE, h);
    call.Entry().a0 = mask;
    HandleRec* rec = nullptr;
    FT_STATUS st = 0;
    if (Begin(call, &rec, &st)) {
        return call.Done(st);
    }
    // Receive side: what is readable now goes; bytes still on the wire
    // arrive later. The transmit side is always empty: writes are handed to
    // the reader at once.
    Pump(*rec->device, Clock::now());
    if ((mask & FT_PURGE_RX) != 0) {
        rec->device->rx.clear();
    }
    return call.Done(FT_OK);
}

FT_STATUS KQSIM_FT_CALL FT_GetStatus(FT_HANDLE h, DWORD* rx, DWORD* tx, DWORD* events) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    Call call(s, KQSIM_FT_GETSTATUS, h);
    HandleRec* rec = nullptr;
    FT_STATUS st = 0;
    if (Begin(call, &rec, &st)) {
        return call.Done(st);
    }
    if (rx == nullptr || tx == nullptr || events == nullptr) {
        return call.Done(FT_INVALID_PARAMETER);
    }
    CountQueuePoll(*rec->device);
    Pump(*rec->device, Clock::now());
    *rx = static_cast<DWORD>(rec->device->rx.size());
    *tx = 0;
    *events = 0;
    call.Entry().a0 = *rx;
    return call.Done(FT_OK);
}

FT_STATUS KQSIM_FT_CALL FT_GetQueueStatus(FT_HANDLE h, DWORD* rx) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    Call call(s, KQSIM_FT_GETQUEUESTATUS, h);
    HandleRec* rec = nullptr;
    FT_STATUS st = 0;
    if (Begin(call, &rec, &st)) {
        return call.Done(st);
    }
    if (rx == nullptr) {
        return call.Done(FT_INVALID_PARAMETER);
    }
    CountQueuePoll(*rec->device);
    Pump(*rec->device, Clock::now());
    *rx = static_cast<DWORD>(rec->device->rx.size());
    call.Entry().a0 = *rx;
    return call.Done(FT_OK);
}

FT_STATUS KQSIM_FT_CALL FT_SetBreakOn(FT_HANDLE h) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    Call call(s, KQSIM_FT_SETBREAKON, h);
    HandleRec* rec = nullptr;
    FT_STATUS st = 0;
    if (Begin(call, &rec, &st)) {
        return call.Done(st);
    }
    rec->device->reader.Break(Clock::now());
    return call.Done(FT_OK);
}

FT_STATUS KQSIM_FT_CALL FT_SetBreakOff(FT_HANDLE h) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    Call call(s, KQSIM_FT_SETBREAKOFF, h);
    HandleRec* rec = nullptr;
    FT_STATUS st = 0;
    if (Begin(call, &rec, &st)) {
        return call.Done(st);
    }
    return call.Done(FT_OK);
}

FT_STATUS KQSIM_FT_CALL FT_Write(FT_HANDLE h, void* buf, DWORD n, DWORD* written) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    Call call(s, KQSIM_FT_WRITE, h);
    call.Entry().a0 = n;
    call.Entry().a1 = UINT32_MAX;
    if (buf != nullptr && s.logging) {
        call.Entry().a1 = static_cast<uint32_t>(s.frames.size());
        s.frames.emplace_back(static_cast<const char*>(buf), n);
    }
    HandleRec* rec = nullptr;
    FT_STATUS st = 0;
    if (Begin(call, &rec, &st)) {
        return call.Done(st);
    }
    if ((buf == nullptr && n > 0) || written == nullptr) {
        return call.Done(FT_INVALID_PARAMETER);
    }
    rec->device->reader.Write(Clock::now(), static_cast<const uint8_t*>(buf), n);
    *written = n;
    s.cv.notify_all(); // a reader waiting in FT_Read has a new wake-up time
    return call.Done(FT_OK);
}

FT_STATUS KQSIM_FT_CALL FT_Read(FT_HANDLE h, void* buf, DWORD n, DWORD* read) {
    Sim& s = TheSim();
    std::unique_lock lock(s.mu);
    Call call(s, KQSIM_FT_READ, h);
    call.Entry().a0 = n;
    HandleRec* rec = nullptr;
    FT_STATUS st = 0;
    if (Begin(call, &rec, &st)) {
        return call.Done(st);
    }
    if ((buf == nullptr && n > 0) || read == nullptr) {
        return call.Done(FT_INVALID_PARAMETER);
    }
    *read = 0;
    const uint64_t id = HandleId(h);
    const uint32_t timeout = rec->read_timeout_ms;
    const Time deadline = Clock::now() + kqsim::Millis(timeout);
    for (;;) {
        // The handle may have been closed, reset or unplugged meanwhile.
        auto it = s.handles.find(id);
        if (it == s.handles.end()) {
            return call.Done(FT_INVALID_HANDLE);
        }
        if (it->second.stale) {
            return call.Done(FT_IO_ERROR);
        }
        Device& d = *it->second.device;
        Time now = Clock::now();
        Pump(d, now);
        if (d.rx.size() >= n || (timeout != 0 && now >= deadline)) {
            size_t got = std::min<size_t>(n, d.rx.size());
            if (got > 0) {
                std::memcpy(buf, d.rx.data(), got);
            }
            d.rx.erase(0, got);
            *read = static_cast<DWORD>(got);
            call.Entry().a1 = *read;
            return call.Done(FT_OK);
        }
        std::optional<Time> wake = d.reader.NextWake();
        if (timeout != 0) {
            wake = kqsim::Earliest(wake, deadline);
        }
        if (wake) {
            s.cv.wait_until(lock, *wake);
        } else {
            s.cv.wait(lock);
        }
    }
}

FT_STATUS KQSIM_FT_CALL FT_Close(FT_HANDLE h) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mu);
    Call call(s, KQSIM_FT_CLOSE, h);
    FT_STATUS st = 0;
    if (call.Faulted(&st)) {
        return call.Done(st);
    }
    auto it = s.handles.find(HandleId(h));
    if (it == s.handles.end()) {
        return call.Done(FT_INVALID_HANDLE);
    }
    // A stale handle is released too.
    if (!it->second.stale && it->second.device->open_handle == it->first) {
        it->second.device->open_handle = 0;
        it->second.device->rx.clear();
    }
    s.handles.erase(it);
    s.cv.notify_all();
    return call.Done(FT_OK);
}

} // extern "C"

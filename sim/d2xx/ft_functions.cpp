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

// One D2XX call: the simulator's lock, its log entry and its entry check.
class Call {
  public:
    // Takes the lock and starts the log entry: the function, the handle and
    // the leading arguments a0..a2 (see kqsim_call).
    Call(int fn, FT_HANDLE h = nullptr, uint32_t a0 = 0, uint32_t a1 = 0, uint32_t a2 = 0)
        : s_(TheSim()), lock_(s_.mu) {
        entry_.fn = fn;
        entry_.handle = HandleId(h);
        entry_.a0 = a0;
        entry_.a1 = a1;
        entry_.a2 = a2;
    }

    Sim& S() { return s_; }
    std::unique_lock<std::mutex>& Lock() { return lock_; }
    kqsim_call& Entry() { return entry_; }

    // The entry check of every call: an injected failure for this call ends
    // it with its status; else body() carries it out and gives the status.
    template <typename Body> FT_STATUS Run(Body body) {
        FT_STATUS status = FT_OK;
        return Done(Faulted(&status) ? status : body());
    }

    // The entry check of every call on a handle: as Run, and then the
    // handle's record: FT_INVALID_HANDLE for an unknown, null or closed
    // handle, FT_IO_ERROR when its device has gone; else body(record).
    template <typename Body> FT_STATUS OnHandle(Body body) {
        return Run([&] {
            auto it = s_.handles.find(entry_.handle);
            if (it == s_.handles.end()) {
                return FT_INVALID_HANDLE;
            }
            return it->second.stale ? FT_IO_ERROR : body(it->second);
        });
    }

  private:
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

    FT_STATUS Done(FT_STATUS status) {
        entry_.status = status;
        if (s_.logging) {
            s_.calls.push_back(entry_);
        }
        return status;
    }

    Sim& s_;
    std::unique_lock<std::mutex> lock_;
    kqsim_call entry_{};
};

void CopySerial(char* out, const std::string& text) {
    size_t n = std::min<size_t>(text.size(), 63);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

} // namespace

extern "C" {

FT_STATUS KQSIM_FT_CALL FT_ListDevices(void* arg1, void* arg2, DWORD flags) {
    Call call(KQSIM_FT_LISTDEVICES, nullptr,
              static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg1)), flags);
    return call.Run([&] {
        std::vector<Device*> listed = Listed(call.S());
        bool by_description = (flags & FT_OPEN_BY_DESCRIPTION) != 0;
        auto text = [&](const Device* d) {
            return by_description ? std::string(KQSIM_DESCRIPTION) : d->serial;
        };
        if (flags & FT_LIST_NUMBER_ONLY) {
            if (arg1 == nullptr) {
                return FT_INVALID_PARAMETER;
            }
            *static_cast<DWORD*>(arg1) = static_cast<DWORD>(listed.size());
            return FT_OK;
        }
        if (flags & FT_LIST_BY_INDEX) {
            size_t index = static_cast<size_t>(reinterpret_cast<uintptr_t>(arg1));
            if (arg2 == nullptr) {
                return FT_INVALID_PARAMETER;
            }
            if (index >= listed.size()) {
                return FT_DEVICE_NOT_FOUND;
            }
            CopySerial(static_cast<char*>(arg2), text(listed[index]));
            return FT_OK;
        }
        if (flags & FT_LIST_ALL) {
            if (arg1 == nullptr || arg2 == nullptr) {
                return FT_INVALID_PARAMETER;
            }
            char** buffers = static_cast<char**>(arg1);
            for (size_t i = 0; i < listed.size(); ++i) {
                CopySerial(buffers[i], text(listed[i]));
            }
            *static_cast<DWORD*>(arg2) = static_cast<DWORD>(listed.size());
            return listed.empty() ? FT_DEVICE_NOT_FOUND : FT_OK;
        }
        return FT_INVALID_PARAMETER;
    });
}

FT_STATUS KQSIM_FT_CALL FT_OpenEx(void* arg1, DWORD flags, FT_HANDLE* handle) {
    Call call(KQSIM_FT_OPENEX, nullptr, flags);
    if (arg1 != nullptr) {
        std::strncpy(call.Entry().text, static_cast<const char*>(arg1),
                     sizeof call.Entry().text - 1);
    }
    return call.Run([&] {
        if (arg1 == nullptr || handle == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        Sim& s = call.S();
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
            return FT_DEVICE_NOT_FOUND;
        }
        if (found->open_handle != 0) {
            return FT_DEVICE_NOT_OPENED; // already open elsewhere
        }
        uint64_t id = s.next_handle;
        s.next_handle += kHandleStep;
        HandleRec rec;
        rec.device = found;
        s.handles[id] = rec;
        // A fresh handle starts with an empty buffer: what the reader sent
        // while nobody had it open is gone.
        found->open_handle = id;
        found->reader.TakeDue(Clock::now(), found->rx);
        found->rx.clear();
        *handle = reinterpret_cast<FT_HANDLE>(static_cast<uintptr_t>(id));
        return FT_OK;
    });
}

// The calls that only check their handle (the line settings the simulated
// reader does not model are logged and accepted).
FT_STATUS KQSIM_FT_CALL FT_ResetDevice(FT_HANDLE h) {
    return Call(KQSIM_FT_RESETDEVICE, h).OnHandle([](HandleRec&) { return FT_OK; });
}

FT_STATUS KQSIM_FT_CALL FT_SetBaudRate(FT_HANDLE h, ULONG baud) {
    return Call(KQSIM_FT_SETBAUDRATE, h, baud).OnHandle([](HandleRec&) { return FT_OK; });
}

FT_STATUS KQSIM_FT_CALL FT_SetDataCharacteristics(FT_HANDLE h, UCHAR bits, UCHAR stop,
                                                  UCHAR parity) {
    return Call(KQSIM_FT_SETDATACHARACTERISTICS, h, bits, stop, parity).OnHandle([](HandleRec&) {
        return FT_OK;
    });
}

FT_STATUS KQSIM_FT_CALL FT_SetFlowControl(FT_HANDLE h, USHORT flow, UCHAR xon, UCHAR xoff) {
    return Call(KQSIM_FT_SETFLOWCONTROL, h, flow, xon, xoff).OnHandle([](HandleRec&) {
        return FT_OK;
    });
}

FT_STATUS KQSIM_FT_CALL FT_SetBreakOff(FT_HANDLE h) {
    return Call(KQSIM_FT_SETBREAKOFF, h).OnHandle([](HandleRec&) { return FT_OK; });
}

FT_STATUS KQSIM_FT_CALL FT_SetTimeouts(FT_HANDLE h, ULONG read_ms, ULONG write_ms) {
    return Call(KQSIM_FT_SETTIMEOUTS, h, read_ms, write_ms).OnHandle([&](HandleRec& rec) {
        rec.read_timeout_ms = read_ms;
        rec.write_timeout_ms = write_ms;
        return FT_OK;
    });
}

FT_STATUS KQSIM_FT_CALL FT_Purge(FT_HANDLE h, ULONG mask) {
    return Call(KQSIM_FT_PURGE, h, mask).OnHandle([&](HandleRec& rec) {
        // Receive side: what is readable now goes; bytes still on the wire
        // arrive later. The transmit side is always empty: writes are handed
        // to the reader at once.
        Pump(*rec.device, Clock::now());
        if ((mask & FT_PURGE_RX) != 0) {
            rec.device->rx.clear();
        }
        return FT_OK;
    });
}

FT_STATUS KQSIM_FT_CALL FT_GetStatus(FT_HANDLE h, DWORD* rx, DWORD* tx, DWORD* events) {
    Call call(KQSIM_FT_GETSTATUS, h);
    return call.OnHandle([&](HandleRec& rec) {
        if (rx == nullptr || tx == nullptr || events == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        CountQueuePoll(*rec.device);
        Pump(*rec.device, Clock::now());
        *rx = static_cast<DWORD>(rec.device->rx.size());
        *tx = 0;
        *events = 0;
        call.Entry().a0 = *rx;
        return FT_OK;
    });
}

FT_STATUS KQSIM_FT_CALL FT_GetQueueStatus(FT_HANDLE h, DWORD* rx) {
    Call call(KQSIM_FT_GETQUEUESTATUS, h);
    return call.OnHandle([&](HandleRec& rec) {
        if (rx == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        CountQueuePoll(*rec.device);
        Pump(*rec.device, Clock::now());
        *rx = static_cast<DWORD>(rec.device->rx.size());
        call.Entry().a0 = *rx;
        return FT_OK;
    });
}

FT_STATUS KQSIM_FT_CALL FT_SetBreakOn(FT_HANDLE h) {
    return Call(KQSIM_FT_SETBREAKON, h).OnHandle([](HandleRec& rec) {
        rec.device->reader.Break(Clock::now());
        return FT_OK;
    });
}

FT_STATUS KQSIM_FT_CALL FT_Write(FT_HANDLE h, void* buf, DWORD n, DWORD* written) {
    Call call(KQSIM_FT_WRITE, h, n, UINT32_MAX);
    Sim& s = call.S();
    // The frame is logged even when the call then fails.
    if (buf != nullptr && s.logging) {
        call.Entry().a1 = static_cast<uint32_t>(s.frames.size());
        s.frames.emplace_back(static_cast<const char*>(buf), n);
    }
    return call.OnHandle([&](HandleRec& rec) {
        if ((buf == nullptr && n > 0) || written == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        rec.device->reader.Write(Clock::now(), static_cast<const uint8_t*>(buf), n);
        *written = n;
        s.cv.notify_all(); // a reader waiting in FT_Read has a new wake-up time
        return FT_OK;
    });
}

FT_STATUS KQSIM_FT_CALL FT_Read(FT_HANDLE h, void* buf, DWORD n, DWORD* read) {
    Call call(KQSIM_FT_READ, h, n);
    return call.OnHandle([&](HandleRec& rec) {
        if ((buf == nullptr && n > 0) || read == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        *read = 0;
        Sim& s = call.S();
        const uint64_t id = HandleId(h);
        const uint32_t timeout = rec.read_timeout_ms;
        const Time deadline = Clock::now() + kqsim::Millis(timeout);
        for (;;) {
            // The handle may have been closed, reset or unplugged meanwhile.
            auto it = s.handles.find(id);
            if (it == s.handles.end()) {
                return FT_INVALID_HANDLE;
            }
            if (it->second.stale) {
                return FT_IO_ERROR;
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
                return FT_OK;
            }
            std::optional<Time> wake = d.reader.NextWake();
            if (timeout != 0) {
                wake = kqsim::Earliest(wake, deadline);
            }
            if (wake) {
                s.cv.wait_until(call.Lock(), *wake);
            } else {
                s.cv.wait(call.Lock());
            }
        }
    });
}

FT_STATUS KQSIM_FT_CALL FT_Close(FT_HANDLE h) {
    Call call(KQSIM_FT_CLOSE, h);
    // Not OnHandle: a stale handle is released too.
    return call.Run([&] {
        Sim& s = call.S();
        auto it = s.handles.find(HandleId(h));
        if (it == s.handles.end()) {
            return FT_INVALID_HANDLE;
        }
        if (!it->second.stale && it->second.device->open_handle == it->first) {
            it->second.device->open_handle = 0;
            it->second.device->rx.clear();
        }
        s.handles.erase(it);
        s.cv.notify_all();
        return FT_OK;
    });
}

} // extern "C"

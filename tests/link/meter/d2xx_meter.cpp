// A D2XX-compatible pass-through to the simulated reader that marks, per
// thread, when control is inside the driver. The allocation test binds the
// library to this file, so that what the simulated reader allocates for its
// own bookkeeping is told apart from what the library allocates.
#include "link/d2xx.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>

#define METER_API extern "C" __attribute__((visibility("default")))

namespace {

using kq::DWORD;
using kq::FT_HANDLE;
using kq::FT_STATUS;
using kq::UCHAR;
using kq::ULONG;
using kq::USHORT;

// Loaded with the test program, so the static TLS model holds and reading
// the depth never allocates.
__attribute__((tls_model("initial-exec"))) thread_local int t_driver_depth = 0;

struct InDriver {
    InDriver() { ++t_driver_depth; }
    ~InDriver() { --t_driver_depth; }
    InDriver(const InDriver&) = delete;
    InDriver& operator=(const InDriver&) = delete;
};

struct Real {
    FT_STATUS (*ListDevices)(void*, void*, DWORD);
    FT_STATUS (*OpenEx)(void*, DWORD, FT_HANDLE*);
    FT_STATUS (*ResetDevice)(FT_HANDLE);
    FT_STATUS (*SetBaudRate)(FT_HANDLE, ULONG);
    FT_STATUS (*SetDataCharacteristics)(FT_HANDLE, UCHAR, UCHAR, UCHAR);
    FT_STATUS (*SetFlowControl)(FT_HANDLE, USHORT, UCHAR, UCHAR);
    FT_STATUS (*SetTimeouts)(FT_HANDLE, ULONG, ULONG);
    FT_STATUS (*Purge)(FT_HANDLE, ULONG);
    FT_STATUS (*GetStatus)(FT_HANDLE, DWORD*, DWORD*, DWORD*);
    FT_STATUS (*GetQueueStatus)(FT_HANDLE, DWORD*);
    FT_STATUS (*SetBreakOn)(FT_HANDLE);
    FT_STATUS (*SetBreakOff)(FT_HANDLE);
    FT_STATUS (*Write)(FT_HANDLE, void*, DWORD, DWORD*);
    FT_STATUS (*Read)(FT_HANDLE, void*, DWORD, DWORD*);
    FT_STATUS (*Close)(FT_HANDLE);
};

Real g_real;

template <typename F> void Bind(void* lib, const char* name, F* slot) {
    void* sym = dlsym(lib, name);
    if (sym == nullptr) {
        std::fprintf(stderr, "d2xx meter: %s missing in %s\n", name, KQSIM_LIBRARY_PATH);
        std::abort();
    }
    *slot = reinterpret_cast<F>(sym);
}

// Bound when the test program starts, before anything is measured.
__attribute__((constructor)) void BindSimulator() {
    InDriver in;
    void* lib = dlopen(KQSIM_LIBRARY_PATH, RTLD_NOW);
    if (lib == nullptr) {
        std::fprintf(stderr, "d2xx meter: %s\n", dlerror());
        std::abort();
    }
    Bind(lib, "FT_ListDevices", &g_real.ListDevices);
    Bind(lib, "FT_OpenEx", &g_real.OpenEx);
    Bind(lib, "FT_ResetDevice", &g_real.ResetDevice);
    Bind(lib, "FT_SetBaudRate", &g_real.SetBaudRate);
    Bind(lib, "FT_SetDataCharacteristics", &g_real.SetDataCharacteristics);
    Bind(lib, "FT_SetFlowControl", &g_real.SetFlowControl);
    Bind(lib, "FT_SetTimeouts", &g_real.SetTimeouts);
    Bind(lib, "FT_Purge", &g_real.Purge);
    Bind(lib, "FT_GetStatus", &g_real.GetStatus);
    Bind(lib, "FT_GetQueueStatus", &g_real.GetQueueStatus);
    Bind(lib, "FT_SetBreakOn", &g_real.SetBreakOn);
    Bind(lib, "FT_SetBreakOff", &g_real.SetBreakOff);
    Bind(lib, "FT_Write", &g_real.Write);
    Bind(lib, "FT_Read", &g_real.Read);
    Bind(lib, "FT_Close", &g_real.Close);
}

} // namespace

// Nonzero while the calling thread is inside a driver call.
METER_API int kqmeter_driver_depth(void) {
    return t_driver_depth;
}

// Runs fn as if it were part of a driver call (checks the meter itself).
METER_API void kqmeter_run_in_driver(void (*fn)(void)) {
    InDriver in;
    fn();
}

METER_API FT_STATUS FT_ListDevices(void* a, void* b, DWORD flags) {
    InDriver in;
    return g_real.ListDevices(a, b, flags);
}
METER_API FT_STATUS FT_OpenEx(void* a, DWORD flags, FT_HANDLE* h) {
    InDriver in;
    return g_real.OpenEx(a, flags, h);
}
METER_API FT_STATUS FT_ResetDevice(FT_HANDLE h) {
    InDriver in;
    return g_real.ResetDevice(h);
}
METER_API FT_STATUS FT_SetBaudRate(FT_HANDLE h, ULONG baud) {
    InDriver in;
    return g_real.SetBaudRate(h, baud);
}
METER_API FT_STATUS FT_SetDataCharacteristics(FT_HANDLE h, UCHAR bits, UCHAR stop, UCHAR parity) {
    InDriver in;
    return g_real.SetDataCharacteristics(h, bits, stop, parity);
}
METER_API FT_STATUS FT_SetFlowControl(FT_HANDLE h, USHORT flow, UCHAR xon, UCHAR xoff) {
    InDriver in;
    return g_real.SetFlowControl(h, flow, xon, xoff);
}
METER_API FT_STATUS FT_SetTimeouts(FT_HANDLE h, ULONG read_ms, ULONG write_ms) {
    InDriver in;
    return g_real.SetTimeouts(h, read_ms, write_ms);
}
METER_API FT_STATUS FT_Purge(FT_HANDLE h, ULONG mask) {
    InDriver in;
    return g_real.Purge(h, mask);
}
METER_API FT_STATUS FT_GetStatus(FT_HANDLE h, DWORD* rx, DWORD* tx, DWORD* events) {
    InDriver in;
    return g_real.GetStatus(h, rx, tx, events);
}
METER_API FT_STATUS FT_GetQueueStatus(FT_HANDLE h, DWORD* rx) {
    InDriver in;
    return g_real.GetQueueStatus(h, rx);
}
METER_API FT_STATUS FT_SetBreakOn(FT_HANDLE h) {
    InDriver in;
    return g_real.SetBreakOn(h);
}
METER_API FT_STATUS FT_SetBreakOff(FT_HANDLE h) {
    InDriver in;
    return g_real.SetBreakOff(h);
}
METER_API FT_STATUS FT_Write(FT_HANDLE h, void* buf, DWORD n, DWORD* written) {
    InDriver in;
    return g_real.Write(h, buf, n, written);
}
METER_API FT_STATUS FT_Read(FT_HANDLE h, void* buf, DWORD n, DWORD* got) {
    InDriver in;
    return g_real.Read(h, buf, n, got);
}
METER_API FT_STATUS FT_Close(FT_HANDLE h) {
    InDriver in;
    return g_real.Close(h);
}

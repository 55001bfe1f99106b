// Binds the D2XX functions once per process from the provider KQ_D2XX names:
// unset or empty -> the vendor library by its usual name (on Linux, when it
// cannot be loaded, the built-in serial provider); "serial" -> the built-in
// serial provider; anything else -> that library, with no fallback. Without a
// provider every call fails with FT_DEVICE_NOT_FOUND.
#include "link/d2xx.h"

#include "link/trace.h"
#include "platform/platform.h"

#include <cstring>

namespace kq {

namespace {

#if defined(_WIN32)
constexpr const char* kVendorLibrary = "ftd2xx.dll";
#elif defined(__APPLE__)
constexpr const char* kVendorLibrary = "libftd2xx.dylib";
#else
constexpr const char* kVendorLibrary = "libftd2xx.so";
#endif

FT_STATUS KQ_D2XX_CALL NoListDevices(void*, void*, DWORD) {
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS KQ_D2XX_CALL NoOpenEx(void*, DWORD, FT_HANDLE*) {
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS KQ_D2XX_CALL NoHandleCall(FT_HANDLE) {
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS KQ_D2XX_CALL NoSetBaudRate(FT_HANDLE, ULONG) {
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS KQ_D2XX_CALL NoSetDataCharacteristics(FT_HANDLE, UCHAR, UCHAR, UCHAR) {
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS KQ_D2XX_CALL NoSetFlowControl(FT_HANDLE, USHORT, UCHAR, UCHAR) {
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS KQ_D2XX_CALL NoSetTimeouts(FT_HANDLE, ULONG, ULONG) {
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS KQ_D2XX_CALL NoPurge(FT_HANDLE, ULONG) {
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS KQ_D2XX_CALL NoGetStatus(FT_HANDLE, DWORD*, DWORD*, DWORD*) {
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS KQ_D2XX_CALL NoGetQueueStatus(FT_HANDLE, DWORD*) {
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS KQ_D2XX_CALL NoTransfer(FT_HANDLE, void*, DWORD, DWORD*) {
    return FT_DEVICE_NOT_FOUND;
}

// Filled by name: a table whose entries changed places would not compile.
constexpr D2xxApi kNoProvider = {
    .ListDevices = NoListDevices,
    .OpenEx = NoOpenEx,
    .ResetDevice = NoHandleCall,
    .SetBaudRate = NoSetBaudRate,
    .SetDataCharacteristics = NoSetDataCharacteristics,
    .SetFlowControl = NoSetFlowControl,
    .SetTimeouts = NoSetTimeouts,
    .Purge = NoPurge,
    .GetStatus = NoGetStatus,
    .GetQueueStatus = NoGetQueueStatus,
    .SetBreakOn = NoHandleCall,
    .SetBreakOff = NoHandleCall,
    .Write = NoTransfer,
    .Read = NoTransfer,
    .Close = NoHandleCall,
};

struct Binding {
    D2xxApi api;
    D2xxProvider provider;
};

template <typename F> bool BindSymbol(void* lib, const char* name, F* slot) {
    void* sym = LibrarySymbol(lib, name);
    if (sym == nullptr) {
        return false;
    }
    *slot = reinterpret_cast<F>(sym);
    return true;
}

// Loads a D2XX-compatible library; false when it cannot be loaded or lacks
// any of the functions the library calls. A library that was loaded but found
// wanting stays loaded: unloading code that may have started threads is not
// worth the risk.
bool BindLibrary(const char* name, D2xxApi* api) {
    void* lib = LibraryOpen(name);
    if (lib == nullptr) {
        return false;
    }
    return BindSymbol(lib, "FT_ListDevices", &api->ListDevices) &&
           BindSymbol(lib, "FT_OpenEx", &api->OpenEx) &&
           BindSymbol(lib, "FT_ResetDevice", &api->ResetDevice) &&
           BindSymbol(lib, "FT_SetBaudRate", &api->SetBaudRate) &&
           BindSymbol(lib, "FT_SetDataCharacteristics", &api->SetDataCharacteristics) &&
           BindSymbol(lib, "FT_SetFlowControl", &api->SetFlowControl) &&
           BindSymbol(lib, "FT_SetTimeouts", &api->SetTimeouts) &&
           BindSymbol(lib, "FT_Purge", &api->Purge) &&
           BindSymbol(lib, "FT_GetStatus", &api->GetStatus) &&
           BindSymbol(lib, "FT_GetQueueStatus", &api->GetQueueStatus) &&
           BindSymbol(lib, "FT_SetBreakOn", &api->SetBreakOn) &&
           BindSymbol(lib, "FT_SetBreakOff", &api->SetBreakOff) &&
           BindSymbol(lib, "FT_Write", &api->Write) && BindSymbol(lib, "FT_Read", &api->Read) &&
           BindSymbol(lib, "FT_Close", &api->Close);
}

bool BindSerial(D2xxApi* api) {
    const D2xxApi* serial = SerialProviderApi();
    if (serial == nullptr) {
        return false;
    }
    *api = *serial;
    return true;
}

Binding Bind() {
    Binding b{kNoProvider, D2xxProvider::None};
    D2xxApi api{};
    const char* choice = EnvValue("KQ_D2XX");
    if (choice == nullptr || choice[0] == '\0') {
        if (BindLibrary(kVendorLibrary, &api)) {
            b = {api, D2xxProvider::Library};
        } else if (BindSerial(&api)) {
            b = {api, D2xxProvider::Serial};
        }
    } else if (std::strcmp(choice, "serial") == 0) {
        if (BindSerial(&api)) {
            b = {api, D2xxProvider::Serial};
        }
    } else if (BindLibrary(choice, &api)) {
        b = {api, D2xxProvider::Library};
    }
    TraceWrap(&b.api); // KQ_TRACE: wraps whichever table was bound
    return b;
}

const Binding& Bound() {
    // Initialised once, on first use, thread-safely; never changed after.
    static const Binding binding = Bind();
    return binding;
}

} // namespace

const D2xxApi& D2xx() {
    return Bound().api;
}

D2xxProvider D2xxBoundProvider() {
    return Bound().provider;
}

} // namespace kq

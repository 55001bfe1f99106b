// The D2XX stand-in of the fuzz targets (see d2xx_double.h). The library
// binds it through KQ_D2XX like any driver.
#include "d2xx_double.h"

#include "link/d2xx_defs.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

using namespace kq::ft;

namespace {

constexpr uintptr_t kHandle = 0xD2;

struct Device {
    std::mutex mu;
    std::string script;
    size_t next = 0; // next piece of the script
    std::string rx;  // readable now
    unsigned calls = 0;
    unsigned fail_call = 0;
    size_t written = 0;
};

Device& Dev() {
    static Device* d = new Device; // never destroyed: a worker may still call in
    return *d;
}

// Counts a call on the handle; true when it is the one that fails.
bool Failing(Device& d, FT_HANDLE h, FT_STATUS* st) {
    if (reinterpret_cast<uintptr_t>(h) != kHandle) {
        *st = FT_INVALID_HANDLE;
        return true;
    }
    if (++d.calls == d.fail_call) {
        *st = FT_IO_ERROR;
        return true;
    }
    return false;
}

void NextPiece(Device& d) {
    if (d.next >= d.script.size()) {
        return;
    }
    size_t len = static_cast<uint8_t>(d.script[d.next]) % 65;
    ++d.next;
    len = std::min(len, d.script.size() - d.next);
    d.rx.append(d.script, d.next, len);
    d.next += len;
}

#define HANDLE_CALL(h)                                                                             \
    Device& d = Dev();                                                                             \
    std::lock_guard lock(d.mu);                                                                    \
    FT_STATUS st = FT_OK;                                                                          \
    if (Failing(d, h, &st)) {                                                                      \
        return st;                                                                                 \
    }

} // namespace

extern "C" {

void fuzz_d2xx_load(const uint8_t* script, size_t n, unsigned fail_call) {
    Device& d = Dev();
    std::lock_guard lock(d.mu);
    d.script.assign(reinterpret_cast<const char*>(script), n);
    d.next = 0;
    d.rx.clear();
    d.calls = 0;
    d.fail_call = fail_call;
    d.written = 0;
}

bool fuzz_d2xx_exhausted(void) {
    Device& d = Dev();
    std::lock_guard lock(d.mu);
    return d.next >= d.script.size();
}

size_t fuzz_d2xx_written(void) {
    Device& d = Dev();
    std::lock_guard lock(d.mu);
    return d.written;
}

#define FT_EXPORT __attribute__((visibility("default")))

FT_EXPORT FT_STATUS FT_ListDevices(void* arg1, void* arg2, DWORD flags) {
    if (flags & FT_LIST_NUMBER_ONLY) {
        *static_cast<DWORD*>(arg1) = 1;
        return FT_OK;
    }
    if ((flags & FT_LIST_BY_INDEX) && reinterpret_cast<uintptr_t>(arg1) == 0 && arg2 != nullptr) {
        std::strcpy(static_cast<char*>(arg2), "FUZZ0001");
        return FT_OK;
    }
    return FT_DEVICE_NOT_FOUND;
}

FT_EXPORT FT_STATUS FT_OpenEx(void* arg1, DWORD, FT_HANDLE* handle) {
    if (arg1 == nullptr || handle == nullptr) {
        return FT_DEVICE_NOT_FOUND;
    }
    *handle = reinterpret_cast<void*>(kHandle);
    return FT_OK;
}

FT_EXPORT FT_STATUS FT_ResetDevice(FT_HANDLE h) {
    HANDLE_CALL(h);
    return FT_OK;
}
FT_EXPORT FT_STATUS FT_SetBaudRate(FT_HANDLE h, ULONG) {
    HANDLE_CALL(h);
    return FT_OK;
}
FT_EXPORT FT_STATUS FT_SetDataCharacteristics(FT_HANDLE h, UCHAR, UCHAR, UCHAR) {
    HANDLE_CALL(h);
    return FT_OK;
}
FT_EXPORT FT_STATUS FT_SetFlowControl(FT_HANDLE h, USHORT, UCHAR, UCHAR) {
    HANDLE_CALL(h);
    return FT_OK;
}
FT_EXPORT FT_STATUS FT_SetTimeouts(FT_HANDLE h, ULONG, ULONG) {
    HANDLE_CALL(h);
    return FT_OK;
}
FT_EXPORT FT_STATUS FT_Purge(FT_HANDLE h, ULONG mask) {
    HANDLE_CALL(h);
    if (mask & FT_PURGE_RX) {
        d.rx.clear(); // pieces not yet released are still on the wire
    }
    return FT_OK;
}
FT_EXPORT FT_STATUS FT_GetStatus(FT_HANDLE h, DWORD* rx, DWORD* tx, DWORD* events) {
    HANDLE_CALL(h);
    NextPiece(d);
    *rx = static_cast<DWORD>(d.rx.size());
    *tx = 0;
    *events = 0;
    return FT_OK;
}
FT_EXPORT FT_STATUS FT_GetQueueStatus(FT_HANDLE h, DWORD* rx) {
    HANDLE_CALL(h);
    NextPiece(d);
    *rx = static_cast<DWORD>(d.rx.size());
    return FT_OK;
}
FT_EXPORT FT_STATUS FT_SetBreakOn(FT_HANDLE h) {
    HANDLE_CALL(h);
    return FT_OK;
}
FT_EXPORT FT_STATUS FT_SetBreakOff(FT_HANDLE h) {
    HANDLE_CALL(h);
    return FT_OK;
}
FT_EXPORT FT_STATUS FT_Write(FT_HANDLE h, void* buf, DWORD n, DWORD* written) {
    HANDLE_CALL(h);
    // Touch every byte: the sanitizer checks the frame lies in its buffer.
    unsigned sum = 0;
    for (DWORD i = 0; i < n; ++i) {
        sum += static_cast<const uint8_t*>(buf)[i];
    }
    volatile unsigned sink = sum;
    (void)sink;
    d.written += n;
    *written = n;
    return FT_OK;
}
FT_EXPORT FT_STATUS FT_Read(FT_HANDLE h, void* buf, DWORD n, DWORD* read) {
    HANDLE_CALL(h);
    // Answers at once with what is there, as a read timeout would.
    size_t got = std::min<size_t>(n, d.rx.size());
    std::memcpy(buf, d.rx.data(), got);
    d.rx.erase(0, got);
    *read = static_cast<DWORD>(got);
    return FT_OK;
}
FT_EXPORT FT_STATUS FT_Close(FT_HANDLE h) {
    HANDLE_CALL(h);
    return FT_OK;
}

} // extern "C"

// The D2XX stand-in of the fuzz targets (see d2xx_double.h). The library
// binds it through KQ_D2XX like any driver.
#include "d2xx_double.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

namespace {

using FT_STATUS = uint32_t;
using DWORD = uint32_t;
constexpr FT_STATUS kOk = 0;
constexpr FT_STATUS kInvalidHandle = 1;
constexpr FT_STATUS kIoError = 4;
constexpr uint32_t kListByIndex = 0x40000000u;
constexpr uint32_t kListNumberOnly = 0x80000000u;
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
bool Failing(Device& d, void* h, FT_STATUS* st) {
    if (reinterpret_cast<uintptr_t>(h) != kHandle) {
        *st = kInvalidHandle;
        return true;
    }
    if (++d.calls == d.fail_call) {
        *st = kIoError;
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
    FT_STATUS st = kOk;                                                                            \
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
    if (flags & kListNumberOnly) {
        *static_cast<DWORD*>(arg1) = 1;
        return kOk;
    }
    if ((flags & kListByIndex) && reinterpret_cast<uintptr_t>(arg1) == 0 && arg2 != nullptr) {
        std::strcpy(static_cast<char*>(arg2), "FUZZ0001");
        return kOk;
    }
    return 2;
}

FT_EXPORT FT_STATUS FT_OpenEx(void* arg1, DWORD, void** handle) {
    if (arg1 == nullptr || handle == nullptr) {
        return 2;
    }
    *handle = reinterpret_cast<void*>(kHandle);
    return kOk;
}

FT_EXPORT FT_STATUS FT_ResetDevice(void* h) {
    HANDLE_CALL(h);
    return kOk;
}
FT_EXPORT FT_STATUS FT_SetBaudRate(void* h, uint32_t) {
    HANDLE_CALL(h);
    return kOk;
}
FT_EXPORT FT_STATUS FT_SetDataCharacteristics(void* h, uint8_t, uint8_t, uint8_t) {
    HANDLE_CALL(h);
    return kOk;
}
FT_EXPORT FT_STATUS FT_SetFlowControl(void* h, uint16_t, uint8_t, uint8_t) {
    HANDLE_CALL(h);
    return kOk;
}
FT_EXPORT FT_STATUS FT_SetTimeouts(void* h, uint32_t, uint32_t) {
    HANDLE_CALL(h);
    return kOk;
}
FT_EXPORT FT_STATUS FT_Purge(void* h, uint32_t mask) {
    HANDLE_CALL(h);
    if (mask & 1u) {
        d.rx.clear(); // pieces not yet released are still on the wire
    }
    return kOk;
}
FT_EXPORT FT_STATUS FT_GetStatus(void* h, DWORD* rx, DWORD* tx, DWORD* events) {
    HANDLE_CALL(h);
    NextPiece(d);
    *rx = static_cast<DWORD>(d.rx.size());
    *tx = 0;
    *events = 0;
    return kOk;
}
FT_EXPORT FT_STATUS FT_GetQueueStatus(void* h, DWORD* rx) {
    HANDLE_CALL(h);
    NextPiece(d);
    *rx = static_cast<DWORD>(d.rx.size());
    return kOk;
}
FT_EXPORT FT_STATUS FT_SetBreakOn(void* h) {
    HANDLE_CALL(h);
    return kOk;
}
FT_EXPORT FT_STATUS FT_SetBreakOff(void* h) {
    HANDLE_CALL(h);
    return kOk;
}
FT_EXPORT FT_STATUS FT_Write(void* h, void* buf, DWORD n, DWORD* written) {
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
    return kOk;
}
FT_EXPORT FT_STATUS FT_Read(void* h, void* buf, DWORD n, DWORD* read) {
    HANDLE_CALL(h);
    // Answers at once with what is there, as a read timeout would.
    size_t got = std::min<size_t>(n, d.rx.size());
    std::memcpy(buf, d.rx.data(), got);
    d.rx.erase(0, got);
    *read = static_cast<DWORD>(got);
    return kOk;
}
FT_EXPORT FT_STATUS FT_Close(void* h) {
    HANDLE_CALL(h);
    return kOk;
}

} // extern "C"

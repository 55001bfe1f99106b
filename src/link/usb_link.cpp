// USB link: the attached readers and their serial numbers, the library's
// version, open with the reader's line settings, probe, close, and the
// connection check of the command envelope.
#include "link/shared_fields.h"
#include "link/link.h"

#include <climits>
#include <cstdint>

namespace kq {

namespace {

constexpr ULONG kBaudRate = 38400;
constexpr DWORD kListFirstBySerial = FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER;

} // namespace

int CheckConnection(KQ_PROPERTY* prop) {
    if (KQ_CheckStatusUSB(prop) == 0) {
        return KQ_OK;
    }
    if (KQ_OpenUSB(prop) == KQ_OK) {
        return KQ_OK;
    }
    return KQ_ERR_USB;
}

} // namespace kq

using namespace kq;

extern "C" {

KQ_EXPORT int KQ_API KQ_GetSerialNo(char* buffer) {
    // Device index 0 travels in the pointer-sized first argument.
    FT_STATUS st = D2xx().ListDevices(nullptr, buffer, kListFirstBySerial);
    return st == FT_OK ? KQ_OK : KQ_ERR_SERIALNO;
}

KQ_EXPORT int KQ_API KQ_GetReaderCount(int* count) {
    if (count == nullptr) {
        return KQ_ERR_PARAM;
    }
    DWORD number = 0;
    FT_STATUS st = D2xx().ListDevices(&number, nullptr, FT_LIST_NUMBER_ONLY);
    if (st != FT_OK) {
        *count = 0;
        return KQ_ERR_SERIALNO;
    }
    *count = number > static_cast<DWORD>(INT_MAX) ? INT_MAX : static_cast<int>(number);
    return KQ_OK;
}

KQ_EXPORT int KQ_API KQ_GetSerialNoAt(int index, char* buffer) {
    if (buffer == nullptr || index < 0) {
        return KQ_ERR_PARAM;
    }
    // The index travels in the pointer-sized first argument, as for index 0.
    void* at = reinterpret_cast<void*>(static_cast<uintptr_t>(index));
    FT_STATUS st = D2xx().ListDevices(at, buffer, kListFirstBySerial);
    if (st != FT_OK) {
        buffer[0] = '\0';
        return KQ_ERR_SERIALNO;
    }
    return KQ_OK;
}

KQ_EXPORT int KQ_API KQ_GetVersion(void) {
    return KQ_VERSION_NUMBER;
}

KQ_EXPORT int KQ_API KQ_OpenUSB(KQ_PROPERTY* prop) {
    if (prop->SerialNo == nullptr) {
        return KQ_ERR_PARAM;
    }
    const D2xxApi& ft = D2xx();
    // A handle still set (an open reader, or a stale one after an unplug or
    // a failed probe) is released first, so a reopen never leaks it and the
    // driver does not refuse the reader as already open.
    void* old = LoadHandle(prop);
    if (old != nullptr) {
        ft.Close(old);
        StoreHandle(prop, nullptr);
    }
    FT_HANDLE handle = nullptr;
    FT_STATUS st = ft.OpenEx(const_cast<char*>(prop->SerialNo), FT_OPEN_BY_SERIAL_NUMBER, &handle);
    if (st != FT_OK) {
        StoreHandle(prop, nullptr);
        return KQ_ERR_USB;
    }
    StoreHandle(prop, handle);
    // Configuration failures are not reported: once open, the open counts.
    ft.ResetDevice(handle);
    ft.SetBaudRate(handle, kBaudRate);
    ft.SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
    ft.SetFlowControl(handle, FT_FLOW_NONE, 0, 0);
    ft.SetTimeouts(handle, prop->ReadTimeout, prop->WriteTimeout);
    ft.Purge(handle, FT_PURGE_RX | FT_PURGE_TX);
    return KQ_OK;
}

KQ_EXPORT int KQ_API KQ_CloseUSB(KQ_PROPERTY* prop) {
    void* handle = LoadHandle(prop);
    if (handle == nullptr) {
        return KQ_ERR_USB;
    }
    const D2xxApi& ft = D2xx();
    if (KQ_CheckStatusUSB(prop) != 0) {
        // The reader is gone: release the stale handle in the driver anyway.
        ft.Close(handle);
        StoreHandle(prop, nullptr);
        return KQ_OK;
    }
    if (ft.Close(handle) != FT_OK) {
        return KQ_ERR_CLOSE;
    }
    StoreHandle(prop, nullptr);
    return KQ_OK;
}

KQ_EXPORT int KQ_API KQ_CheckStatusUSB(KQ_PROPERTY* prop) {
    DWORD rx = 0;
    DWORD tx = 0;
    DWORD events = 0;
    return static_cast<int>(D2xx().GetStatus(LoadHandle(prop), &rx, &tx, &events));
}

} // extern "C"

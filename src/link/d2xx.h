// D2XX driver binding: the table of driver functions the library calls,
// bound once per process from the provider that KQ_D2XX names.
#pragma once

#include <cstdint>

namespace kq {

using FT_STATUS = uint32_t;
using FT_HANDLE = void*;
using DWORD = uint32_t;
using ULONG = uint32_t;
using USHORT = uint16_t;
using UCHAR = uint8_t;

#if defined(_WIN32) && !defined(_WIN64)
#define KQ_D2XX_CALL __stdcall
#else
#define KQ_D2XX_CALL
#endif

// Status numbers of the vendor driver that the library itself produces.
constexpr FT_STATUS FT_OK = 0;
constexpr FT_STATUS FT_INVALID_HANDLE = 1;
constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
constexpr FT_STATUS FT_IO_ERROR = 4;

// Constants the library passes.
constexpr DWORD FT_OPEN_BY_SERIAL_NUMBER = 1;
constexpr DWORD FT_LIST_BY_INDEX = 0x40000000;
constexpr UCHAR FT_BITS_8 = 8;
constexpr UCHAR FT_STOP_BITS_1 = 0;
constexpr UCHAR FT_PARITY_NONE = 0;
constexpr USHORT FT_FLOW_NONE = 0;
constexpr ULONG FT_PURGE_RX = 1;
constexpr ULONG FT_PURGE_TX = 2;

struct D2xxApi {
    FT_STATUS(KQ_D2XX_CALL* ListDevices)(void* arg1, void* arg2, DWORD flags);
    FT_STATUS(KQ_D2XX_CALL* OpenEx)(void* arg1, DWORD flags, FT_HANDLE* handle);
    FT_STATUS(KQ_D2XX_CALL* ResetDevice)(FT_HANDLE h);
    FT_STATUS(KQ_D2XX_CALL* SetBaudRate)(FT_HANDLE h, ULONG baud);
    FT_STATUS(KQ_D2XX_CALL* SetDataCharacteristics)
    (FT_HANDLE h, UCHAR bits, UCHAR stop, UCHAR parity);
    FT_STATUS(KQ_D2XX_CALL* SetFlowControl)(FT_HANDLE h, USHORT flow, UCHAR xon, UCHAR xoff);
    FT_STATUS(KQ_D2XX_CALL* SetTimeouts)(FT_HANDLE h, ULONG read_ms, ULONG write_ms);
    FT_STATUS(KQ_D2XX_CALL* Purge)(FT_HANDLE h, ULONG mask);
    FT_STATUS(KQ_D2XX_CALL* GetStatus)(FT_HANDLE h, DWORD* rx, DWORD* tx, DWORD* events);
    FT_STATUS(KQ_D2XX_CALL* GetQueueStatus)(FT_HANDLE h, DWORD* rx);
    FT_STATUS(KQ_D2XX_CALL* SetBreakOn)(FT_HANDLE h);
    FT_STATUS(KQ_D2XX_CALL* SetBreakOff)(FT_HANDLE h);
    FT_STATUS(KQ_D2XX_CALL* Write)(FT_HANDLE h, void* buf, DWORD n, DWORD* written);
    FT_STATUS(KQ_D2XX_CALL* Read)(FT_HANDLE h, void* buf, DWORD n, DWORD* read);
    FT_STATUS(KQ_D2XX_CALL* Close)(FT_HANDLE h);
};

// Which provider the binding chose (for diagnostics and tests).
enum class D2xxProvider { None, Library, Serial };

// The bound table. Bound on first use, once per process, thread-safe. When no
// provider can be bound every entry fails with FT_DEVICE_NOT_FOUND.
const D2xxApi& D2xx();
D2xxProvider D2xxBoundProvider();

// The built-in serial provider's table (Linux); null elsewhere.
const D2xxApi* SerialProviderApi();

} // namespace kq

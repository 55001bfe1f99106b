// D2XX driver binding: the table of driver functions the library calls,
// bound once per process from the provider that KQ_D2XX names.
#pragma once

#include "link/d2xx_defs.h"

namespace kq {

using namespace kq::ft;

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

/*
 * kqsim_ft.h - the D2XX functions the simulated reader library exports,
 * with the vendor's prototypes, for programs that call them directly (the
 * simulator's own tests). Clients of the KQ library never include this: the
 * library binds the functions at run time. C++ only: the types and numbers
 * are the project's one D2XX vocabulary (link/d2xx_defs.h).
 */
#ifndef KQSIM_FT_H
#define KQSIM_FT_H

#include "link/d2xx_defs.h"

/* The vendor's header declares its types and numbers globally. */
using namespace kq::ft;

extern "C" {

#define KQSIM_FT_CALL KQ_D2XX_CALL

#if defined(_WIN32)
#define KQSIM_FT_API /* exported through kqsim_d2xx.def */
#else
#define KQSIM_FT_API __attribute__((visibility("default")))
#endif

/* Description every simulated device reports. */
#define KQSIM_DESCRIPTION "KQ RFID Reader (simulated)"

KQSIM_FT_API FT_STATUS KQSIM_FT_CALL FT_ListDevices(void* arg1, void* arg2, DWORD flags);
KQSIM_FT_API FT_STATUS KQSIM_FT_CALL FT_OpenEx(void* arg1, DWORD flags, FT_HANDLE* handle);
KQSIM_FT_API FT_STATUS KQSIM_FT_CALL FT_ResetDevice(FT_HANDLE h);
KQSIM_FT_API FT_STATUS KQSIM_FT_CALL FT_SetBaudRate(FT_HANDLE h, ULONG baud);
KQSIM_FT_API FT_STATUS KQSIM_FT_CALL FT_SetDataCharacteristics(FT_HANDLE h, UCHAR bits, UCHAR stop,
                                                               UCHAR parity);
KQSIM_FT_API FT_STATUS KQSIM_FT_CALL FT_SetFlowControl(FT_HANDLE h, USHORT flow, UCHAR xon,
                                                       UCHAR xoff);
KQSIM_FT_API FT_STATUS KQSIM_FT_CALL FT_SetTimeouts(FT_HANDLE h, ULONG read_ms, ULONG write_ms);
KQSIM_FT_API FT_STATUS KQSIM_FT_CALL FT_Purge(FT_HANDLE h, ULONG mask);
KQSIM_FT_API FT_STATUS KQSIM_FT_CALL FT_GetStatus(FT_HANDLE h, DWORD* rx, DWORD* tx, DWORD* events);
KQSIM_FT_API FT_STATUS KQSIM_FT_CALL FT_GetQueueStatus(FT_HANDLE h, DWORD* rx);
KQSIM_FT_API FT_STATUS KQSIM_FT_CALL FT_SetBreakOn(FT_HANDLE h);
KQSIM_FT_API FT_STATUS KQSIM_FT_CALL FT_SetBreakOff(FT_HANDLE h);
KQSIM_FT_API FT_STATUS KQSIM_FT_CALL FT_Write(FT_HANDLE h, void* buf, DWORD n, DWORD* written);
KQSIM_FT_API FT_STATUS KQSIM_FT_CALL FT_Read(FT_HANDLE h, void* buf, DWORD n, DWORD* read);
KQSIM_FT_API FT_STATUS KQSIM_FT_CALL FT_Close(FT_HANDLE h);

} /* extern "C" */

#endif /* KQSIM_FT_H */

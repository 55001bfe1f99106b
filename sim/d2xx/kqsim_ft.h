/*
 * kqsim_ft.h - the D2XX functions the simulated reader library exports,
 * with the vendor's prototypes, for programs that call them directly (the
 * simulator's own tests). Clients of the KQ library never include this: the
 * library binds the functions at run time.
 */
#ifndef KQSIM_FT_H
#define KQSIM_FT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t FT_STATUS;
typedef void* FT_HANDLE;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef uint16_t USHORT;
typedef uint8_t UCHAR;

#if defined(_WIN32) && !defined(_WIN64)
#define KQSIM_FT_CALL __stdcall
#else
#define KQSIM_FT_CALL
#endif

#if defined(_WIN32)
#define KQSIM_FT_API /* exported through kqsim_d2xx.def */
#else
#define KQSIM_FT_API __attribute__((visibility("default")))
#endif

/* Status numbers of the vendor driver. */
#define KQSIM_FT_OK 0u
#define KQSIM_FT_INVALID_HANDLE 1u
#define KQSIM_FT_DEVICE_NOT_FOUND 2u
#define KQSIM_FT_DEVICE_NOT_OPENED 3u
#define KQSIM_FT_IO_ERROR 4u
#define KQSIM_FT_INVALID_PARAMETER 6u

/* Flags of FT_ListDevices and FT_OpenEx. */
#define KQSIM_FT_OPEN_BY_SERIAL_NUMBER 1u
#define KQSIM_FT_OPEN_BY_DESCRIPTION 2u
#define KQSIM_FT_LIST_ALL 0x20000000u
#define KQSIM_FT_LIST_BY_INDEX 0x40000000u
#define KQSIM_FT_LIST_NUMBER_ONLY 0x80000000u

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

#ifdef __cplusplus
}
#endif

#endif /* KQSIM_FT_H */

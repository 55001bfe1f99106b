// The D2XX vocabulary: the driver's types, calling convention, status numbers
// and flag bits, as the vendor's header declares them. One list for every
// part that speaks D2XX: the library's binding and its built-in serial
// provider, the simulated reader, the tests and kqtool. Numbers and flags
// only; the names of the status numbers, for people, are in kq.h.
//
// The names live in kq::ft; code inside namespace kq sees them unqualified
// (link/d2xx.h brings them in), and the simulator's header brings them into
// the global namespace, where the vendor's header has them.
#pragma once

#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define KQ_D2XX_CALL __stdcall
#else
#define KQ_D2XX_CALL
#endif

namespace kq::ft {

using FT_STATUS = uint32_t;
using FT_HANDLE = void*;
using DWORD = uint32_t;
using ULONG = uint32_t;
using USHORT = uint16_t;
using UCHAR = uint8_t;

// Status numbers.
constexpr FT_STATUS FT_OK = 0;
constexpr FT_STATUS FT_INVALID_HANDLE = 1;
constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
constexpr FT_STATUS FT_IO_ERROR = 4;
constexpr FT_STATUS FT_INSUFFICIENT_RESOURCES = 5;
constexpr FT_STATUS FT_INVALID_PARAMETER = 6;
constexpr FT_STATUS FT_INVALID_BAUD_RATE = 7;
constexpr FT_STATUS FT_NOT_SUPPORTED = 17;

// FT_ListDevices and FT_OpenEx: what the text names, and how to list.
constexpr DWORD FT_OPEN_BY_SERIAL_NUMBER = 1;
constexpr DWORD FT_OPEN_BY_DESCRIPTION = 2;
constexpr DWORD FT_LIST_ALL = 0x20000000;
constexpr DWORD FT_LIST_BY_INDEX = 0x40000000;
constexpr DWORD FT_LIST_NUMBER_ONLY = 0x80000000;

// FT_SetDataCharacteristics.
constexpr UCHAR FT_BITS_7 = 7;
constexpr UCHAR FT_BITS_8 = 8;
constexpr UCHAR FT_STOP_BITS_1 = 0;
constexpr UCHAR FT_STOP_BITS_2 = 2;
constexpr UCHAR FT_PARITY_NONE = 0;
constexpr UCHAR FT_PARITY_ODD = 1;
constexpr UCHAR FT_PARITY_EVEN = 2;
constexpr UCHAR FT_PARITY_MARK = 3;
constexpr UCHAR FT_PARITY_SPACE = 4;

// FT_SetFlowControl.
constexpr USHORT FT_FLOW_NONE = 0x0000;
constexpr USHORT FT_FLOW_RTS_CTS = 0x0100;
constexpr USHORT FT_FLOW_DTR_DSR = 0x0200;
constexpr USHORT FT_FLOW_XON_XOFF = 0x0400;

// FT_Purge.
constexpr ULONG FT_PURGE_RX = 1;
constexpr ULONG FT_PURGE_TX = 2;

// Listed text (serial number, description) fills at most this many bytes
// with its NUL: the buffer size the vendor's listing asks of its callers.
constexpr DWORD kListTextMax = 64;

} // namespace kq::ft

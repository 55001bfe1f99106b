/*
 * kq.h - driver library of the KQ desktop USB RFID reader/writer.
 *
 * The reader sits behind an FTDI USB-to-serial bridge and is reached through a
 * D2XX-compatible driver library. A client allocates one KQ_PROPERTY per
 * reader, fills in its settings, clears its blocks with KQ_Init_PROPERTY and
 * calls KQ_OpenUSB; every other operation takes the record's address.
 *
 * Every exported function returns a 32-bit signed result code (KQ_OK or one
 * of the KQ_ERR_* codes below, or a reader status 1-15); the one exception is
 * KQ_CheckStatusUSB, which returns the driver's own status number.
 *
 * Calling order:
 *   KQ_GetSerialNo (optional) -> fill KQ_PROPERTY (SerialNo, timeouts, hWnd,
 *   Handle NULL, StopFlag, hThread NULL, LoopMode) -> KQ_Init_PROPERTY ->
 *   KQ_OpenUSB -> tag operations -> KQ_LoopStop (if loop mode was used) ->
 *   KQ_CloseUSB.
 *
 * The record must stay allocated and unmoved until KQ_LoopStop has returned
 * and KQ_CloseUSB has released the handle: a loop worker holds its address.
 *
 * Records are byte-packed. On 32-bit targets every record has the 32-bit
 * binary layout that 32-bit Windows programs are built against, byte for
 * byte (KQ_PROPERTY is 33169 bytes, offsets below); on 64-bit targets the pointer and handle fields
 * widen to 8 bytes and KQ_PROPERTY is 33185 bytes. Both layouts are checked at compile time below.
 *
 * Selecting the driver (environment variable KQ_D2XX, read once per process):
 *   unset/empty  the vendor library (ftd2xx.dll, libftd2xx.so,
 *                libftd2xx.dylib); on Linux, when it cannot be loaded, the
 *                built-in serial provider.
 *   "serial"     the built-in serial provider (Linux): readers behind the
 *                kernel's FTDI serial driver, found by their USB serial
 *                number; a SerialNo that starts with "/dev/" opens that
 *                device path directly.
 *   other        path or file name of a D2XX-compatible library (for
 *                example the project's simulated reader). No fallback.
 * When no driver can be bound every driver call fails with status 2 (device
 * not found): KQ_GetSerialNo gives KQ_ERR_SERIALNO and KQ_OpenUSB KQ_ERR_USB.
 *
 * Tracing (environment variable KQ_TRACE, read when the driver is bound):
 *   "stderr" or a file path (appended to) makes the library write one line
 *   per driver call, whichever driver was chosen: time, thread, call,
 *   arguments, status, and the bytes written or read as text and hex. Each
 *   line is one write(); a destination that cannot take it at once loses
 *   it, one that cannot be opened is reported once on stderr. Unset or
 *   empty (the default): no tracing and no cost.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef KQ_H
#define KQ_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Calling convention of every export: __stdcall on 32-bit Windows (what
 * Windows DLL clients and P/Invoke expect), the platform default elsewhere. */
#if defined(_WIN32) && !defined(_WIN64)
#define KQ_API __stdcall
#else
#define KQ_API
#endif

/* Export attribute, set only while the library itself is built. Windows
 * builds export through a module-definition file. */
#if defined(KQ_BUILDING_LIBRARY) && !defined(_WIN32)
#define KQ_EXPORT __attribute__((visibility("default")))
#else
#define KQ_EXPORT
#endif

/* ------------------------------------------------------------------------ */
/* Version                                                                  */
/* ------------------------------------------------------------------------ */

/* Version of this header and of the library built with it (semantic
 * versioning; the shared library's ABI number changes only with MAJOR). The
 * build checks that these equal the project version. */
#define KQ_VERSION_MAJOR 0
#define KQ_VERSION_MINOR 2
#define KQ_VERSION_PATCH 0
/** The same version as text, "MAJOR.MINOR.PATCH". */
#define KQ_VERSION_STRING "0.2.0"
/** The same version as one number, MAJOR * 10000 + MINOR * 100 + PATCH: what
 * KQ_GetVersion returns for the library this header belongs to. */
#define KQ_VERSION_NUMBER (KQ_VERSION_MAJOR * 10000 + KQ_VERSION_MINOR * 100 + KQ_VERSION_PATCH)

/* ------------------------------------------------------------------------ */
/* Result codes                                                             */
/* ------------------------------------------------------------------------ */

/** Success. */
#define KQ_OK 0
/* 1-15: the reader's status character read as one hexadecimal digit
 * ('1'-'9' = 1-9, 'A'-'F'/'a'-'f' = 10-15). Note the overlaps: 10 is both
 * KQ_ERR_NOREPLY and reader status 'A'; 3 is both KQ_ERR_NOBLOCKS and reader
 * status '3' (KQ_MultiRead/KQ_MultiWrite never pass a reader status on). */
/** The block count of a multi operation's request is 0 (nothing was done). */
#define KQ_ERR_NOBLOCKS 3
/** No usable reply: nothing complete arrived in time, the reply was too short
 * to carry a status, its status character was not a hexadecimal digit, or it
 * did not fit the reply buffer. */
#define KQ_ERR_NOREPLY 10
/** No usable device: open failed, no handle to close, or the device could
 * neither be probed nor reopened. */
#define KQ_ERR_USB 16
/** A command frame could not be written to the device. */
#define KQ_ERR_SEND 17
/** Polling or reading the reply failed, or a short reply (BZ/LT/LP) did not
 * arrive within its bound. */
#define KQ_ERR_RECEIVE 18
/** The driver could not list the first device (KQ_GetSerialNo). */
#define KQ_ERR_SERIALNO 19
/** The tag answered with a sub-status other than "00" (KQ_TagCommand), or
 * the inventory step of a multi operation failed. */
#define KQ_ERR_TAG 20
/** A select-write chunk failed or the read-back differs from the text. */
#define KQ_ERR_WRITE 21
/** The tag count of an inventory reply is not two decimal digits or exceeds
 * 4 (KQ_GetUID). */
#define KQ_ERR_UIDCOUNT 22
/** The operation succeeded but the buzzer after it failed. */
#define KQ_ERR_BUZZER 24
/** The reader's own loop could not be switched off before an operation. */
#define KQ_ERR_LOOPSTOP 28
/** A bad argument: SerialNo NULL; a block count of 0 or a chunk start past
 * block 255; a UID that is not exactly 16 characters; a sensor Channel other
 * than 0, 1 or 2; a UID, command text or write data holding STX (0x02), CR
 * or LF, the characters that frame a command. Nothing is sent for a refused
 * argument, except that the sensor's Channel is judged after its
 * configuration read. */
#define KQ_ERR_PARAM 29
/** The driver failed to close the device. */
#define KQ_ERR_CLOSE 30
/** The text length fits neither 4 nor 8 characters per block, or is longer
 * than the blocks can hold (KQ_SelectWrite). */
#define KQ_ERR_BLOCKSIZE 31

/* ------------------------------------------------------------------------ */
/* Names of result codes and driver statuses                                */
/* ------------------------------------------------------------------------ */

/*
 * Header-only helpers for messages and logs: each returns a static text that
 * is never NULL (unknown numbers give a fallback text). They are static
 * inline functions, not exports of the library.
 *
 * KQ_ResultName gives the macro name of a result code ("KQ_ERR_USB") or, for
 * a reader status, "reader status N"; KQ_ResultText gives its meaning in one
 * line. The two overlapping codes are named after the library's code: 3 is
 * "KQ_ERR_NOBLOCKS" and 10 "KQ_ERR_NOREPLY"; their texts also name the
 * reader status they share the number with. A caller that knows the
 * operation can tell them apart (3 is KQ_ERR_NOBLOCKS only from
 * KQ_MultiRead/KQ_MultiWrite).
 *
 * KQ_D2xxStatusName and KQ_D2xxStatusText do the same for the driver status
 * numbers that KQ_CheckStatusUSB returns ("FT_OK" .. "FT_OTHER_ERROR",
 * "FT_DEVICE_LIST_NOT_READY").
 */

/* One case a line: the tables read best as tables. */
/* clang-format off */
/** Name of a result code; "unknown result code" for a number not listed. */
static inline const char* KQ_ResultName(int code) {
    switch (code) {
    case KQ_OK: return "KQ_OK";
    case 1: return "reader status 1";
    case 2: return "reader status 2";
    case KQ_ERR_NOBLOCKS: return "KQ_ERR_NOBLOCKS";
    case 4: return "reader status 4";
    case 5: return "reader status 5";
    case 6: return "reader status 6";
    case 7: return "reader status 7";
    case 8: return "reader status 8";
    case 9: return "reader status 9";
    case KQ_ERR_NOREPLY: return "KQ_ERR_NOREPLY";
    case 11: return "reader status 11";
    case 12: return "reader status 12";
    case 13: return "reader status 13";
    case 14: return "reader status 14";
    case 15: return "reader status 15";
    case KQ_ERR_USB: return "KQ_ERR_USB";
    case KQ_ERR_SEND: return "KQ_ERR_SEND";
    case KQ_ERR_RECEIVE: return "KQ_ERR_RECEIVE";
    case KQ_ERR_SERIALNO: return "KQ_ERR_SERIALNO";
    case KQ_ERR_TAG: return "KQ_ERR_TAG";
    case KQ_ERR_WRITE: return "KQ_ERR_WRITE";
    case KQ_ERR_UIDCOUNT: return "KQ_ERR_UIDCOUNT";
    case KQ_ERR_BUZZER: return "KQ_ERR_BUZZER";
    case KQ_ERR_LOOPSTOP: return "KQ_ERR_LOOPSTOP";
    case KQ_ERR_PARAM: return "KQ_ERR_PARAM";
    case KQ_ERR_CLOSE: return "KQ_ERR_CLOSE";
    case KQ_ERR_BLOCKSIZE: return "KQ_ERR_BLOCKSIZE";
    default: return "unknown result code";
    }
}

/** One-line meaning of a result code; "a result code this library does not
 * return" for a number not listed. */
static inline const char* KQ_ResultText(int code) {
    switch (code) {
    case KQ_OK: return "success";
    case 1: return "the reader answered with status '1'";
    case 2: return "the reader answered with status '2'";
    case KQ_ERR_NOBLOCKS:
        return "the block count of the request is 0; nothing was done (from an operation "
               "other than KQ_MultiRead/KQ_MultiWrite: the reader answered with status '3')";
    case 4: return "the reader answered with status '4'";
    case 5: return "the reader answered with status '5'";
    case 6: return "the reader answered with status '6'";
    case 7: return "the reader answered with status '7'";
    case 8: return "the reader answered with status '8'";
    case 9: return "the reader answered with status '9'";
    case KQ_ERR_NOREPLY:
        return "no usable reply: nothing complete arrived in time, the reply was too short or "
               "garbled, or it did not fit its buffer (10 is also the reader's status 'A')";
    case 11: return "the reader answered with status 'B'";
    case 12: return "the reader answered with status 'C'";
    case 13: return "the reader answered with status 'D'";
    case 14: return "the reader answered with status 'E'";
    case 15: return "the reader answered with status 'F'";
    case KQ_ERR_USB:
        return "no usable device: the open failed, there is no handle, or the reader could "
               "neither be probed nor reopened";
    case KQ_ERR_SEND: return "a command frame could not be written to the device";
    case KQ_ERR_RECEIVE:
        return "polling or reading the reply failed, or a short reply did not arrive in time";
    case KQ_ERR_SERIALNO: return "the driver could not list a reader";
    case KQ_ERR_TAG:
        return "the tag answered with an error sub-status, or the inventory step of a multi "
               "operation failed";
    case KQ_ERR_WRITE: return "a write chunk failed or the read-back differs from the text";
    case KQ_ERR_UIDCOUNT:
        return "the tag count of the inventory reply is not two digits or exceeds 4";
    case KQ_ERR_BUZZER: return "the operation succeeded but the buzzer after it failed";
    case KQ_ERR_LOOPSTOP:
        return "the reader's own loop could not be switched off before the operation";
    case KQ_ERR_PARAM:
        return "a bad argument (no serial number, a block count of 0 or a chunk start past "
               "block 255, a UID that is not exactly 16 characters, a sensor channel "
               "other than 0-2, or STX, CR or LF in a UID, command text or write data)";
    case KQ_ERR_CLOSE: return "the driver failed to close the device";
    case KQ_ERR_BLOCKSIZE:
        return "the text length fits neither 4 nor 8 characters per block, or is longer than "
               "the blocks hold";
    default: return "a result code this library does not return";
    }
}

/** Name of a driver status number; "unknown driver status" for a number not
 * listed. */
static inline const char* KQ_D2xxStatusName(int status) {
    switch (status) {
    case 0: return "FT_OK";
    case 1: return "FT_INVALID_HANDLE";
    case 2: return "FT_DEVICE_NOT_FOUND";
    case 3: return "FT_DEVICE_NOT_OPENED";
    case 4: return "FT_IO_ERROR";
    case 5: return "FT_INSUFFICIENT_RESOURCES";
    case 6: return "FT_INVALID_PARAMETER";
    case 7: return "FT_INVALID_BAUD_RATE";
    case 8: return "FT_DEVICE_NOT_OPENED_FOR_ERASE";
    case 9: return "FT_DEVICE_NOT_OPENED_FOR_WRITE";
    case 10: return "FT_FAILED_TO_WRITE_DEVICE";
    case 11: return "FT_EEPROM_READ_FAILED";
    case 12: return "FT_EEPROM_WRITE_FAILED";
    case 13: return "FT_EEPROM_ERASE_FAILED";
    case 14: return "FT_EEPROM_NOT_PRESENT";
    case 15: return "FT_EEPROM_NOT_PROGRAMMED";
    case 16: return "FT_INVALID_ARGS";
    case 17: return "FT_NOT_SUPPORTED";
    case 18: return "FT_OTHER_ERROR";
    case 19: return "FT_DEVICE_LIST_NOT_READY";
    default: return "unknown driver status";
    }
}

/** One-line meaning of a driver status number; "a status this driver
 * interface does not define" for a number not listed. */
static inline const char* KQ_D2xxStatusText(int status) {
    switch (status) {
    case 0: return "the device is present and answers";
    case 1: return "the handle is not that of an open device (for example Handle is NULL)";
    case 2: return "the device was not found: unplugged, or no driver could be loaded";
    case 3: return "the device could not be opened: in use by another program, or no permission";
    case 4: return "an input/output error on the device";
    case 5: return "the driver ran out of resources";
    case 6: return "the driver refused a parameter";
    case 7: return "the driver refused the baud rate";
    case 8: return "the device was not opened for erasing its EEPROM";
    case 9: return "the device was not opened for writing";
    case 10: return "writing to the device failed";
    case 11: return "reading the USB bridge's EEPROM failed";
    case 12: return "writing the USB bridge's EEPROM failed";
    case 13: return "erasing the USB bridge's EEPROM failed";
    case 14: return "the USB bridge has no EEPROM";
    case 15: return "the USB bridge's EEPROM is not programmed";
    case 16: return "the driver refused the arguments";
    case 17: return "the driver does not support the operation";
    case 18: return "the driver failed for another reason";
    case 19: return "the driver's device list is not ready";
    default: return "a status this driver interface does not define";
    }
}
/* clang-format on */

/* ------------------------------------------------------------------------ */
/* Notifications                                                            */
/* ------------------------------------------------------------------------ */

/** A loop worker stored new results in the record. wParam 0, lParam = the
 * address of the KQ_PROPERTY. */
#define WM_KQ_DATA 0xB001
/** KQ_LoopStop ended the worker (after LP was sent and hThread cleared).
 * wParam 0, lParam 0. */
#define WM_KQ_LOOPEND 0xB002
/** A loop worker lost the device; it set StopFlag to 1 and ended.
 * wParam 0, lParam 0. No WM_KQ_LOOPEND follows. */
#define WM_KQ_USBERROR 0xB003

/*
 * On Windows hWnd is a window handle and notifications are posted with
 * PostMessageA. Elsewhere hWnd holds a file descriptor owned by the client
 * (typically the write end of a pipe or socketpair; 0 = no notifications),
 * and each notification is one write() of this 24-byte record in native
 * byte order. Posting never waits: a descriptor that is not writable at once
 * loses the message, as a full Windows message queue would.
 */
typedef struct KQ_NOTIFICATION {
    uint32_t Message; /* WM_KQ_DATA, WM_KQ_LOOPEND or WM_KQ_USBERROR */
    uint32_t Zero;    /* always 0 */
    uint64_t wParam;  /* always 0 */
    uint64_t lParam;  /* WM_KQ_DATA: address of the KQ_PROPERTY; else 0 */
} KQ_NOTIFICATION;

#ifdef _WIN32
typedef void* KQ_HWND; /* window handle (HWND) */
#else
typedef intptr_t KQ_HWND; /* file descriptor, 0 = no notifications */
#endif

/** Minimum size of the buffer passed to KQ_GetSerialNo. */
#define KQ_SERIALNO_BUFFER_SIZE 64

/* Loop kinds, as stored in KQ_PROPERTY.LoopKind. */
#define KQ_LOOP_UID 1
#define KQ_LOOP_MULTIREAD 2
#define KQ_LOOP_MULTIWRITE 3
#define KQ_LOOP_TAGCOMMAND 4

/* ------------------------------------------------------------------------ */
/* Records (byte-packed)                                                    */
/* ------------------------------------------------------------------------ */

#pragma pack(push, 1)

/** One tag, 2066 bytes. */
typedef struct KQ_TAGINFO {
    char UID[17];    /**< 16 UID characters as the reader reports them, NUL */
    char Data[2049]; /**< tag data as text, at most 2048 characters, NUL */
} KQ_TAGINFO;

/** Select-read request, 19 bytes. */
typedef struct KQ_IN_SR {
    unsigned char StartBlock; /**< first block number */
    unsigned char BlockCount; /**< number of blocks, 0-255 */
    char UID[17];             /**< target tag: exactly 16 characters, NUL */
} KQ_IN_SR;

/** Select-write request, 2068 bytes. */
typedef struct KQ_IN_SW {
    unsigned char StartBlock; /**< first block number */
    unsigned char BlockCount; /**< number of blocks, 1-255 */
    KQ_TAGINFO TagInfo;       /**< target UID and the text to write in Data */
} KQ_IN_SW;

/** Sensor request, 19 bytes. */
typedef struct KQ_IN_SNSR {
    unsigned char Channel; /**< 0, 1 or 2: reference field of the sensor's
                                configuration; used only when Setting is 0 */
    unsigned char Setting; /**< nonzero = explicit reference value */
    char UID[17];          /**< sensor tag: exactly 16 characters, NUL */
} KQ_IN_SNSR;

/** Sensor result, 18 bytes. */
typedef struct KQ_OUT_SNSR {
    unsigned char Value;        /**< the 8-bit measurement */
    unsigned char Reserved[17]; /**< cleared by every measurement */
} KQ_OUT_SNSR;

/** Tag-command text (input) and reply payload (output): 36 bytes, at most 35
 * characters and a NUL. */
typedef char KQ_IN_TA[36];
typedef char KQ_OUT_TA[36];

/** Inventory result, 8265 bytes. */
typedef struct KQ_OUT_GU {
    unsigned char Count;   /**< number of UIDs reported */
    KQ_TAGINFO TagInfo[4]; /**< only UID is filled */
} KQ_OUT_GU;

/** Multi-read request, 2 bytes (no clearing function). */
typedef struct KQ_IN_MR {
    unsigned char StartBlock; /**< first block number */
    unsigned char BlockCount; /**< number of blocks; 0 = nothing to do */
} KQ_IN_MR;

/** Multi-read result, 8266 bytes. */
typedef struct KQ_OUT_MR {
    unsigned char TagCount;  /**< tags the inventory reported */
    unsigned char DoneCount; /**< tags read successfully */
    KQ_TAGINFO TagInfo[4];   /**< entry i = tag i of the inventory; Data is
                                  empty for a tag whose read failed */
} KQ_OUT_MR;

/** Multi-write request, 8266 bytes. */
typedef struct KQ_IN_MW {
    unsigned char StartBlock; /**< first block number */
    unsigned char BlockCount; /**< number of blocks; 0 = nothing to do */
    KQ_TAGINFO TagInfo[4];    /**< targets: UID and the text to write; an
                                   entry whose UID matches no tag is ignored */
} KQ_IN_MW;

/** Multi-write result, 8266 bytes. */
typedef struct KQ_OUT_MW {
    unsigned char TagCount;  /**< tags the inventory reported */
    unsigned char DoneCount; /**< tags written successfully (at most 4) */
    KQ_TAGINFO TagInfo[4];   /**< one entry per successful write, in the
                                  order of the writes */
} KQ_OUT_MW;

/** The property record: one per reader connection, owned by the caller. */
typedef struct KQ_PROPERTY {
    uint32_t WriteTimeout;      /**< ms; the device's write timeout on open.
                                     Every command frame is one write bounded
                                     by it; 0 = the driver's own default (no
                                     limit), which a present reader never
                                     reaches since it takes every byte at
                                     once (no flow control) */
    uint32_t ReadTimeout;       /**< ms; the device's read timeout on open.
                                     The library reads only bytes already
                                     queued, so no operation waits on it and
                                     0 (no limit to the driver) is safe: a
                                     reply is awaited by polling the queue,
                                     within fixed bounds - at most 202 polls
                                     1 ms apart for a command reply or a loop
                                     report (plus 300 ms before SR and SW
                                     replies), about one second after the
                                     frame (BZ: after the beep) for the 7-byte
                                     replies of BZ, LT and LP */
    const char* SerialNo;       /**< serial-number text of the reader to open;
                                     the caller keeps the text alive */
    void* Handle;               /**< driver handle of the open device, NULL while
                                     closed; written by KQ_OpenUSB/KQ_CloseUSB
                                     (and by a reopen inside an operation) */
    unsigned char BuzzerOn;     /**< 1 = beep after every successful tag
                                     operation; any other value = silent */
    unsigned char BuzzerTime;   /**< beep length in units of 100 ms */
    unsigned char Reserved1[2]; /**< not read or written by the library */
    unsigned char LoopMode;     /**< 1 = loop-capable operations hand over to a
                                     loop worker; any other value = one-shot */
    unsigned char StopFlag;     /**< 1 = no worker may run / the running one
                                     must end; 0 while a worker is meant to run.
                                     Zero the record or set 1 before first use */
    unsigned char LoopKind;     /**< kind of the worker last started
                                     (KQ_LOOP_*); for the client only */
    unsigned char Reserved2;    /**< not read or written by the library */
    KQ_HWND hWnd;               /**< notification target (see KQ_NOTIFICATION) */
    void* hThread;              /**< handle of the loop worker, NULL when none;
                                     NULL before first use */
    KQ_IN_MR IN_MR;             /**< input of KQ_MultiRead (not cleared by
                                     KQ_Init_PROPERTY) */
    KQ_IN_MW IN_MW;             /**< input of KQ_MultiWrite */
    KQ_IN_TA IN_TA;             /**< input of KQ_TagCommand */
    KQ_OUT_GU OUT_GU;           /**< result of KQ_GetUID / the UID loop */
    KQ_OUT_MR OUT_MR;           /**< result of KQ_MultiRead / its loop */
    KQ_OUT_MW OUT_MW;           /**< result of KQ_MultiWrite / its loop */
    KQ_OUT_TA OUT_TA;           /**< result of KQ_TagCommand / its loop */
} KQ_PROPERTY;

#pragma pack(pop)

/* Compile-time layout checks (C99-compatible). */
#define KQ_LAYOUT_CHECK(name, cond) typedef char kq_layout_check_##name[(cond) ? 1 : -1]

KQ_LAYOUT_CHECK(taginfo, sizeof(KQ_TAGINFO) == 2066 && offsetof(KQ_TAGINFO, Data) == 17);
KQ_LAYOUT_CHECK(in_sr, sizeof(KQ_IN_SR) == 19 && offsetof(KQ_IN_SR, UID) == 2);
KQ_LAYOUT_CHECK(in_sw, sizeof(KQ_IN_SW) == 2068 && offsetof(KQ_IN_SW, TagInfo) == 2);
KQ_LAYOUT_CHECK(in_snsr, sizeof(KQ_IN_SNSR) == 19 && offsetof(KQ_IN_SNSR, UID) == 2);
KQ_LAYOUT_CHECK(out_snsr, sizeof(KQ_OUT_SNSR) == 18);
KQ_LAYOUT_CHECK(ta, sizeof(KQ_IN_TA) == 36 && sizeof(KQ_OUT_TA) == 36);
KQ_LAYOUT_CHECK(out_gu, sizeof(KQ_OUT_GU) == 8265 && offsetof(KQ_OUT_GU, TagInfo) == 1);
KQ_LAYOUT_CHECK(in_mr, sizeof(KQ_IN_MR) == 2);
KQ_LAYOUT_CHECK(out_mr, sizeof(KQ_OUT_MR) == 8266 && offsetof(KQ_OUT_MR, TagInfo) == 2);
KQ_LAYOUT_CHECK(in_mw, sizeof(KQ_IN_MW) == 8266 && offsetof(KQ_IN_MW, TagInfo) == 2);
KQ_LAYOUT_CHECK(out_mw, sizeof(KQ_OUT_MW) == 8266 && offsetof(KQ_OUT_MW, TagInfo) == 2);
KQ_LAYOUT_CHECK(notification, sizeof(KQ_NOTIFICATION) == 24);

/* KQ_PROPERTY: each of the four pointer-sized fields (SerialNo, Handle, hWnd,
 * hThread) widens by W = sizeof(void*) - 4 bytes; whatever follows one of
 * them moves by W. */
#define KQ_P_ ((size_t)sizeof(void*))
#define KQ_W_ (KQ_P_ - 4) /* widening of one pointer field */
KQ_LAYOUT_CHECK(pointer_width, KQ_P_ == 4 || KQ_P_ == 8);
KQ_LAYOUT_CHECK(prop_settings, offsetof(KQ_PROPERTY, WriteTimeout) == 0 &&
                                   offsetof(KQ_PROPERTY, ReadTimeout) == 4 &&
                                   offsetof(KQ_PROPERTY, SerialNo) == 8 &&
                                   offsetof(KQ_PROPERTY, Handle) == 12 + KQ_W_);
KQ_LAYOUT_CHECK(prop_flags, offsetof(KQ_PROPERTY, BuzzerOn) == 16 + 2 * KQ_W_ &&
                                offsetof(KQ_PROPERTY, BuzzerTime) == 17 + 2 * KQ_W_ &&
                                offsetof(KQ_PROPERTY, LoopMode) == 20 + 2 * KQ_W_ &&
                                offsetof(KQ_PROPERTY, StopFlag) == 21 + 2 * KQ_W_ &&
                                offsetof(KQ_PROPERTY, LoopKind) == 22 + 2 * KQ_W_);
KQ_LAYOUT_CHECK(prop_handles, offsetof(KQ_PROPERTY, hWnd) == 24 + 2 * KQ_W_ &&
                                  offsetof(KQ_PROPERTY, hThread) == 28 + 3 * KQ_W_);
KQ_LAYOUT_CHECK(prop_blocks, offsetof(KQ_PROPERTY, IN_MR) == 32 + 4 * KQ_W_ &&
                                 offsetof(KQ_PROPERTY, IN_MW) == 34 + 4 * KQ_W_ &&
                                 offsetof(KQ_PROPERTY, IN_TA) == 8300 + 4 * KQ_W_ &&
                                 offsetof(KQ_PROPERTY, OUT_GU) == 8336 + 4 * KQ_W_ &&
                                 offsetof(KQ_PROPERTY, OUT_MR) == 16601 + 4 * KQ_W_ &&
                                 offsetof(KQ_PROPERTY, OUT_MW) == 24867 + 4 * KQ_W_ &&
                                 offsetof(KQ_PROPERTY, OUT_TA) == 33133 + 4 * KQ_W_);
KQ_LAYOUT_CHECK(prop_size, sizeof(KQ_PROPERTY) == 33169 + 4 * KQ_W_);
/* The two layouts spelled out: 32-bit 33169 bytes, 64-bit 33185 bytes. */
KQ_LAYOUT_CHECK(prop_size_32_64,
                (KQ_P_ == 4 && sizeof(KQ_PROPERTY) == 33169 && offsetof(KQ_PROPERTY, hWnd) == 24 &&
                 offsetof(KQ_PROPERTY, OUT_MR) == 16601) ||
                    (KQ_P_ == 8 && sizeof(KQ_PROPERTY) == 33185 &&
                     offsetof(KQ_PROPERTY, hWnd) == 32 && offsetof(KQ_PROPERTY, OUT_MR) == 16617));
#undef KQ_P_
#undef KQ_W_

/* ------------------------------------------------------------------------ */
/* Threads                                                                  */
/* ------------------------------------------------------------------------ */

/*
 * The library keeps no state of its own per reader: everything is in the
 * client's KQ_PROPERTY. Calls on one record are made from one thread at a
 * time; records of different readers may be used from different threads.
 *
 * A loop worker (LoopMode 1) runs on a thread of its own from the operation
 * that starts it until KQ_LoopStop returns, or until it ends by itself on
 * device loss (WM_KQ_USBERROR, StopFlag 1). While it runs:
 *   - the worker reads Handle, StopFlag, BuzzerOn, BuzzerTime, hWnd,
 *     SerialNo, ReadTimeout and WriteTimeout (a reopen), and IN_MR or IN_MW
 *     (the multi loops, at every pass);
 *   - the worker writes its result block (OUT_GU, OUT_MR, OUT_MW or OUT_TA),
 *     StopFlag (1 on device loss) and Handle (when a connection check inside
 *     it reopens the device);
 *   - the client may call KQ_LoopStop and KQ_CheckStatusUSB, from any thread,
 *     and may read the worker's result block after WM_KQ_DATA; the worker may
 *     already be rewriting it for its next report, so copy what you need at
 *     once. Every other call on the record, and every write of the fields
 *     above, must wait until KQ_LoopStop has returned.
 * Handle and StopFlag are the only fields both threads write; the library
 * reads and writes them atomically. KQ_LoopStop sets StopFlag, waits for the
 * worker to end and clears hThread; hThread and LoopKind are written only by
 * the client's thread (the operation that starts a worker, and KQ_LoopStop).
 *
 * Timing. The library's waits are polls with fixed counts: a command reply
 * or a loop report is polled for at most 202 times 1 ms apart (a reply that
 * never comes is given up after 202 ms), the BZ reply every 1 ms for about a
 * second after the beep, the LT and LP replies every 10 ms; KQ_LoopStop
 * polls the worker's end every 1 ms, and a worker pauses 1 ms after each
 * pass. The 1 ms polls keep a fixed beat: the k-th wait ends k ms after the
 * first poll on the system's monotonic clock (POSIX: clock_nanosleep to
 * absolute CLOCK_MONOTONIC deadlines), so a late wake-up does not delay the
 * polls after it. Polls never come less than 0.5 ms apart: a thread held
 * up by up to 4 ms catches up with the beat, one held up longer drops the
 * missed polls and goes on 1 ms later.
 * On Linux the kernel may end a thread's sleep up to the thread's timer
 * slack late (50 us by default); while the library waits on a thread, the
 * client's or its own worker's, it sets that thread's slack to 1 ns
 * (PR_SET_TIMERSLACK) and puts the thread's own value back before the call
 * returns.
 * On Windows, where Sleep(1) lasts a whole scheduler tick (15.6 ms unless
 * the timer resolution was raised), every wait of the library is a
 * high-resolution waitable timer (Windows 10 1803 and later). On older
 * systems the library raises the process's timer resolution to 1 ms
 * (timeBeginPeriod) while one of its operations or loop workers waits, and
 * restores it (timeEndPeriod) as soon as none does.
 */

/* ------------------------------------------------------------------------ */
/* Device management                                                        */
/* ------------------------------------------------------------------------ */

/**
 * Serial number of the first attached reader (device index 0).
 * buffer: at least KQ_SERIALNO_BUFFER_SIZE (64) bytes; the driver writes the
 * NUL-terminated text into it (the size is not checked).
 * Returns KQ_OK, or KQ_ERR_SERIALNO when the driver cannot list a device
 * (the buffer is then as the driver left it).
 */
KQ_EXPORT int KQ_API KQ_GetSerialNo(char* buffer);

/**
 * Number of attached readers, as the driver counts its devices (since 0.2.0).
 * count: receives the number (0 when none is attached).
 * Returns KQ_OK; KQ_ERR_PARAM when count is NULL; KQ_ERR_SERIALNO when the
 * driver cannot count its devices (no provider, for one), *count is then 0.
 */
KQ_EXPORT int KQ_API KQ_GetReaderCount(int* count);

/**
 * Serial number of the attached reader at index (0 to count - 1, in the
 * driver's order; KQ_GetSerialNoAt(0, buffer) is KQ_GetSerialNo(buffer))
 * (since 0.2.0).
 * buffer: at least KQ_SERIALNO_BUFFER_SIZE (64) bytes; receives the
 * NUL-terminated text.
 * Returns KQ_OK; KQ_ERR_PARAM when buffer is NULL or index is negative
 * (nothing reaches the driver); KQ_ERR_SERIALNO when no reader has that
 * index or the driver cannot list it (buffer[0] is then NUL).
 * The list can change between two calls when a reader is plugged in or
 * out: a caller that walks it takes each serial number as a snapshot.
 */
KQ_EXPORT int KQ_API KQ_GetSerialNoAt(int index, char* buffer);

/**
 * Version of the library that is loaded, as KQ_VERSION_NUMBER encodes it
 * (MAJOR * 10000 + MINOR * 100 + PATCH) (since 0.2.0). A program or binding
 * compares it with the header it was built against: a different MAJOR is
 * incompatible, a lower MINOR lacks functions added since.
 */
KQ_EXPORT int KQ_API KQ_GetVersion(void);

/**
 * Opens the reader whose serial number SerialNo points to, resets it and
 * applies the line settings (38400 baud, 8N1, no flow control, the record's
 * ReadTimeout and WriteTimeout), then purges both driver buffers.
 * A handle that is still set in the record is closed first (its result is
 * ignored), so reopening never leaks a handle.
 * Returns KQ_OK; KQ_ERR_PARAM when SerialNo is NULL (nothing touched);
 * KQ_ERR_USB when the open fails (Handle is then NULL). Failures of the
 * configuration calls after a successful open are not reported.
 */
KQ_EXPORT int KQ_API KQ_OpenUSB(KQ_PROPERTY* prop);

/**
 * Closes the device and clears Handle.
 * Returns KQ_OK; KQ_ERR_USB when Handle is NULL; KQ_ERR_CLOSE when the
 * driver fails to close a present device (Handle is kept). A device that was
 * unplugged is released anyway: its handle is closed (result ignored), Handle
 * becomes NULL and the result is KQ_OK.
 * Call KQ_LoopStop first when loop mode was used.
 */
KQ_EXPORT int KQ_API KQ_CloseUSB(KQ_PROPERTY* prop);

/**
 * Probes the device with the driver's status query.
 * Returns the driver's status number itself (0 = present; for example 1,
 * invalid handle, when Handle is NULL), not a library result code.
 */
KQ_EXPORT int KQ_API KQ_CheckStatusUSB(KQ_PROPERTY* prop);

/* ------------------------------------------------------------------------ */
/* Clearing functions: each sets every byte of its block to 0 and returns    */
/* KQ_OK. None checks its argument.                                          */
/* ------------------------------------------------------------------------ */

/** Clears all 2066 bytes of one KQ_TAGINFO. */
KQ_EXPORT int KQ_API KQ_Init_TAGINFO(KQ_TAGINFO* block);
/** Clears IN_TA, OUT_TA, OUT_GU, OUT_MR, IN_MW and OUT_MW of the record.
 * Leaves everything before IN_MW untouched (the settings, Handle, the loop
 * fields, hWnd, hThread and IN_MR are the caller's to set). */
KQ_EXPORT int KQ_API KQ_Init_PROPERTY(KQ_PROPERTY* prop);
/** Clears 36 bytes. KQ_Init_IN_TA and KQ_Init_OUT_TA are one entry point. */
KQ_EXPORT int KQ_API KQ_Init_IN_TA(KQ_IN_TA* block);
/** Clears 36 bytes. Same entry point as KQ_Init_IN_TA. */
KQ_EXPORT int KQ_API KQ_Init_OUT_TA(KQ_OUT_TA* block);
/** Clears 19 bytes. KQ_Init_IN_SR and KQ_Init_IN_SNSR are one entry point. */
KQ_EXPORT int KQ_API KQ_Init_IN_SR(KQ_IN_SR* block);
/** Clears 19 bytes. Same entry point as KQ_Init_IN_SR. */
KQ_EXPORT int KQ_API KQ_Init_IN_SNSR(KQ_IN_SNSR* block);
/** Clears 18 bytes. */
KQ_EXPORT int KQ_API KQ_Init_OUT_SNSR(KQ_OUT_SNSR* block);
/** Clears the two header bytes and the KQ_TAGINFO (2068 bytes). */
KQ_EXPORT int KQ_API KQ_Init_IN_SW(KQ_IN_SW* block);
/** Clears Count and the four entries (8265 bytes). */
KQ_EXPORT int KQ_API KQ_Init_OUT_GU(KQ_OUT_GU* block);
/** Clears the two header bytes and the four entries (8266 bytes). */
KQ_EXPORT int KQ_API KQ_Init_IN_MW(KQ_IN_MW* block);
/** Clears the two header bytes and the four entries (8266 bytes).
 * KQ_Init_OUT_MR and KQ_Init_OUT_MW are one entry point. */
KQ_EXPORT int KQ_API KQ_Init_OUT_MR(KQ_OUT_MR* block);
/** Clears 8266 bytes. Same entry point as KQ_Init_OUT_MR. */
KQ_EXPORT int KQ_API KQ_Init_OUT_MW(KQ_OUT_MW* block);

/* ------------------------------------------------------------------------ */
/* Buzzer and loop control                                                  */
/* ------------------------------------------------------------------------ */

/**
 * Sounds the buzzer for (length & 0xFF) x 100 ms and returns after the beep.
 * Checks the connection first (reopening the device if its probe fails) but
 * neither stops a loop worker nor switches the reader's loop off.
 * After the beep the 7-byte reply is awaited in the receive queue, polled
 * every millisecond for about one second, whatever ReadTimeout holds; then
 * only what has arrived is read.
 * Returns KQ_OK, KQ_ERR_USB, KQ_ERR_SEND, KQ_ERR_RECEIVE, or a reader status
 * (1-15; KQ_ERR_NOREPLY also for a reply that stays short or never comes).
 */
KQ_EXPORT int KQ_API KQ_BuzzerCommand(KQ_PROPERTY* prop, int length);

/**
 * Ends loop mode. If StopFlag is already 1 nothing happens. Otherwise sets
 * StopFlag to 1; if a worker is known (hThread set) waits until it has
 * ended, switches the reader's own loop off (LP, result ignored), releases
 * and clears hThread and posts WM_KQ_LOOPEND. After a worker ended by itself
 * on device loss (WM_KQ_USBERROR, StopFlag 1) it only releases that worker's
 * thread and clears hThread: no LP, no message. Every wait is bounded, also
 * on a vanished reader. Always returns KQ_OK.
 */
KQ_EXPORT int KQ_API KQ_LoopStop(KQ_PROPERTY* prop);

/* ------------------------------------------------------------------------ */
/* Tag operations                                                           */
/* ------------------------------------------------------------------------ */

/*
 * The four loop-capable operations (KQ_GetUID, KQ_TagCommand, KQ_MultiRead,
 * KQ_MultiWrite) first check the connection (reopening the device if its
 * probe fails: KQ_ERR_USB when that fails), end a running loop worker, and
 * switch the reader's own loop off (KQ_ERR_LOOPSTOP when that fails). After
 * a success, with BuzzerOn 1, they sound the buzzer (KQ_ERR_BUZZER if it
 * fails). With LoopMode 1 they hand over to a loop worker and return KQ_OK;
 * the worker posts WM_KQ_DATA whenever new results stand in the record, and
 * owns the result block until KQ_LoopStop.
 *
 * The loop workers take the reports the reader sends by itself whole: a
 * report still arriving when one receive window of a worker ends is
 * completed in the next, several reports read together are taken one after
 * the other, and text between reports is skipped. A worker stores only a
 * complete success reply of its own command (STX, "R", the command's code,
 * status '0', ..., CR LF): for the inventory, one whose length matches its
 * tag count (16 characters per UID); for the tag command, one that carries
 * its two sub-status characters. Anything else is dropped without a
 * message.
 *
 * KQ_SelectRead, KQ_SelectWrite and KQ_SensorCommand run without that
 * envelope: no connection check, no loop stop, no buzzer, no loop mode. Call
 * KQ_LoopStop before them (and before KQ_BuzzerCommand, KQ_OpenUSB and
 * KQ_CloseUSB) while loop mode is active.
 */

/**
 * Inventory: the UIDs of up to four tags in the field into OUT_GU.
 * Returns KQ_OK, KQ_ERR_USB, KQ_ERR_LOOPSTOP, KQ_ERR_SEND, KQ_ERR_RECEIVE,
 * KQ_ERR_NOREPLY, a reader status, KQ_ERR_UIDCOUNT (count not two digits:
 * Count 0; count above 4: Count holds it, entries empty) or KQ_ERR_BUZZER.
 * With LoopMode 1 it runs the one-shot inventory (and buzzer), then starts
 * the UID loop (which clears OUT_GU) and returns KQ_OK whatever they gave.
 */
KQ_EXPORT int KQ_API KQ_GetUID(KQ_PROPERTY* prop);

/**
 * Sends the text in IN_TA (at most 35 characters; a text without a NUL in
 * its 36 bytes is cut to 35) to the tag and stores the answer payload in
 * OUT_TA. A text holding STX (0x02), CR or LF is refused with KQ_ERR_PARAM
 * before anything is sent or stopped (no loop is started either).
 * Returns KQ_OK, KQ_ERR_PARAM, KQ_ERR_USB, KQ_ERR_LOOPSTOP, KQ_ERR_SEND,
 * KQ_ERR_RECEIVE, KQ_ERR_NOREPLY, a reader status, KQ_ERR_TAG (OUT_TA then
 * holds the two sub-status characters) or KQ_ERR_BUZZER.
 * With LoopMode 1 a successful exchange returns as without loop mode; a
 * failed one starts the tag-command loop and returns KQ_OK.
 * A reply with status and sub-status "0","00" that is cut short before its
 * closing CR LF (fewer than 9 characters) gives KQ_ERR_NOREPLY: its payload
 * is unknown. The tag-command loop drops such a reply without a message.
 */
KQ_EXPORT int KQ_API KQ_TagCommand(KQ_PROPERTY* prop);

/**
 * Reads BlockCount blocks from StartBlock of the tag in->UID, 16 blocks per
 * exchange, into out (out->UID = in->UID, out->Data = the joined text).
 * Returns KQ_OK (also for BlockCount 0, nothing sent), KQ_ERR_PARAM (UID not
 * exactly 16 characters, or a chunk start past block 255: nothing sent),
 * KQ_ERR_SEND, KQ_ERR_RECEIVE, KQ_ERR_NOREPLY or a reader status of the
 * first chunk that failed; Data then holds the chunks before it.
 */
KQ_EXPORT int KQ_API KQ_SelectRead(KQ_PROPERTY* prop, KQ_IN_SR* in, KQ_TAGINFO* out);

/**
 * Writes in->TagInfo.Data into BlockCount blocks from StartBlock of the tag
 * in->TagInfo.UID, 16 blocks per exchange, then reads the run back and
 * compares. The block size follows from the text: 4*BlockCount characters
 * give 4 characters per block, 8*BlockCount give 8; any other length is
 * refused before anything is sent.
 * Returns KQ_OK, KQ_ERR_WRITE (a chunk failed or the read-back differs),
 * KQ_ERR_PARAM (BlockCount 0, UID not exactly 16 characters, a chunk start
 * past block 255, or Data holding STX (0x02), CR or LF) or KQ_ERR_BLOCKSIZE;
 * nothing is sent for a refused request.
 */
KQ_EXPORT int KQ_API KQ_SelectWrite(KQ_PROPERTY* prop, KQ_IN_SW* in);

/**
 * Reads IN_MR's run of blocks from every tag in the field into OUT_MR.
 * Returns KQ_OK (single reads may have failed: see DoneCount),
 * KQ_ERR_NOBLOCKS (IN_MR.BlockCount 0: nothing touched), KQ_ERR_USB,
 * KQ_ERR_LOOPSTOP, KQ_ERR_TAG (inventory failed; OUT_MR cleared) or
 * KQ_ERR_BUZZER. With LoopMode 1 it starts the multi-read loop instead.
 */
KQ_EXPORT int KQ_API KQ_MultiRead(KQ_PROPERTY* prop);

/**
 * Writes each IN_MW entry's text into the tag with that UID, for every such
 * tag in the field, and records each successful write in OUT_MW (at most
 * four; no further write is made once four are stored).
 * When the Data of any of the four entries holds STX (0x02), CR or LF the
 * call returns KQ_ERR_PARAM after the block-count test and before anything
 * is sent or stopped, in loop mode too; an entry the client changes that way
 * while the loop runs is not written (KQ_SelectWrite refuses it).
 * Returns KQ_OK, KQ_ERR_NOBLOCKS, KQ_ERR_PARAM, KQ_ERR_USB, KQ_ERR_LOOPSTOP, KQ_ERR_TAG
 * (inventory failed; OUT_MW unchanged) or KQ_ERR_BUZZER. With LoopMode 1 it
 * starts the multi-write loop instead.
 */
KQ_EXPORT int KQ_API KQ_MultiWrite(KQ_PROPERTY* prop);

/**
 * Takes one 8-bit measurement from the sensor tag in->UID by successive
 * approximation (8 set/compare steps). The reference setting is Setting as
 * two hexadecimal digits when nonzero, else the Channel's field of the tag's
 * configuration. out is cleared first; out->Value holds the result.
 * Returns KQ_OK, KQ_ERR_PARAM (UID not exactly 16 characters: nothing sent;
 * Channel not 0-2 after the configuration read), KQ_ERR_SEND,
 * KQ_ERR_RECEIVE, KQ_ERR_NOREPLY (also for a configuration reply too short
 * to hold the channel's field) or a reader status. It does not stop a loop
 * worker of the same record.
 */
KQ_EXPORT int KQ_API KQ_SensorCommand(KQ_PROPERTY* prop, KQ_IN_SNSR* in, KQ_OUT_SNSR* out);

#ifdef __cplusplus
}
#endif

#endif /* KQ_H */

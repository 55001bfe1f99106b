/*
 * kqsim.h - control interface of the simulated reader.
 *
 * The simulated reader is a D2XX-compatible library (libkqsim_d2xx.so,
 * kqsim_d2xx.dll): it exports the FT_* functions the KQ library binds, behaves
 * like an FTDI device (listing, open by serial number, receive queue with the
 * read timeout, break, purge, unplug/replug) and behind it like the reader
 * (command frames in, reply frames out, its own loop after LT).
 *
 * Tests link against it directly and point KQ_D2XX at the same file, so the
 * library under test and the test share one simulator instance. All control
 * functions are thread-safe. Unless stated otherwise they act on the selected
 * device (device 0 after kqsim_reset).
 */
#ifndef KQSIM_H
#define KQSIM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(KQSIM_BUILDING)
#define KQSIM_API __declspec(dllexport)
#else
#define KQSIM_API __declspec(dllimport)
#endif
#else
#define KQSIM_API __attribute__((visibility("default")))
#endif

/* ---- Whole simulator ------------------------------------------------- */

/* Back to the defaults: exactly one device attached, serial "KQSIM0001",
 * not open; no tags; realistic timing on; no faults, scripts or overrides;
 * reader loop off; logs cleared; call logging on. Handles from before the
 * reset become invalid (status 1). */
KQSIM_API void kqsim_reset(void);

/* 1 (default): each byte takes its wire time at 38400 baud 8N1 (about
 * 0.26 ms), and the reader takes its processing time before it answers
 * (SR/SW: see kqsim_set_processing_ms; BZ: the beep length). 0: replies are
 * queued the moment the command frame is written, processing times 0. */
KQSIM_API void kqsim_set_timing(int realistic);

/* Reader processing time for one command code ("SR", "SW", "GU", ...),
 * applied only with realistic timing. Defaults: SR and SW 250 ms, others 1. */
KQSIM_API void kqsim_set_processing_ms(const char* code, unsigned ms);

/* FTDI latency timer model (ms, 0 = off, the default): a reply shorter than
 * the chip's 62-byte packet becomes readable only after the latency timer
 * has expired since its last byte arrived. */
KQSIM_API void kqsim_set_latency_timer(unsigned ms);

/* Call logging on (1, default) or off (0); stress tests switch it off. */
KQSIM_API void kqsim_set_logging(int on);

/* ---- Devices ---------------------------------------------------------- */

/* Adds an attached device; returns its index. */
KQSIM_API int kqsim_device_add(const char* serial);
/* Detaches every device (FT_ListDevices then fails). */
KQSIM_API void kqsim_device_remove_all(void);
/* Selects the device that the following control calls act on. */
KQSIM_API void kqsim_select_device(int index);
/* Unplugs the selected device: its open handles go stale (every call on
 * them fails with status 4, FT_IO_ERROR; FT_Close still releases them), it
 * disappears from listing and cannot be opened. The reader loses power: its
 * own loop stops and what was on the wire is lost; tags and scripts stay. */
KQSIM_API void kqsim_unplug(void);
/* Plugs it back in: listing and FT_OpenEx work again; stale handles stay
 * stale. */
KQSIM_API void kqsim_replug(void);
/* Number of handles opened and not yet closed, over all devices. */
KQSIM_API int kqsim_open_handles(void);

/* ---- Tags in the field -------------------------------------------------- */

/* Puts a tag into the field (at the end of the field's order). Its memory
 * has block_count blocks of block_size (4 or 8) characters, initially all
 * '0'. A tag that was in the field before keeps its memory. Returns 0, or -1
 * for a bad argument (UID not 16 characters, block size not 4/8). */
KQSIM_API int kqsim_tag_add(const char* uid, unsigned block_size, unsigned block_count);
/* Takes a tag out of the field; its memory is kept. Returns 0 or -1. */
KQSIM_API int kqsim_tag_remove(const char* uid);
/* Takes every tag out of the field. */
KQSIM_API void kqsim_field_clear(void);
/* Writes text into the tag's memory from start_block on (the text's length
 * must be a multiple of the block size). Returns 0 or -1. */
KQSIM_API int kqsim_tag_set_data(const char* uid, unsigned start_block, const char* text);
/* Reads count blocks from start_block into out as NUL-terminated text.
 * Returns the number of characters, or -1. */
KQSIM_API int kqsim_tag_get_data(const char* uid, unsigned start_block, unsigned count, char* out,
                                 size_t cap);
/* Makes the tag a sensor: its comparator (GC) reads "1" when the trial value
 * (last SC) exceeds threshold; config is its 8-character configuration (RC),
 * for example "00A1B2C3": characters 2-3, 4-5, 6-7 are the reference
 * settings of channels 0, 1, 2. Returns 0 or -1. */
KQSIM_API int kqsim_tag_set_sensor(const char* uid, unsigned threshold, const char* config);

/* ---- Scripted behaviour ------------------------------------------------- */

/* The reader's own status characters: '0' success, '1' unknown command, '2'
 * tag not in the field (or not a sensor for RC/SC/GC), '3' malformed
 * parameters (a chunk of 0 or more than 16 blocks included), '4' blocks that
 * do not exist on the tag, '5' SW text that does not fill the blocks.
 *
 * The overrides below are keyed by command code and also apply to the
 * reports of the reader's own loop (code "GU" or "TA"). When several are set
 * for a code, a dropped reply wins over a forced reply, which wins over a
 * forced status. A forced status other than '0' fails the command: nothing
 * changes (SW writes nothing, LT/LP leave the loop as it was). A dropped or
 * forced reply still carries the command out. Calling one again for the same
 * code (and block, for kqsim_fail_chunk) replaces the earlier setting. */

/* TA: the answer to the command text cmd (exact match): status character,
 * then sub-status and payload, e.g. kqsim_ta_script("R0", '0', "00ABCD").
 * Without a script a TA command is answered '0' "00" plus the command text
 * reversed when a tag is in the field, and '0' "01" when none is. */
KQSIM_API void kqsim_ta_script(const char* cmd, char status, const char* body);

/* The next `times` replies to commands with this code (-1 = every one) carry
 * the status character `status` (and an empty payload unless the command's
 * reply needs none). */
KQSIM_API void kqsim_force_status(const char* code, char status, int times);
/* The next `times` replies to this code are exactly these n bytes (-1 =
 * every one). */
KQSIM_API void kqsim_force_reply(const char* code, const void* bytes, size_t n, int times);
/* The next `times` commands with this code get no reply at all. */
KQSIM_API void kqsim_drop_reply(const char* code, int times);
/* SR/SW chunk starting at start_block fails with `status` the next `times`
 * times (for every tag). */
KQSIM_API void kqsim_fail_chunk(const char* code, unsigned start_block, char status, int times);
/* The next `times` SW exchanges on this tag answer '0' but change nothing. */
KQSIM_API void kqsim_write_not_stick(const char* uid, int times);
/* Clears every script, forced reply and chunk failure. */
KQSIM_API void kqsim_clear_scripts(void);

/* ---- Delivery of replies --------------------------------------------------- */

/* Every reply is split into pieces of piece_bytes bytes, gap_ms apart
 * (0 = whole). */
KQSIM_API void kqsim_reply_pieces(unsigned piece_bytes, unsigned gap_ms);
/* Every reply becomes readable only delay_ms after it would otherwise. */
KQSIM_API void kqsim_reply_delay(unsigned delay_ms);
/* Bytes placed into the receive queue at once (stray text), behind what is
 * readable already. */
KQSIM_API void kqsim_inject_rx(const void* bytes, size_t n);
/* The next frame that reaches the receive queue (a reply, a report of the
 * reader's own loop or injected bytes; counted from its STX) becomes
 * readable in two parts: its first head_bytes bytes as usual, the rest
 * (and everything after it) only once the host has polled the receive queue
 * (FT_GetStatus or FT_GetQueueStatus) `polls` more times. A receive window
 * of the KQ library lasts 202 polls, so 202 or more put the split on a
 * window boundary. head_bytes 0 disarms; unplugging drops held bytes. */
KQSIM_API void kqsim_split_next_frame(size_t head_bytes, unsigned polls);
/* Bytes delivered right before / right after the next reply, in the same
 * piece (text before a frame, a second frame after it, ...). */
KQSIM_API void kqsim_prefix_next_reply(const void* bytes, size_t n);
KQSIM_API void kqsim_suffix_next_reply(const void* bytes, size_t n);

/* ---- Reader's own loop --------------------------------------------------- */

/* Pace of the reports the reader sends by itself in its own loop (after LT,
 * until LP): one report at every change of the field, plus one every
 * interval_ms while a tag is in the field (0 = only on changes). Default
 * 200 ms. */
KQSIM_API void kqsim_set_loop_interval(unsigned interval_ms);
/* 1 while the reader's own loop is on. */
KQSIM_API int kqsim_reader_loop_on(void);
/* 1 while the reader's own loop is on and beeps at every report (LT "01"). */
KQSIM_API int kqsim_reader_loop_beep(void);
/* Beeps sounded so far (BZ commands carried out, reports of a beeping loop);
 * back to 0 by kqsim_reset. */
KQSIM_API unsigned kqsim_beep_count(void);

/* ---- D2XX faults ---------------------------------------------------------- */

enum kqsim_fn {
    KQSIM_FT_LISTDEVICES,
    KQSIM_FT_OPENEX,
    KQSIM_FT_RESETDEVICE,
    KQSIM_FT_SETBAUDRATE,
    KQSIM_FT_SETDATACHARACTERISTICS,
    KQSIM_FT_SETFLOWCONTROL,
    KQSIM_FT_SETTIMEOUTS,
    KQSIM_FT_PURGE,
    KQSIM_FT_GETSTATUS,
    KQSIM_FT_GETQUEUESTATUS,
    KQSIM_FT_SETBREAKON,
    KQSIM_FT_SETBREAKOFF,
    KQSIM_FT_WRITE,
    KQSIM_FT_READ,
    KQSIM_FT_CLOSE,
    KQSIM_FN_COUNT
};

/* After `skip` further calls of fn that behave normally, the next `times`
 * calls (-1 = all) return `status` without any effect. */
KQSIM_API void kqsim_fail_call(int fn, uint32_t status, unsigned skip, int times);
KQSIM_API void kqsim_clear_faults(void);

/* ---- Logs ------------------------------------------------------------------ */

/* One logged D2XX call. args by function:
 *   ListDevices: a0 = arg1 as an integer (device index), a1 = flags
 *   OpenEx: a0 = flags (the serial text is in `text`)
 *   SetBaudRate: a0 = baud
 *   SetDataCharacteristics: a0 bits, a1 stop, a2 parity
 *   SetFlowControl: a0 flow, a1 xon, a2 xoff
 *   SetTimeouts: a0 read ms, a1 write ms
 *   Purge: a0 mask
 *   GetStatus, GetQueueStatus: a0 = receive-queue amount reported
 *   Write: a0 = byte count requested, a1 = index of the frame in the frame
 *          log
 *   Read: a0 = byte count requested, a1 = bytes returned */
typedef struct kqsim_call {
    int fn;          /* enum kqsim_fn */
    uint64_t handle; /* the handle passed (0 for ListDevices/OpenEx) */
    uint32_t a0, a1, a2;
    uint32_t status; /* status returned */
    char text[64];   /* OpenEx: serial text passed; else empty */
} kqsim_call;

KQSIM_API size_t kqsim_call_count(void);
KQSIM_API int kqsim_call_get(size_t index, kqsim_call* out); /* 0 or -1 */
/* Every buffer passed to FT_Write, exactly the bytes and count written (also
 * when the write failed: the call log tells its status). */
KQSIM_API size_t kqsim_frame_count(void);
/* Copies frame `index` into buf (up to cap bytes); returns its full byte
 * count, or -1. */
KQSIM_API long kqsim_frame_get(size_t index, void* buf, size_t cap);
KQSIM_API void kqsim_clear_logs(void);
KQSIM_API const char* kqsim_fn_name(int fn);

#ifdef __cplusplus
}
#endif

#endif /* KQSIM_H */

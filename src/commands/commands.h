// Reader commands: result codes, the command envelope, loop control and the
// one-shot exchanges the exported operations and the loop workers share.
#pragma once

#include "kq.h"
#include "link/d2xx.h"
#include "link/shared_fields.h"
#include "protocol/frames.h"
#include "protocol/protocol.h"

#include <cstddef>
#include <cstdint>

namespace kq {

// One exchange: sends bytes of frame, sleeps wait_ms (the reader's
// processing time; 0 = none), receives one reply frame into reply (capacity
// bytes, zeroed here; *length its length). Returns KQ_OK when the reply's
// status is '0'; else KQ_ERR_SEND, KQ_ERR_RECEIVE or the status's code.
int Exchange(KQ_PROPERTY* prop, const char* frame, size_t bytes, uint32_t wait_ms, char* reply,
             size_t capacity, DWORD* length);

// Connection check, KQ_LoopStop, LP. Returns KQ_OK, KQ_ERR_USB or
// KQ_ERR_LOOPSTOP.
int PrepareCommand(KQ_PROPERTY* prop);

// Buzzer after success: r unchanged unless r is 0, BuzzerOn is 1 and the
// buzzer fails (then KQ_ERR_BUZZER).
int BuzzerTail(KQ_PROPERTY* prop, int r);

int BZCommand(KQ_PROPERTY* prop, int length);
int LTCommand(KQ_PROPERTY* prop, int flag);
// Stores the reply's status character in *status (NUL when none arrived).
int LPCommand(KQ_PROPERTY* prop, char* status);

// Posts a notification (wParam 0) to the record's hWnd; never waits.
void Notify(KQ_PROPERTY* prop, uint32_t message, uintptr_t lparam);

// Starts the worker of the kind (1-4, low 8 bits); any other kind changes
// nothing. Always returns KQ_OK.
int StartLoopWorker(KQ_PROPERTY* prop, int kind);

int GUCommand(KQ_PROPERTY* prop, KQ_OUT_GU* out);
// The GU frame the loop workers send (5 bytes); they read its reply with
// the GU functions of protocol/frames.h.
FT_STATUS SendGuFrame(KQ_PROPERTY* prop);
int TACommand(KQ_PROPERTY* prop, const KQ_IN_TA* in, KQ_OUT_TA* out);

// Select read/write chunk exchanges. dest (2049 bytes, zeroed by the caller)
// receives the chunk text without a NUL of its own.
int SRCommand(KQ_PROPERTY* prop, const char* uid, unsigned start, unsigned count, char* dest);
int GetBlockSize(unsigned blocks, unsigned length, unsigned* size);
int SWCommand(KQ_PROPERTY* prop, const char* uid, unsigned start, unsigned count, size_t n,
              const char* text);

int MultiReadOnce(KQ_PROPERTY* prop, const KQ_IN_MR* in, KQ_OUT_MR* out);
int MultiWriteOnce(KQ_PROPERTY* prop, const KQ_IN_MW* in, KQ_OUT_MW* out);

int RCCommand(KQ_PROPERTY* prop, const char* uid, char config[kConfigChars]);
int SCCommand(KQ_PROPERTY* prop, const char* uid, const char* param);
int GCCommand(KQ_PROPERTY* prop, const char* uid, unsigned char* comparator);

} // namespace kq

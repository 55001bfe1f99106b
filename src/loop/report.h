// Reception of the reports a reader sends by itself in its own loop. A
// report may straddle the end of a receive window: what has arrived of it is
// carried over to the next window instead of being thrown away, and only a
// complete, well-formed frame is handed to the worker.
#pragma once

#include "kq.h"
#include "link/d2xx.h"
#include "link/link.h"
#include "protocol/frames.h"

#include <cstddef>

namespace kq {

// Bytes a loop worker has received and not yet handed on: at most one
// window's worth of text, kept in the worker's own stack frame.
struct ReportCarry {
    char text[kReceiveTextMax];
    size_t used;
};

void ReportCarryClear(ReportCarry* carry);

// One receive window of a loop worker, paced like ReceiveFrame (at most
// kReceivePolls queue polls, 1 ms apart), that hands on the first complete
// frame: STX, text without STX or NUL, CR LF. It comes from the carry first,
// then from what the polls read, which is appended to the carry. Text before
// an STX is skipped; a frame interrupted by another STX or a NUL, and one
// longer than capacity - 1 characters, is dropped; what does not yet form a
// frame stays in the carry for the next window (a run that fills the whole
// carry without ending is dropped). The frame is copied with a NUL into
// dest and *length set to its length; when none is complete by the end of
// the window, dest is left as it is and *length is 0. Returns 0, or the
// nonzero status of a failed queue poll (the carry is kept).
FT_STATUS ReceiveReport(KQ_PROPERTY* prop, ReportCarry* carry, char* dest, DWORD capacity,
                        DWORD* length);

} // namespace kq

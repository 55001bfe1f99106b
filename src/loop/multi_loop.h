// What the multi-read and multi-write loop workers share: finding tags by
// polling with GU or by waiting for the reader's own inventory reports, and
// the last-UID rule.
#pragma once

#include "kq.h"
#include "loop/report.h"

namespace kq {

// Private state of one multi loop worker, kept for the life of its thread.
struct MultiLoopState {
    unsigned char waiting; // 1 = the reader's own loop is on; no GU is sent
    char last_uid[17];     // last tag handled successfully; empty = none
    KQ_OUT_GU inventory;   // tags of the latest accepted inventory reply
    ReportCarry carry;     // received text not yet handed on; emptied
                           // whenever the worker sends a command itself
};

// Outcome of the inventory step of one pass.
enum MultiLoopStep {
    kLoopDeviceLost,  // probe failed: WM_KQ_USBERROR posted, StopFlag set
    kLoopSendFailed,  // GU could not be written: the worker ends with 17
    kLoopNoInventory, // nothing to handle in this pass
    kLoopInventory,   // an inventory was accepted into state->inventory
};

// Polling, no tag remembered.
void MultiLoopInit(MultiLoopState* state);

// Probe, GU (when polling), receive, and the polling/waiting switch.
MultiLoopStep MultiLoopInventory(KQ_PROPERTY* prop, MultiLoopState* state);

// True when uid (16 characters compared) is the remembered last UID.
bool MultiLoopIsLast(const MultiLoopState* state, const char* uid);

// Forgets the last UID, switches the reader's own loop on and waits.
void MultiLoopStartWaiting(KQ_PROPERTY* prop, MultiLoopState* state);

// The passes of a multi loop worker until StopFlag is 1: find tags, hand an
// accepted inventory to handle_tags, sleep 1 ms. Returns the thread's exit
// code: 0, or KQ_ERR_SEND when GU cannot be written.
unsigned RunMultiLoop(KQ_PROPERTY* prop, void (*handle_tags)(KQ_PROPERTY*, MultiLoopState*));

} // namespace kq

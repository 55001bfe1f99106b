// Tag-command loop worker: switches the reader's own loop on and stores every
// tag-command answer the reader then reports by itself.
#include "loop/workers.h"

#include "commands/commands.h"
#include "link/link.h"
#include "loop/report.h"

#include <cstring>

namespace kq {

unsigned KQ_THREAD_CALL TagCommandLoopWorker(void* arg) {
    auto* prop = static_cast<KQ_PROPERTY*>(arg);
    // Cleared once: later answers overwrite only as many bytes as they carry.
    std::memset(prop->OUT_TA, 0, sizeof prop->OUT_TA);
    LTCommand(prop, 1);
    ReportCarry carry;
    ReportCarryClear(&carry);
    PollBeat beat;
    PollBeatStart(&beat);
    while (LoadStopFlag(prop) != 1) {
        if (WorkerLostDevice(prop)) {
            PollBeatEnd(&beat);
            return 0;
        }
        char reply[kTaReplyCapacity];
        std::memset(reply, 0, sizeof reply);
        DWORD length = 0;
        // Only a whole tag-command answer with its sub-status is stored.
        if (ReceiveReport(prop, &carry, reply, kTaReplyCapacity, &length) == FT_OK &&
            length >= kTaReplyOverhead && IsSuccessReplyOf(reply, length, "TA")) {
            // A sub-status or the payload; earlier bytes past it stay.
            ReadTaReply(reply, length, &prop->OUT_TA);
            Notify(prop, WM_KQ_DATA, reinterpret_cast<uintptr_t>(prop));
        }
        PollBeatNext(&beat);
    }
    PollBeatEnd(&beat);
    return 0;
}

} // namespace kq

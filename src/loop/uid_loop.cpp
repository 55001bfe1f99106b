// UID loop worker: switches the reader's own loop on and stores every
// inventory the reader then reports by itself.
#include "loop/workers.h"

#include "commands/commands.h"
#include "link/link.h"
#include "loop/report.h"

#include <cstring>

namespace kq {

namespace {

void ClearEntries(KQ_OUT_GU* out) {
    for (KQ_TAGINFO& tag : out->TagInfo) {
        KQ_Init_TAGINFO(&tag);
    }
}

} // namespace

unsigned KQ_THREAD_CALL UIDLoopWorker(void* arg) {
    auto* prop = static_cast<KQ_PROPERTY*>(arg);
    prop->OUT_GU.Count = 0;
    ClearEntries(&prop->OUT_GU);
    LTCommand(prop, prop->BuzzerOn == 1 ? 1 : 0);
    ReportCarry carry;
    ReportCarryClear(&carry);
    PollBeat beat;
    PollBeatStart(&beat);
    while (LoadStopFlag(prop) != 1) {
        if (WorkerLostDevice(prop)) {
            PollBeatEnd(&beat);
            return 0;
        }
        char reply[kGuReplyCapacity];
        std::memset(reply, 0, sizeof reply);
        DWORD length = 0;
        unsigned count = 0;
        // Only a whole, well-formed inventory report is stored.
        if (ReceiveReport(prop, &carry, reply, kGuReplyCapacity, &length) == FT_OK &&
            GuReportCount(reply, length, &count) && count <= kLoopTagsMax) {
            prop->OUT_GU.Count = static_cast<unsigned char>(count);
            ClearEntries(&prop->OUT_GU);
            // The count is read back from the record, which the client may
            // change: never go past the four entries.
            for (unsigned i = 0; i < prop->OUT_GU.Count && i < kTagSlots; ++i) {
                GuReplyUid(reply, i, prop->OUT_GU.TagInfo[i].UID);
            }
            Notify(prop, WM_KQ_DATA, reinterpret_cast<uintptr_t>(prop));
        }
        PollBeatNext(&beat);
    }
    PollBeatEnd(&beat);
    return 0;
}

} // namespace kq

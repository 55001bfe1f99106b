// Tag finding of the multi-read and multi-write loop workers.
#include "loop/multi_loop.h"
#include "loop/report.h"
#include "loop/workers.h"

#include "commands/commands.h"
#include "link/link.h"
#include "platform/platform.h"

#include <cstdint>
#include <cstring>

namespace kq {

void MultiLoopInit(MultiLoopState* state) {
    std::memset(state, 0, sizeof(MultiLoopState));
}

MultiLoopStep MultiLoopInventory(KQ_PROPERTY* prop, MultiLoopState* state) {
    if (WorkerLostDevice(prop)) {
        return kLoopDeviceLost;
    }
    if (state->waiting == 0) {
        KQ_Init_OUT_GU(&state->inventory);
        // The command's purge discards whatever the reader sent before it.
        ReportCarryClear(&state->carry);
        if (SendGuFrame(prop) != FT_OK) {
            return kLoopSendFailed;
        }
    }

    char reply[kGuReplyCapacity];
    std::memset(reply, 0, sizeof reply);
    DWORD length = 0;
    FT_STATUS st =
        ReceiveReport(prop, &state->carry, reply, static_cast<DWORD>(sizeof reply), &length);
    if (st != FT_OK || !IsSuccessReplyOf(reply, length, "GU")) {
        // No inventory: a polling worker lets the reader look for tags by
        // itself from now on; a waiting one keeps waiting.
        if (state->waiting == 0) {
            LTCommand(prop, 0);
            ReportCarryClear(&state->carry);
            state->waiting = 1;
        }
        return kLoopNoInventory;
    }
    unsigned count = 0;
    if (!GuReportCount(reply, length, &count) || count > kLoopTagsMax) {
        return kLoopNoInventory;
    }

    char lp_status = '\0';
    LPCommand(prop, &lp_status);
    ReportCarryClear(&state->carry);
    state->waiting = 0;
    // Entries past the count stay empty, also after an inventory taken
    // while waiting.
    KQ_Init_OUT_GU(&state->inventory);
    state->inventory.Count = static_cast<unsigned char>(count);
    for (unsigned i = 0; i < count; ++i) {
        GuReplyUid(reply, i, state->inventory.TagInfo[i].UID);
    }
    return kLoopInventory;
}

bool MultiLoopIsLast(const MultiLoopState* state, const char* uid) {
    // An empty last UID remembers no tag and matches nothing.
    return state->last_uid[0] != '\0' && std::strncmp(state->last_uid, uid, kUidChars) == 0;
}

void MultiLoopStartWaiting(KQ_PROPERTY* prop, MultiLoopState* state) {
    std::memset(state->last_uid, 0, sizeof state->last_uid);
    LTCommand(prop, 0);
    ReportCarryClear(&state->carry);
    state->waiting = 1;
}

unsigned RunMultiLoop(KQ_PROPERTY* prop, void (*handle_tags)(KQ_PROPERTY*, MultiLoopState*)) {
    MultiLoopState state;
    MultiLoopInit(&state);
    PollBeat beat;
    PollBeatStart(&beat);
    while (LoadStopFlag(prop) != 1) {
        switch (MultiLoopInventory(prop, &state)) {
        case kLoopDeviceLost:
            continue; // StopFlag is set: the loop ends
        case kLoopSendFailed:
            PollBeatEnd(&beat);
            return KQ_ERR_SEND;
        case kLoopInventory:
            handle_tags(prop, &state);
            break;
        case kLoopNoInventory:
            break;
        }
        PollBeatNext(&beat);
    }
    PollBeatEnd(&beat);
    return 0;
}

} // namespace kq

// Multi-read loop worker: reads IN_MR's run of blocks from every tag that
// comes into the field, into OUT_MR, entry i for the inventory's tag i.
#include "commands/commands.h"
#include "link/link.h"
#include "loop/multi_loop.h"
#include "loop/workers.h"
#include "platform/platform.h"

#include <cstring>

namespace kq {

namespace {

void ReadTags(KQ_PROPERTY* prop, MultiLoopState* state) {
    KQ_OUT_MR& out = prop->OUT_MR;
    out.TagCount = state->inventory.Count;
    KQ_IN_SR request;
    std::memset(&request, 0, sizeof request);
    request.StartBlock = prop->IN_MR.StartBlock;
    request.BlockCount = prop->IN_MR.BlockCount;
    out.DoneCount = 0;

    // The count is read back from the record, which the client may change
    // meanwhile; there are never more than four entries.
    for (unsigned i = 0; i < out.TagCount && i < kTagSlots; ++i) {
        std::memcpy(request.UID, state->inventory.TagInfo[i].UID, sizeof request.UID);
        request.UID[kUidChars] = '\0';
        if (MultiLoopIsLast(state, request.UID)) {
            // Met again: not read now; the reader's own loop reports it
            // when it comes back. The other tags are still read.
            MultiLoopStartWaiting(prop, state);
            continue;
        }
        KQ_TAGINFO tag;
        int r = KQ_SelectRead(prop, &request, &tag);
        std::memcpy(out.TagInfo[i].UID, request.UID, kUidChars);
        if (r != KQ_OK) {
            continue; // Data keeps what it held; the tag is read again later
        }
        ++out.DoneCount;
        std::memcpy(out.TagInfo[i].Data, tag.Data, kTagDataMax);
        if (prop->BuzzerOn == 1) {
            KQ_BuzzerCommand(prop, prop->BuzzerTime);
        }
        std::memcpy(state->last_uid, request.UID, sizeof state->last_uid);
    }
    if (out.DoneCount > 0) {
        Notify(prop, WM_KQ_DATA, reinterpret_cast<uintptr_t>(prop));
    }
}

} // namespace

unsigned KQ_THREAD_CALL MultiReadLoopWorker(void* arg) {
    auto* prop = static_cast<KQ_PROPERTY*>(arg);
    KQ_Init_OUT_MR(&prop->OUT_MR);
    return RunMultiLoop(prop, ReadTags);
}

} // namespace kq

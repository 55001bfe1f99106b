// Multi-write loop worker: writes the text that IN_MW lists for a tag's UID
// whenever that tag comes into the field, and records each successful write
// in OUT_MW, in the order of the writes.
#include "commands/commands.h"
#include "link/link.h"
#include "loop/multi_loop.h"
#include "loop/workers.h"
#include "platform/platform.h"

#include <cstring>

namespace kq {

namespace {

void WriteTags(KQ_PROPERTY* prop, MultiLoopState* state) {
    KQ_OUT_MW& out = prop->OUT_MW;
    KQ_IN_SW request;
    const unsigned char start = prop->IN_MW.StartBlock;
    const unsigned char blocks = prop->IN_MW.BlockCount;
    out.TagCount = state->inventory.Count;
    out.DoneCount = 0;
    std::memset(out.TagInfo, 0, sizeof out.TagInfo);
    unsigned written = 0;

    // The count is read back from the record, which the client may change
    // meanwhile; there are never more than four tags, and never more writes
    // than OUT_MW can record.
    bool stop = false;
    for (unsigned i = 0; !stop && state->waiting == 0 && i < out.TagCount && i < kTagSlots; ++i) {
        const char* found = state->inventory.TagInfo[i].UID;
        for (unsigned j = 0; j < kTagSlots; ++j) {
            const KQ_TAGINFO& entry = prop->IN_MW.TagInfo[j];
            if (std::strncmp(entry.UID, found, kUidChars) != 0) {
                continue;
            }
            if (MultiLoopIsLast(state, entry.UID)) {
                // Met again: nothing more is written in this pass.
                MultiLoopStartWaiting(prop, state);
                stop = true;
                break;
            }
            if (written == kTagSlots) {
                stop = true;
                break;
            }
            std::memset(&request, 0, sizeof request);
            request.StartBlock = start;
            request.BlockCount = blocks;
            std::memcpy(request.TagInfo.UID, entry.UID, BoundedLength(entry.UID, kUidChars));
            std::memcpy(request.TagInfo.Data, entry.Data, BoundedLength(entry.Data, kTagDataMax));
            if (KQ_SelectWrite(prop, &request) != KQ_OK) {
                continue; // tried again at the next inventory
            }
            std::memcpy(out.TagInfo[written].UID, request.TagInfo.UID, kUidChars);
            std::memcpy(out.TagInfo[written].Data, request.TagInfo.Data, kTagDataMax);
            if (prop->BuzzerOn == 1) {
                KQ_BuzzerCommand(prop, prop->BuzzerTime);
            }
            std::memcpy(state->last_uid, request.TagInfo.UID, sizeof state->last_uid);
            ++written;
        }
    }
    out.DoneCount = static_cast<unsigned char>(written);
    if (written > 0) {
        Notify(prop, WM_KQ_DATA, reinterpret_cast<uintptr_t>(prop));
    }
}

} // namespace

unsigned KQ_THREAD_CALL MultiWriteLoopWorker(void* arg) {
    auto* prop = static_cast<KQ_PROPERTY*>(arg);
    KQ_Init_OUT_MW(&prop->OUT_MW);
    return RunMultiLoop(prop, WriteTags);
}

} // namespace kq

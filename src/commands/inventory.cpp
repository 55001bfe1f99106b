// UID inventory: the GU exchange and KQ_GetUID.
#include "commands/commands.h"

#include "link/link.h"

#include <cstring>

namespace kq {

namespace {

size_t BuildGuFrame(char (&frame)[kShortFrameCapacity]) {
    return BuildFrame(frame, sizeof frame, "GU", {});
}

} // namespace

FT_STATUS SendGuFrame(KQ_PROPERTY* prop) {
    char frame[kShortFrameCapacity];
    DWORD written = 0;
    return SendFrame(prop, frame, static_cast<DWORD>(BuildGuFrame(frame)), &written);
}

int GUCommand(KQ_PROPERTY* prop, KQ_OUT_GU* out) {
    KQ_Init_OUT_GU(out);
    char frame[kShortFrameCapacity];
    size_t bytes = BuildGuFrame(frame);
    char reply[kGuReplyCapacity];
    DWORD length = 0;
    int r = Exchange(prop, frame, bytes, 0, reply, sizeof reply, &length);
    if (r != KQ_OK) {
        return r;
    }
    unsigned count = 0;
    if (!GuReplyCount(reply, &count)) {
        return KQ_ERR_UIDCOUNT;
    }
    out->Count = static_cast<unsigned char>(count);
    if (out->Count > kTagSlots) {
        return KQ_ERR_UIDCOUNT;
    }
    for (unsigned i = 0; i < out->Count; ++i) {
        GuReplyUid(reply, i, out->TagInfo[i].UID);
    }
    return KQ_OK;
}

} // namespace kq

extern "C" KQ_EXPORT int KQ_API KQ_GetUID(KQ_PROPERTY* prop) {
    using namespace kq;
    int prepared = PrepareCommand(prop);
    if (prepared != KQ_OK) {
        return prepared;
    }
    int r = GUCommand(prop, &prop->OUT_GU);
    int beep = KQ_OK;
    if (r == KQ_OK && prop->BuzzerOn == 1) {
        beep = KQ_BuzzerCommand(prop, prop->BuzzerTime);
    }
    if (prop->LoopMode == 1) {
        // The one-shot result is not reported: the UID loop takes over.
        return StartLoopWorker(prop, KQ_LOOP_UID);
    }
    if (r != KQ_OK) {
        return r;
    }
    return beep != KQ_OK ? KQ_ERR_BUZZER : KQ_OK;
}

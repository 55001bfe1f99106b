// Multi read and multi write: one inventory, then a select read of every tag
// found, or a select write of every listed tag found.
#include "commands/commands.h"
#include "link/link.h"

#include <cstring>

namespace kq {

namespace {

// True when the text of any IN_MW entry could not travel in a frame.
bool TargetsHoldFraming(const KQ_IN_MW* in) {
    for (const KQ_TAGINFO& entry : in->TagInfo) {
        if (HoldsFramingCharacter(entry.Data, kTagDataMax)) {
            return true;
        }
    }
    return false;
}

} // namespace

int MultiReadOnce(KQ_PROPERTY* prop, const KQ_IN_MR* in, KQ_OUT_MR* out) {
    std::memset(out, 0, sizeof(KQ_OUT_MR));

    KQ_OUT_GU inventory;
    if (GUCommand(prop, &inventory) != KQ_OK) {
        return KQ_ERR_TAG;
    }
    out->TagCount = inventory.Count;
    KQ_IN_SR request;
    std::memset(&request, 0, sizeof request);
    request.StartBlock = in->StartBlock;
    request.BlockCount = in->BlockCount;

    // A successful inventory reports at most four tags.
    for (unsigned i = 0; i < out->TagCount && i < kTagSlots; ++i) {
        std::memset(request.UID, 0, sizeof request.UID);
        std::memcpy(request.UID, inventory.TagInfo[i].UID,
                    BoundedLength(inventory.TagInfo[i].UID, kUidChars));
        KQ_TAGINFO tag;
        int r = KQ_SelectRead(prop, &request, &tag);
        std::memcpy(out->TagInfo[i].UID, request.UID, kUidChars);
        if (r == KQ_OK) {
            ++out->DoneCount;
            std::memcpy(out->TagInfo[i].Data, tag.Data, kTagDataMax);
        }
    }
    return KQ_OK;
}

int MultiWriteOnce(KQ_PROPERTY* prop, const KQ_IN_MW* in, KQ_OUT_MW* out) {
    KQ_OUT_GU inventory;
    if (GUCommand(prop, &inventory) != KQ_OK) {
        return KQ_ERR_TAG; // the results of the previous call stay
    }
    out->TagCount = inventory.Count;
    out->DoneCount = 0;
    std::memset(out->TagInfo, 0, sizeof out->TagInfo);

    KQ_IN_SW request;
    unsigned done = 0;
    const unsigned found = inventory.Count < kTagSlots ? inventory.Count : kTagSlots;
    for (unsigned i = 0; i < found; ++i) {
        for (unsigned j = 0; j < kTagSlots; ++j) {
            const KQ_TAGINFO& entry = in->TagInfo[j];
            if (std::strncmp(entry.UID, inventory.TagInfo[i].UID, kUidChars) != 0) {
                continue;
            }
            // OUT_MW holds four results: a further write could not be
            // reported, so it is not made.
            if (done == kTagSlots) {
                out->DoneCount = static_cast<unsigned char>(done);
                return KQ_OK;
            }
            std::memset(&request, 0, sizeof request);
            request.StartBlock = in->StartBlock;
            request.BlockCount = in->BlockCount;
            std::memcpy(request.TagInfo.UID, entry.UID, BoundedLength(entry.UID, kUidChars));
            std::memcpy(request.TagInfo.Data, entry.Data, BoundedLength(entry.Data, kTagDataMax));
            if (KQ_SelectWrite(prop, &request) == KQ_OK) {
                std::memcpy(out->TagInfo[done].UID, request.TagInfo.UID, kUidChars);
                std::memcpy(out->TagInfo[done].Data, request.TagInfo.Data, kTagDataMax);
                ++done;
            }
        }
    }
    out->DoneCount = static_cast<unsigned char>(done);
    return KQ_OK;
}

} // namespace kq

using namespace kq;

extern "C" {

KQ_EXPORT int KQ_API KQ_MultiRead(KQ_PROPERTY* prop) {
    if (prop->IN_MR.BlockCount == 0) {
        return KQ_ERR_NOBLOCKS;
    }
    int r = PrepareCommand(prop);
    if (r != KQ_OK) {
        return r;
    }
    if (prop->LoopMode == 1) {
        return StartLoopWorker(prop, KQ_LOOP_MULTIREAD);
    }
    return BuzzerTail(prop, MultiReadOnce(prop, &prop->IN_MR, &prop->OUT_MR));
}

KQ_EXPORT int KQ_API KQ_MultiWrite(KQ_PROPERTY* prop) {
    if (prop->IN_MW.BlockCount == 0) {
        return KQ_ERR_NOBLOCKS;
    }
    if (TargetsHoldFraming(&prop->IN_MW)) {
        return KQ_ERR_PARAM;
    }
    int r = PrepareCommand(prop);
    if (r != KQ_OK) {
        return r;
    }
    if (prop->LoopMode == 1) {
        return StartLoopWorker(prop, KQ_LOOP_MULTIWRITE);
    }
    return BuzzerTail(prop, MultiWriteOnce(prop, &prop->IN_MW, &prop->OUT_MW));
}

} // extern "C"

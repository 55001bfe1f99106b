// Tag command: the TA exchange and KQ_TagCommand.
#include "commands/commands.h"

#include "link/link.h"

#include <cstring>

namespace kq {

int TACommand(KQ_PROPERTY* prop, const KQ_IN_TA* in, KQ_OUT_TA* out) {
    std::memset(*out, 0, sizeof(KQ_OUT_TA));
    // A text without a NUL in its 36 bytes is taken as its first 35
    // characters, so the frame never carries bytes from beyond the block.
    char text[kTaTextMax + 1];
    size_t n = BoundedLength(*in, kTaTextMax);
    std::memcpy(text, *in, n);
    text[n] = '\0';

    char frame[kTaFrameCapacity];
    size_t bytes = BuildFrame(frame, sizeof frame, "TA", {text});
    char reply[kTaReplyCapacity];
    DWORD length = 0;
    int r = Exchange(prop, frame, bytes, 0, reply, sizeof reply, &length);
    if (r != KQ_OK) {
        return r;
    }
    return ReadTaReply(reply, length, out);
}

} // namespace kq

extern "C" KQ_EXPORT int KQ_API KQ_TagCommand(KQ_PROPERTY* prop) {
    using namespace kq;
    if (HoldsFramingCharacter(prop->IN_TA, kTaTextMax)) {
        return KQ_ERR_PARAM;
    }
    int prepared = PrepareCommand(prop);
    if (prepared != KQ_OK) {
        return prepared;
    }
    int r = TACommand(prop, &prop->IN_TA, &prop->OUT_TA);
    if (r == KQ_OK) {
        // A successful first exchange never starts a worker.
        return BuzzerTail(prop, r);
    }
    if (prop->LoopMode == 1) {
        return StartLoopWorker(prop, KQ_LOOP_TAGCOMMAND);
    }
    return r;
}

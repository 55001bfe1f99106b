// UID inventory: the GU exchange and KQ_GetUID.
#include "commands/commands.h"

#include "link/link.h"

#include <cstring>

namespace kq {

namespace {

constexpr DWORD kGuReplyCapacity = 128;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

FT_STATUS SendGuFrame(KQ_PROPERTY* prop) {
    const char frame[] = {STX, 'G', 'U', '\r', '\n', '\0'};
    DWORD written = 0;
    return SendFrame(prop, frame, 5, &written);
}

bool GuReplyCount(const char* reply, unsigned* count) {
    if (!IsDigit(reply[5]) || !IsDigit(reply[6])) {
        return false;
    }
    *count = static_cast<unsigned>(reply[5] - '0') * 10 + static_cast<unsigned>(reply[6] - '0');
    return true;
}

void GuReplyUid(const char* reply, unsigned i, char* uid) {
    const char* field = reply + 7 + 16 * i;
    std::memcpy(uid, field, strnlen(field, 16));
}

int GUCommand(KQ_PROPERTY* prop, KQ_OUT_GU* out) {
    KQ_Init_OUT_GU(out);
    if (SendGuFrame(prop) != FT_OK) {
        return KQ_ERR_SEND;
    }
    char reply[kGuReplyCapacity];
    std::memset(reply, 0, sizeof reply);
    DWORD length = 0;
    if (ReceiveFrame(prop, reply, kGuReplyCapacity, &length) != FT_OK) {
        return KQ_ERR_RECEIVE;
    }
    if (reply[4] != '0') {
        return StatusToCode(reply[4]);
    }
    unsigned count = 0;
    if (!GuReplyCount(reply, &count)) {
        return KQ_ERR_UIDCOUNT;
    }
    out->Count = static_cast<unsigned char>(count);
    if (out->Count > 4) {
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

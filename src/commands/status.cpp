// Result codes from reply status characters, and the StopFlag handshake byte.
#include "commands/commands.h"

namespace kq {

int StatusToCode(char status) {
    if (status >= '1' && status <= '9') {
        return status - '0';
    }
    if (status >= 'A' && status <= 'F') {
        return status - 'A' + 10;
    }
    if (status >= 'a' && status <= 'f') {
        return status - 'a' + 10;
    }
    // Nothing at the status position, or a garbled character: either way the
    // reply cannot be trusted, and success must not be reported for it.
    return KQ_ERR_NOREPLY;
}

unsigned char LoadStopFlag(const KQ_PROPERTY* prop) {
    return __atomic_load_n(&prop->StopFlag, __ATOMIC_ACQUIRE);
}

void StoreStopFlag(KQ_PROPERTY* prop, unsigned char value) {
    __atomic_store_n(&prop->StopFlag, value, __ATOMIC_RELEASE);
}

} // namespace kq
